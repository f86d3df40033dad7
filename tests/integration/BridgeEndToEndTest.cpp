// The profiled side (Bridge over the host's TCP transport) against the controller's Session, or
// against a controller played by hand where a fault must be provoked, over real loopback
// connections.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Bridge/BridgeSnapShotStorage.h"
#include "Bridge/FileSnapShotStorage.h"
#include "Controller/ConnectionStream.h"
#include "Controller/ControllerHandshake.h"
#include "Controller/ProtocolConstants.h"
#include "Controller/Session.h"
#include "Controller/SnapshotFile.h"
#include "Host/PALTools.h"
#include "Platform/Clock.h"
#include "Platform/Com.h"
#include "Platform/Process.h"
#include "Platform/Socket.h"
#include "Profiler/EnvironmentGatherer.h"
#include "Util/ComponentMask.h"
#include "Util/Log.h"
#include "Util/Utf8.h"
#include "WinCE/Bridge.h"
#include "support/LogFileLines.h"
#include "support/ScopedBridgeAddress.h"
#include "support/ScopedLog.h"
#include "support/ScopedRegistryFile.h"
#include "support/TestClientInfo.h"
#include "support/TestEventSink.h"
#include "support/WireBytes.h"

using namespace WireBytes;
using Controller::EventKind;
using Controller::Session;
using Controller::SessionOptions;

namespace {

constexpr DWORD kGenerousMs = 30000;
constexpr auto kGenerous = std::chrono::milliseconds(kGenerousMs);
// {5A0C9E21-7B3D-4E8F-9A1B-2C3D4E5F6071}
constexpr GUID kProcessGuid = {
    0x5A0C9E21, 0x7B3D, 0x4E8F, {0x9A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71}};
constexpr GUID kSequence = {
    0xA1A2A3A4, 0xB1B2, 0xC1C2, {0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8}};
constexpr const WCHAR* kServiceId = u"{D37A1B78-6DC5-46FD-BC31-F7C4D5A11C9C}";

// The bridge's idle-line pause, shortened so that replies to tells do not wait 100 ms each.
void ShortPause(DWORD) {
    Platform::Sleep(1);
}

std::string ErrorText(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        return e.what();
    } catch (const _com_error& e) {
        // A call through the host after the worker has dropped it.
        return "COM error " + std::to_string(static_cast<DWORD>(e.Error()));
    }
    return "";
}

