#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/BufferedWriteStream.h"
#include "Bridge/MemoryBridgeStream.h"
#include "Util/Utf8.h"
#include "support/ErrorText.h"

namespace {

using Bytes = std::vector<BYTE>;

// Keeps every Write as its own entry, so tests see how an encoding is cut into writes.
class RecordingWriteStream : public IWriteBridgeStream {
public:
    void Write(const void* data, size_t count) override {
        const BYTE* pBytes = static_cast<const BYTE*>(data);
        m_Writes.emplace_back(pBytes, pBytes + count);
    }
    Bytes All() const {
        Bytes all;
        for (const Bytes& write : m_Writes) {
            all.insert(all.end(), write.begin(), write.end());
        }
        return all;
    }
    std::vector<Bytes> m_Writes;
};

}  // namespace

TEST(CounterEncoding, ShortestFormAtEveryBoundaryLongerFormsReadAndBadOnesRefused) {
    const struct {
        uint32_t value;
        Bytes bytes;
    } shortest[] = {
        {0x00, {0x00}},
        {0x7F, {0x7F}},
        {0x80, {0x80, 0x80}},
        {300, {0x81, 0x2C}},
        {0x3FFF, {0xBF, 0xFF}},
        {0x4000, {0xC0, 0x00, 0x40, 0x00}},
        {0x123456, {0xC0, 0x12, 0x34, 0x56}},
        {0x1FFFFFFF, {0xDF, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& c : shortest) {
        RecordingWriteStream written;
        WriteCounter(written, c.value);
        EXPECT_EQ(c.bytes, written.All()) << std::hex << c.value;
        EXPECT_EQ(c.bytes.size(), written.m_Writes.size()) << "one write per byte";
        MemoryBridgeStream stream(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(c.value, ReadCounter(stream)) << std::hex << c.value;
        EXPECT_EQ(0u, stream.GetRemaining());
    }
    for (const uint32_t value : {0x20000000u, 0xFFFFFFFFu}) {
        RecordingWriteStream stream;
        EXPECT_EQ("Too large value", ErrorText([&] { WriteCounter(stream, value); }));
        EXPECT_TRUE(stream.m_Writes.empty());
    }

    const struct {
        Bytes bytes;
        uint32_t value;
    } longer[] = {{{0x80, 0x05}, 5},
                  {{0x80, 0x00}, 0},
                  {{0xC0, 0x00, 0x00, 0x05}, 5},
                  {{0xC0, 0x00, 0x3F, 0xFF}, 0x3FFF}};
    for (const auto& c : longer) {
        MemoryBridgeStream stream(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(c.value, ReadCounter(stream));
        EXPECT_EQ(0u, stream.GetRemaining());
    }
    for (uint32_t lead = 0xE0; lead <= 0xFF; ++lead) {
        const Bytes bytes = {static_cast<BYTE>(lead), 0, 0, 0};
        MemoryBridgeStream stream(bytes.data(), bytes.size());
        EXPECT_EQ("Invalid counter encoding", ErrorText([&] { ReadCounter(stream); })) << lead;
    }
    for (const Bytes& bytes : {Bytes{}, Bytes{0x81}, Bytes{0xC0, 0x00, 0x40}}) {
        MemoryBridgeStream stream(bytes.data(), bytes.size());
        EXPECT_EQ("Can't read data", ErrorText([&] { ReadCounter(stream); }));
    }
}

TEST(FixedWidthEncoding, WritesLeastSignificantByteFirstAndGuidsInFieldLayout) {
    const GUID protocol = {
        0xE7A72A5E, 0x091C, 0x44AB, {0x90, 0x17, 0x29, 0x14, 0xA3, 0xE9, 0xCB, 0x0D}};
    MemoryBridgeStream stream;
    WriteU8(stream, 0xAB);
    WriteBool(stream, true);
    WriteBool(stream, false);
    WriteU16(stream, 0x1234);
    WriteU32(stream, 0x12345678);
    WriteI32(stream, -2);
    WriteI64(stream, -2);
    WriteU64(stream, 0x0102030405060708ull);
    WriteGuid(stream, protocol);
    const Bytes expected = {
        0xAB, 0x01, 0x00, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12,  // u8, bools, u16, u32
        0xFE, 0xFF, 0xFF, 0xFF,                                // i32 -2
        0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,        // i64 -2
        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,        // u64
        0x5E, 0x2A, 0xA7, 0xE7, 0x1C, 0x09, 0xAB, 0x44,        // GUID
        0x90, 0x17, 0x29, 0x14, 0xA3, 0xE9, 0xCB, 0x0D,
    };
    EXPECT_EQ(expected, stream.GetContent());

    stream.Seek(ISeekBridgeStream::SeekBegin, 0);
    EXPECT_EQ(0xAB, ReadU8(stream));
    EXPECT_TRUE(ReadBool(stream));
    EXPECT_FALSE(ReadBool(stream));
    EXPECT_EQ(0x1234, ReadU16(stream));
    EXPECT_EQ(0x12345678u, ReadU32(stream));
    EXPECT_EQ(-2, ReadI32(stream));
    EXPECT_EQ(-2, ReadI64(stream));
    EXPECT_EQ(0x0102030405060708ull, ReadU64(stream));
    EXPECT_TRUE(protocol == ReadGuid(stream));
    EXPECT_EQ("Can't read data", ErrorText([&] { ReadU8(stream); }));

    const BYTE nonZero = 0x80;  // any non-zero byte is true
    MemoryBridgeStream boolStream(&nonZero, 1);
    EXPECT_TRUE(ReadBool(boolStream));
}

TEST(SizedWriters, AcceptTheirLimitInOneWriteAndRefuseOneMoreBeforeWriting) {
    RecordingWriteStream stream;
    WriteSizeTAsUInt8(stream, 0xFF);
    WriteSizeTAsUInt16(stream, 0xFFFF);
    WriteSizeTAsUInt32(stream, 0xFFFFFFFFu);
    WriteSizeTAsUInt8(stream, 0);
    EXPECT_EQ((Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}), stream.All());
    stream.m_Writes.clear();
    WriteSized(stream, 0xFF, 1);
    WriteSized(stream, 0x123456, 3);
    WriteSized(stream, 0x0102030405060708ull, 8);
    WriteSizedNone(stream, 2);
    ASSERT_EQ(stream.m_Writes.size(), 4u);
    EXPECT_EQ((Bytes{0xFF, 0x56, 0x34, 0x12, 8, 7, 6, 5, 4, 3, 2, 1, 0xFF, 0xFF}), stream.All());

    stream.m_Writes.clear();
    EXPECT_EQ("IWriteBridgeStream::WriteSizeTAsUInt8() too large value",
              ErrorText([&] { WriteSizeTAsUInt8(stream, 0x100); }));
    EXPECT_EQ("IWriteBridgeStream::WriteSizeTAsUInt16() too large value",
              ErrorText([&] { WriteSizeTAsUInt16(stream, 0x10000); }));
    if constexpr (sizeof(size_t) > 4) {
        const uint64_t tooLarge = 0x100000000ull;
        EXPECT_EQ("IWriteBridgeStream::WriteSizeTAsUInt32() too large value",
                  ErrorText([&] { WriteSizeTAsUInt32(stream, static_cast<size_t>(tooLarge)); }));
    }
    EXPECT_EQ("Too large value", ErrorText([&] { WriteSized(stream, 0x100, 1); }));
    EXPECT_EQ("Too large value", ErrorText([&] { WriteSized(stream, 0x1000000, 3); }));
    EXPECT_EQ("Invalid width", ErrorText([&] { WriteSized(stream, 0, 0); }));
    EXPECT_EQ("Invalid width", ErrorText([&] { WriteSizedNone(stream, 9); }));
    EXPECT_TRUE(stream.m_Writes.empty());
}

TEST(BufferedWriteStream, PassesBytesOnInPiecesAndCountsThem) {
    RecordingWriteStream target;
    BufferedWriteStream stream(target, 4);
    WriteU16(stream, 0x0201);
    stream.Commit(EncodeU8(stream.Reserve(1), 3));
    EXPECT_TRUE(target.m_Writes.empty());
    WriteU16(stream, 0x0504);                 // does not fit: the first three go on
    stream.Write("\x06\x07\x08\x09\x0A", 5);  // a buffer's worth or more goes through
    EXPECT_EQ(stream.GetPosition(), 10u);
    stream.Flush();
    EXPECT_EQ(target.m_Writes, (std::vector<Bytes>{{1, 2, 3}, {4, 5}, {6, 7, 8, 9, 10}}));
    EXPECT_THROW(stream.Reserve(5), std::length_error);
}

TEST(StringEncoding, WritesByteLengthThenBytes) {
    using W = IWriteBridgeStream;
    const struct {
        const char* name;
        void (*write)(W&);
        Bytes bytes;
    } cases[] = {
        {"empty narrow", [](W& s) { WriteString(s, ""); }, {0x00}},
        {"empty wide", [](W& s) { WriteString(s, u""); }, {0x00}},
        {"null narrow", [](W& s) { WriteString(s, static_cast<const char*>(nullptr)); }, {0x00}},
        {"null wide", [](W& s) { WriteString(s, static_cast<const WCHAR*>(nullptr)); }, {0x00}},
        {"narrow abc", [](W& s) { WriteString(s, "abc"); }, {0x03, 0x61, 0x62, 0x63}},
        {"wide abc", [](W& s) { WriteString(s, u"abc"); }, {0x03, 0x61, 0x62, 0x63}},
        {"std::string",
         [](W& s) { WriteString(s, std::string("a\0b", 3)); },
         {0x03, 0x61, 0x00, 0x62}},
        {"wide e-acute", [](W& s) { WriteString(s, u"\u00E9"); }, {0x02, 0xC3, 0xA9}},
        {"wide euro", [](W& s) { WriteString(s, u"\u20AC"); }, {0x03, 0xE2, 0x82, 0xAC}},
        {"narrow bytes unchanged", [](W& s) { WriteString(s, "\xC3\xA9"); }, {0x02, 0xC3, 0xA9}},
    };
    for (const auto& c : cases) {
        MemoryBridgeStream stream;
        c.write(stream);
        EXPECT_EQ(c.bytes, stream.GetContent()) << c.name;
    }

    // 300 euro signs: 900 UTF-8 bytes, more than one encoding buffer. The counter goes byte by
    // byte, then the text in as few pieces as the buffer allows.
    RecordingWriteStream recorded;
    WriteString(recorded, WString(300, u'\u20AC'));
    Bytes expected = {0x83, 0x84};
    for (int i = 0; i < 300; ++i) {
        expected.insert(expected.end(), {0xE2, 0x82, 0xAC});
    }
    EXPECT_EQ(expected, recorded.All());
    ASSERT_EQ(4u, recorded.m_Writes.size());
    EXPECT_EQ(1u, recorded.m_Writes[0].size());
    EXPECT_EQ(1u, recorded.m_Writes[1].size());

    // Leading plain units beyond one buffer, then a two-byte one: 1003 bytes, counter 83 EB.
    WString mixed(1001, u'w');
    mixed.push_back(u'\u00E9');
    MemoryBridgeStream memory;
    WriteString(memory, mixed);
    Bytes expectedMixed = {0x83, 0xEB};
    expectedMixed.insert(expectedMixed.end(), 1001, 'w');
    expectedMixed.insert(expectedMixed.end(), {0xC3, 0xA9});
    EXPECT_EQ(expectedMixed, memory.GetContent());
}

TEST(StringEncoding, ReadsBackNarrowWideAndLongTextAndRefusesCutText) {
    const WString wide = u"Caf\u00E9 \u20AC \U0001F600";
    std::string longText(300000, '\0');
    for (size_t i = 0; i < longText.size(); ++i) {
        longText[i] = static_cast<char>('a' + i % 26);
    }
    MemoryBridgeStream stream;
    WriteString(stream, wide);
    WriteString(stream, longText);
    WriteString(stream, "");
    WriteString(stream, u"abc");
    stream.Seek(ISeekBridgeStream::SeekBegin, 0);
    EXPECT_EQ(wide, ReadWideString(stream));
    EXPECT_EQ(longText, ReadString(stream));
    EXPECT_EQ("", ReadString(stream));
    EXPECT_EQ("abc", ReadString(stream));
    EXPECT_EQ(0u, stream.GetRemaining());

    // A length of 5 with 3 bytes, and the largest length with none: neither waits nor succeeds.
    for (const Bytes& bytes : {Bytes{0x05, 'a', 'b', 'c'}, Bytes{0xDF, 0xFF, 0xFF, 0xFF, 'a'}}) {
        MemoryBridgeStream cut(bytes.data(), bytes.size());
        EXPECT_EQ("Can't read data", ErrorText([&] { ReadString(cut); }));
    }
}

TEST(MemoryBridgeStream, WritesReadsAndSeeksLikeAFile) {
    MemoryBridgeStream stream;
    stream.Write("abcdef", 6);
    EXPECT_EQ(6, stream.Tell());
    stream.Seek(ISeekBridgeStream::SeekBegin, 2);
    stream.Write("XY", 2);
    EXPECT_EQ(4, stream.Tell());
    stream.Seek(ISeekBridgeStream::SeekCurrent, -4);
    char buffer[6];
    stream.Read(buffer, 6);
    EXPECT_EQ("abXYef", std::string(buffer, 6));

    // Past the end, a write leaves zero bytes in the gap.
    stream.Seek(ISeekBridgeStream::SeekEnd, 2);
    EXPECT_EQ(8, stream.Tell());
    stream.Write("z", 1);
    EXPECT_EQ((Bytes{'a', 'b', 'X', 'Y', 'e', 'f', 0, 0, 'z'}), stream.GetContent());

    // A failed read or seek leaves the position where it was.
    stream.Seek(ISeekBridgeStream::SeekEnd, -1);
    EXPECT_EQ("Can't read data", ErrorText([&] { stream.Read(buffer, 2); }));
    EXPECT_EQ("Invalid origin", ErrorText([&] { stream.Seek(3, 0); }));
    EXPECT_EQ("Invalid offset", ErrorText([&] { stream.Seek(ISeekBridgeStream::SeekBegin, -1); }));
    EXPECT_EQ("Invalid offset",
              ErrorText([&] { stream.Seek(ISeekBridgeStream::SeekCurrent, -9); }));
    EXPECT_EQ(8, stream.Tell());

    stream.Clear();
    EXPECT_EQ(0u, stream.GetSize());
    EXPECT_EQ(0, stream.Tell());
}

TEST(MemoryBridgeStream, SubObjectsComeInWriteSeekReadSeekOrderAndShareThePosition) {
    MemoryBridgeStream stream;
    IWriteSeekBridgeStream& writeSide = stream.AsWriteSeek();
    IReadSeekBridgeStream& readSide = stream.AsReadSeek();
    const auto address = [](const void* p) { return reinterpret_cast<uintptr_t>(p); };
    const uintptr_t write = address(static_cast<IWriteBridgeStream*>(&writeSide));
    const uintptr_t writeSeek = address(static_cast<ISeekBridgeStream*>(&writeSide));
    const uintptr_t read = address(static_cast<IReadBridgeStream*>(&readSide));
    const uintptr_t readSeek = address(static_cast<ISeekBridgeStream*>(&readSide));
    EXPECT_EQ(address(&stream), write);
    EXPECT_LT(write, writeSeek);
    EXPECT_LT(writeSeek, read);
    EXPECT_LT(read, readSeek);

    writeSide.Write("0123456789", 10);
    ISeekBridgeStream& seekFromWrite = writeSide;
    ISeekBridgeStream& seekFromRead = readSide;
    seekFromWrite.Seek(ISeekBridgeStream::SeekBegin, 3);
    EXPECT_EQ(3, seekFromRead.Tell());
    seekFromRead.Seek(ISeekBridgeStream::SeekCurrent, 4);
    EXPECT_EQ(7, seekFromWrite.Tell());
    char c = 0;
    readSide.Read(&c, 1);
    EXPECT_EQ('7', c);
}
