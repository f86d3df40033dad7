#include <gtest/gtest.h>

#include <stdexcept>

#include "Bridge/MemoryBridgeStream.h"
#include "Controller/WireText.h"

using Controller::DecodeWireText;
using Controller::ReadBoundedString;

TEST(WireText, JoinsSurrogatePairsAndReplacesWhatIsMalformed) {
    EXPECT_EQ("plain", DecodeWireText("plain"));
    EXPECT_EQ("\xCE\xA9", DecodeWireText("\xCE\xA9"));
    // U+1F600 sent as its two surrogates, each as a three-byte sequence.
    EXPECT_EQ("\xF0\x9F\x98\x80", DecodeWireText("\xED\xA0\xBD\xED\xB8\x80"));
    // A real four-byte sequence passes too.
    EXPECT_EQ("\xF0\x9F\x98\x80", DecodeWireText("\xF0\x9F\x98\x80"));
    // A literal replacement character stays one character.
    EXPECT_EQ("a\xEF\xBF\xBD" "b", DecodeWireText("a\xEF\xBF\xBD" "b"));

    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(replacement + "x", DecodeWireText("\xED\xA0\xBDx"));         // lone high surrogate
    EXPECT_EQ(replacement, DecodeWireText("\xED\xB8\x80"));                // lone low surrogate
    EXPECT_EQ(replacement + "x", DecodeWireText("\x80x"));                 // stray continuation
    EXPECT_EQ(replacement + replacement, DecodeWireText("\xC0\xAF"));      // overlong form
    EXPECT_EQ(replacement + replacement + "x", DecodeWireText("\xE2\x82x"));  // cut short
    EXPECT_EQ(replacement, DecodeWireText("\xFF"));
}

TEST(WireText, BoundedStringRefusesALengthAboveTheLimitBeforeReading) {
    MemoryBridgeStream fits(std::vector<BYTE>{0x03, 'a', 'b', 'c'});
    EXPECT_EQ("abc", ReadBoundedString(fits, 3, "The text"));

    MemoryBridgeStream tooLong(std::vector<BYTE>{0x04, 'a', 'b', 'c', 'd'});
    try {
        ReadBoundedString(tooLong, 3, "The text");
        FAIL() << "no failure";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ("The text is 4 bytes long, more than the 3 allowed", error.what());
    }
    EXPECT_EQ(4u, tooLong.GetRemaining());
}