bool LogContains(const std::string& text) {
    for (const std::string& line : ReadLogFileLines()) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The profiled process's side: a Bridge over a real PALTools, with the test client and sink.
class ProfiledSide {
public:
    explicit ProfiledSide(WORD port, bool takeKindCommands = false) : m_Address(port) {
        m_Info.m_AsMemoryKind = true;
        m_Info.m_TakeKindCommands = takeKindCommands;
        m_pTools = new PALTools();
        m_pBridge = std::make_unique<Bridge>(kProcessGuid, kServiceId, m_pTools, &ShortPause);
        m_pBridge->SetClient(&m_Info, &m_Event);
    }
    ~ProfiledSide() {
        m_pBridge.reset();
        EXPECT_TRUE(m_pTools->WaitForServices(kGenerousMs));
        m_pTools->Release();
    }

    // Connect on a thread of its own: the test plays the controller meanwhile. The text is
    // Connect's failure, empty on success.
    std::future<std::string> StartConnect() {
        return std::async(std::launch::async,
                          [this] { return ErrorText([this] { m_pBridge->Connect(); }); });
    }
    // Close returns once the worker has seen the stop; false when it did not within the time.
    bool CloseWithin(std::chrono::milliseconds time) {
        if (!m_Closing.valid()) {
            m_Closing = std::async(std::launch::async, [this] { m_pBridge->Close(); });
        }
        return m_Closing.wait_for(time) == std::future_status::ready;
    }

    Bridge& GetBridge() { return *m_pBridge; }
    IBridgeControl* Control() { return m_pBridge->GetControl(); }
    TestCommandProcessor* Processor() { return m_Info.m_pProcessor; }
    TestClientInfo m_Info;

private:
    ScopedBridgeAddress m_Address;
    TestEventSink m_Event;
    PALTools* m_pTools = nullptr;
    std::unique_ptr<Bridge> m_pBridge;
    std::future<void> m_Closing;
};

SessionOptions QuickOptions() {
    SessionOptions options;
    options.idleInterval = 50;
    return options;
}

// A log in a scratch directory, a Session and the profiled side connected to it.
class BridgeEndToEnd : public testing::Test {
protected:
    // Runs the handshake on both ends; the text is Connect's failure, empty on success.
    std::string Connect(SessionOptions options = QuickOptions(), bool takeKindCommands = false) {
        m_pSession = std::make_unique<Session>(std::move(options));
        m_pProfiled = std::make_unique<ProfiledSide>(m_pSession->Listen(0), takeKindCommands);
        auto connecting = m_pProfiled->StartConnect();
        const std::string accepted = ErrorText([this] { m_pSession->Accept(kGenerousMs); });
        EXPECT_EQ(accepted, "");
        if (connecting.wait_for(kGenerous) != std::future_status::ready) {
            m_pSession->Close();  // releases a worker stuck in the handshake
            ADD_FAILURE() << "Connect did not return";
        }
        return connecting.get();
    }

    void TearDown() override {
        if (m_pProfiled != nullptr && !m_pProfiled->CloseWithin(kGenerous)) {
            ADD_FAILURE() << "Close did not return while the controller was idling";
            m_pSession->Close();
            m_pProfiled->CloseWithin(kGenerous);
        }
        m_pSession.reset();
        m_pProfiled.reset();
    }

    // Waits until the worker has processed the nth (from 1) command `code`: it reads in order, so
    // any code recorded after that one means it is done. The Idle sent here guarantees one.
    void WaitProcessed(BYTE code, size_t nth) {
        m_pSession->Idle();
        auto processed = [code, nth](const std::vector<BYTE>& codes) {
            size_t found = 0;
            for (size_t i = 0; i + 1 < codes.size(); ++i) {
                if (codes[i] == code && ++found == nth) {
                    return true;
                }
            }
            return false;
        };
        const auto codes = m_pProfiled->Processor()->WaitForCommands(processed, kGenerousMs);
        ASSERT_TRUE(processed(codes)) << "the worker did not get past command " << int(code);
    }

    ScopedLog m_Log{0};
    std::unique_ptr<Session> m_pSession;
    std::unique_ptr<ProfiledSide> m_pProfiled;
};

// ---- Section content written by a test and the model of what the controller must hold ----

// What a section must contain after the same writes, tells and seeks; a seek past the end and a
// write leave zeros in the gap.
class SectionModel {
public:
    void Write(const BYTE* pData, size_t count) {
        if (m_Position + count > m_Bytes.size()) {
            m_Bytes.resize(m_Position + count, 0);
        }
        std::copy(pData, pData + count, m_Bytes.begin() + static_cast<std::ptrdiff_t>(m_Position));
        m_Position += count;
    }
    void Seek(int32_t origin, int32_t offset) {
        const int64_t base = origin == ISeekBridgeStream::SeekBegin     ? 0
                             : origin == ISeekBridgeStream::SeekCurrent ? int64_t(m_Position)
                                                                        : int64_t(m_Bytes.size());
        m_Position = static_cast<size_t>(base + offset);
    }
    size_t Position() const { return m_Position; }
    const Bytes& Content() const { return m_Bytes; }

private:
    Bytes m_Bytes;
    size_t m_Position = 0;
};

// Thousands of one- and three-byte writes (as counters come), with tells checked against the
// model, a seek back that patches a byte, and a seek past the end. Returns "" or what went wrong.
std::string WriteSection(IWriteSeekBridgeStream& section, SectionModel& model, unsigned seed,
                         int writes) {
    unsigned state = seed * 2654435761u + 1;
    auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return static_cast<BYTE>(state >> 16);
    };
    for (int i = 0; i < writes; ++i) {
        BYTE data[3] = {next(), next(), next()};
        const size_t count = (i % 5 == 4) ? 3 : 1;
        section.Write(data, count);
        model.Write(data, count);
        if (i % 500 == 250) {
            const int32_t told = section.Tell();
            if (told != static_cast<int32_t>(model.Position())) {
                return "Tell gave " + std::to_string(told) + ", expected " +
                       std::to_string(model.Position());
            }
            // Patch a byte written earlier, then go back to the end.
            const BYTE patch = 0xEE;
            section.Seek(ISeekBridgeStream::SeekBegin, told / 2);
            model.Seek(ISeekBridgeStream::SeekBegin, told / 2);
            section.Write(&patch, 1);
            model.Write(&patch, 1);
            section.Seek(ISeekBridgeStream::SeekEnd, 0);
            model.Seek(ISeekBridgeStream::SeekEnd, 0);
        }
    }
    // A gap of zeros, then a last byte.
    const BYTE last = 0x7F;
    section.Seek(ISeekBridgeStream::SeekCurrent, 5);
    model.Seek(ISeekBridgeStream::SeekCurrent, 5);
    section.Write(&last, 1);
    model.Write(&last, 1);
    return "";
}

