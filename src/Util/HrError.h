// A runtime or COM operation returned a failure status.
#pragma once

#include <stdexcept>

#include "Platform/Types.h"

class _hr_error : public std::runtime_error {
public:
    // The message is the text followed by " (COM error code 0x<hex>)"; the code is kept bare.
    _hr_error(const char* pText, HRESULT code);

    HRESULT Code() const noexcept { return m_Code; }

private:
    HRESULT m_Code;
};
