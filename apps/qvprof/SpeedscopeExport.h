// The file format of the speedscope flame graph viewer: one sampled profile per thread, whose
// samples are the call paths with own time (frames from the thread's first call down, indexes
// into the shared frames, one frame per function) weighted by that time in nanoseconds.
#pragma once

#include <string>

#include "Controller/Profile.h"

namespace Qvprof {

class SpeedscopeExport {
public:
    static constexpr const char* Schema = "https://www.speedscope.app/file-format-schema.json";

    // `title` names the file in the viewer.
    static std::string Write(const Controller::Profile& profile, const std::string& title);
};

}  // namespace Qvprof
