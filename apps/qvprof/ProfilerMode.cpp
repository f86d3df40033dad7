#include "ProfilerMode.h"

namespace Qvprof {

namespace {

struct ModeEntry {
    ProfilerMode mode;
    const char* pName;
    const char* pClassId;
};

constexpr ModeEntry Modes[] = {
    {ProfilerMode::Tracing, "tracing", "{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C}"},
    {ProfilerMode::Sampling, "sampling", "{D37A1B78-6DC5-46FD-BC31-F7C4D5A11C9C}"},
    {ProfilerMode::Memory, "memory", "{D37A1B78-6DC6-46FD-BC31-F7C4D5A11C9C}"},
    // The first of the test kinds: it answers the handshake as a performance profiler.
    {ProfilerMode::Test, "test", "{D37A1B78-7DC3-46FD-BC31-F7C4D5A11C9C}"},
};

const ModeEntry& EntryOf(ProfilerMode mode) {
    for (const ModeEntry& entry : Modes) {
        if (entry.mode == mode) {
            return entry;
        }
    }
    return Modes[0];
}

}  // namespace

std::string ProfilerModes::Name(ProfilerMode mode) {
    return EntryOf(mode).pName;
}

std::optional<ProfilerMode> ProfilerModes::Parse(const std::string& name) {
    for (const ModeEntry& entry : Modes) {
        if (name == entry.pName) {
            return entry.mode;
        }
    }
    return std::nullopt;
}

std::vector<std::string> ProfilerModes::Names() {
    std::vector<std::string> names;
    for (const ModeEntry& entry : Modes) {
        names.push_back(entry.pName);
    }
    return names;
}

std::string ProfilerModes::ClassId(ProfilerMode mode) {
    return EntryOf(mode).pClassId;
}

}  // namespace Qvprof
