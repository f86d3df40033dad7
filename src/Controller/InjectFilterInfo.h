// One record of the performance settings' filter lists: three texts sent as they are.
#pragma once

#include "Platform/Types.h"

namespace Controller {

struct InjectFilterInfo {
    WString module;
    WString type;
    WString method;
};

}  // namespace Controller
