// Message composition shared by the code-carrying error types: the text, a suffix naming the kind
// of code, the code itself, and a closing parenthesis.
#pragma once

#include <string>

#include "Platform/Types.h"

namespace ErrorText {

// "<text> (<kind> error code 0x<hex>)": base 16, lower-case, no leading zeros. Throws
// std::runtime_error(conversionFailure) if the code cannot be converted.
std::string WithHexCode(const char* pText, const char* pSuffix, DWORD code,
                        const char* pConversionFailure);

// "<text> (last error code <decimal>)": the code read as a signed 32-bit number.
std::string WithDecimalCode(const char* pText, const char* pSuffix, DWORD code,
                            const char* pConversionFailure);

}  // namespace ErrorText
