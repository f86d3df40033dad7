#include "Profiler/Test/TestProfilerEvent.h"

#include "Util/Log.h"

void TestProfilerEvent::Flush() {
    Log::Message("TProf::Flush");
}

void TestProfilerEvent::BridgeStart() {
    Log::Message("TProf::BridgeStart");
}

void TestProfilerEvent::BridgeStopDrop() {
    Log::Message("TProf::BridgeStopDrop");
}

void TestProfilerEvent::BridgeStopSave() {
    Log::Message("TProf::BridgeStopSave");
}
