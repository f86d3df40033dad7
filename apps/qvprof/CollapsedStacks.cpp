#include "CollapsedStacks.h"

#include <cmath>

#include "ProfileStacks.h"

namespace Qvprof {

std::string CollapsedStacks::Frame(const std::string& name) {
    std::string frame = name;
    for (char& c : frame) {
        if (c == ';') {
            c = ',';
        } else if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return frame;
}

std::string CollapsedStacks::Write(const Controller::Profile& profile) {
    std::string text;
    for (const Controller::ThreadProfile& thread : profile.Threads()) {
        const auto& nodes = thread.tree.Nodes();
        const std::string threadFrame = Frame(ProfileStacks::ThreadLabel(thread));
        for (uint32_t i = 0; i < nodes.size(); ++i) {
            const auto micros =
                std::llround(ProfileStacks::Microseconds(profile, nodes[i].ownTicks));
            if (micros <= 0) {
                continue;
            }
            text += threadFrame;
            for (uint32_t function : ProfileStacks::Path(thread.tree, i)) {
                text += ';';
                text += Frame(profile.FunctionName(function));
            }
            text += ' ' + std::to_string(micros) + '\n';
        }
    }
    return text;
}

}  // namespace Qvprof
