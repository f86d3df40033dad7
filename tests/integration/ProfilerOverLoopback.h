// A profiler kind over the scripted runtime whose bridge runs on the host's real transport to the
// controller's Session on a loopback connection, with the log open and the host's threads
// installed: the set-up of the kinds' integration tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "Controller/Session.h"
#include "Host/PALThreads.h"
#include "Host/PALTools.h"
#include "Platform/Clock.h"
#include "Util/ComRef.h"
#include "WinCE/Bridge.h"
#include "support/ScopedLog.h"
#include "support/ScopedPALThreads.h"
#include "support/TestRuntime.h"

template <class TProfiler>
class ProfilerOverLoopback : public testing::Test {
protected:
    static constexpr DWORD Patience = 30000;

    explicit ProfilerOverLoopback(ComponentMask logMask = 0) : m_Log(logMask) {}

    void TearDown() override { Disconnect(); }

    // The runtime initialises a new profiler of the kind `serviceId` while the Session (its idle
    // interval shortened) accepts it.
    void Connect(Controller::SessionOptions options, const WCHAR* serviceId) {
        options.idleInterval = 50;
        m_pSession = std::make_unique<Controller::Session>(std::move(options));
        const std::string address = "127.0.0.1:" + std::to_string(m_pSession->Listen(0));
        setenv(PALTools::AddressVariable, address.c_str(), 1);
        m_pTools = new PALTools();
        m_pBridge = std::make_unique<Bridge>(ProcessGuid, serviceId, m_pTools, &ShortPause);
        m_pProfiler = new TProfiler(&m_TotalRef, m_pBridge.get());
        auto initializing = std::async(
            std::launch::async, [this] { return m_Runtime.InitializeProfiler(m_pProfiler); });
        m_pSession->Accept(Patience);
        ASSERT_EQ(initializing.get(), S_OK);
    }

    // Shuts the profiler down and closes both ends; the test may connect again.
    void Disconnect() {
        if (m_pProfiler != nullptr) {
            EXPECT_EQ(m_Runtime.ShutdownProfiler(), S_OK);
            m_pProfiler->Release();
            m_pProfiler = nullptr;
        }
        if (m_pSession != nullptr) {
            m_pSession->Close();
        }
        m_pBridge.reset();
        if (m_pTools != nullptr) {
            EXPECT_TRUE(m_pTools->WaitForServices(Patience));
            m_pTools->Release();
            m_pTools = nullptr;
        }
        unsetenv(PALTools::AddressVariable);
    }

    std::optional<Controller::ControllerEvent> WaitFor(Controller::EventKind kind) {
        return m_pSession->WaitFor(kind, Patience);
    }

    static size_t CountSections(const Controller::Snapshot& snapshot, uint16_t type) {
        size_t count = 0;
        for (const auto& section : snapshot.sections) {
            count += section.type == type ? 1 : 0;
        }
        return count;
    }

    ScopedLog m_Log;
    // The command thread runs on the host's threads; created with one reference, which this takes.
    ComRef<IPALThreads> m_pHostThreads = [] {
        ComRef<IPALThreads> pThreads;
        pThreads.Attach(new PALThreads());
        return pThreads;
    }();
    ScopedPALThreads m_HostThreads{m_pHostThreads.Get()};
    TestRuntime m_Runtime;
    std::unique_ptr<Controller::Session> m_pSession;
    PALTools* m_pTools = nullptr;
    std::unique_ptr<Bridge> m_pBridge;
    LONG m_TotalRef = 0;
    TProfiler* m_pProfiler = nullptr;

private:
    static constexpr GUID ProcessGuid = {
        0x5A0C9E21, 0x7B3D, 0x4E8F, {0x9A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x72}};

    // The bridge's idle-line pause, shortened so that replies to tells do not wait 100 ms each.
    static void ShortPause(DWORD) { Platform::Sleep(1); }
};
