#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/FileSystem.h"
#include "Util/Log.h"
#include "Util/TempFile.h"
#include "Util/Utf8.h"
#include "support/LogFileLines.h"
#include "support/ScratchDirectory.h"

namespace fs = std::filesystem;

namespace {

std::string ThrownText(void (*pAction)(const WString&), const WString& argument) {
    try {
        pAction(argument);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no failure)";
}

void SetDirectory(const WString& path) {
    SetTempDirectory(path.c_str());
}

void Ensure(const WString& path) {
    EnsureDirectory(path);
}

bool AcceptAll(const WString&, void*) {
    return true;
}

// Refuses every name and keeps them.
bool RefuseAndRecord(const WString& path, void* pContext) {
    static_cast<std::vector<WString>*>(pContext)->push_back(path);
    return false;
}

// Each test gets a fresh directory; the setting goes back to the default afterwards.
class TempFileTest : public testing::Test {
protected:
    void TearDown() override {
        Log::Finish();
        SetTempDirectory(nullptr);
    }

    ScratchDirectory m_Scratch;
};

}  // namespace

TEST(TempPath, CombinePathAddsThePlatformSeparatorOnlyWhenMissing) {
    EXPECT_EQ(CombinePath(u"/data", u"lgc"), u"/data/lgc");
    EXPECT_EQ(CombinePath(u"/data/", u"lgc"), u"/data/lgc");
    EXPECT_EQ(CombinePath(u"\\Temp\\", u"lgc"), u"\\Temp\\lgc");
    EXPECT_EQ(CombinePath(u"", u"lgc"), u"lgc");

    EXPECT_TRUE(IsAbsolutePath(u"/tmp"));
    EXPECT_TRUE(IsAbsolutePath(u"\\Temp"));
    EXPECT_FALSE(IsAbsolutePath(u"tmp/x"));
    EXPECT_FALSE(IsAbsolutePath(u""));
}

TEST_F(TempFileTest, DirectoryIsCreatedLevelByLevelRefusedWhenBlockedAndResetByEmpty) {
    SetTempDirectory(nullptr);
    EXPECT_EQ(GetTempDirectory(), Platform::GetSystemTempDirectory());

    SetTempDirectory(m_Scratch.Wide().c_str());
    EXPECT_EQ(GetTempDirectory(), m_Scratch.Wide());
    SetTempDirectory(u"");
    EXPECT_EQ(GetTempDirectory(), Platform::GetSystemTempDirectory());

    // A missing two-level directory is created level by level.
    const WString nested = m_Scratch.Wide("first/second");
    SetTempDirectory(nested.c_str());
    EXPECT_TRUE(fs::is_directory(m_Scratch.Path() / "first"));
    EXPECT_TRUE(fs::is_directory(m_Scratch.Path() / "first" / "second"));
    EXPECT_EQ(GetTempDirectory(), nested);

    // Either separator works, and a trailing one is fine.
    std::string mixed = m_Scratch.Path().string() + "/one\\two/";
    EXPECT_NO_THROW(EnsureDirectory(FromUtf8(mixed)));
    EXPECT_TRUE(fs::is_directory(m_Scratch.Path() / "one" / "two"));

    // A file in the way or a relative path is refused and the setting kept.
    std::ofstream(m_Scratch.Path() / "blocker") << "x";

    EXPECT_EQ(ThrownText(&SetDirectory, m_Scratch.Wide("blocker/inner")),
              "File with the same name already exist");
    EXPECT_EQ(ThrownText(&SetDirectory, m_Scratch.Wide("blocker")),
              "File with the same name already exist");
    EXPECT_EQ(ThrownText(&SetDirectory, u"relative/dir"), "Absolute path required");
    EXPECT_EQ(ThrownText(&Ensure, u"relative"), "Absolute path required");
    EXPECT_EQ(GetTempDirectory(), nested);
}

TEST_F(TempFileTest, NamesFollowTheSeededGeneratorWithEightCharactersBeforeTheExtension) {
    SetTempDirectory(m_Scratch.Wide().c_str());
    const std::string dir = m_Scratch.Path().string() + "/";

    // Two draws per name from state 0x12345678: (13289, 23359), (19469, 24737), (23446, 14229).
    SeedTempNameGenerator(0x12345678);
    EXPECT_EQ(ToUtf8(CreateUniqueTempName(u"lgc", &AcceptAll, nullptr)), dir + "lgc05B3F.tmp");
    EXPECT_EQ(ToUtf8(CreateUniqueTempName(u"mdc", &AcceptAll, nullptr)), dir + "mdc060A1.tmp");
    EXPECT_EQ(ToUtf8(CreateUniqueTempName(u"ssc", &AcceptAll, nullptr)), dir + "ssc03795.tmp");

    // Shorter prefixes get more digits; the first draw's low bit lands in bit 31.
    SeedTempNameGenerator(0x12345678);
    EXPECT_EQ(ToUtf8(CreateUniqueTempName(u"", &AcceptAll, nullptr)), dir + "80005B3F.tmp");
    EXPECT_EQ(ToUtf8(CreateUniqueTempName(u"ab", &AcceptAll, nullptr)), dir + "ab0060A1.tmp");
    EXPECT_EQ(ToUtf8(CreateUniqueTempName(u"cgdx", &AcceptAll, nullptr)), dir + "cgd03795.tmp");

    // Unseeded names have the same form.
    const std::regex form(R"(lgc0[0-9A-F]{4}\.tmp)");
    for (int i = 0; i < 20; ++i) {
        WString path = CreateUniqueTempName(u"lgc", &AcceptAll, nullptr);
        std::string name = fs::path(ToUtf8(path)).filename().string();
        EXPECT_TRUE(std::regex_match(name, form)) << name;
        EXPECT_EQ(ToUtf8(path).substr(0, m_Scratch.Path().string().size()),
                  m_Scratch.Path().string());
    }

    // CreateTempFile skips an existing name and leaves an empty file.
    std::ofstream(m_Scratch.Path() / "cgi05B3F.tmp") << "taken";

    SeedTempNameGenerator(0x12345678);
    WString path = CreateTempFile(u"cgi");
    EXPECT_EQ(ToUtf8(path), (m_Scratch.Path() / "cgi060A1.tmp").string());
    EXPECT_TRUE(fs::is_regular_file(m_Scratch.Path() / "cgi060A1.tmp"));
    EXPECT_EQ(fs::file_size(m_Scratch.Path() / "cgi060A1.tmp"), 0u);
    EXPECT_EQ(ReadWholeFile((m_Scratch.Path() / "cgi05B3F.tmp").string()), "taken");
}

TEST_F(TempFileTest, SixteenRefusalsRunOutOfIterationsAfterSixteenLogLines) {
    SetTempDirectory(m_Scratch.Wide().c_str());
    Log::Initialize(0);
    std::vector<WString> refused;
    try {
        CreateUniqueTempName(u"ssc", &RefuseAndRecord, &refused);
        ADD_FAILURE() << "no failure after 16 refusals";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Out of allowed iteration");
    }
    std::vector<std::string> lines = ReadLogLinesAfterRecord();
    Log::Finish();

    ASSERT_EQ(refused.size(), 16u);
    ASSERT_EQ(lines.size(), 16u);
    for (unsigned i = 0; i < 16; ++i) {
        EXPECT_EQ(lines[i], LogLinePrefix() + "InvalidTempNameGeneration iteration=" +
                                std::to_string(i) + " path='" + ToUtf8(refused[i]) + "'");
    }
}