// Field for field: the snapshot file's head holds every field but the sections' bytes.
void ExpectSameSnapshot(const Controller::Snapshot& actual, const Controller::Snapshot& expected) {
    EXPECT_EQ(Controller::SnapshotFile::EncodeHead(actual),
              Controller::SnapshotFile::EncodeHead(expected));
    ASSERT_EQ(actual.sections.size(), expected.sections.size());
    for (size_t i = 0; i < actual.sections.size(); ++i) {
        EXPECT_TRUE(actual.sections[i].bytes == expected.sections[i].bytes) << "section " << i;
    }
}

}  // namespace

TEST_F(BridgeEndToEnd, HandshakeDeliversWhatEachSideSent) {
    SessionOptions options = QuickOptions();
    options.controlKind = Controller::ControlKindApi;
    options.namedFlags = {{u"Alpha", true}, {u"Beta", false}};
    options.controllerText = "first line\r\nsecond line";
    options.memory.snapshotAtStart = true;
    options.memory.allocationsFactor = 0x01020304;
    ASSERT_EQ(Connect(options), "");

    // What the controller learnt, against values found independently of the bridge.
    const Controller::ProcessInfo& info = m_pSession->GetProcessInfo();
    EXPECT_EQ(info.outcome, Controller::HandshakeOutcome::Running);
    EXPECT_EQ(info.protocolGuid, Controller::BridgeProtocolGuid);
    EXPECT_EQ(info.clientGuid, TestClientInfo::MemoryClientGuid);
    EXPECT_EQ(info.kind, Controller::ProfilerKind::Memory);
    EXPECT_EQ(info.processGuid, kProcessGuid);
    EXPECT_EQ(info.processId, static_cast<DWORD>(getpid()));
    EXPECT_EQ(info.logFilePath, ToUtf8(Log::GetFilePath()));
    EXPECT_EQ(info.logFilePath.rfind(m_Log.Directory().Path().string(), 0), 0u);
    // The command line: the program's path quoted, arguments with blanks quoted.
    std::string commandLine =
        "\"" + std::filesystem::read_symlink("/proc/self/exe").string() + "\"";
    std::ifstream arguments("/proc/self/cmdline", std::ios::binary);
    std::string argument;
    std::getline(arguments, argument, '\0');
    while (std::getline(arguments, argument, '\0')) {
        const bool blank = argument.find(' ') != std::string::npos;
        commandLine += " " + (blank ? "\"" + argument + "\"" : argument);
    }
    EXPECT_EQ(info.commandLine, commandLine);
    EXPECT_TRUE(info.environment.empty());

    // What the profiled side received.
    Bridge& bridge = m_pProfiled->GetBridge();
    EXPECT_EQ(bridge.GetControlKind(), BaseBridge::ControlApi);
    EXPECT_EQ(bridge.GetControllerText(), "first line\r\nsecond line");
    EXPECT_EQ(bridge.GetNamedFlags(),
              (std::map<WString, bool>{{u"Alpha", true}, {u"Beta", false}}));
    EXPECT_TRUE(m_pProfiled->m_Info.m_SettingsRead);
    EXPECT_TRUE(m_pProfiled->m_Info.m_SettingsFlag);
    EXPECT_EQ(m_pProfiled->m_Info.m_SettingsValue, 0x01020304u);
    EXPECT_EQ(m_pProfiled->m_Info.m_SnapshotType, BaseBridge::SnapShotBridgeStream);
    EXPECT_EQ(m_pProfiled->m_Info.m_ControlKind, BaseBridge::ControlApi);
    EXPECT_TRUE(LogContains("BB::TryConnect snapShotType=bridgeStream controlKind=api") ||
                !Log::IsEnabled(LogComponent::Bridge));
}

