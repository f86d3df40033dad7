#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Clock.h"
#include "Platform/Com.h"
#include "Platform/Cor/CorProfiler.h"
#include "Platform/FileSystem.h"
#include "Platform/Format.h"
#include "Platform/Process.h"
#include "Util/CatchAtEdge.h"
#include "Util/HrError.h"
#include "Util/Log.h"
#include "Util/TempFile.h"
#include "Util/Utf8.h"
#include "support/ErrorText.h"
#include "support/LogFileLines.h"
#include "support/ScratchDirectory.h"
#include "support/TestRuntime.h"

namespace fs = std::filesystem;

namespace {

// The component table as the record lists it: index and name, in index order.
// clang-format off
const std::pair<unsigned, const char*> COMPONENTS[] = {
    {0, "Bridge"}, {1, "Api"}, {3, "DumpGt"}, {4, "MetaDataGt"}, {5, "PdbGt"}, {6, "ModulePathGt"},
    {7, "InstrumentationGt"}, {8, "ThreadGt"}, {9, "PerformanceSamplingGt"}, {10, "SignatureGt"},
    {11, "CoverageGroupGt"}, {12, "InstrumentationEp"}, {13, "FunctionEp"}, {14, "MapperEp"},
    {16, "AppDomainCb"}, {17, "AssemblyCb"}, {18, "ClassCb"}, {19, "ExceptionCb"},
    {20, "ExceptionClrCb"}, {21, "FunctionCb"}, {22, "GcCb"}, {23, "HandleCb"}, {24, "ModuleCb"},
    {25, "RemotingCb"}, {26, "RuntimeCb"}, {27, "ThreadCb"}, {28, "TransitionCb"}, {29, "VTableCb"},
};
// clang-format on

// "\t 8: [X] ThreadGt" for every component, X where the mask has its bit.
std::vector<std::string> ComponentLines(DWORD mask) {
    std::vector<std::string> lines;
    for (const auto& [index, pName] : COMPONENTS) {
        std::string number = std::to_string(index);
        lines.push_back(std::string("\t") + (index < 10 ? " " : "") + " " + number + ": [" +
                        ((mask >> index) & 1 ? "X" : " ") + "] " + pName);
    }
    return lines;
}

std::vector<std::string> Slice(const std::vector<std::string>& lines, size_t from, size_t count) {
    if (from >= lines.size()) {
        return {};
    }
    size_t end = std::min(lines.size(), from + count);
    return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(from),
                                    lines.begin() + static_cast<std::ptrdiff_t>(end));
}

// The expected lines of a record: each with the line prefix of the logging thread.
std::vector<std::string> Prefixed(std::vector<std::string> lines, ThreadID managed = 0) {
    for (std::string& line : lines) {
        line = LogLinePrefix(managed) + line;
    }
    return lines;
}

// Keeps what the log hands over, in order.
class RecordingSink : public LogSink {
public:
    void OnWarning(const char* pText) override { m_Received.push_back(std::string("W:") + pText); }
    void OnError(const char* pText) override { m_Received.push_back(std::string("E:") + pText); }
    std::vector<std::string> m_Received;
};

// Each test logs into a fresh temporary directory and leaves the log closed, with no sink, no
// runtime interface and the default temporary directory.
class LogTest : public testing::Test {
protected:
    void SetUp() override { SetTempDirectory(m_Scratch.Wide().c_str()); }
    void TearDown() override {
        Log::SetSink(nullptr);
        Log::SetProfilerInfo(nullptr);
        Log::Finish();
        SetTempDirectory(nullptr);
    }
    ScratchDirectory m_Scratch;
};

}  // namespace

