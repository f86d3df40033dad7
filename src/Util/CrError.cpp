#include "Util/CrError.h"

#include "Util/ErrorText.h"

_cr_error::_cr_error(const char* pText, DWORD code)
    : std::runtime_error(ErrorText::WithHexCode(pText, " (CR error code 0x", code,
                                                "Can't convert CR error code to string")),
      m_Code(code) {}
