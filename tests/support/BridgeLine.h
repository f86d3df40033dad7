// Both directions of a bridge connection inside the test process, with a stream for each end.
// The profiler's end is what a command processor reads and writes; the test plays the controller
// at the other end. Reads give up after a generous time limit with an exception.
#pragma once

#include <chrono>
#include <vector>

#include "Bridge/IBridgeStream.h"
#include "Platform/Types.h"
#include "support/BytePipe.h"

class BridgeLine {
public:
    static constexpr std::chrono::milliseconds Patience{10000};

    // One end: reads from one pipe, writes to the other.
    class End : public IBridgeStream {
    public:
        End(BytePipe& in, BytePipe& out) : m_In(in), m_Out(out) {}
        // Raises "Bridge line closed" or "Bridge line read timed out" when the bytes do not come.
        void Read(void* buffer, size_t count) override;
        // Raises "Bridge line closed" when the other end is gone.
        void Write(const void* data, size_t count) override;

    private:
        BytePipe& m_In;
        BytePipe& m_Out;
    };

    BridgeLine() = default;
    BridgeLine(const BridgeLine&) = delete;
    BridgeLine& operator=(const BridgeLine&) = delete;

    End& Profiler() { return m_ProfilerEnd; }
    End& Controller() { return m_ControllerEnd; }
    BytePipe& ToController() { return m_ToController; }
    BytePipe& ToProfiler() { return m_ToProfiler; }

    // The controller sends these bytes.
    void Send(const std::vector<BYTE>& bytes) { m_ToProfiler.Push(bytes.data(), bytes.size()); }
    // Exactly `count` bytes the profiler sent; fails the calling test and returns what arrived
    // when they do not come in time.
    std::vector<BYTE> Receive(size_t count);
    // Ends the line both ways: reads on either side fail at once.
    void Hangup();

private:
    BytePipe m_ToController;
    BytePipe m_ToProfiler;
    End m_ProfilerEnd{m_ToProfiler, m_ToController};
    End m_ControllerEnd{m_ToController, m_ToProfiler};
};
