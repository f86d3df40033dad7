#include "Util/ErrorText.h"

#include <charconv>
#include <stdexcept>

namespace ErrorText {
namespace {

// The conversions write into fixed buffers sized as the codes need: eight hex digits plus the
// terminator, and a generous one for the decimal form.
constexpr size_t HEX_BUFFER = 9;
constexpr size_t DECIMAL_BUFFER = 1024;

std::string Compose(const char* pText, const char* pSuffix, const char* pCode, size_t codeLength) {
    std::string message(pText != nullptr ? pText : "");
    message += pSuffix;
    message.append(pCode, codeLength);
    message += ')';
    return message;
}

}  // namespace

std::string WithHexCode(const char* pText, const char* pSuffix, DWORD code,
                        const char* pConversionFailure) {
    char digits[HEX_BUFFER];
    // Leave room for the terminator, as a C conversion into this buffer would.
    auto [pEnd, error] = std::to_chars(digits, digits + HEX_BUFFER - 1, code, 16);
    if (error != std::errc()) {
        throw std::runtime_error(pConversionFailure);
    }
    return Compose(pText, pSuffix, digits, static_cast<size_t>(pEnd - digits));
}

std::string WithDecimalCode(const char* pText, const char* pSuffix, DWORD code,
                            const char* pConversionFailure) {
    char digits[DECIMAL_BUFFER];
    auto [pEnd, error] =
        std::to_chars(digits, digits + DECIMAL_BUFFER - 1, static_cast<int32_t>(code), 10);
    if (error != std::errc()) {
        throw std::runtime_error(pConversionFailure);
    }
    return Compose(pText, pSuffix, digits, static_cast<size_t>(pEnd - digits));
}

}  // namespace ErrorText