TEST_F(LogTest, WritesPlainWarningAndErrorLinesWithThreadPrefix) {
    Log::Initialize(0);
    Log::Message("CP::Plain text");
    Log::Format("BPProf::ThreadCreated tid=%p code=%08X name='%S' n=%d",
                reinterpret_cast<void*>(0xAB), 0x1Fu, u"Wid\u00e9", -5);
    Log::Warning("PTProf::Anomaly value=1");
    Log::WarningFormat("W n=%u", 7u);
    Log::Error("Can't do it");
    Log::ErrorFormat("E %s", "formatted");
    const std::string tid = std::string(sizeof(void*) * 2 - 2, '0') + "AB";
    EXPECT_EQ(
        ReadLogLinesAfterRecord(),
        Prefixed({"CP::Plain text",
                  "BPProf::ThreadCreated tid=" + tid + " code=0000001F name='Wid\xC3\xA9' n=-5",
                  "WARNING: PTProf::Anomaly value=1", "WARNING: W n=7", "ERROR: Can't do it",
                  "ERROR: E formatted"}));
}

TEST_F(LogTest, InitializedRecordListsBuildComponentsSystemAndProcess) {
    // Bits 2, 15, 30 and 31 name no component and must not show.
    const DWORD mask = 0x80008000 | 0x40000000 | 0x4 | 0x00000001 | 0x00000100 | 0x20000000;
    Log::Initialize(mask);
    WString path = Log::GetFilePath();
    fs::path file(Platform::ToNativePath(path));
    EXPECT_EQ(file.parent_path(), m_Scratch.Path());
    EXPECT_TRUE(std::regex_match(file.filename().string(), std::regex(R"(lgc0[0-9A-F]{4}\.tmp)")))
        << file.filename();
    std::vector<std::string> lines = ReadLogFileLines();
    ASSERT_EQ(lines.size(), 49u);
    EXPECT_EQ(lines[0], LogLinePrefix() + "Initialized");
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\tBuild=\d+\.\d+\.\d+\.\d+)")))
        << lines[1];
    EXPECT_TRUE(
        std::regex_match(lines[2], std::regex(R"(\tBuildTime=\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d)")))
        << lines[2];
    EXPECT_EQ(lines[3], "\tComponentMask=E0008105");
    EXPECT_EQ(Slice(lines, 4, 28), ComponentLines(0x00000101 | 0x20000000));

    // clang-format off
    const char* const systemLines[] = {
        R"(\tTime=\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d)", R"(\tProcessorArchitecture=(0|9))",
        R"(\tPageSize=[1-9]\d*)", R"(\tMinimumApplicationAddress=[0-9A-F]+)",
        R"(\tMaximumApplicationAddress=[0-9A-F]+)", R"(\tActiveProcessorMask=[0-9A-F]+)",
        R"(\tNumberOfProcessors=[1-9]\d*)", R"(\tAllocationGranularity=[1-9]\d*)",
        R"(\tProcessorLevel=\d+)", R"(\tProcessorRevision=[0-9A-F]{4,})", R"(\tMajorVersion=\d+)",
        R"(\tMinorVersion=\d+)", R"(\tBuildNumber=\d+)", R"(\tPlatformId=\d+)",
        R"(\tCSDVersion='.*')",
    };
    // clang-format on
    for (size_t i = 0; i < std::size(systemLines); ++i) {
        EXPECT_TRUE(std::regex_match(lines[32 + i], std::regex(systemLines[i]))) << lines[32 + i];
    }
    // Pointer-sized values print with every digit of the pointer width.
    EXPECT_EQ(lines[35].size(),
              std::string("\tMinimumApplicationAddress=").size() + sizeof(void*) * 2);
    char processLine[64];
    std::snprintf(processLine, sizeof(processLine), "\tProcessId=%08X (%u)",
                  Platform::GetCurrentProcessId(), Platform::GetCurrentProcessId());
    EXPECT_EQ(lines[47], processLine);
    EXPECT_EQ(lines[48], "\tCommandLine='" + ToUtf8(Platform::ComposeProcessCommandLine()) + "'");
    EXPECT_NE(lines[48].find("unit_tests\""), std::string::npos) << lines[48];
    for (LogComponent on : {LogComponent::Bridge, LogComponent::ThreadGt, LogComponent::VTableCb}) {
        EXPECT_TRUE(Log::IsEnabled(on));
    }
    EXPECT_FALSE(Log::IsEnabled(LogComponent::Api));
}

