#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

#include "Platform/Format.h"

using Platform::Format;
using Platform::FormatWide;

namespace {

// The C library's formatter, reached through a va_list so that formats without arguments compile
// without format-security warnings.
int CLibraryFormat(char* buffer, size_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = std::vsnprintf(buffer, capacity, format, args);
    va_end(args);
    return result;
}

// Formats with ours and with the C library at several capacities and compares text and result.
template <typename... Args>
void ExpectSameAsCLibrary(const char* format, Args... args) {
    SCOPED_TRACE(format);
    char expected[512];
    const int expectedLength = CLibraryFormat(expected, sizeof(expected), format, args...);
    ASSERT_GE(expectedLength, 0);
    const size_t full = static_cast<size_t>(expectedLength);
    for (size_t capacity : {size_t{512}, full + 1, full, size_t{3}, size_t{1}}) {
        SCOPED_TRACE(capacity);
        char ours[513];
        char theirs[513];
        std::memset(ours, 'x', sizeof(ours));
        std::memset(theirs, 'x', sizeof(theirs));
        EXPECT_EQ(Format(ours, capacity, format, args...), expectedLength);
        CLibraryFormat(theirs, capacity, format, args...);
        EXPECT_EQ(std::string(ours, capacity + 1), std::string(theirs, capacity + 1));
    }
    char untouched = 'x';
    EXPECT_EQ(Format(&untouched, 0, format, args...), expectedLength);
    EXPECT_EQ(untouched, 'x');
}

std::string Formatted(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    const int length = Platform::FormatV(buffer, sizeof(buffer), format, args);
    va_end(args);
    return length < 0 ? std::string("<error>") : std::string(buffer);
}

}  // namespace

TEST(PlatformFormat, ConversionsMatchCLibraryAtEveryCapacity) {
    ExpectSameAsCLibrary("%d|%i|%u", INT_MIN, INT_MAX, UINT_MAX);
    ExpectSameAsCLibrary("[%+05d] [%-6d] [% d] [%05.3d]", 42, -7, 9, 5);
    ExpectSameAsCLibrary("%x %X %#x %#o %o", 0xBEEFu, 0xBEEFu, 0u, 8u, 0u);
    ExpectSameAsCLibrary("%08X and [%-8X]", 0x1Au, 0xABCu);
    ExpectSameAsCLibrary("%hhd %hhu %hd %hu", 300, 511, 70000, 70000);
    ExpectSameAsCLibrary("%ld %lu %lx", LONG_MIN, ULONG_MAX, 0xFFFFul);
    ExpectSameAsCLibrary("%lld %llu %llX", LLONG_MIN, ULLONG_MAX, 0x123456789ABCDEFull);
    ExpectSameAsCLibrary("%zu %zd %zx", SIZE_MAX, static_cast<ptrdiff_t>(-5), size_t{255});
    ExpectSameAsCLibrary("%jd %ju %td", INTMAX_MIN, UINTMAX_MAX, static_cast<ptrdiff_t>(-99));
    ExpectSameAsCLibrary("%.0d|%.0u|%#.0o", 0, 0u, 0u);
    ExpectSameAsCLibrary("%-08d|%08d|%8d|%08x|%-3u|%0d", -42, -42, -42, 0xABCu, 7u, 0);
    ExpectSameAsCLibrary("%hhx|%hX|%lX|%tx|%jX|%zX", 0x1FF, 0x12345, ULONG_MAX,
                         static_cast<ptrdiff_t>(-1), UINTMAX_MAX, SIZE_MAX);
    ExpectSameAsCLibrary("%d|%08X|%X", 0, 0u, 0u);
    ExpectSameAsCLibrary("[%*d] [%-*d] [%*d]", 6, 12, 6, 12, -6, 12);
    ExpectSameAsCLibrary("[%.*f] [%.*f]", 2, 3.14159, -1, 3.14159);
    ExpectSameAsCLibrary("[%*.*s]", 8, 3, "abcdef");
    ExpectSameAsCLibrary("%0*d", 10, -42);
    ExpectSameAsCLibrary("[%s] [%.3s] [%10.2s] [%-5s]", "hello", "hello", "hello", "ab");
    ExpectSameAsCLibrary("[%c] [%5c] [%-3c] [%c]", 'A', 'b', 'c', 0);
    ExpectSameAsCLibrary("[%lc] [%ls] [%.2ls]", static_cast<wint_t>(L'W'), L"wide", L"wide");
    ExpectSameAsCLibrary("[%s]", static_cast<const char*>(nullptr));
    ExpectSameAsCLibrary("100%% sure|%%");
    ExpectSameAsCLibrary("no conversions at all");
    ExpectSameAsCLibrary("");
    ExpectSameAsCLibrary("%f %F %e %E", 1234.5678, -0.0, 6.02214076e23, 1.0e-300);
    ExpectSameAsCLibrary("%g %G %#g %.0f %#.0f", 0.0001234, 1e20, 1.5, 2.5, 2.5);
    ExpectSameAsCLibrary("%a %A %.3a", 1.0, -0.5, 3.0);
    ExpectSameAsCLibrary("%Lf %Le %10.4Lg", 1.25L, 3.0e100L, 2.0L / 3.0L);
    ExpectSameAsCLibrary("%+08.2f|%-9.1e|% f", 3.14159, 2.5e-5, 1.0);
    ExpectSameAsCLibrary("%f %f %e", 1.0 / 0.0, -1.0 / 0.0, 0.0 / 0.0);
}

