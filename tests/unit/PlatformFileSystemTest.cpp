#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Platform/FileSystem.h"
#include "support/ScratchDirectory.h"

using namespace Platform;

namespace {

WString WithBackslashes(WString path) {
    for (WCHAR& c : path) {
        if (c == u'/') {
            c = u'\\';
        }
    }
    return path;
}

}  // namespace

TEST(PlatformFileSystem, CreateNewFileFailsWhenThePathExists) {
    ScratchDirectory scratch;
    const WString file = scratch.Wide("new.tmp");
    EXPECT_EQ(FindPath(file), FindResult::NotFound);
    EXPECT_TRUE(CreateNewFile(file));
    EXPECT_EQ(FindPath(file), FindResult::File);
    EXPECT_FALSE(CreateNewFile(file));
    EXPECT_FALSE(CreateNewFile(scratch.Wide()));
    EXPECT_FALSE(CreateNewFile(scratch.Wide("missing/new.tmp")));
    EXPECT_TRUE(DeleteFile(file));
    EXPECT_FALSE(DeleteFile(file));
    EXPECT_EQ(FindPath(file), FindResult::NotFound);
}

TEST(PlatformFileSystem, DirectoriesAreCreatedOnceAndFoundAsDirectories) {
    ScratchDirectory scratch;
    const WString directory = scratch.Wide("level1");
    EXPECT_TRUE(CreateDirectory(directory));
    EXPECT_FALSE(CreateDirectory(directory));
    EXPECT_EQ(FindPath(directory), FindResult::Directory);
    EXPECT_FALSE(CreateDirectory(scratch.Wide("missing/level2")));
    EXPECT_TRUE(RemoveDirectory(directory));
    EXPECT_FALSE(RemoveDirectory(directory));
    EXPECT_EQ(FindPath(WString()), FindResult::NotFound);
}

TEST(PlatformFileSystem, BackslashesAreSeparators) {
    ScratchDirectory scratch;
    const WString directory = WithBackslashes(scratch.Wide("sub"));
    ASSERT_TRUE(CreateDirectory(directory));
    const WString file = directory + u"\\data.bin";
    ASSERT_TRUE(CreateNewFile(file));
    EXPECT_EQ(FindPath(scratch.Wide("sub/data.bin")), FindResult::File);
    EXPECT_EQ(ToNativePath(u"\\a\\b/c"), "/a/b/c");
}

TEST(PlatformFileSystem, NativePathsAreUtf8) {
    EXPECT_EQ(ToNativePath(u"/t\u00e9\u20ac\U0001F600"), "/t\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    ScratchDirectory scratch;
    const WString file = scratch.Wide() + u"/\u00e9t\u00e9.txt";
    ASSERT_TRUE(CreateNewFile(file));
    EXPECT_TRUE(std::filesystem::exists(scratch.Path() / "\xC3\xA9t\xC3\xA9.txt"));
}

TEST(PlatformFileSystem, OpenFileGivesABufferedStream) {
    ScratchDirectory scratch;
    const WString file = scratch.Wide("stream.txt");
    FILE* out = OpenFile(file, "wt");
    ASSERT_NE(out, nullptr);
    std::fputs("line\n", out);
    std::fclose(out);
    FILE* in = OpenFile(WithBackslashes(file), "rb");
    ASSERT_NE(in, nullptr);
    char text[16] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof(text), in), 5u);
    std::fclose(in);
    EXPECT_STREQ(text, "line\n");
    EXPECT_EQ(OpenFile(scratch.Wide("missing.txt"), "rb"), nullptr);
}

TEST(PlatformFileSystem, FreeDiskSpaceOfAnExistingPath) {
    ScratchDirectory scratch;
    uint64_t freeBytes = 0;
    EXPECT_TRUE(GetFreeDiskSpace(scratch.Wide(), &freeBytes));
    EXPECT_GT(freeBytes, 0u);
    EXPECT_FALSE(GetFreeDiskSpace(scratch.Wide("missing"), &freeBytes));
}

TEST(PlatformFileSystem, SystemTempDirectoryFollowsTmpdir) {
    const char* saved = std::getenv("TMPDIR");
    const std::string savedValue = saved != nullptr ? saved : "";
    setenv("TMPDIR", "/var/tmp/\xC3\xA9", 1);
    EXPECT_EQ(GetSystemTempDirectory(), u"/var/tmp/\u00e9");
    unsetenv("TMPDIR");
    EXPECT_EQ(GetSystemTempDirectory(), u"/tmp");
    setenv("TMPDIR", "", 1);
    EXPECT_EQ(GetSystemTempDirectory(), u"/tmp");
    if (saved != nullptr) {
        setenv("TMPDIR", savedValue.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
}
