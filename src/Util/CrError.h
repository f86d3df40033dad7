// A controller or API command ended with a failure result.
#pragma once

#include <stdexcept>

#include "Platform/Types.h"

class _cr_error : public std::runtime_error {
public:
    // The message is the text followed by " (CR error code 0x<hex>)"; the code is kept bare.
    _cr_error(const char* pText, DWORD code);

    DWORD Code() const noexcept { return m_Code; }

private:
    DWORD m_Code;
};
