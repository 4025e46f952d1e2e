// Removal engine tests: an install folder laid out on disk, a list of the
// names an install wrote, and what must be left once the engine has run.
#include "platform/platform.h"
#include "uninstall/removal.h"

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

#ifndef _WIN32
// A folder of the install replaced by a link to somewhere else: nothing
// behind the link is touched, the link itself stays.
TEST(Removal, NeverFollowsALinkOutOfTheFolder) {
    RemovalFolder folder;
    folder.Add("elsewhere/b.txt");
    folder.Add("inst/a.txt");
    fs::create_directory_symlink(folder.root / "elsewhere", folder.root / "inst" / "sub");
    fs::create_symlink(folder.root / "elsewhere" / "b.txt", folder.root / "inst" / "c.txt");
    std::string list = "\\a.txt\n\\sub\\b.txt\n\\c.txt\n";
    RemovalReport report = {};
    RemovalRemoveListedFiles(folder.directory.c_str(), list.data(),
                             static_cast<uint32_t>(list.size()), nullptr, nullptr, &report);
    RemovalRemoveListedFolders(folder.directory.c_str(), list.data(),
                               static_cast<uint32_t>(list.size()));
    EXPECT_EQ(report.removed, 1u);
    EXPECT_EQ(Contents(folder.root), (std::set<std::string>{"elsewhere", "elsewhere/b.txt", "inst",
                                                            "inst/c.txt", "inst/sub"}));
}
#endif

} // namespace
