// A host service operation failed.
#pragma once

#include <stdexcept>

#include "Platform/Types.h"

class _pe_error : public std::runtime_error {
public:
    // The message is the text followed by " (PAL error code 0x<hex>)"; the code is kept bare.
    _pe_error(const char* pText, HRESULT code);

    HRESULT Code() const noexcept { return m_Code; }

private:
    HRESULT m_Code;
};
