// One record of the performance settings' filter lists: three texts, kept as the controller sent
// them.
#pragma once

#include "Platform/Types.h"

struct InjectFilterInfo {
    WString m_First;
    WString m_Second;
    WString m_Third;
};
