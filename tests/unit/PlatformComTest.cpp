#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "Platform/Com.h"

using namespace Platform;

namespace {

std::string Narrow(const WString& text) {
    std::string out;
    for (WCHAR c : text) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

std::string ComErrorText(uint32_t code) {
    return Narrow(_com_error(static_cast<HRESULT>(code)).ErrorMessage());
}

}  // namespace

TEST(PlatformCom, CreatedGuidsAreRandomVersionFour) {
    GUID first{};
    GUID second{};
    ASSERT_EQ(CoCreateGuid(&first), S_OK);
    ASSERT_EQ(CoCreateGuid(&second), S_OK);
    EXPECT_NE(first, second);
    for (const GUID& guid : {first, second}) {
        EXPECT_EQ(guid.Data3 >> 12, 4);
        EXPECT_EQ(guid.Data4[0] & 0xC0, 0x80);
    }
    EXPECT_EQ(CoCreateGuid(nullptr), E_INVALIDARG);
}

TEST(PlatformCom, GuidTextRoundTripsInMemoryLayout) {
    const std::string text = "{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C}";
    GUID guid{};
    ASSERT_TRUE(GuidFromString(text, &guid));
    const uint8_t expectedBytes[16] = {0x78, 0x1B, 0x7A, 0xD3, 0xC3, 0x6D, 0xFD, 0x46,
                                       0xBC, 0x31, 0xF7, 0xC4, 0xD5, 0xA1, 0x1C, 0x9C};
    EXPECT_EQ(std::memcmp(&guid, expectedBytes, 16), 0);
    EXPECT_EQ(GuidToString(guid), text);

    GUID bare{};
    ASSERT_TRUE(GuidFromString("d37a1b78-6dc3-46fd-bc31-f7c4d5a11c9c", &bare));
    EXPECT_EQ(bare, guid);

    GUID random{};
    ASSERT_EQ(CoCreateGuid(&random), S_OK);
    GUID back{};
    ASSERT_TRUE(GuidFromString(GuidToString(random), &back));
    EXPECT_EQ(back, random);
}

TEST(PlatformCom, MalformedGuidTextIsRefused) {
    GUID guid{};
    for (const char* text : {"", "{}", "{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C",
                             "D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C}",
                             "{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9CC}",
                             "{D37A1B78+6DC3-46FD-BC31-F7C4D5A11C9C}",
                             "{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9G}",
                             "(D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C)",
                             "D37A1B786DC346FDBC31F7C4D5A11C9C0000"}) {
        EXPECT_FALSE(GuidFromString(text, &guid)) << text;
    }
}

TEST(PlatformCom, ErrorMessageFallsBackToGenericTexts) {
    EXPECT_EQ(ComErrorText(0x80040201), "IDispatch error #1");
    EXPECT_EQ(ComErrorText(0x80040200), "IDispatch error #0");
    EXPECT_EQ(ComErrorText(0x8004FFFF), "IDispatch error #65023");
    EXPECT_EQ(ComErrorText(0x12345678), "Unknown error 0x12345678");
    EXPECT_EQ(ComErrorText(0x800401FF), "Unknown error 0x800401FF");
    EXPECT_EQ(ComErrorText(0x80050000), "Unknown error 0x80050000");
    EXPECT_EQ(ComErrorText(0xDEADBEEF), "Unknown error 0xDEADBEEF");
    EXPECT_EQ(ComErrorText(0x80131355), Narrow([] {
                  WString text;
                  FormatSystemMessage(static_cast<HRESULT>(0x80131355), &text);
                  return text;
              }()));
}

TEST(PlatformCom, SystemMessagesCoverTheCodesTheProgramMeets) {
    const uint32_t codes[] = {0x00000000, 0x80004005, 0x80004001, 0x80004002, 0x80004003,
                              0x80004004, 0x8000FFFF, 0x8007000E, 0x80070057, 0x80070005,
                              0x80070006, 0x80040110, 0x80040111, 0x80000019, 0x80070002,
                              0x80070003, 0x8007007A, 0x80131350, 0x80131351, 0x80131354,
                              0x80131355, 0x80131356, 0x8013135B, 0x80131360, 0x80131361,
                              0x80131363, 0x80131371, 0x80131374, 0x80131375, 0x80131388,
                              0x80131389};
    for (uint32_t code : codes) {
        WString text;
        ASSERT_TRUE(FormatSystemMessage(static_cast<HRESULT>(code), &text)) << std::hex << code;
        EXPECT_FALSE(text.empty());
        EXPECT_NE(text.back(), u'\n');
        EXPECT_NE(text.back(), u'\r');
    }
    // A wrapped OS error reads like the OS error itself.
    WString wrapped;
    WString plain;
    ASSERT_TRUE(FormatSystemMessage(static_cast<HRESULT>(0x80070002), &wrapped));
    ASSERT_TRUE(FormatSystemMessage(2, &plain));
    EXPECT_EQ(wrapped, plain);
    WString none;
    EXPECT_FALSE(FormatSystemMessage(0x12345678, &none));
    EXPECT_FALSE(FormatSystemMessage(static_cast<HRESULT>(0x80131352), &none));
}

TEST(PlatformCom, InformationMessageGoesToStandardErrorWithoutWaitingOffTerminal) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const int savedError = dup(STDERR_FILENO);
    const int savedInput = dup(STDIN_FILENO);
    const int nullInput = open("/dev/null", O_RDONLY);
    ASSERT_GE(nullInput, 0);
    dup2(pipeEnds[1], STDERR_FILENO);
    dup2(nullInput, STDIN_FILENO);
    ShowInformationMessage(u"Profiler \u00e9", u"ProcessID: 1\r\nFileName: 'x'");
    dup2(savedError, STDERR_FILENO);
    dup2(savedInput, STDIN_FILENO);
    close(savedError);
    close(savedInput);
    close(nullInput);
    close(pipeEnds[1]);
    std::string written;
    char chunk[256];
    ssize_t got = 0;
    while ((got = read(pipeEnds[0], chunk, sizeof(chunk))) > 0) {
        written.append(chunk, static_cast<size_t>(got));
    }
    close(pipeEnds[0]);
    EXPECT_EQ(written, "Profiler \xC3\xA9\nProcessID: 1\nFileName: 'x'\n");
}
