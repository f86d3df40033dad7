#include "Util/HrError.h"

#include "Util/ErrorText.h"

_hr_error::_hr_error(const char* pText, HRESULT code)
    : std::runtime_error(ErrorText::WithHexCode(pText, " (COM error code 0x",
                                                static_cast<DWORD>(code),
                                                "Can't convert COM error code to string")),
      m_Code(code) {}