TEST_F(BridgeEndToEnd, EachRefusalFailsConnectAndIsLogged) {
    struct Refusal {
        void (*refuse)(SessionOptions&);
        Controller::HandshakeOutcome outcome;
        const char* logged;
    };
    const Refusal refusals[] = {
        {[](SessionOptions& o) { o.acceptVersion = false; },
         Controller::HandshakeOutcome::VersionRefused, "Incompatible bridge version"},
        {[](SessionOptions& o) { o.acceptConnection = false; },
         Controller::HandshakeOutcome::ConnectionRefused, "Unaccepted connection"},
        {[](SessionOptions& o) { o.run = false; }, Controller::HandshakeOutcome::RunRefused,
         "Failed to run"},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.logged);
        EXPECT_FALSE(LogContains(refusal.logged));
        SessionOptions options = QuickOptions();
        refusal.refuse(options);
        EXPECT_EQ(Connect(options), "Thread abnormally finished");
        EXPECT_EQ(m_pSession->GetProcessInfo().outcome, refusal.outcome);
        EXPECT_TRUE(LogContains(refusal.logged));
        EXPECT_EQ(m_pProfiled->Processor(), nullptr);
        EXPECT_TRUE(m_pProfiled->CloseWithin(kGenerous));
        m_pProfiled.reset();
        m_pSession.reset();
    }
}

TEST_F(BridgeEndToEnd, CommandsReachTheProcessorAndChangeTheLogMask) {
    ASSERT_EQ(Connect(QuickOptions(), true), "");
    const ComponentMask threads = ComponentBit(LogComponent::ThreadGt);
    ASSERT_FALSE(Log::IsEnabled(LogComponent::ThreadGt));

    m_pSession->Start();
    m_pSession->StopSave();
    m_pSession->ForceGC();
    m_pSession->Dump();
    m_pSession->StopDrop();
    m_pSession->ChangeLogMask(threads, 0);
    WaitProcessed(0xFD, 1);
    std::vector<BYTE> codes =
        m_pProfiled->Processor()->WaitForCommands([](auto&) { return true; }, 0);
    codes.erase(std::remove(codes.begin(), codes.end(), BYTE{0xFF}), codes.end());
    EXPECT_EQ(codes, (std::vector<BYTE>{0x10, 0x12, 0x20, 0x21, 0x11, 0xFD}));
    EXPECT_TRUE(Log::IsEnabled(LogComponent::ThreadGt));

    m_pSession->ChangeLogMask(0, threads);
    WaitProcessed(0xFD, 2);
    EXPECT_FALSE(Log::IsEnabled(LogComponent::ThreadGt));
}

// A controller that never sends again cannot keep Close (and so the program's exit) waiting.
TEST_F(BridgeEndToEnd, SilentControllerDoesNotHoldClose) {
    SessionOptions options = QuickOptions();
    options.idleInterval = INFINITE;
    ASSERT_EQ(Connect(options), "");
    EXPECT_TRUE(m_pProfiled->CloseWithin(kGenerous));
}

class BridgeEndToEndConcurrent : public BridgeEndToEnd {};

