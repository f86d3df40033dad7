// The event sink a test profiler hands to the bridge; the bridge only passes it on.
#pragma once

#include "Bridge/IBridgeEvent.h"

class TestEventSink : public IBridgeEvent {};