TEST_F(LogTest, UpdateSetsThenClearsAndWritesTheNewState) {
    Log::Initialize(ComponentBit(LogComponent::GcCb));
    // ThreadGt is in both masks and ends clear; bits 2 and 15 change nothing.
    Log::Update(0x00000100 | 0x00000008 | 0x00008004, 0x00000100 | 0x00400000);
    EXPECT_FALSE(Log::IsEnabled(LogComponent::ThreadGt));
    EXPECT_TRUE(Log::IsEnabled(LogComponent::DumpGt));
    EXPECT_FALSE(Log::IsEnabled(LogComponent::GcCb));
    std::vector<std::string> lines = ReadLogLinesAfterRecord();
    ASSERT_EQ(lines.size(), 31u);
    EXPECT_EQ(lines[0], LogLinePrefix() + "Update");
    EXPECT_EQ(lines[1], "\tComponentMaskSet=0000810C");
    EXPECT_EQ(lines[2], "\tComponentMaskClear=00400100");
    EXPECT_EQ(Slice(lines, 3, 28), ComponentLines(0x00000008));
}

TEST_F(LogTest, FlagsNeedAnOpenLogAndFinishClosesItForANewOne) {
    Log::Update(0xFFFFFFFF, 0);
    EXPECT_FALSE(Log::IsEnabled(LogComponent::Bridge));
    Log::Initialize(0xFFFFFFFF);
    for (const auto& [index, pName] : COMPONENTS) {
        EXPECT_TRUE(Log::IsEnabled(static_cast<LogComponent>(index))) << pName;
    }
    EXPECT_EQ(ErrorText([] { Log::Initialize(0); }), "Already initialized");
    std::string firstPath = Platform::ToNativePath(Log::GetFilePath());
    Log::Finish();
    for (const auto& [index, pName] : COMPONENTS) {
        EXPECT_FALSE(Log::IsEnabled(static_cast<LogComponent>(index))) << pName;
    }
    EXPECT_TRUE(Log::GetFilePath().empty());
    Log::Message("after finish");
    std::string text = ReadWholeFile(firstPath);
    EXPECT_EQ(text.substr(text.size() - std::string("Finished\n").size()), "Finished\n");
    EXPECT_NE(text.find("\n" + LogLinePrefix() + "Finished\n"), std::string::npos);
    EXPECT_EQ(text.find("after finish"), std::string::npos);
    Log::Initialize(0);
    EXPECT_NE(Platform::ToNativePath(Log::GetFilePath()), firstPath);
}

TEST_F(LogTest, FormattedTextOf8191CharactersFitsAnd8192IsReplaced) {
    Log::Initialize(0);
    RecordingSink sink;
    Log::SetSink(&sink);
    const std::string fits(8191, 'a');
    const std::string tooLong(8192, 'b');
    Log::Format("%s", fits.c_str());
    Log::Format("%s", tooLong.c_str());
    Log::Format("%s%s", fits.c_str(), "c");
    Log::ErrorFormat("%s", tooLong.c_str());
    std::string block;
    Log::AppendBlockFormat(block, "%s", tooLong.c_str());
    const std::string tooLongText = "[Format message buffer is not enough]";
    EXPECT_EQ(ReadLogLinesAfterRecord(),
              Prefixed({fits, tooLongText, tooLongText, "ERROR: " + tooLongText}));
    EXPECT_EQ(sink.m_Received, std::vector<std::string>{"E:[Format message buffer is not enough]"});
    EXPECT_EQ(block, "\n\t[Format message buffer is not enough]");
}

TEST_F(LogTest, BlockLinesAfterTheHeaderStartWithATabAndLoseCarriageReturns) {
    Log::Initialize(0);
    std::string block;
    Log::AppendBlock(block, "first\r\nsecond\r\n");
    Log::AppendBlockFormat(block, "entry=%u name='%S'", 3u, u"x");
    EXPECT_EQ(block, "\n\tfirst\n\tsecond\n\t\n\tentry=3 name='x'");
    Log::BlockFormat(block, "PTProf::Header count=%d", 2);
    Log::Message("next");
    const std::string prefix = LogLinePrefix();
    EXPECT_EQ(ReadLogLinesAfterRecord(),
              (std::vector<std::string>{prefix + "PTProf::Header count=2", "\tfirst", "\tsecond",
                                        "\t", "\tentry=3 name='x'", prefix + "next"}));
}