// Four threads each write three sections at once; every section arrives whole and byte-exact, and
// the snapshot survives the controller's snapshot file.
TEST_F(BridgeEndToEndConcurrent, SectionsWrittenFromSeveralThreadsArriveByteExact) {
    ASSERT_EQ(Connect(), "");
    constexpr int THREADS = 4;
    constexpr int SECTIONS = 3;
    auto pStorage = m_pProfiled->GetBridge().CreateSnapShotStorage();
    ASSERT_NE(dynamic_cast<BridgeSnapShotStorage*>(pStorage.get()), nullptr);
    pStorage->Create(m_pProfiled->Control(), Controller::MemorySnapshotMagic, 2, kSequence, 9);

    std::vector<SectionModel> models(THREADS * SECTIONS);
    std::vector<std::future<std::string>> writers;
    for (int t = 0; t < THREADS; ++t) {
        writers.push_back(std::async(std::launch::async, [&, t] {
            return ErrorText([&] {
                std::vector<IWriteSeekBridgeStream*> open;
                for (int s = 0; s < SECTIONS; ++s) {
                    open.push_back(pStorage->CreateSection());
                }
                // Interleaved within the thread as well: all its sections are open at once.
                for (int s = 0; s < SECTIONS; ++s) {
                    const int n = t * SECTIONS + s;
                    const std::string fault = WriteSection(*open[s], models[n], n, 3000 + 700 * s);
                    if (!fault.empty()) {
                        throw std::runtime_error(fault);
                    }
                }
                for (int s = 0; s < SECTIONS; ++s) {
                    const int n = t * SECTIONS + s;
                    pStorage->CloseSection(open[s], static_cast<WORD>(0x3100 + n),
                                           static_cast<WORD>(s));
                }
            });
        }));
    }
    for (auto& writer : writers) {
        ASSERT_EQ(writer.wait_for(kGenerous), std::future_status::ready);
        EXPECT_EQ(writer.get(), "");
    }
    pStorage->Close();

    auto event = m_pSession->WaitFor(EventKind::Snapshot, kGenerousMs);
    ASSERT_TRUE(event && event->snapshot);
    const Controller::Snapshot& snapshot = *event->snapshot;
    EXPECT_TRUE(snapshot.complete) << snapshot.note;
    EXPECT_EQ(snapshot.magic, Controller::MemorySnapshotMagic);
    EXPECT_EQ(snapshot.index, 2u);
    EXPECT_EQ(snapshot.sequence, kSequence);
    EXPECT_EQ(snapshot.sequenceNumber, 9u);
    ASSERT_EQ(snapshot.sections.size(), models.size());
    for (size_t n = 0; n < models.size(); ++n) {
        const Controller::SnapshotSection* pSection =
            snapshot.FindSection(static_cast<uint16_t>(0x3100 + n));
        ASSERT_NE(pSection, nullptr) << n;
        EXPECT_TRUE(pSection->closed);
        EXPECT_EQ(pSection->version, n % SECTIONS);
        EXPECT_TRUE(pSection->bytes == models[n].Content()) << "section " << n;
    }

    const auto path = m_Log.Directory().Path() / "concurrent.qvsnap";
    Controller::SnapshotFile::Write(path, snapshot);
    ExpectSameSnapshot(Controller::SnapshotFile::Read(path), snapshot);
}

