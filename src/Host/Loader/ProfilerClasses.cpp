#include "Host/Loader/ProfilerClasses.h"

#include <cstdio>

namespace ProfilerClasses {

bool IsKnown(REFCLSID clsid) {
    for (const CLSID& known : Known) {
        if (known == clsid) {
            return true;
        }
    }
    return false;
}

std::string Format(REFCLSID clsid) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(clsid.Data1), static_cast<unsigned>(clsid.Data2),
                  static_cast<unsigned>(clsid.Data3), clsid.Data4[0], clsid.Data4[1],
                  clsid.Data4[2], clsid.Data4[3], clsid.Data4[4], clsid.Data4[5], clsid.Data4[6],
                  clsid.Data4[7]);
    return text;
}

std::string EntryPointName(REFCLSID clsid) {
    const std::string braced = Format(clsid);
    std::string name = "InitializeProfiler_";
    for (char c : braced.substr(1, braced.size() - 2)) {
        name += (c == '-') ? '_' : c;
    }
    return name;
}

}  // namespace ProfilerClasses