TEST_F(LogTest, SinkReceivesWarningsAndErrorsEvenWithTheFileClosed) {
    RecordingSink sink;
    Log::SetSink(&sink);
    Log::Message("plain is not sent");
    Log::Format("nor %s", "this");
    Log::Warning("w1");
    Log::WarningFormat("w%d", 2);
    Log::Error("e1");
    Log::ErrorFormat("e%s", "2");
    Log::LogException(std::runtime_error("std failure"));
    Log::LogUnknownException();
    EXPECT_TRUE(Log::GetFilePath().empty());
    EXPECT_EQ(sink.m_Received, (std::vector<std::string>{"W:w1", "W:w2", "E:e1", "E:e2",
                                                         "E:std failure", "E:Unknown exception"}));
    Log::SetSink(nullptr);
    Log::Error("not received");
    EXPECT_EQ(sink.m_Received.size(), 6u);
}

// A sink that logs while it handles a notification, as the bridge does when it traces its own
// write: those nested lines would wait forever for the lock the notifying thread holds.
class LoggingSink : public LogSink {
public:
    void OnWarning(const char* pText) override { Handle(pText); }
    void OnError(const char* pText) override { Handle(pText); }
    void Handle(const char* pText) {
        Log::Format("sink traces %s", pText);
        Log::Warning("sink warns");
        Log::Flush();
        m_LogPath = Log::GetFilePath();
        m_Received.push_back(pText);
    }
    std::vector<std::string> m_Received;
    WString m_LogPath;
};

TEST_F(LogTest, LinesLoggedFromInsideTheSinkAreDroppedInsteadOfDeadlocking) {
    Log::Initialize(0);
    LoggingSink sink;
    Log::SetSink(&sink);
    Log::Error("outer error");
    Log::Warning("outer warning");
    Log::SetSink(nullptr);
    Log::Message("after");
    EXPECT_EQ(sink.m_Received, (std::vector<std::string>{"outer error", "outer warning"}));
    EXPECT_EQ(sink.m_LogPath, Log::GetFilePath());
    std::vector<std::string> lines = ReadLogFileLines();
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find("sink"), std::string::npos) << line;
    }
    EXPECT_NE(
        std::find_if(lines.begin(), lines.end(),
                     [](const std::string& l) { return l.find("after") != std::string::npos; }),
        lines.end());
}

TEST_F(LogTest, ManagedThreadIdComesFromTheRuntimeInterfaceOrIsZero) {
    Log::Initialize(0);
    TestRuntime runtime;
    const ThreadID managed = runtime.AddThread();
    Log::Message("no interface");
    Log::SetProfilerInfo(&runtime);
    Log::SetProfilerInfo(&runtime);  // the same interface is held once
    EXPECT_EQ(runtime.References(), 1u);
    Log::Warning("unmanaged");  // the runtime answers CORPROF_E_NOT_MANAGED_THREAD
    runtime.BindToCurrentOSThread(managed);
    Log::Message("managed");
    Log::SetProfilerInfo(nullptr);
    EXPECT_EQ(runtime.References(), 0u);
    Log::Message("released");
    runtime.UnbindCurrentOSThread();
    std::vector<std::string> expected = Prefixed({"no interface", "WARNING: unmanaged"});
    expected.push_back(LogLinePrefix(managed) + "managed");
    expected.push_back(LogLinePrefix(0) + "released");
    EXPECT_EQ(ReadLogLinesAfterRecord(), expected);
}