// The same sections written once over the bridge and, after ChangeSnapShotType 0, once into
// files on the device, reach the controller with the same content.
TEST_F(BridgeEndToEnd, ChangeSnapShotTypeSwitchesTheNextSnapshotToFiles) {
    SessionOptions options = QuickOptions();
    options.removeFileSnapshots = true;
    ASSERT_EQ(Connect(options), "");
    auto writeSnapshot = [this](ISnapShotStorage& storage) {
        storage.Create(m_pProfiled->Control(), Controller::MemorySnapshotMagic, 1, kSequence, 4);
        for (int s = 0; s < 3; ++s) {
            SectionModel model;
            IWriteSeekBridgeStream* pSection = storage.CreateSection();
            EXPECT_EQ(WriteSection(*pSection, model, 40 + s, 2000), "");
            storage.CloseSection(pSection, static_cast<WORD>(0x100 + s), 1);
        }
        storage.Close();
    };

    auto pBridgeStorage = m_pProfiled->GetBridge().CreateSnapShotStorage();
    ASSERT_NE(dynamic_cast<BridgeSnapShotStorage*>(pBridgeStorage.get()), nullptr);
    writeSnapshot(*pBridgeStorage);
    auto streamed = m_pSession->WaitFor(EventKind::Snapshot, kGenerousMs);
    ASSERT_TRUE(streamed && streamed->snapshot);
    EXPECT_EQ(streamed->snapshot->origin, Controller::SnapshotOrigin::BridgeStream);

    m_pSession->ChangeSnapShotType(Controller::SnapshotTypeFileSystem);
    WaitProcessed(0xFE, 1);
    auto pFileStorage = m_pProfiled->GetBridge().CreateSnapShotStorage();
    ASSERT_NE(dynamic_cast<FileSnapShotStorage*>(pFileStorage.get()), nullptr);
    writeSnapshot(*pFileStorage);
    auto filed = m_pSession->WaitFor({EventKind::Snapshot, EventKind::Error}, kGenerousMs);
    ASSERT_TRUE(filed);
    ASSERT_EQ(filed->kind, EventKind::Snapshot) << filed->text;
    EXPECT_EQ(filed->snapshot->origin, Controller::SnapshotOrigin::FileStorage);
    Controller::Snapshot expected = *streamed->snapshot;
    expected.origin = Controller::SnapshotOrigin::FileStorage;
    ExpectSameSnapshot(*filed->snapshot, expected);
}

TEST_F(BridgeEndToEnd, EnvironmentRecordLeadsTheSnapshot) {
    ScopedRegistryFile registry("[HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]\n\"Aku\"=\"img\"\n");
    SessionOptions options = QuickOptions();
    options.controllerText = "recorded by the end-to-end test";
    ASSERT_EQ(Connect(options), "");
    EnvironmentGatherer environment;
    environment.Gather(kProcessGuid, 2, EnvironmentGatherer::RuntimeCore, 8, 0, 1, 2);
    {
        auto pStorage = m_pProfiled->GetBridge().CreateSnapShotStorage();
        pStorage->Create(m_pProfiled->Control(), Controller::PerformanceSnapshotMagic, 0, kSequence,
                         1);
        environment.Write(*pStorage, m_pProfiled->GetBridge().GetControllerText(), 0, kSequence, 1);
        IWriteSeekBridgeStream* pHeader = pStorage->CreateSection();
        const BYTE header[4] = {1, 2, 3, 4};
        pHeader->Write(header, sizeof(header));
        pStorage->CloseSection(pHeader, 0x1000, 0);
        pStorage->Close();
    }
    auto event = m_pSession->WaitFor(EventKind::Snapshot, kGenerousMs);
    ASSERT_TRUE(event && event->snapshot);
    const Controller::Snapshot& snapshot = *event->snapshot;
    EXPECT_TRUE(snapshot.complete) << snapshot.note;
    ASSERT_EQ(snapshot.sections.size(), 2u);
    const auto& record = snapshot.sections[0];
    EXPECT_EQ(record.type, EnvironmentGatherer::SectionType);
    EXPECT_EQ(record.version, EnvironmentGatherer::SectionVersion);
    EXPECT_TRUE(record.closed);
    auto contains = [&record](const Bytes& part) {
        return std::search(record.bytes.begin(), record.bytes.end(), part.begin(), part.end()) !=
               record.bytes.end();
    };
    EXPECT_TRUE(contains(ShortText(options.controllerText)));
    EXPECT_TRUE(contains(Bytes{0x21, 0x9E, 0x0C, 0x5A, 0x3D, 0x7B, 0x8F, 0x4E, 0x9A, 0x1B, 0x2C,
                               0x3D, 0x4E, 0x5F, 0x60, 0x71}));
    EXPECT_EQ(snapshot.sections[1].type, 0x1000);
    EXPECT_EQ(snapshot.sections[1].version, 0);
    EXPECT_EQ(snapshot.sections[1].bytes, (Bytes{1, 2, 3, 4}));
}

