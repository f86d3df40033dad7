#include "support/BridgeHarness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>

#include "support/SleepRecorder.h"

namespace {

constexpr std::chrono::milliseconds IDLE_INTERVAL{10};
constexpr BYTE IDLE = 0xFF;

}  // namespace

BridgeHarness::BridgeHarness()
    : m_pBridge(
          std::make_unique<Bridge>(ProcessGuid, ServiceId, &m_PALTools, &SleepRecorder::Sleep)) {
    m_pBridge->SetClient(&m_Info, &m_Event);
}

BridgeHarness::~BridgeHarness() {
    if (!m_Closed) {
        Close();
    }
    m_pBridge.reset();
}

std::string BridgeHarness::Connect(const HandshakeAnswers& answers, HandshakeHello* pHello) {
    auto connecting = std::async(std::launch::async, [this] {
        try {
            m_pBridge->Connect();
            return std::string();
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
    });
    try {
        HandshakeHello hello = PlayControllerHandshake(Line().Controller(), answers);
        if (pHello != nullptr) {
            *pHello = hello;
        }
    } catch (const std::exception& e) {
        ADD_FAILURE() << "handshake: " << e.what();
        Line().Hangup();
    }
    if (connecting.wait_for(BridgeLine::Patience) != std::future_status::ready) {
        ADD_FAILURE() << "Connect did not return";
        Line().Hangup();
    }
    return connecting.get();
}

void BridgeHarness::Close() {
    m_Closed = true;
    auto closing = std::async(std::launch::async, [this] { m_pBridge->Close(); });
    const auto deadline = std::chrono::steady_clock::now() + BridgeLine::Patience;
    while (closing.wait_for(IDLE_INTERVAL) != std::future_status::ready) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "Close did not return";
            Line().Hangup();
            break;
        }
        Line().Send({IDLE});
    }
    closing.get();
}
