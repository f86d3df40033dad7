// Text conversions: the bridge's unit-by-unit UTF-8, the platform's strict UTF-8 for file names,
// and the controller's decoding of text that arrives over the wire.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/MemoryBridgeStream.h"
#include "Controller/WireText.h"
#include "Platform/Linux/NativeText.h"
#include "Util/Utf8.h"
#include "support/ErrorText.h"

namespace {

std::string Bytes(std::initializer_list<unsigned char> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

int CompareInts(const void* key, const void* element) {
    const int a = *static_cast<const int*>(key);
    const int b = *static_cast<const int*>(element);
    return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

TEST(Utf8, EncodesEachUnitByItsRangeAndDecodesLeadAndContinuationBytes) {
    const std::pair<WString, std::string> units[] = {
        {u"", ""},
        {u"abc", "abc"},
        {u"\u007F", Bytes({0x7F})},
        {u"\u0080", Bytes({0xC2, 0x80})},
        {u"x\u00E9y", Bytes({'x', 0xC3, 0xA9, 'y'})},
        {u"\u07FF", Bytes({0xDF, 0xBF})},
        {u"\u0800", Bytes({0xE0, 0xA0, 0x80})},
        {u"\u20AC", Bytes({0xE2, 0x82, 0xAC})},
        {u"\uFFFF", Bytes({0xEF, 0xBF, 0xBF})},
        // A surrogate pair is two units, each a three-byte sequence of its own.
        {u"\U0001F600", Bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80})},
    };
    for (const auto& [wide, utf8] : units) {
        EXPECT_EQ(utf8, ToUtf8(wide));
        EXPECT_EQ(wide, FromUtf8(utf8));
    }
    // A continuation byte extends whatever unit came last, keeping its low 16 bits.
    EXPECT_EQ(WString(1, static_cast<WCHAR>(('a' << 6) | 0x01)), FromUtf8(Bytes({'a', 0x81})));
    EXPECT_EQ(WString(1, static_cast<WCHAR>(0x2B00 | 0x3F)),
              FromUtf8(Bytes({0xE2, 0x82, 0xAC, 0xBF})));
    // A lead byte without its continuations keeps just its payload bits.
    EXPECT_EQ(WString(u"\u0003z"), FromUtf8(Bytes({0xC3, 'z'})));

    // String objects convert whole, pointers stop at zero.
    EXPECT_EQ(std::string("a\0b", 3), ToUtf8(WString(u"a\0b", 3)));
    EXPECT_EQ("a", ToUtf8(WString(u"a\0b", 3).c_str()));
    EXPECT_EQ(WString(u"a\0b", 3), FromUtf8(std::string("a\0b", 3)));
    EXPECT_EQ(u"a", FromUtf8(std::string("a\0b", 3).c_str()));
    EXPECT_EQ("", ToUtf8(static_cast<const WCHAR*>(nullptr)));
    EXPECT_EQ(u"", FromUtf8(static_cast<const char*>(nullptr)));

    WString all;
    for (uint32_t unit = 1; unit <= 0xFFFF; ++unit) {
        all.push_back(static_cast<WCHAR>(unit));
    }
    const std::string encoded = ToUtf8(all);
    EXPECT_EQ(Utf8Length(all.data(), all.size()), encoded.size());
    EXPECT_EQ(0x7Fu * 1 + (0x800u - 0x80u) * 2 + (0x10000u - 0x800u) * 3, encoded.size());
    EXPECT_EQ(all, FromUtf8(encoded));
    EXPECT_EQ(all, FromUtf8(encoded.c_str()));
}

TEST(Utf8, OutOfRangeBytesAssertInDebugAndAreToleratedInRelease) {
    // A continuation byte with nothing to extend, and a four-byte lead.
    const std::string leading = Bytes({0x80, 'a'});
    const std::string fourByte = Bytes({0xF1, 0x80, 0x80});
#ifndef NDEBUG
    EXPECT_EQ("assertion: res.size()", ErrorText([&] { FromUtf8(leading); }));
    EXPECT_EQ("assertion: ch < 0xF0", ErrorText([&] { FromUtf8(fourByte); }));
#else
    EXPECT_EQ(u"a", FromUtf8(leading));
    EXPECT_EQ(u"\u1000", FromUtf8(fourByte));
#endif
    // Text from a peer decodes the release way in every build, also inside a bridge string.
    EXPECT_EQ(u"a", FromOutsideUtf8(leading));
    EXPECT_EQ(u"\u1000", FromOutsideUtf8(fourByte));
    for (const std::string& bytes : {leading, fourByte}) {
        const std::string counted = static_cast<char>(bytes.size()) + bytes;
        MemoryBridgeStream stream(counted.data(), counted.size());
        EXPECT_EQ(FromOutsideUtf8(bytes), ReadWideString(stream));
    }
}

TEST(SortedSearch, FindsEveryElementAndNothingElse) {
    for (size_t count = 0; count <= 9; ++count) {
        std::vector<int> values;
        for (size_t i = 0; i < count; ++i) {
            values.push_back(static_cast<int>(i * 10));
        }
        const int* pBase = values.empty() ? nullptr : values.data();
        for (int key = -5; key <= static_cast<int>(count * 10); key += 5) {
            const int* pExpected =
                key >= 0 && key % 10 == 0 && key < int(count * 10) ? pBase + key / 10 : nullptr;
            EXPECT_EQ(pExpected, SortedSearch(&key, pBase, count, sizeof(int), &CompareInts))
                << "count " << count << " key " << key;
        }
    }
#ifndef NDEBUG
    const int values[] = {1, 2};
    const int key = 1;
    EXPECT_EQ("assertion: base != NULL || num == 0",
              ErrorText([&] { SortedSearch(&key, nullptr, 2, sizeof(int), &CompareInts); }));
    EXPECT_EQ("assertion: width > 0",
              ErrorText([&] { SortedSearch(&key, values, 2, 0, &CompareInts); }));
    EXPECT_EQ("assertion: compare != NULL",
              ErrorText([&] { SortedSearch(&key, values, 2, sizeof(int), nullptr); }));
#endif
}

TEST(PlatformNativeText, EncodesPairsAsOneCharacterAndReplacesEachMalformedPrefixOnce) {
    using Platform::Native::FromUtf8;
    using Platform::Native::ToUtf8;
    EXPECT_EQ(ToUtf8(u"a\u00e9\u20ac"), "a\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(ToUtf8(WString(1, u'\xD83D')), "\xED\xA0\xBD");  // a lone surrogate: three bytes
    EXPECT_EQ(ToUtf8(WString{u'\xDE00', u'\xD83D'}), "\xED\xB8\x80\xED\xA0\xBD");  // reversed

    EXPECT_EQ(FromUtf8("a\xC3\xA9\xE2\x82\xAC"), u"a\u00e9\u20ac");
    EXPECT_EQ(FromUtf8("\xF0\x9F\x98\x80"), u"\U0001F600");
    EXPECT_EQ(FromUtf8("\xF4\x8F\xBF\xBF"), u"\U0010FFFF");
    EXPECT_EQ(FromUtf8("\xED\xA0\xBD"), WString(1, u'\xD83D'));
    EXPECT_EQ(FromUtf8(std::string("a\0b", 3)), WString(u"a\0b", 3));
    const WString r(1, u'\xFFFD');
    EXPECT_EQ(FromUtf8("\xE2\x82x"), r + u"x");              // cut three-byte sequence
    EXPECT_EQ(FromUtf8("\xF0\x9F\x98"), r);                  // cut at the end of the text
    EXPECT_EQ(FromUtf8("\x80\xBF"), r + r);                  // stray continuation bytes
    EXPECT_EQ(FromUtf8("\xC0\x80"), r + r);                  // overlong lead starts nothing
    EXPECT_EQ(FromUtf8("\xE0\x80\x80"), r + r + r);          // overlong three-byte form
    EXPECT_EQ(FromUtf8("\xF4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
    EXPECT_EQ(FromUtf8("\xFFz"), r + u"z");
}

TEST(WireText, JoinsSurrogatePairsReplacesWhatIsMalformedAndBoundsTheLength) {
    using Controller::DecodeWireText;
    const std::string r = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {"\xCE\xA9", "\xCE\xA9"},
        {"\xED\xA0\xBD\xED\xB8\x80", "\xF0\x9F\x98\x80"},  // U+1F600 as its two surrogates
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"a" + r + "b", "a" + r + "b"},  // a literal replacement character
        {"\xED\xA0\xBDx", r + "x"},      // lone high surrogate
        {"\xED\xB8\x80", r},             // lone low surrogate
        {"\x80x", r + "x"},              // stray continuation
        {"\xC0\xAF", r + r},             // overlong form
        {"\xE2\x82x", r + r + "x"},      // cut short
        {"\xFF", r},
        {"a\xC3", "a" + r},  // a lead byte at the very end
    };
    for (const auto& [wire, text] : cases) {
        EXPECT_EQ(text, DecodeWireText(wire));
    }

    MemoryBridgeStream fits(std::vector<BYTE>{0x03, 'a', 'b', 'c'});
    EXPECT_EQ("abc", Controller::ReadBoundedString(fits, 3, "The text"));
    MemoryBridgeStream tooLong(std::vector<BYTE>{0x04, 'a', 'b', 'c', 'd'});
    EXPECT_EQ(ErrorText([&] { Controller::ReadBoundedString(tooLong, 3, "The text"); }),
              "The text is 4 bytes long, more than the 3 allowed");
    EXPECT_EQ(4u, tooLong.GetRemaining());
}