TEST_F(LogTest, ComErrorsAndEdgeCatchesAreLoggedOnceWithTheirText) {
    Log::Initialize(0);
    RecordingSink sink;
    Log::SetSink(&sink);
    Log::LogComError(_com_error(MakeHResult(0x80040201)));
    Log::LogComError(_com_error(E_POINTER));
    const std::string pointerText = ToUtf8(_com_error(E_POINTER).ErrorMessage());
    EXPECT_FALSE(pointerText.empty());
    EXPECT_EQ(ReadLogLinesAfterRecord(),
              Prefixed({"ERROR: IDispatch error #1", "ERROR: " + pointerText}));

    // The edge catch turns each kind of exception into its status.
    EXPECT_EQ(CatchAtEdge([] { return S_FALSE; }, EDGE_E_CALLBACK), S_FALSE);
    EXPECT_EQ(CatchAtEdge([] {}, EDGE_E_LOAD), S_OK);
    EXPECT_EQ(CatchAtEdge([]() -> HRESULT { throw _com_error(MakeHResult(0x80040202)); },
                          EDGE_E_CALLBACK),
              E_FAIL);
    EXPECT_EQ(CatchAtEdge([] { throw _hr_error("Can't set event mask", E_FAIL); }, EDGE_E_LOAD),
              MakeHResult(0x80000000));
    EXPECT_EQ(CatchAtEdge([] { throw 42; }, EDGE_E_CALLBACK), E_FAIL);
    EXPECT_FALSE(LogEdgeFailure([] { throw std::logic_error("broken"); }));
    EXPECT_TRUE(LogEdgeFailure([] {}));
    EXPECT_EQ(sink.m_Received,
              (std::vector<std::string>{"E:IDispatch error #1", "E:" + pointerText,
                                        "E:IDispatch error #2",
                                        "E:Can't set event mask (COM error code 0x80004005)",
                                        "E:Unknown exception", "E:broken"}));
}

TEST_F(LogTest, FlushThreadWritesPlainLinesWithoutAnExplicitFlush) {
    Log::Initialize(0);
    const std::string path = Platform::ToNativePath(Log::GetFilePath());
    Log::Message("waiting for the flush thread");

    // The flush thread runs every 2.5 s; give it a generous margin before failing.
    bool flushed = false;
    for (int i = 0; i < 200 && !flushed; ++i) {
        flushed = ReadWholeFile(path).find("waiting for the flush thread") != std::string::npos;
        if (!flushed) {
            Platform::Sleep(50);
        }
    }
    EXPECT_TRUE(flushed);
}

#ifndef NDEBUG
TEST_F(LogTest, NullTextOrFormatIsAProgrammingError) {
    Log::Initialize(0);
    const std::string text = "assertion: pMessage != NULL", format = "assertion: pFormat != NULL";
    EXPECT_EQ(ErrorText([] { Log::Message(nullptr); }), text);
    EXPECT_EQ(ErrorText([] { Log::Error(nullptr); }), text);
    EXPECT_EQ(ErrorText([] { Log::Format(nullptr); }), format);
    EXPECT_EQ(ErrorText([] { Log::WarningFormat(nullptr); }), format);
    EXPECT_EQ(ErrorText([] { Log::BlockFormat("", nullptr); }), format);
}
#endif

TEST_F(LogTest, ConcurrentWritersNeverInterleaveLines) {
    constexpr int WRITERS = 4;
    constexpr int LINES = 400;
    Log::Initialize(0);
    RecordingSink sink;  // called under the log lock only, so a plain vector is safe
    Log::SetSink(&sink);
    std::vector<std::thread> writers;
    for (int w = 0; w < WRITERS; ++w) {
        writers.emplace_back([w] {
            const std::string payload(120, static_cast<char>('a' + w));
            for (int i = 0; i < LINES; ++i) {
                if (i % 50 == 0) {
                    Log::WarningFormat("writer=%d seq=%d %s", w, i, payload.c_str());
                } else {
                    Log::Format("writer=%d seq=%d %s", w, i, payload.c_str());
                }
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    const std::regex line(R"([0-9A-F]{8} 0+ (WARNING: )?writer=(\d) seq=(\d+) ([a-z])+)");
    std::map<int, int> nextSeq;
    std::vector<std::string> lines = ReadLogLinesAfterRecord();
    ASSERT_EQ(lines.size(), static_cast<size_t>(WRITERS * LINES));
    for (const std::string& text : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(text, match, line)) << text;
        int writer = std::stoi(match[2]);
        EXPECT_EQ(std::stoi(match[3]), nextSeq[writer]++);
        EXPECT_EQ(text.substr(text.size() - 120),
                  std::string(120, static_cast<char>('a' + writer)));
    }
    EXPECT_EQ(sink.m_Received.size(), static_cast<size_t>(WRITERS * LINES / 50));
}