// The controller goes away while a section is streaming: the writer fails with the transport's
// text, the worker ends, and the controller's snapshot is incomplete, in memory and in its file.
TEST_F(BridgeEndToEnd, ControllerClosingInASnapshotLeavesItIncomplete) {
    ASSERT_EQ(Connect(), "");
    auto pStorage = m_pProfiled->GetBridge().CreateSnapShotStorage();
    pStorage->Create(m_pProfiled->Control(), Controller::PerformanceSnapshotMagic, 0, kSequence, 1);
    IWriteSeekBridgeStream* pSection = pStorage->CreateSection();
    std::promise<void> streaming;
    auto writer = std::async(std::launch::async, [&] {
        return ErrorText([&] {
            const Bytes chunk(4096, 0xAB);
            for (int i = 0;; ++i) {
                pSection->Write(chunk.data(), chunk.size());
                if (i == 100) {
                    streaming.set_value();
                }
            }
        });
    });
    ASSERT_EQ(streaming.get_future().wait_for(kGenerous), std::future_status::ready);
    m_pSession->Close();
    ASSERT_EQ(writer.wait_for(kGenerous), std::future_status::ready);
    // The host's write fails, or, once the worker has ended and dropped the host, the call to it.
    const std::string failure = writer.get();
    EXPECT_TRUE(failure.rfind("Can't write data (PAL error code 0x", 0) == 0 ||
                failure.rfind("COM error", 0) == 0)
        << failure;
    pStorage.reset();

    auto event = m_pSession->WaitFor(EventKind::Snapshot, kGenerousMs);
    ASSERT_TRUE(event && event->snapshot);
    EXPECT_FALSE(event->snapshot->complete);
    EXPECT_FALSE(event->snapshot->note.empty());
    ASSERT_EQ(event->snapshot->sections.size(), 1u);
    EXPECT_FALSE(event->snapshot->sections[0].closed);

    const auto path = m_Log.Directory().Path() / "interrupted.qvsnap";
    Controller::SnapshotFile::Write(path, *event->snapshot);
    std::ifstream in(path, std::ios::binary);
    std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(file.size(), 44u);
    EXPECT_EQ(file[44] & Controller::SnapshotFile::FlagComplete, 0);
    EXPECT_FALSE(Controller::SnapshotFile::Read(path).complete);

    // The worker ended on the broken line; Close returns without a controller.
    EXPECT_TRUE(m_pProfiled->CloseWithin(kGenerous));
    EXPECT_TRUE(LogContains("Can't write data"));
}

// ---- Faults provoked by a controller played by hand ----

// A controller that listens like Session but lets the test decide every byte after (or instead
// of) the handshake.
class HandPlayedController {
public:
    HandPlayedController() {
        std::string error;
        m_Listener = Platform::ListenLoopback(0, &error);
        EXPECT_NE(m_Listener, nullptr) << error;
    }
    ~HandPlayedController() {
        Close();
        Platform::CloseSocket(m_Listener);
    }
    WORD Port() const { return Platform::GetSocketPort(m_Listener); }

    bool Accept() {
        Platform::SocketHandle socket = nullptr;
        if (Platform::AcceptConnection(m_Listener, kGenerousMs, &socket) !=
            Platform::SocketResult::Ok) {
            return false;
        }
        m_pConnection = std::make_unique<Controller::ConnectionStream>(socket);
        m_pConnection->SetReadTimeout(kGenerousMs);
        return true;
    }
    // The controller's handshake with default answers (memory settings, bridge stream).
    void Handshake() {
        Controller::ControllerHandshake::Run(*m_pConnection, *m_pConnection, SessionOptions());
    }
    Bytes Receive(size_t count) {
        Bytes bytes(count);
        m_pConnection->Read(bytes.data(), count);
        return bytes;
    }
    void Send(const Bytes& bytes) { m_pConnection->Write(bytes.data(), bytes.size()); }
    // True when the profiled side ends the connection.
    bool SeesEnd() {
        return ErrorText([this] {
                   for (;;) {
                       Receive(1);
                   }
               }) != "";
    }
    void Close() {
        if (m_pConnection != nullptr) {
            m_pConnection->Shutdown();
            m_pConnection.reset();
        }
    }

private:
    Platform::SocketHandle m_Listener = nullptr;
    std::unique_ptr<Controller::ConnectionStream> m_pConnection;
};

