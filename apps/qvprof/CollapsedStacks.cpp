#include "CollapsedStacks.h"

#include <algorithm>
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

namespace {

// "System.Collections.Generic.List<System.Int32>" as
// "System;Collections;Generic;List<System.Int32>": the namespace's parts become frames, the type's
// own name (with its arguments) the leaf.
std::string ClassPath(const std::string& name) {
    const size_t end = std::min(name.find('<'), name.find('['));
    const std::string head = name.substr(0, end);
    const size_t lastDot = head.rfind('.');
    if (lastDot == std::string::npos) {
        return CollapsedStacks::Frame(name);
    }
    std::string path = CollapsedStacks::Frame(head.substr(0, lastDot));
    for (char& c : path) {
        c = c == '.' ? ';' : c;
    }
    return path + ';' + CollapsedStacks::Frame(name.substr(lastDot + 1));
}

}  // namespace

std::string CollapsedStacks::WriteHeap(const Controller::HeapModel& heap) {
    std::string text;
    for (size_t d = 0; d < heap.Dumps().size(); ++d) {
        const std::string dumpFrame = "heap dump " + std::to_string(d + 1);
        for (const auto& row : heap.Dumps()[d].classes) {
            text += dumpFrame + ';' + ClassPath(row.name) + ' ' + std::to_string(row.bytes) + '\n';
        }
    }
    for (const auto& stack : heap.Allocations()) {
        text += "sampled allocations";
        for (const std::string& frame : stack.frames) {
            text += ';' + Frame(frame);
        }
        text += ' ' + std::to_string(stack.count) + '\n';
    }
    return text;
}

}  // namespace Qvprof
