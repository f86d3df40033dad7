#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/MemoryBridgeStream.h"
#include "Util/Utf8.h"

namespace {

std::string Bytes(std::initializer_list<unsigned char> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// The text of the debug assertion that `call` raises, or a note that it raised none.
template <typename Fn>
std::string AssertionText(Fn call) {
    try {
        call();
    } catch (const std::logic_error& e) {
        return e.what();
    }
    return "(no assertion)";
}

}  // namespace

TEST(Utf8, EncodesEachUnitByItsRange) {
    EXPECT_EQ("", ToUtf8(u""));
    EXPECT_EQ("abc", ToUtf8(u"abc"));
    EXPECT_EQ(Bytes({0x7F}), ToUtf8(u"\u007F"));
    EXPECT_EQ(Bytes({0xC2, 0x80}), ToUtf8(u"\u0080"));
    EXPECT_EQ(Bytes({0xC3, 0xA9}), ToUtf8(u"\u00E9"));
    EXPECT_EQ(Bytes({0xDF, 0xBF}), ToUtf8(u"\u07FF"));
    EXPECT_EQ(Bytes({0xE0, 0xA0, 0x80}), ToUtf8(u"\u0800"));
    EXPECT_EQ(Bytes({0xE2, 0x82, 0xAC}), ToUtf8(u"\u20AC"));
    EXPECT_EQ(Bytes({0xEF, 0xBF, 0xBF}), ToUtf8(u"\uFFFF"));
    // A surrogate pair is two units, each a three-byte sequence of its own.
    EXPECT_EQ(Bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80}), ToUtf8(u"\U0001F600"));
    EXPECT_EQ(Bytes({'x', 0xC3, 0xA9, 'y'}), ToUtf8(WString(u"x\u00E9y")));
}

TEST(Utf8, StringObjectsConvertWholeButPointersStopAtZero) {
    const WString wide(u"a\0b", 3);
    EXPECT_EQ(std::string("a\0b", 3), ToUtf8(wide));
    EXPECT_EQ("a", ToUtf8(wide.c_str()));

    const std::string narrow("a\0b", 3);
    EXPECT_EQ(WString(u"a\0b", 3), FromUtf8(narrow));
    EXPECT_EQ(u"a", FromUtf8(narrow.c_str()));

    EXPECT_EQ("", ToUtf8(static_cast<const WCHAR*>(nullptr)));
    EXPECT_EQ(u"", FromUtf8(static_cast<const char*>(nullptr)));
    EXPECT_EQ(u"", FromUtf8(""));
}

TEST(Utf8, DecodesLeadAndContinuationBytes) {
    EXPECT_EQ(u"\u00E9", FromUtf8(Bytes({0xC3, 0xA9})));
    EXPECT_EQ(u"\u20AC", FromUtf8(Bytes({0xE2, 0x82, 0xAC})));
    EXPECT_EQ(u"\U0001F600", FromUtf8(Bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80})));
    // A continuation byte extends whatever unit came last, keeping its low 16 bits.
    EXPECT_EQ(WString(1, static_cast<WCHAR>(('a' << 6) | 0x01)), FromUtf8(Bytes({'a', 0x81})));
    EXPECT_EQ(WString(1, static_cast<WCHAR>(0x2B00 | 0x3F)),
              FromUtf8(Bytes({0xE2, 0x82, 0xAC, 0xBF})));
    // A lead byte without its continuations keeps just its payload bits.
    EXPECT_EQ(WString(u"\u0003z"), FromUtf8(Bytes({0xC3, 'z'})));
}

TEST(Utf8, EveryUnitSurvivesTheRoundTrip) {
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
    EXPECT_EQ("assertion: res.size()", AssertionText([&] { FromUtf8(leading); }));
    EXPECT_EQ("assertion: ch < 0xF0", AssertionText([&] { FromUtf8(fourByte); }));
#else
    EXPECT_EQ(u"a", FromUtf8(leading));
    EXPECT_EQ(u"\u1000", FromUtf8(fourByte));
#endif
    // Text from a peer decodes the release way in every build, also inside a bridge string.
    for (const std::string& bytes : {leading, fourByte}) {
        EXPECT_EQ("(no assertion)", AssertionText([&] { FromOutsideUtf8(bytes); }));
        const std::string counted = static_cast<char>(bytes.size()) + bytes;
        MemoryBridgeStream stream(counted.data(), counted.size());
        EXPECT_EQ("(no assertion)", AssertionText([&] { ReadWideString(stream); }));
    }
    EXPECT_EQ(u"a", FromOutsideUtf8(leading));
    EXPECT_EQ(u"\u1000", FromOutsideUtf8(fourByte));
}

namespace {

int CompareInts(const void* key, const void* element) {
    const int a = *static_cast<const int*>(key);
    const int b = *static_cast<const int*>(element);
    return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

TEST(SortedSearch, FindsEveryElementAndNothingElse) {
    for (size_t count = 0; count <= 9; ++count) {
        std::vector<int> values;
        for (size_t i = 0; i < count; ++i) {
            values.push_back(static_cast<int>(i * 10));
        }
        const int* pBase = values.empty() ? nullptr : values.data();
        for (size_t i = 0; i < count; ++i) {
            const int key = values[i];
            EXPECT_EQ(pBase + i, SortedSearch(&key, pBase, count, sizeof(int), &CompareInts))
                << "count " << count << " key " << key;
        }
        for (int key = -5; key <= static_cast<int>(count * 10); key += 10) {
            EXPECT_EQ(nullptr, SortedSearch(&key, pBase, count, sizeof(int), &CompareInts))
                << "count " << count << " key " << key;
        }
    }
}

TEST(SortedSearch, AssertsOnInvalidArguments) {
#ifndef NDEBUG
    const int values[] = {1, 2};
    const int key = 1;
    EXPECT_EQ("assertion: base != NULL || num == 0",
              AssertionText([&] { SortedSearch(&key, nullptr, 2, sizeof(int), &CompareInts); }));
    EXPECT_EQ("assertion: width > 0",
              AssertionText([&] { SortedSearch(&key, values, 2, 0, &CompareInts); }));
    EXPECT_EQ("assertion: compare != NULL",
              AssertionText([&] { SortedSearch(&key, values, 2, sizeof(int), nullptr); }));
#else
    GTEST_SKIP() << "assertions are compiled out of release builds";
#endif
}
