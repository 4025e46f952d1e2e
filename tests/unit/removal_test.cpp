// Removal engine tests: an install folder laid out on disk, a list of the
// names an install wrote, and what must be left once the engine has run.
#include "platform/platform.h"
#include "removal/removal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

struct RemovalCase {
    const char *title;
    std::vector<std::string> present; // files below the root ("inst/a.txt"), "/" separated
    std::string list;                 // the "#Files" text
    const char *keepName;
    std::set<std::string> left; // every file and folder below the root afterwards
    uint32_t removed;
};

// Every path below root, "/" separated, folders included.
std::set<std::string> Contents(const fs::path &root) {
    std::set<std::string> found;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        found.insert(it->path().lexically_relative(root).generic_string());
    }
    return found;
}

struct RemovalFolder {
    fs::path root;
    std::string directory; // root/inst in the core's form
    RemovalFolder() {
        root = fs::temp_directory_path() / ("qunpack-removal-" + std::to_string(
#ifdef _WIN32
                                                                     GetCurrentProcessId()
#else
                                                                     getpid()
#endif
                                                                         ));
        fs::remove_all(root);
        fs::create_directories(root / "inst");
        directory = root.string() + "\\inst";
    }
    ~RemovalFolder() {
        fs::remove_all(root);
    }
    void Add(const std::string &file) {
        fs::create_directories((root / file).parent_path());
        std::ofstream(root / file) << file;
    }
};

const RemovalCase kCases[] = {
    {"everything listed goes, folders deepest first, the install folder last",
     {"inst/a.txt", "inst/empty", "inst/sub/b.txt", "inst/sub/deep/c.txt", "inst/z/d.txt"},
     "\\a.txt\n\\empty\n\\sub\\b.txt\n\\sub\\deep\\c.txt\n\\z\\d.txt\n",
     nullptr,
     {},
     5},
    {"the user's files and the folders holding them stay",
     {"inst/a.txt", "inst/mine.txt", "inst/sub/b.txt", "inst/sub/deep/c.txt",
      "inst/sub/deep/mine.txt", "inst/z/d.txt"},
     "\\a.txt\n\\sub\\b.txt\n\\sub\\deep\\c.txt\n\\z\\d.txt",
     nullptr,
     {"inst", "inst/mine.txt", "inst/sub", "inst/sub/deep", "inst/sub/deep/mine.txt"},
     4},
    {"names that would leave the folder are passed over",
     {"outside.txt", "inst/a.txt"},
     "\\..\\outside.txt\n\\a\\..\\..\\outside.txt\n/outside.txt\n\\\\outside.txt\n"
     "\\C:outside.txt\noutside.txt\n\\a.txt\n",
     nullptr,
     {"outside.txt"},
     1},
    {"missing files, a folder named as a file, blank and broken lines",
     {"inst/sub/b.txt", "inst/folder/x.txt"},
     "\n\\gone.txt\n\\folder\n\\sub\\b.txt\r\n\\sub\\b.txt\n\\bad\x01name\n",
     nullptr,
     {"inst", "inst/folder", "inst/folder/x.txt"},
     1},
    {"the uninstaller's own file stays, and so do its folders",
     {"inst/a.txt", "inst/bin/Uninstall.exe", "inst/bin/tool.exe"},
     "\\a.txt\n\\bin\\tool.exe\n\\bin\\uninstall.exe\n",
     "\\BIN\\UNINSTALL.EXE",
     {"inst", "inst/bin", "inst/bin/Uninstall.exe"},
     2},
};

TEST(Removal, ListedFilesAndTheirEmptyFolders) {
    for (const RemovalCase &c : kCases) {
        SCOPED_TRACE(c.title);
        RemovalFolder folder;
        for (const std::string &file : c.present) {
            folder.Add(file);
        }
        RemovalReport report = {};
        RemovalRemoveListedFiles(folder.directory.c_str(), c.list.data(),
                                 static_cast<uint32_t>(c.list.size()), c.keepName, nullptr,
                                 &report);
        int gone = RemovalRemoveListedFolders(folder.directory.c_str(), c.list.data(),
                                              static_cast<uint32_t>(c.list.size()));
        EXPECT_EQ(report.removed, c.removed);
        EXPECT_EQ(report.failed, 0u);
        EXPECT_EQ(Contents(folder.root), c.left);
        EXPECT_EQ(gone, c.left.count("inst") == 0);
    }
}

TEST(Removal, ProgressNamesEachFileInOrder) {
    RemovalFolder folder;
    folder.Add("inst/a.txt");
    folder.Add("inst/sub/b.txt");
    static std::vector<std::string> seen;
    seen.clear();
    std::string list = "\\a.txt\n\\..\\x\n\\sub\\b.txt\n";
    RemovalReport report = {};
    RemovalRemoveListedFiles(
        folder.directory.c_str(), list.data(), static_cast<uint32_t>(list.size()), nullptr,
        [](const char *text, float fraction) {
            EXPECT_GE(fraction, 0.0f);
            EXPECT_LT(fraction, 1.0f);
            seen.push_back(text);
        },
        &report);
    EXPECT_EQ(seen, (std::vector<std::string>{"Removing: a.txt", "Removing: sub\\b.txt"}));
}

