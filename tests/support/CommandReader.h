// Plays the bridge's worker thread for a command processor under test: reads and processes
// commands on a thread of its own until one raises (a closed line ends it too), keeps the text of
// what ended it, and then ends the processor's replies, so no request is left waiting.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "CommandProcessor/CommandProcessor.h"
#include "support/BridgeLine.h"

class CommandReader {
public:
    // The processor reads from `line`'s profiler end.
    CommandReader(CommandProcessor& processor, BridgeLine& line);
    // Hangs the line up, which ends a reader still waiting for a command.
    ~CommandReader();

    CommandReader(const CommandReader&) = delete;
    CommandReader& operator=(const CommandReader&) = delete;

    // Waits until the reader has ended; false on time-out.
    bool WaitForEnd(std::chrono::milliseconds timeout);
    // What ended the reader.
    std::string EndText();
    // Commands processed without failure so far.
    unsigned Processed() const { return m_Processed; }
    // Waits until at least `count` commands have been processed; false on time-out.
    bool WaitForProcessed(unsigned count, std::chrono::milliseconds timeout);

private:
    CommandProcessor& m_Processor;
    BridgeLine& m_Line;
    std::atomic<unsigned> m_Processed{0};

    std::mutex m_Lock;  // guards m_Ended and m_EndText
    std::condition_variable m_Changed;
    bool m_Ended = false;
    std::string m_EndText;

    std::thread m_Thread;
};
