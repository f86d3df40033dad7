// qvprof's own exit codes. `record` otherwise exits with the program's code (128 + N for a
// program ended by signal N).
#pragma once

namespace Qvprof {

constexpr int ExitSuccess = 0;
// Something went wrong: a file that cannot be read, a port in use, nothing recorded.
constexpr int ExitFailure = 1;
// The command line itself is wrong: an unknown command or option, a missing value.
constexpr int ExitUsage = 2;
// A second Ctrl-C ended the recording.
constexpr int ExitAborted = 130;
// The program could not be started (as shells report a command that is not found).
constexpr int ExitCannotStart = 127;

}  // namespace Qvprof
