// An OS call failed; carries the OS last-error code.
#pragma once

#include <stdexcept>

#include "Platform/Types.h"

class _le_error : public std::runtime_error {
public:
    // The message is the text followed by " (last error code <decimal>)"; the code is kept bare.
    _le_error(const char* pText, DWORD code);

    DWORD Code() const noexcept { return m_Code; }

private:
    DWORD m_Code;
};
