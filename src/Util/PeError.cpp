#include "Util/PeError.h"

#include "Util/ErrorText.h"

_pe_error::_pe_error(const char* pText, HRESULT code)
    : std::runtime_error(ErrorText::WithHexCode(pText, " (PAL error code 0x",
                                                static_cast<DWORD>(code),
                                                "Can't convert PAL error code to string")),
      m_Code(code) {}
