// The controller's side of the bridge: the handshake answers, the messages of a session, the
// snapshot they assemble, and the event queue they feed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Bridge/MemoryBridgeStream.h"
#include "Controller/ControllerHandshake.h"
#include "Controller/ProfilerMessageHandler.h"
#include "Controller/SectionBuffer.h"
#include "Controller/SnapshotAssembler.h"
#include "support/AllocationProbe.h"
#include "support/ErrorText.h"
#include "support/ScratchDirectory.h"
#include "support/WireBytes.h"

using namespace Controller;
using namespace WireBytes;

namespace {

ControllerEvent Event(EventKind kind, uint32_t value = 0) {
    ControllerEvent event;
    event.kind = kind;
    event.value = value;
    return event;
}

class RecordingSender : public IMessageSender {
public:
    void SendMessage(const void* data, size_t count) override {
        const BYTE* pBytes = static_cast<const BYTE*>(data);
        m_Messages.emplace_back(pBytes, pBytes + count);
    }
    std::vector<Bytes> m_Messages;
};

class ProfilerMessageHandlerTest : public testing::Test {
protected:
    // Hands one message to the handler and checks that it read all of it and nothing more.
    void Feed(const Bytes& message) {
        MemoryBridgeStream in(message);
        m_Handler.HandleOne(in);
        EXPECT_EQ(0u, in.GetRemaining());
    }
    std::string FailureOf(const Bytes& message) {
        MemoryBridgeStream in(message);
        try {
            m_Handler.HandleOne(in);
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return "";
    }
    // Opens a section and returns the handle from the reply.
    uint16_t CreateSection(uint32_t id) {
        Feed(Concat({{0xE1}, U32(id)}));
        const Bytes& reply = m_Sender.m_Messages.back();
        EXPECT_EQ(7u, reply.size());
        EXPECT_EQ(Concat({{0xE1}, U32(id)}), Bytes(reply.begin(), reply.begin() + 5));
        return static_cast<uint16_t>(reply[5] | (reply[6] << 8));
    }
    ControllerEvent Next() {
        auto event = m_Events.WaitNext(0);
        EXPECT_TRUE(event.has_value());
        return event.value_or(ControllerEvent{});
    }

    RecordingSender m_Sender;
    EventQueue m_Events;
    ProfilerMessageHandler m_Handler{m_Sender, m_Events, 1 << 20, true};
};

}  // namespace

TEST_F(ProfilerMessageHandlerTest, SurfacesNotificationsInArrivalOrder) {
    for (const Bytes& message :
         {Bytes{0x90}, Bytes{0x91}, Bytes{0xA0}, Bytes{0xF0, 0x03},
          Concat({{0xF2}, U32(5), U32(10)}), Bytes{0xF1},
          Concat({{0xFE, 0x01}, Text("BB::Close \xED\xA0\xBD\xED\xB8\x80")})}) {
        Feed(message);
    }
    for (EventKind kind : {EventKind::Started, EventKind::Stopped, EventKind::Done}) {
        EXPECT_EQ(kind, Next().kind);
    }
    const ControllerEvent started = Next();
    EXPECT_EQ(EventKind::OperationStarted, started.kind);
    EXPECT_EQ(3u, started.operation);
    const ControllerEvent progress = Next();
    EXPECT_EQ(EventKind::OperationProgress, progress.kind);
    EXPECT_EQ(5u, progress.value);
    EXPECT_EQ(10u, progress.total);
    EXPECT_EQ(EventKind::OperationFinished, Next().kind);
    const ControllerEvent log = Next();
    EXPECT_EQ(EventKind::LogNotification, log.kind);
    EXPECT_EQ(1, log.logKind);
    EXPECT_EQ("BB::Close \xF0\x9F\x98\x80", log.text);
    EXPECT_TRUE(m_Sender.m_Messages.empty());
}

TEST_F(ProfilerMessageHandlerTest, AssemblesABridgeSnapshotAndAnswersItsRequests) {
    Feed(Concat({{0xE0}, U32(0x46505651)}));
    const ControllerEvent begun = Next();
    EXPECT_EQ(EventKind::SnapshotStarted, begun.kind);
    EXPECT_EQ(0x46505651u, begun.magic);

    const uint16_t first = CreateSection(0);
    const uint16_t second = CreateSection(1);
    EXPECT_NE(first, second);

    Feed(Concat({{0xE3}, U16(first), U32(3), {'a', 'b', 'c'}}));
    Feed(Concat({{0xE4}, U16(first), U32(2)}));
    EXPECT_EQ(Concat({{0xE4}, U32(2), U64(3)}), m_Sender.m_Messages.back());
    Feed(Concat({{0xE5}, U16(first), {0x00}, U64(5)}));
    Feed(Concat({{0xE3}, U16(first), U32(1), {'z'}}));
    Feed(Concat({{0xE3}, U16(second), U32(0)}));
    Feed(Concat({{0xE5}, U16(first), {0x02}, U64(static_cast<uint64_t>(-6))}));
    Feed(Concat({{0xE4}, U16(first), U32(3)}));
    EXPECT_EQ(Concat({{0xE4}, U32(3), U64(0)}), m_Sender.m_Messages.back());
    Feed(Concat({{0xE3}, U16(first), U32(1), {'A'}}));
    Feed(Concat({{0xE2}, U16(second), U16(0x1101), U16(1)}));
    Feed(Concat({{0xE2}, U16(first), U16(0x0000), U16(0)}));
    Feed(Concat({{0xE7}, U32(4), ProcessGuidBytes, U32(6)}));

    const ControllerEvent done = Next();
    ASSERT_EQ(EventKind::Snapshot, done.kind);
    const Snapshot& snapshot = *done.snapshot;
    EXPECT_TRUE(snapshot.complete);
    EXPECT_EQ(SnapshotOrigin::BridgeStream, snapshot.origin);
    EXPECT_EQ(4u, snapshot.index);
    EXPECT_EQ(ProcessGuidValue, snapshot.sequence);
    EXPECT_EQ(6u, snapshot.sequenceNumber);
    ASSERT_EQ(2u, snapshot.sections.size());
    EXPECT_EQ((Bytes{'A', 'b', 'c', 0, 0, 'z'}), snapshot.sections[0].bytes);
    EXPECT_EQ(0x1101, snapshot.sections[1].type);
    EXPECT_EQ(1, snapshot.sections[1].version);
    EXPECT_TRUE(snapshot.sections[1].bytes.empty());
    EXPECT_FALSE(m_Handler.IsSnapshotInProgress());
}

TEST_F(ProfilerMessageHandlerTest, RefusesMessagesThatBreakTheProtocol) {
    EXPECT_NE(std::string::npos, FailureOf({0x13}).find("(0x13): the code is unknown"));
    EXPECT_NE(std::string::npos, FailureOf(Concat({{0xE1}, U32(0)})).find("outside a snapshot"));
    Feed({0xE6});  // an abort or a broken line with nothing in progress is harmless
    m_Handler.Abandon("nothing in progress");
    EXPECT_EQ(0u, m_Events.GetSize());
    EXPECT_NE(std::string::npos, FailureOf(Concat({{0xE7}, U32(4), ProcessGuidBytes, U32(6)}))
                                     .find("bad snapshot close (0xE7)"));

    Feed(Concat({{0xE0}, U32(1)}));
    const uint16_t handle = CreateSection(0);
    // Inside the snapshot: a count is refused before any of its bytes is read, and a message
    // cut short is named in the failure.
    const std::pair<Bytes, const char*> refused[] = {
        {Concat({{0xE3}, U16(handle), U32(0x04000001)}), "more than the 67108864 allowed"},
        {Concat({{0xE5}, U16(handle), {0x00}, U64(static_cast<uint64_t>(-1))}),
         "bad section seek (0xE5)"},
        {Concat({{0xE3}, U16(handle + 1), U32(1), {'x'}}), "not open"},
        {Concat({{0xE0}, U32(1)}), "before the previous"},
        {Concat({{0xE2}, U16(handle)}), "bad section close (0xE2)"},
        {Concat({{0xE4}, U16(handle)}), "bad section tell (0xE4)"},
        {Concat({{0xE4}, U16(handle + 1), U32(0)}), "bad section tell (0xE4)"},
        {Bytes{0xE7, 0x01}, "bad snapshot close (0xE7)"},
        {Bytes{0xFE}, "bad log notification (0xFE)"},
        {Bytes{0xFE, 0x01, 0x05, 'a'}, "bad log notification (0xFE)"}};
    for (const auto& [message, name] : refused) {
        EXPECT_NE(std::string::npos, FailureOf(message).find(name)) << FailureOf(message);
    }

    m_Handler.Abandon("the line broke");
    m_Events.WaitFor(EventKind::SnapshotStarted, 0);
    const ControllerEvent kept = Next();
    ASSERT_EQ(EventKind::Snapshot, kept.kind);
    EXPECT_FALSE(kept.snapshot->complete);
    EXPECT_EQ("the line broke", kept.snapshot->note);
    EXPECT_EQ(1u, kept.snapshot->sections.size());
}

// A write's count is the profiler's claim: memory follows the room the section has and the bytes
// that really arrive, never the claim alone.
TEST_F(ProfilerMessageHandlerTest, SectionWriteCountsAreCheckedBeforeTheirBytesAreRead) {
    Feed(Concat({{0xE0}, U32(1)}));
    const uint16_t handle = CreateSection(0);
    Feed(Concat({{0xE3}, U16(handle), U32(2), {'o', 'k'}}));

    // Beyond the section's limit (1 MiB here): refused, its bytes left unread.
    MemoryBridgeStream beyond(Concat({{0xE3}, U16(handle), U32((1 << 20) - 1), {'x', 'y'}}));
    const std::string refused = ErrorText([&] { m_Handler.HandleOne(beyond); });
    EXPECT_NE(std::string::npos,
              refused.find("a write of 1048575 bytes at position 2 would grow a section beyond"))
        << refused;
    EXPECT_EQ(2u, beyond.GetRemaining());

    // Within the limit, cut short: the buffer grew only in step with what came.
    MemoryBridgeStream cut(Concat({{0xE3}, U16(handle), U32((1 << 20) - 2), {'x', 'y', 'z'}}));
    AllocationProbe probe;
    const std::string broken = ErrorText([&] { m_Handler.HandleOne(cut); });
    EXPECT_NE(std::string::npos, broken.find("bad section write (0xE3)")) << broken;
    if (AllocationProbe::Available()) {
        EXPECT_LE(probe.Largest(), 128u * 1024) << "a claim of 1 MiB allocated up front";
    }

    Feed(Concat({{0xE2}, U16(handle), U16(0x100), U16(0)}));
    Feed(Concat({{0xE7}, U32(0), ProcessGuidBytes, U32(1)}));
    m_Events.WaitFor(EventKind::SnapshotStarted, 0);
    const ControllerEvent snapshot = Next();
    ASSERT_EQ(EventKind::Snapshot, snapshot.kind);
    ASSERT_EQ(1u, snapshot.snapshot->sections.size());
    EXPECT_EQ((Bytes{'o', 'k'}), snapshot.snapshot->sections[0].bytes);
}

TEST_F(ProfilerMessageHandlerTest, TakesAFileSnapshotFromTheNamedIndexAndRemovesTheFiles) {
    ScratchDirectory scratch;
    const std::string index = (scratch.Path() / "ssc42.tmp").string();
    {
        std::ofstream out(index, std::ios::binary);
        const Bytes bytes = Concat({{0x4D, 0x46},
                                    U32(0x454D5651),
                                    U32(1),
                                    U16(0x3100),
                                    U16(2),
                                    U64(2),
                                    U16(0),
                                    {0xFF, 0xFF}});
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        std::ofstream(index + ".0000", std::ios::binary) << "hi";
    }
    Feed(Concat({{0xEF}, U32(2), ProcessGuidBytes, U32(7), Text(index)}));
    const ControllerEvent event = Next();
    ASSERT_EQ(EventKind::Snapshot, event.kind) << event.text;
    EXPECT_EQ(SnapshotOrigin::FileStorage, event.snapshot->origin);
    EXPECT_EQ(0x454D5651u, event.snapshot->magic);
    EXPECT_EQ(2u, event.snapshot->index);
    EXPECT_EQ(ProcessGuidValue, event.snapshot->sequence);
    EXPECT_EQ(7u, event.snapshot->sequenceNumber);
    ASSERT_EQ(1u, event.snapshot->sections.size());
    EXPECT_EQ((Bytes{'h', 'i'}), event.snapshot->sections[0].bytes);
    EXPECT_FALSE(std::filesystem::exists(index));
    EXPECT_FALSE(std::filesystem::exists(index + ".0000"));

    // Files that cannot be read are reported; the connection goes on.
    Feed(Concat({{0xEF}, U32(3), ProcessGuidBytes, U32(8), Text(index)}));
    const ControllerEvent failure = Next();
    EXPECT_EQ(EventKind::Error, failure.kind);
    EXPECT_NE(std::string::npos, failure.text.find("Can't take the file snapshot"));
    EXPECT_NE(std::string::npos, failure.text.find(index));
    Feed({0x90});
    EXPECT_EQ(EventKind::Started, Next().kind);
}

TEST(SectionBuffer, SeeksWithinItsLimitAndLeavesZerosInAGap) {
    SectionBuffer buffer(16);
    buffer.Write("abc", 3);
    EXPECT_EQ(3, buffer.Tell());
    buffer.Seek(0, 6);  // past the end: the section does not grow yet
    EXPECT_EQ(6, buffer.Tell());
    EXPECT_EQ(3u, buffer.GetSize());
    buffer.Write("Z", 1);
    EXPECT_EQ(7u, buffer.GetSize());
    buffer.Seek(0, 1);  // back inside: overwrite in place
    buffer.Write("B", 1);
    buffer.Seek(2, -1);  // from the end
    EXPECT_EQ(6, buffer.Tell());
    buffer.Seek(1, -5);  // from the current position
    EXPECT_EQ(1, buffer.Tell());

    // Refused: before the start, beyond the limit, overflows, unknown origins.
    for (const auto& [origin, offset] : {std::pair<int, int64_t>{0, -1},
                                         {1, -2},
                                         {2, 10},
                                         {0, INT64_MAX},
                                         {2, INT64_MIN},
                                         {3, 0}}) {
        EXPECT_THROW(buffer.Seek(origin, offset), std::runtime_error) << origin << " " << offset;
    }
    EXPECT_EQ(1, buffer.Tell());  // a refused seek leaves the position
    buffer.Seek(0, 16);           // exactly at the limit is allowed; nothing more fits
    EXPECT_THROW(buffer.Write("x", 1), std::runtime_error);
    buffer.Seek(0, 14);
    EXPECT_THROW(buffer.Write("xyz", 3), std::runtime_error);
    EXPECT_EQ(7u, buffer.GetSize());
    buffer.Write("xy", 2);
    EXPECT_EQ((Bytes{'a', 'B', 'c', 0, 0, 0, 'Z', 0, 0, 0, 0, 0, 0, 0, 'x', 'y'}),
              buffer.TakeBytes());
}

// Large sections grow in pieces: what was written stays, gaps (within a piece of storage and
// across several) are zeros, and a write back across the seam of two pieces lands in both.
TEST(SectionBuffer, KeepsItsBytesAsItGrowsPastMegabytes) {
    SectionBuffer buffer(int64_t{64} << 20);
    std::vector<BYTE> expected;
    for (const auto& [size, gap] : {std::pair<size_t, size_t>{size_t{1} << 20, 5},
                                    {size_t{3} << 20, 300000},
                                    {size_t{9} << 20, 5}}) {
        const size_t start = expected.size() + gap;
        std::vector<BYTE> piece(size - start);
        for (size_t i = 0; i < piece.size(); ++i) {
            piece[i] = static_cast<BYTE>(i * 7 + size);
        }
        buffer.Seek(0, static_cast<int64_t>(start));
        buffer.Write(piece.data(), piece.size());
        expected.resize(start, 0);
        expected.insert(expected.end(), piece.begin(), piece.end());
    }
    for (const size_t seam : {size_t{64} << 10, size_t{192} << 10, (size_t{1} << 20) - 3}) {
        buffer.Seek(0, static_cast<int64_t>(seam - 3));
        buffer.Write("QQQQQQ", 6);
        std::fill_n(expected.begin() + static_cast<ptrdiff_t>(seam - 3), 6, 'Q');
    }
    EXPECT_EQ(expected.size(), buffer.GetSize());
    EXPECT_TRUE(buffer.TakeBytes() == expected);
    EXPECT_EQ(0u, buffer.GetSize());
}

TEST(SnapshotAssembler, KeepsCreationOrderWhateverTheCloseOrder) {
    SnapshotAssembler assembler(1024);
    assembler.Begin(0x46505651);
    const uint16_t first = assembler.CreateSection();
    const uint16_t second = assembler.CreateSection();
    EXPECT_NE(0, first);
    EXPECT_NE(first, second);

    assembler.GetSection(second).Write("22", 2);
    assembler.GetSection(first).Write("1", 1);
    assembler.CloseSection(second, 0x1100, 0);
    // The handle of a closed section is no longer usable.
    EXPECT_THROW(assembler.GetSection(second), std::runtime_error);
    assembler.CloseSection(first, 0x0000, 1);

    // The close's numbers reach the snapshot through the handler's test above.
    const auto pSnapshot = assembler.Close(7, GUID{}, 9);
    EXPECT_FALSE(assembler.InProgress());
    EXPECT_TRUE(pSnapshot->complete);
    EXPECT_EQ(0x46505651u, pSnapshot->magic);
    ASSERT_EQ(2u, pSnapshot->sections.size());
    EXPECT_EQ(0x0000, pSnapshot->sections[0].type);
    EXPECT_EQ(1, pSnapshot->sections[0].version);
    EXPECT_EQ(Bytes{'1'}, pSnapshot->sections[0].bytes);
    EXPECT_EQ(0x1100, pSnapshot->sections[1].type);
    EXPECT_EQ((Bytes{'2', '2'}), pSnapshot->sections[1].bytes);
}

TEST(SnapshotAssembler, SectionsLeftOpenMakeTheSnapshotIncomplete) {
    SnapshotAssembler assembler(1024);
    assembler.Begin(1);
    const uint16_t open = assembler.CreateSection();
    assembler.GetSection(open).Write("part", 4);
    const auto pClosed = assembler.Close(0, GUID{}, 0);
    EXPECT_FALSE(pClosed->complete);
    EXPECT_NE(std::string::npos, pClosed->note.find("1 section(s) still open"));
    ASSERT_EQ(1u, pClosed->sections.size());
    EXPECT_FALSE(pClosed->sections[0].closed);
    EXPECT_EQ((Bytes{'p', 'a', 'r', 't'}), pClosed->sections[0].bytes);

    assembler.Begin(1);
    assembler.CreateSection();
    const auto pAborted = assembler.Abort();
    EXPECT_TRUE(pAborted->aborted);
    EXPECT_FALSE(pAborted->complete);

    EXPECT_EQ(nullptr, assembler.Abandon("nothing in progress"));
    assembler.Begin(1);
    const auto pAbandoned = assembler.Abandon("the line broke");
    EXPECT_FALSE(pAbandoned->complete);
    EXPECT_FALSE(pAbandoned->aborted);
    EXPECT_EQ("the line broke", pAbandoned->note);
}

TEST(SnapshotAssembler, RefusesWhatTheProtocolDoesNotAllowAndReusesHandlesSafely) {
    SnapshotAssembler assembler(16);
    EXPECT_THROW(assembler.CreateSection(), std::runtime_error);
    EXPECT_THROW(assembler.GetSection(1), std::runtime_error);
    EXPECT_THROW(assembler.Close(0, GUID{}, 0), std::runtime_error);
    EXPECT_THROW(assembler.Abort(), std::runtime_error);
    assembler.Begin(1);
    EXPECT_THROW(assembler.Begin(1), std::runtime_error);
    EXPECT_THROW(assembler.GetSection(0), std::runtime_error);
    EXPECT_THROW(assembler.CloseSection(42, 0, 0), std::runtime_error);

    // Handles come round without hitting one that is still open.
    const uint16_t kept = assembler.CreateSection();
    for (int i = 0; i < 70000; ++i) {
        const uint16_t handle = assembler.CreateSection();
        ASSERT_NE(0, handle);
        ASSERT_NE(kept, handle);
        assembler.CloseSection(handle, 1, 0);
    }
    EXPECT_NO_THROW(assembler.GetSection(kept));
}

TEST(EventQueue, WaitForTakesOneKindAndLeavesTheRestInOrder) {
    EventQueue queue;
    queue.Push(Event(EventKind::OperationProgress, 1));
    queue.Push(Event(EventKind::Stopped));
    queue.Push(Event(EventKind::OperationProgress, 2));

    EXPECT_EQ(EventKind::Stopped, queue.WaitFor(EventKind::Stopped, 0)->kind);
    EXPECT_FALSE(queue.WaitFor(EventKind::Stopped, 0).has_value());
    EXPECT_FALSE(queue.WaitFor({EventKind::Error, EventKind::Disconnected}, 0).has_value());
    EXPECT_EQ(1u, queue.WaitNext(0)->value);
    EXPECT_EQ(2u, queue.WaitFor({EventKind::Error, EventKind::OperationProgress}, 0)->value);
    EXPECT_FALSE(queue.WaitNext(10).has_value());
}

TEST(EventQueue, APushFromAnotherThreadEndsTheWait) {
    EventQueue queue;
    std::thread pusher([&queue] {
        queue.Push(Event(EventKind::OperationProgress));
        queue.Push(Event(EventKind::Disconnected));
    });
    const auto event = queue.WaitFor(EventKind::Disconnected, 30000);
    pusher.join();
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(1u, queue.GetSize());
}

namespace {

struct Exchange {
    MemoryBridgeStream in;
    MemoryBridgeStream out;
    explicit Exchange(const Bytes& fromProfiler) : in(fromProfiler) {}
    Bytes Sent() const { return out.GetContent(); }
};

// Runs the handshake and returns the failure text.
std::string FailureOf(Exchange& exchange, const SessionOptions& options) {
    return ErrorText([&] { ControllerHandshake::Run(exchange.in, exchange.out, options); });
}

}  // namespace

TEST(ControllerHandshake, AnswersAPerformanceProfilerInTableOrder) {
    SessionOptions options;
    options.snapshotType = 0;
    options.controlKind = 1;
    options.namedFlags = {{u"flagA", true}, {u"\u03A9", false}};
    options.controllerText = "ctl\r\ntext";
    options.performance.startAtInitialization = true;
    options.performance.allowInlining = false;
    options.performance.measureKind = 2;
    options.performance.mergeThreadsByName = true;
    options.performance.precision = true;
    options.performance.filterFlags = 0x01020304;
    options.performance.filterText = u"f";
    options.performance.includeFilters = {{u"m", u"t", u"x"}};

    Exchange exchange(
        Concat({ProtocolGuidBytes, Announcement(PerformanceClientBytes, {"A=1", "B=2"})}));
    const ProcessInfo info = ControllerHandshake::Run(exchange.in, exchange.out, options);

    const Bytes expected = {
        0x01,                                                     // 2 version accepted
        0x01, 0x00, 0x01, 0x02,                                   // 10-13
        0x05, 'f',  'l',  'a',  'g',  'A',  0x01,                 // 14
        0x02, 0xCE, 0xA9, 0x00,                                   //
        0x09, 'c',  't',  'l',  0x0D, 0x0A, 't',  'e', 'x', 't',  // 15
        0x01, 0x00, 0x02, 0x01, 0x01,                             // 16 flags and measure kind
        0x04, 0x03, 0x02, 0x01, 0x01, 'f',                        //    filter u32 and text
        0x01, 0x01, 'm',  0x01, 't',  0x01, 'x',                  //    one include record
        0x00,                                                     //    no exclude records
        0x01,                                                     // 17 run
    };
    EXPECT_EQ(expected, exchange.Sent());
    EXPECT_EQ(0u, exchange.in.GetRemaining());

    EXPECT_EQ(HandshakeOutcome::Running, info.outcome);
    EXPECT_EQ(ProfilerKind::Performance, info.kind);
    EXPECT_EQ(ProcessGuidValue, info.processGuid);
    EXPECT_EQ("/tmp/l.log", info.logFilePath);
    EXPECT_EQ(0x1234u, info.processId);
    EXPECT_EQ("\"/bin/app\" -x", info.commandLine);
    EXPECT_EQ((std::vector<std::string>{"A=1", "B=2"}), info.environment);
}

TEST(ControllerHandshake, SendsTheMemorySettingsToAMemoryProfiler) {
    SessionOptions options;
    options.memory.snapshotAtStart = true;
    options.memory.allocationsFactor = 0x10;
    options.memory.trackFinalizers = true;
    options.memory.unusedFlag5 = true;

    Exchange exchange(Concat({ProtocolGuidBytes, Announcement(MemoryClientBytes)}));
    const ProcessInfo info = ControllerHandshake::Run(exchange.in, exchange.out, options);

    const Bytes expected = {0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x01, 0x10,
                            0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x01};
    EXPECT_EQ(expected, exchange.Sent());
    EXPECT_EQ(ProfilerKind::Memory, info.kind);
    EXPECT_TRUE(info.environment.empty());
}

TEST(ControllerHandshake, RefusesWhereTheOptionsOrTheCallerSay) {
    const Bytes fromProfiler = Concat({ProtocolGuidBytes, Announcement(PerformanceClientBytes)});
    const struct {
        void (*change)(SessionOptions&);
        HandshakeOutcome outcome;
        Bytes sent;  // empty: anything ending in a refused run
    } cases[] = {
        // Nothing after a refused version is read.
        {[](SessionOptions& o) { o.acceptVersion = false; },
         HandshakeOutcome::VersionRefused,
         {0x00}},
        {[](SessionOptions& o) { o.acceptConnection = false; },
         HandshakeOutcome::ConnectionRefused,
         {0x01, 0x00}},
        {[](SessionOptions& o) { o.acceptProcess = [](const ProcessInfo&) { return false; }; },
         HandshakeOutcome::ConnectionRefused,
         {0x01, 0x00}},
        {[](SessionOptions& o) { o.run = false; }, HandshakeOutcome::RunRefused, {}},
    };
    for (const auto& c : cases) {
        SessionOptions options;
        c.change(options);
        Exchange exchange(fromProfiler);
        EXPECT_EQ(c.outcome, ControllerHandshake::Run(exchange.in, exchange.out, options).outcome);
        if (c.sent.empty()) {
            ASSERT_FALSE(exchange.Sent().empty());
            EXPECT_EQ(0x00, exchange.Sent().back());
        } else {
            EXPECT_EQ(c.sent, exchange.Sent());
        }
        if (c.outcome == HandshakeOutcome::VersionRefused) {
            EXPECT_EQ(fromProfiler.size() - 16, exchange.in.GetRemaining());
        }
    }
    // The caller sees each process before the answer.
    SessionOptions options;
    ProcessInfo seen;
    options.acceptProcess = [&](const ProcessInfo& info) {
        seen = info;
        return true;
    };
    Exchange exchange(fromProfiler);
    EXPECT_EQ(HandshakeOutcome::Running,
              ControllerHandshake::Run(exchange.in, exchange.out, options).outcome);
    EXPECT_EQ(0x1234u, seen.processId);
    EXPECT_EQ("\"/bin/app\" -x", seen.commandLine);
}

TEST(ControllerHandshake, RefusesAForeignProtocolOrKindAndSaysWhich) {
    Bytes foreignProtocol = ProtocolGuidBytes;
    foreignProtocol[0] ^= 0xFF;
    Exchange wrongProtocol(Concat({foreignProtocol, Announcement(PerformanceClientBytes)}));
    const std::string protocolFailure = FailureOf(wrongProtocol, SessionOptions());
    EXPECT_NE(std::string::npos, protocolFailure.find("bridge protocol {E7A72AA1-"))
        << protocolFailure;
    EXPECT_EQ(Bytes{0x00}, wrongProtocol.Sent());

    Bytes foreignKind = MemoryClientBytes;
    foreignKind[15] = 0x00;
    Exchange wrongKind(Concat({ProtocolGuidBytes, Announcement(foreignKind)}));
    const std::string kindFailure = FailureOf(wrongKind, SessionOptions());
    EXPECT_NE(std::string::npos,
              kindFailure.find("unknown profiler kind {F19A68A9-CA9B-4A2E-80C6-8E21F080EA00}"))
        << kindFailure;
    EXPECT_EQ((Bytes{0x01, 0x00}), wrongKind.Sent());
}

TEST(ControllerHandshake, CutShortAnnouncementNamesTheStep) {
    const Bytes full = Concat({ProtocolGuidBytes, Announcement(PerformanceClientBytes, {"A=1"})});
    const struct {
        size_t length;
        const char* step;
    } cuts[] = {
        {8, "the bridge protocol identifier"},
        {16, "the profiler kind"},
        {40, "the process identity"},
        {50, "the log file path"},
        {60, "the process id"},
        {70, "the command line"},
        {78, "the environment string count"},
        {full.size() - 1, "the environment strings"},
    };
    for (const auto& cut : cuts) {
        Exchange exchange(Bytes(full.begin(), full.begin() + cut.length));
        const std::string failure = FailureOf(exchange, SessionOptions());
        EXPECT_NE(std::string::npos, failure.find(cut.step)) << cut.length << ": " << failure;
    }
    // A command line claiming 0x1FFFFFFF bytes is refused before any of them is read.
    Exchange overlong(Concat({ProtocolGuidBytes, PerformanceClientBytes, ProcessGuidBytes,
                              ShortText(""), U32(1), Bytes{0xDF, 0xFF, 0xFF, 0xFF}}));
    const std::string failure = FailureOf(overlong, SessionOptions());
    EXPECT_NE(std::string::npos, failure.find("the command line")) << failure;
    EXPECT_NE(std::string::npos, failure.find("536870911 bytes long")) << failure;
}