class BridgeEndToEndFaults : public testing::Test {
protected:
    // Connects the profiled side to the hand-played controller, which runs the handshake.
    void ConnectAfterHandshake() {
        m_pProfiled = std::make_unique<ProfiledSide>(m_Controller.Port());
        auto connecting = m_pProfiled->StartConnect();
        ASSERT_TRUE(m_Controller.Accept());
        m_Controller.Handshake();
        ASSERT_EQ(connecting.wait_for(kGenerous), std::future_status::ready);
        ASSERT_EQ(connecting.get(), "");
    }
    void TearDown() override {
        m_Controller.Close();
        if (m_pProfiled != nullptr) {
            EXPECT_TRUE(m_pProfiled->CloseWithin(kGenerous));
        }
        m_pProfiled.reset();
    }

    ScopedLog m_Log{0};
    HandPlayedController m_Controller;
    std::unique_ptr<ProfiledSide> m_pProfiled;
};

TEST_F(BridgeEndToEndFaults, ControllerClosingInTheHandshakeFailsConnect) {
    m_pProfiled = std::make_unique<ProfiledSide>(m_Controller.Port());
    auto connecting = m_pProfiled->StartConnect();
    ASSERT_TRUE(m_Controller.Accept());
    EXPECT_EQ(m_Controller.Receive(16), ProtocolGuidBytes);
    m_Controller.Close();
    ASSERT_EQ(connecting.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(connecting.get(), "Thread abnormally finished");
    EXPECT_TRUE(LogContains("Can't write data"));
}

TEST_F(BridgeEndToEndFaults, ControllerClosingInACommandEndsTheWorker) {
    ConnectAfterHandshake();
    m_Controller.Send({0xFD, 0x01, 0x02});  // ChangeLogMask, cut short
    m_Controller.Close();
    // The worker ends by itself, before any Close could stop it.
    const auto deadline = std::chrono::steady_clock::now() + kGenerous;
    while (!LogContains("Can't write data") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(LogContains("Can't write data"));
    EXPECT_TRUE(m_pProfiled->CloseWithin(kGenerous));
}

TEST_F(BridgeEndToEndFaults, GarbageCommandEndsTheWorker) {
    ConnectAfterHandshake();
    IBridgeControl* pControl = m_pProfiled->Control();
    m_Controller.Send({0x13});
    EXPECT_TRUE(m_Controller.SeesEnd());
    EXPECT_TRUE(LogContains("Unknown bridge command"));
    // Nothing reads replies any more: a request fails at once.
    EXPECT_EQ(ErrorText([&] { pControl->SnapShotBridgeCreateSection(); }),
              "Event waiting was interrupted");
    EXPECT_TRUE(m_pProfiled->CloseWithin(kGenerous));
}

TEST_F(BridgeEndToEndFaults, UnansweredSectionRequestFailsWhenTheConnectionEnds) {
    ConnectAfterHandshake();
    BridgeSnapShotStorage storage;
    storage.Create(m_pProfiled->Control(), Controller::MemorySnapshotMagic, 0, kSequence, 1);
    auto creating =
        std::async(std::launch::async, [&] { return ErrorText([&] { storage.CreateSection(); }); });
    EXPECT_EQ(m_Controller.Receive(10),
              Concat({{0xE0}, U32(Controller::MemorySnapshotMagic), {0xE1}, U32(0)}));
    m_Controller.Close();
    ASSERT_EQ(creating.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(creating.get(), "Event waiting was interrupted");
}
