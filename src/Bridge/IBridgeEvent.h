// The profiler's event sink for controller commands. The bridge passes it on unopened to the
// command processor that the client-info object creates; each profiler kind's command processor
// knows the kind's own sink interface, which derives from this one.
#pragma once

class IBridgeEvent {
public:
    virtual ~IBridgeEvent() = default;
};
