#include "Util/LeError.h"

#include "Util/ErrorText.h"

_le_error::_le_error(const char* pText, DWORD code)
    : std::runtime_error(ErrorText::WithDecimalCode(pText, " (last error code ", code,
                                                    "Can't convert last error code to string")),
      m_Code(code) {}