TEST(PlatformFormat, PointerPrintsUpperCaseZeroPaddedWithoutPrefix) {
    const std::string zeros(sizeof(void*) * 2, '0');
    EXPECT_EQ(Formatted("%p", nullptr), zeros);
    const auto value = static_cast<uintptr_t>(0x1234ABCDu);
    const std::string digits = sizeof(void*) == 8 ? "000000001234ABCD" : "1234ABCD";
    EXPECT_EQ(Formatted("%p", reinterpret_cast<void*>(value)), digits);
    EXPECT_EQ(Formatted("%08X %p %s", 0x2Au, nullptr, "text"), "0000002A " + zeros + " text");
    EXPECT_EQ(Formatted("[%20p]", nullptr), "[" + std::string(20 - zeros.size(), ' ') + zeros + "]");
    EXPECT_EQ(Formatted("[%-20p]", nullptr), "[" + zeros + std::string(20 - zeros.size(), ' ') + "]");
    if (sizeof(void*) == 8) {
        EXPECT_EQ(Formatted("%p", reinterpret_cast<void*>(~uintptr_t{0})), "FFFFFFFFFFFFFFFF");
    }
}

TEST(PlatformFormat, WideTextEncodesEachUnitOnItsOwnAndCountsPrecisionInBytes) {
    EXPECT_EQ(Formatted("'%S'", u"plain"), "'plain'");
    EXPECT_EQ(Formatted("%S", u"\u00e9"), "\xC3\xA9");
    EXPECT_EQ(Formatted("%S", u"\u20ac"), "\xE2\x82\xAC");
    EXPECT_EQ(Formatted("%S", u"\U0001F600"), "\xED\xA0\xBD\xED\xB8\x80");
    EXPECT_EQ(Formatted("%S", u"\u007f\u0080\u07ff\u0800"), "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80");
    EXPECT_EQ(Formatted("[%S]", static_cast<const WCHAR*>(nullptr)), "[(null)]");
    EXPECT_EQ(Formatted("%S", u""), "");
    EXPECT_EQ(Formatted("[%.2S]", u"a\u00e9b"), "[a]");  // the two-byte unit would exceed 2
    EXPECT_EQ(Formatted("[%.3S]", u"a\u00e9b"), "[a\xC3\xA9]");
    EXPECT_EQ(Formatted("[%.0S]", u"abc"), "[]");
    EXPECT_EQ(Formatted("[%4S]", u"\u00e9"), "[  \xC3\xA9]");
    EXPECT_EQ(Formatted("[%-4S]", u"\u00e9"), "[\xC3\xA9  ]");
    EXPECT_EQ(Formatted("[%*.*S]", 5, 2, u"abc"), "[   ab]");
}

TEST(PlatformFormat, WideTextTruncatesAtExactlyTheCapacity) {
    // "ab\u20ac" needs five bytes; the C library truncates the UTF-8 bytes the same way.
    const char* utf8 = "ab\xE2\x82\xAC";
    for (size_t capacity = 0; capacity <= 7; ++capacity) {
        SCOPED_TRACE(capacity);
        char ours[8];
        char theirs[8];
        std::memset(ours, 'x', sizeof(ours));
        std::memset(theirs, 'x', sizeof(theirs));
        EXPECT_EQ(Format(ours, capacity, "%S", u"ab\u20ac"), 5);
        std::snprintf(theirs, capacity, "%s", utf8);
        EXPECT_EQ(std::string(ours, sizeof(ours)), std::string(theirs, sizeof(theirs)));
    }
}

TEST(PlatformFormat, RefusesWhatItDoesNotSupport) {
    char buffer[32];
    int count = 0;
    EXPECT_LT(Format(buffer, sizeof(buffer), "abc%n", &count), 0);
    EXPECT_LT(Format(buffer, sizeof(buffer), "%1$d", 5), 0);
    EXPECT_LT(Format(buffer, sizeof(buffer), "%y", 5), 0);
    EXPECT_LT(Format(buffer, sizeof(buffer), "%q", 5), 0);
    EXPECT_LT(Format(buffer, sizeof(buffer), "trailing %"), 0);
    EXPECT_LT(Format(buffer, sizeof(buffer), "%99999999999d", 5), 0);
    EXPECT_EQ(count, 0);
}

TEST(PlatformFormat, WideFormattingTakesWideTextForBothStringConversionsOrFailsEmpty) {
    WString text;
    ASSERT_TRUE(FormatWide(&text, 4096, "ProcessID: %u (%08X)\r\nArchitecture: %u\r\nFileName: '%s'",
                           4660u, 4660u, 9u, u"/usr/bin/\u00e9"));
    EXPECT_EQ(text, u"ProcessID: 4660 (00001234)\r\nArchitecture: 9\r\nFileName: '/usr/bin/\u00e9'");
    ASSERT_TRUE(FormatWide(&text, 64, "[%S|%.2s|%5s|%-4s]", u"\U0001F600", u"abc", u"ab", u"x"));
    EXPECT_EQ(text, u"[\U0001F600|ab|   ab|x   ]");
    ASSERT_TRUE(FormatWide(&text, 64, "caf\xC3\xA9 %p %%", nullptr));
    EXPECT_EQ(text, u"caf\u00e9 " + WString(sizeof(void*) * 2, u'0') + u" %");

    // Text that does not fit leaves the result empty.
    text = u"old";
    EXPECT_TRUE(FormatWide(&text, 4, "%s", u"abc"));
    EXPECT_EQ(text, u"abc");
    EXPECT_FALSE(FormatWide(&text, 3, "%s", u"abc"));
    EXPECT_TRUE(text.empty());
    text = u"old";
    EXPECT_FALSE(FormatWide(&text, 64, "%n", nullptr));
    EXPECT_TRUE(text.empty());
}
