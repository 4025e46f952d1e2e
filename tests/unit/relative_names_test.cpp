// The one name rule (what a package or a manifest may name below a folder,
// within MAX_PATH), the product-name rule beside it, and the one case fold.
#include <gtest/gtest.h>

#include <string>

#include "package/relative_names.h"
#include "platform/platform.h"

TEST(RelativeNames, PlainNamesAndSubfoldersAreSafe) {
    for (const char *name : {"readme.txt", "docs\\guide.txt", "Documentation\\User guide",
                             "a/b.txt", ".origin", "..hidden", "x.y", "a b\\c"}) {
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

// The one rule, component by component, for entry names and manifest names
// alike: what Windows would store under another name, or not as a file.
TEST(RelativeNames, ComponentsWindowsCannotStoreAsTheyAreAreRefused) {
    struct Case {
        const char *component;
        NameProblem problem;
    } cases[] = {
        {"readme.txt", NAME_SOUND},
        {"COM0", NAME_SOUND},
        {"CONSOLE", NAME_SOUND},
        {"lpt", NAME_SOUND},
        {"con2.txt", NAME_SOUND},
        {"x.y z", NAME_SOUND},
        {"\xE9t\xE9", NAME_SOUND}, // bytes of the ANSI code page
        {"", NAME_EMPTY_COMPONENT},
        {".", NAME_DOT_COMPONENT},
        {"..", NAME_DOT_COMPONENT},
        {"...", NAME_TRAILING_DOT_OR_SPACE},
        {". .", NAME_TRAILING_DOT_OR_SPACE},
        {"a.", NAME_TRAILING_DOT_OR_SPACE},
        {"a ", NAME_TRAILING_DOT_OR_SPACE},
        {"CON", NAME_DEVICE},
        {"con.txt", NAME_DEVICE},
        {"Nul .tar.gz", NAME_DEVICE},
        {"aux", NAME_DEVICE},
        {"PRN", NAME_DEVICE},
        {"COM1", NAME_DEVICE},
        {"lpt9.log", NAME_DEVICE},
        {"CONIN$", NAME_DEVICE},
        {"conout$.x", NAME_DEVICE},
        {"a<b", NAME_RESERVED_CHARACTER},
        {"a>b", NAME_RESERVED_CHARACTER},
        {"a:b", NAME_RESERVED_CHARACTER},
        {"a\"b", NAME_RESERVED_CHARACTER},
        {"a|b", NAME_RESERVED_CHARACTER},
        {"a?", NAME_RESERVED_CHARACTER},
        {"*", NAME_RESERVED_CHARACTER},
        {"a\x01b", NAME_CONTROL_CHARACTER},
        {"\x1F", NAME_CONTROL_CHARACTER},
    };
    for (const Case &c : cases) {
        std::string component = c.component;
        EXPECT_EQ(NameComponentProblem(component.data(), component.size()), c.problem) << component;
        // The same verdict inside a longer name, for both kinds of name.
        EXPECT_EQ(EntryNameProblem(("\\sub\\" + component + "\\x").c_str()), c.problem)
            << component;
        EXPECT_EQ(RelativeNameProblem(("sub/" + component).c_str()), c.problem) << component;
    }
    EXPECT_EQ(EntryNameProblem("\\a/b"), NAME_RESERVED_CHARACTER); // "/" separates nothing here
    EXPECT_EQ(RelativeNameProblem("a/b"), NAME_SOUND);
    EXPECT_EQ(EntryNameProblem("a"), NAME_NOT_RELATIVE);
    EXPECT_EQ(EntryNameProblem("\\\\server\\x"), NAME_NOT_RELATIVE);
    EXPECT_EQ(RelativeNameProblem("/a"), NAME_NOT_RELATIVE);
    EXPECT_EQ(EntryNameProblem("\\"), NAME_MISSING);
    EXPECT_EQ(RelativeNameProblem(""), NAME_MISSING);
}

TEST(RelativeNames, PathIsFolderBackslashNameAndSuffix) {
    char path[PLATFORM_MAX_PATH];
    ASSERT_TRUE(RelativePathBuild(path, "C:\\Programs\\Quorvane", "Docs\\Guide", ".lnk"));
    EXPECT_STREQ(path, "C:\\Programs\\Quorvane\\Docs\\Guide.lnk");
    ASSERT_TRUE(RelativePathBuild(path, "C:\\P", "old.txt", nullptr));
    EXPECT_STREQ(path, "C:\\P\\old.txt");
    // Every step splits and compares at "\": a "/" of the name becomes one,
    // the folder is taken as it is.
    ASSERT_TRUE(RelativePathBuild(path, "C:/P", "Tools/Guide\\x/y", ".lnk"));
    EXPECT_STREQ(path, "C:/P\\Tools\\Guide\\x\\y.lnk");
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

// The product's name is one name: the Start-menu folder, the Startup link
// and the Run value. It may hold what Windows would store under another
// name (a trailing dot, a device), which qpack warns about; it may never
// leave its folder or name a stream.
TEST(RelativeNames, ProductNamesAreOneNameWithoutSeparatorOrStream) {
    struct Case {
        const char *name;
        NameProblem problem;
    } cases[] = {
        {"Product", NAME_SOUND},
        {"Product 2.0", NAME_SOUND},
        {"Acme|Pro<1>", NAME_SOUND},
        {"..a", NAME_SOUND},
        {"\xE9t\xE9", NAME_SOUND},
        {nullptr, NAME_MISSING},
        {"", NAME_MISSING},
        {"Bad\\Name", NAME_RESERVED_CHARACTER},
        {"Bad/Name", NAME_RESERVED_CHARACTER},
        {"Demo: Pro", NAME_RESERVED_CHARACTER}, // a stream, never a folder or a link
        {"C:", NAME_RESERVED_CHARACTER},
        {"Tab\tName", NAME_CONTROL_CHARACTER},
        {"\x1F", NAME_CONTROL_CHARACTER},
        {"Del\x7f", NAME_CONTROL_CHARACTER},
        {".", NAME_DOT_COMPONENT},
        {"..", NAME_DOT_COMPONENT},
        {"...", NAME_DOT_COMPONENT},
        {". .", NAME_DOT_COMPONENT},
        {" ", NAME_DOT_COMPONENT},
    };
    for (const Case &c : cases) {
        const char *shown = c.name != nullptr ? c.name : "(null)";
        EXPECT_EQ(ProductNameProblem(c.name), c.problem) << shown;
        EXPECT_EQ(ProductNameIsSafe(c.name), c.problem == NAME_SOUND) << shown;
    }
}

// One fold for names and keys: only A-Z are taken alike; bytes of a code
// page, and the characters around the letters, stay as they are.
TEST(RelativeNames, CaseFoldTakesOnlyAsciiLettersAlike) {
    for (int c = 1; c < 256; c++) {
        char folded = NameCharacterFold(static_cast<char>(c));
        char expected = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : static_cast<char>(c);
        EXPECT_EQ(folded, expected) << c;
    }
    struct Case {
        const char *left, *right;
        int equal;
    } cases[] = {
        {"", "", 1},
        {"Readme.TXT", "readme.txt", 1},
        {"#MANIFEST", "#manifest", 1},
        {"\"C:\\Prog\\U.exe\"", "\"c:\\prog\\u.EXE\"", 1},
        {"a", "", 0},
        {"", "a", 0},
        {"abc", "abcd", 0},
        {"@", "`", 0},       // 0x40 and 0x60 sit beside A and a
        {"[", "{", 0},       // so do 0x5B and 0x7B
        {"\xC9", "\xE9", 0}, // E acute in the ANSI code page: not folded
        {"a\\b", "a/b", 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(NamesEqualFolded(c.left, c.right), c.equal) << c.left << " / " << c.right;
        EXPECT_EQ(NamesEqualFolded(c.right, c.left), c.equal) << c.right << " / " << c.left;
    }
}
