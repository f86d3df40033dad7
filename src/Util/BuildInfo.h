// This program's build constants, shown in the log's "Initialized" record and written into every
// snapshot's environment record. They are generated when the build is configured.
#pragma once

namespace BuildInfo {

// Four dot-separated decimal numbers: major.minor.build.revision.
extern const char* const Version;
// "dd.mm.yyyy hh:mm:ss".
extern const char* const Time;

}  // namespace BuildInfo
