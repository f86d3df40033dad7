// Collapsed stacks, the input of flame graph tools: one line per call path with own time,
// "thread 1 \"main\";Ns.Type::Run;Ns.Type::Go 1234", frames from the thread down, separated by
// ';', the value the path's own time in whole microseconds (paths under half a microsecond are left
// out). Every thread's paths start with the thread's own frame.
#pragma once

#include <string>

#include "Controller/HeapModel.h"
#include "Controller/Profile.h"

namespace Qvprof {

class CollapsedStacks {
public:
    static std::string Write(const Controller::Profile& profile);
    // A memory snapshot: each heap dump's live bytes by class, "heap dump 1;System;Text;
    // StringBuilder 4096" (the namespace's parts as frames), and the sampled allocations by
    // stack, "sampled allocations;Outer::Main;Inner::Make 12" (a count).
    static std::string WriteHeap(const Controller::HeapModel& heap);
    // The name with the separators of the format (';' and line breaks) replaced.
    static std::string Frame(const std::string& name);
};

}  // namespace Qvprof