// A file the user keeps (hidden on Windows, read-only on both systems) at
// a listed path stays, and counts as a file not removed.
TEST(Removal, AKeptFileAtAListedPathStaysAndCounts) {
    RemovalFolder folder;
    folder.Add("inst/a.txt");
    folder.Add("inst/mine.txt");
    fs::path mine = folder.root / "inst" / "mine.txt";
#ifdef _WIN32
    ASSERT_TRUE(SetFileAttributesA(mine.string().c_str(), FILE_ATTRIBUTE_HIDDEN));
#else
    fs::permissions(mine, fs::perms::owner_read);
#endif
    std::string list = "\\a.txt\n\\mine.txt\n";
    RemovalReport report = {};
    RemovalRemoveListedFiles(folder.directory.c_str(), list.data(),
                             static_cast<uint32_t>(list.size()), nullptr, nullptr, &report);
    EXPECT_EQ(report.removed, 1u);
    EXPECT_EQ(report.failed, 1u);
    EXPECT_EQ(Contents(folder.root), (std::set<std::string>{"inst", "inst/mine.txt"}));
#ifdef _WIN32
    SetFileAttributesA(mine.string().c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
#endif
    // The install's own marker goes even so (Wine shows every dot file hidden).
    RemovalRemoveOwnFile(folder.directory.c_str(), "mine.txt", &report);
    EXPECT_EQ(report.removed, 2u);
    EXPECT_EQ(Contents(folder.root), (std::set<std::string>{"inst"}));
}

// Only a reparse point that stands for another name is a link: junctions
// and symbolic links are never walked through, while files the system
// compressed, deduplicated or keeps in the cloud are removed like others.
TEST(Removal, OnlyNameSurrogateReparsePointsAreLinks) {
    const struct {
        uint32_t attributes, tag;
        PlatformPathKind kind;
    } kinds[] = {
        {0x20, 0, PLATFORM_PATH_FILE},                        // archive
        {0x10, 0, PLATFORM_PATH_FOLDER},                      // folder
        {0x20, 0xA000000C, PLATFORM_PATH_FILE},               // no reparse point: the tag is noise
        {0x410, 0xA0000003, PLATFORM_PATH_LINK},              // junction
        {0x410, 0xA000000C, PLATFORM_PATH_LINK},              // symbolic link to a folder
        {0x420, 0xA000000C, PLATFORM_PATH_LINK},              // symbolic link to a file
        {0x820, 0x80000017, PLATFORM_PATH_FILE},              // compressed by the system (WOF)
        {0x420, 0x80000013, PLATFORM_PATH_FILE},              // deduplicated
        {0x400420, 0x9000601A, PLATFORM_PATH_FILE},           // cloud placeholder
        {0x410, 0x9000001A, PLATFORM_PATH_FOLDER},            // cloud folder
        {0x420, 0xA0000000 | 0x20000000, PLATFORM_PATH_LINK}, // any other name surrogate
    };
    for (const auto &k : kinds) {
        EXPECT_EQ(PlatformPathKindFromAttributes(k.attributes, k.tag), k.kind)
            << std::hex << k.attributes << " " << k.tag;
    }
}

#ifndef _WIN32
// A folder of the install replaced by a link to somewhere else: nothing
// behind the link is touched, not even an empty folder, the link itself
// stays, and a file reached through a link counts as not removed.
TEST(Removal, NeverFollowsALinkOutOfTheFolder) {
    RemovalFolder folder;
    folder.Add("elsewhere/b.txt");
    fs::create_directories(folder.root / "elsewhere" / "cache");
    folder.Add("inst/a.txt");
    fs::create_directory_symlink(folder.root / "elsewhere", folder.root / "inst" / "sub");
    fs::create_symlink(folder.root / "elsewhere" / "b.txt", folder.root / "inst" / "c.txt");
    std::string list = "\\a.txt\n\\sub\\b.txt\n\\c.txt\n\\sub\\cache\\gone.txt\n";
    RemovalReport report = {};
    RemovalRemoveListedFiles(folder.directory.c_str(), list.data(),
                             static_cast<uint32_t>(list.size()), nullptr, nullptr, &report);
    RemovalRemoveListedFolders(folder.directory.c_str(), list.data(),
                               static_cast<uint32_t>(list.size()));
    EXPECT_EQ(report.removed, 1u);
    EXPECT_EQ(report.failed, 2u);
    EXPECT_EQ(Contents(folder.root),
              (std::set<std::string>{"elsewhere", "elsewhere/b.txt", "elsewhere/cache", "inst",
                                     "inst/c.txt", "inst/sub"}));
}

// An install folder that is itself a link (the product moved to another
// drive): nothing behind it is removed, and every listed file there counts
// as not removed.
TEST(Removal, AnInstallFolderThatIsALinkIsLeftWhole) {
    RemovalFolder folder;
    folder.Add("moved/a.txt");
    folder.Add("moved/sub/b.txt");
    fs::create_directories(folder.root / "moved" / "empty");
    fs::remove(folder.root / "inst");
    fs::create_directory_symlink(folder.root / "moved", folder.root / "inst");
    std::string list = "\\a.txt\n\\sub\\b.txt\n\\empty\\c.txt\n";
    RemovalReport report = {};
    RemovalRemoveListedFiles(folder.directory.c_str(), list.data(),
                             static_cast<uint32_t>(list.size()), nullptr, nullptr, &report);
    EXPECT_EQ(RemovalRemoveListedFolders(folder.directory.c_str(), list.data(),
                                         static_cast<uint32_t>(list.size())),
              0);
    EXPECT_EQ(report.removed, 0u);
    EXPECT_EQ(report.failed, 2u);
    EXPECT_EQ(Contents(folder.root),
              (std::set<std::string>{"inst", "moved", "moved/a.txt", "moved/empty", "moved/sub",
                                     "moved/sub/b.txt"}));
}

#endif

} // namespace
