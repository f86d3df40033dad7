#include "support/CommandReader.h"

#include <gtest/gtest.h>

#include <exception>

CommandReader::CommandReader(CommandProcessor& processor, BridgeLine& line)
    : m_Processor(processor), m_Line(line) {
    m_Thread = std::thread([this] {
        std::string text;
        try {
            for (;;) {
                m_Processor.ReadCommand();
                std::lock_guard<std::mutex> guard(m_Lock);
                ++m_Processed;
                m_Changed.notify_all();
            }
        } catch (const std::exception& e) {
            text = e.what();
        }
        // As the bridge's worker does: nobody reads replies any more.
        m_Processor.EndReplies();
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Ended = true;
        m_EndText = text;
        m_Changed.notify_all();
    });
}

CommandReader::~CommandReader() {
    m_Line.Hangup();
    if (!WaitForEnd(BridgeLine::Patience)) {
        ADD_FAILURE() << "the command reader did not end";
    }
    m_Thread.join();
}

bool CommandReader::WaitForEnd(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_Lock);
    return m_Changed.wait_for(lock, timeout, [this] { return m_Ended; });
}

std::string CommandReader::EndText() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_EndText;
}

bool CommandReader::WaitForProcessed(unsigned count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_Lock);
    return m_Changed.wait_for(lock, timeout, [this, count] {
        return m_Processed >= count || m_Ended;
    }) && m_Processed >= count;
}
