#include <gtest/gtest.h>

#include "Platform/Linux/NativeText.h"

using Platform::Native::FromUtf8;
using Platform::Native::ToUtf8;

TEST(PlatformNativeText, EncodesPairsAsOneCharacterAndLoneSurrogatesAsThreeBytes) {
    EXPECT_EQ(ToUtf8(u"a\u00e9\u20ac"), "a\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(ToUtf8(WString(1, u'\xD83D')), "\xED\xA0\xBD");
    EXPECT_EQ(ToUtf8(WString{u'\xDE00', u'\xD83D'}), "\xED\xB8\x80\xED\xA0\xBD");  // reversed
}

TEST(PlatformNativeText, DecodesWellFormedTextAndRoundTripsLoneSurrogates) {
    EXPECT_EQ(FromUtf8("a\xC3\xA9\xE2\x82\xAC"), u"a\u00e9\u20ac");
    EXPECT_EQ(FromUtf8("\xF0\x9F\x98\x80"), u"\U0001F600");
    EXPECT_EQ(FromUtf8("\xF4\x8F\xBF\xBF"), u"\U0010FFFF");
    EXPECT_EQ(FromUtf8("\xED\xA0\xBD"), WString(1, u'\xD83D'));
    EXPECT_EQ(FromUtf8(std::string("a\0b", 3)), WString(u"a\0b", 3));
}

TEST(PlatformNativeText, ReplacesEachMaximalMalformedPrefixOnce) {
    const WString r(1, u'\xFFFD');
    EXPECT_EQ(FromUtf8("\xE2\x82x"), r + u"x");           // cut three-byte sequence
    EXPECT_EQ(FromUtf8("\xF0\x9F\x98"), r);               // cut at the end of the text
    EXPECT_EQ(FromUtf8("\x80\xBF"), r + r);               // stray continuation bytes
    EXPECT_EQ(FromUtf8("\xC0\x80"), r + r);               // overlong lead never starts a sequence
    EXPECT_EQ(FromUtf8("\xE0\x80\x80"), r + r + r);       // overlong three-byte form
    EXPECT_EQ(FromUtf8("\xF4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
    EXPECT_EQ(FromUtf8("\xFFz"), r + u"z");
}
