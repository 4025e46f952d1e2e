// The rules that keep a manifest's relative names (stale files, shortcut
// names and targets) inside their folder and their paths inside MAX_PATH.
#include <gtest/gtest.h>

#include <string>

#include "package/relative_names.h"
#include "platform/platform.h"

TEST(RelativeNames, PlainNamesAndSubfoldersAreSafe) {
    for (const char *name : {"readme.txt", "docs\\guide.txt", "Documentation\\User guide",
                             "a/b.txt", ".origin", "..hidden", "x.", "a b\\c"}) {
        EXPECT_TRUE(RelativeNameIsSafe(name)) << name;
    }
}

TEST(RelativeNames, NamesThatLeaveTheFolderAreUnsafe) {
    for (const char *name : {"",
                             "\\",
                             "\\windows\\win.ini",
                             "/etc/passwd",
                             "C:\\boot.ini",
                             "C:x",
                             "file.txt:stream",
                             "..",
                             ".",
                             "..\\outside.txt",
                             "../outside.txt",
                             "docs\\..\\..\\x",
                             "docs\\.\\x",
                             "docs\\\\x",
                             "docs//x",
                             "docs\\",
                             "docs/",
                             "...",
                             ". .\\x",
                             "docs\\.. "}) {
        EXPECT_FALSE(RelativeNameIsSafe(name)) << name;
    }
    EXPECT_FALSE(RelativeNameIsSafe(nullptr));
}

TEST(RelativeNames, PathIsFolderBackslashNameAndSuffix) {
    char path[PLATFORM_MAX_PATH];
    ASSERT_TRUE(RelativePathBuild(path, "C:\\Programs\\Quorvane", "Docs\\Guide", ".lnk"));
    EXPECT_STREQ(path, "C:\\Programs\\Quorvane\\Docs\\Guide.lnk");
    ASSERT_TRUE(RelativePathBuild(path, "C:\\P", "old.txt", nullptr));
    EXPECT_STREQ(path, "C:\\P\\old.txt");
}

TEST(RelativeNames, UnsafeNameOrMissingFolderBuildsNothing) {
    char path[PLATFORM_MAX_PATH] = "stale";
    EXPECT_FALSE(RelativePathBuild(path, "C:\\P", "..\\x", nullptr));
    EXPECT_STREQ(path, "");
    path[0] = 's';
    path[1] = '\0';
    EXPECT_FALSE(RelativePathBuild(path, nullptr, "x", nullptr));
    EXPECT_STREQ(path, "");
}

TEST(RelativeNames, PathMustFitMaxPathWithItsTerminator) {
    char path[PLATFORM_MAX_PATH];
    std::string folder = "C:\\" + std::string(200, 'f');
    // folder + "\" + name + ".lnk" is exactly 259 characters: it fits.
    std::string name(259 - folder.size() - 1 - 4, 'n');
    EXPECT_TRUE(RelativePathBuild(path, folder.c_str(), name.c_str(), ".lnk"));
    EXPECT_EQ(strlen(path), 259u);
    name += "n";
    EXPECT_FALSE(RelativePathBuild(path, folder.c_str(), name.c_str(), ".lnk"));
    EXPECT_STREQ(path, "");
    std::string huge(1000, 'x');
    EXPECT_FALSE(RelativePathBuild(path, folder.c_str(), huge.c_str(), nullptr));
}
