// Extraction tests: packages made by the writer library, opened from
// memory, extracted through the platform seam into a fresh folder below the
// system's temporary folder. Every test checks afterwards that no temporary
// file was left anywhere and that the heap holds no block.
#include "heap/region_heap.h"
#include "package/extract.h"
#include "package/install_directory.h"
#include "package/package.h"
#include "platform/platform.h"
#include "qpack/package_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
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

PackageBytes Bytes(const std::string &text) {
    return PackageBytes(text.begin(), text.end());
}

std::string ReadText(const fs::path &path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteText(const fs::path &path, const std::string &text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

int ProcessId() {
#ifdef _WIN32
    return static_cast<int>(GetCurrentProcessId());
#else
    return static_cast<int>(getpid());
#endif
}

// Every progress call, in order.
struct ProgressCall {
    std::string text;
    float fraction;
};
std::vector<ProgressCall> progressCalls;

void RecordProgress(const char *text, float fraction) {
    progressCalls.push_back({text, fraction});
}

// Every failure reported through the hook.
std::vector<std::pair<std::string, ExtractFailure>> failures;

void RecordFailure(const DirectoryRecord *record, const char *, ExtractFailure failure) {
    failures.push_back({DirectoryRecordName(record), failure});
}

class ExtractTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static int counter = 0;
        root = fs::temp_directory_path() /
               ("extract_test-" + std::to_string(ProcessId()) + "-" + std::to_string(counter++));
        fs::remove_all(root);
        fs::create_directories(root);
        // The engine's separator is "\"; the POSIX seam turns it into "/".
        installDirectory = root.string() + "\\inst";
        progressCalls.clear();
        failures.clear();
    }

    void TearDown() override {
        PackageClose();
        PlatformPagesFailAt(0);
        for (const std::string &file : FilesBelow(root)) {
            EXPECT_EQ(file.find("~qu"), std::string::npos) << "temporary file left: " << file;
        }
        RegionHeapStats stats;
        RegionHeapReadStats(&stats);
        EXPECT_EQ(stats.usedBlocks, 0u);
        EXPECT_EQ(RegionHeapCheck(), 1);
        std::error_code ignored;
        fs::permissions(root / "inst/readonly", fs::perms::owner_write, fs::perm_options::add,
                        ignored);
        fs::remove_all(root, ignored);
    }

    // Builds a package of entries (in the order given) and opens it.
    void Open(const std::vector<PackageWriterEntry> &entries) {
        PackageWriterOptions options;
        options.internalEntriesLast = false;
        std::string error;
        ASSERT_TRUE(PackageWrite(Bytes("MZ"), entries, options, &package, &error)) << error;
        ASSERT_EQ(PackageOpenMemory(package.data(), static_cast<uint32_t>(package.size())), 1);
    }

    // Opens a package laid out from parts that a test has changed.
    void OpenParts(PackageParts *parts) {
        PackageEncodeDirectory(parts);
        package = PackageAssemble(parts, true);
        ASSERT_EQ(PackageOpenMemory(package.data(), static_cast<uint32_t>(package.size())), 1);
    }

    ExtractionReport Extract() {
        ExtractionHooks hooks = {RecordProgress, nullptr, RecordFailure};
        ExtractionReport report = {99, 99, 99, 99};
        ExtractAllFilesWithHooks(installDirectory.c_str(), &hooks, &report);
        return report;
    }

    // The file below the install directory at relative ("/" or "\\" separated).
    fs::path Installed(std::string relative) const {
        std::replace(relative.begin(), relative.end(), '\\', '/');
        return root / "inst" / relative;
    }

    // The status text the engine shows for an entry name.
    std::string Status(const std::string &name) const {
        return "Unpacking: " + installDirectory + name;
    }

    // Every file and folder below folder, by "/"-separated relative path.
    static std::vector<std::string> FilesBelow(const fs::path &folder) {
        std::vector<std::string> files;
        std::error_code ignored;
        for (fs::recursive_directory_iterator it(folder, ignored), end; it != end;
             it.increment(ignored)) {
            files.push_back(fs::relative(it->path(), folder).generic_string());
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    fs::path root;
    std::string installDirectory;
    PackageBytes package;
};

// ---- Progress and counting ---------------------------------------------------

TEST_F(ExtractTest, FractionsAreTheBytesDoneBeforeEachFile) {
    Open({{"\\#Manifest", Bytes("internal, first")},
          {"\\a.txt", PackageBytes(100, 'a')},
          {"\\#brand.bmp", PackageBytes(5000, 'x')},
          {"\\b.txt", PackageBytes(300, 'b')},
          {"\\#installingtext.bmp", Bytes("internal, last")}});
    ExtractionReport report = Extract();
    EXPECT_EQ(report.files, 2u);
    EXPECT_EQ(report.failed, 0u);
    ASSERT_EQ(progressCalls.size(), 2u);
    EXPECT_EQ(progressCalls[0].text, Status("\\a.txt"));
    EXPECT_EQ(progressCalls[0].fraction, 0.0f);
    EXPECT_EQ(progressCalls[1].text, Status("\\b.txt"));
    EXPECT_EQ(progressCalls[1].fraction, 0.25f);
    EXPECT_EQ(FilesBelow(root / "inst"), (std::vector<std::string>{"a.txt", "b.txt"}));
    EXPECT_EQ(ReadText(Installed("a.txt")), std::string(100, 'a'));
    EXPECT_EQ(ReadText(Installed("b.txt")), std::string(300, 'b'));
}

TEST_F(ExtractTest, NothingToInstallCreatesAndShowsNothing) {
    const std::vector<std::vector<PackageWriterEntry>> packages = {
        {{"\\#Manifest", Bytes("m")}, {"\\#brand.bmp", Bytes("b")}},
        {{"\\empty", {}}, {"\\#Manifest", Bytes("m")}, {"\\sub\\empty too", {}}},
    };
    for (const std::vector<PackageWriterEntry> &entries : packages) {
        Open(entries);
        ExtractionReport report = Extract();
        EXPECT_EQ(report.files, 0u);
        EXPECT_EQ(report.failed, 0u);
        EXPECT_TRUE(progressCalls.empty());
        EXPECT_FALSE(fs::exists(root / "inst")) << "not even the install directory";
        PackageClose();
    }
}

TEST_F(ExtractTest, ZeroSizeEntryMakesAnEmptyFileWithoutABuffer) {
    WriteText(Installed("was full"), "old content");
    Open({{"\\was full", {}}, {"\\new empty", {}}, {"\\data", Bytes("data")}});
    // RegionHeapAlloc(0) gives null: asking it would count the entry failed.
    ExtractionReport report = Extract();
    EXPECT_EQ(report.files, 3u);
    EXPECT_EQ(report.failed, 0u);
    ASSERT_TRUE(fs::exists(Installed("was full")));
    EXPECT_EQ(fs::file_size(Installed("was full")), 0u);
    ASSERT_TRUE(fs::exists(Installed("new empty")));
    EXPECT_EQ(fs::file_size(Installed("new empty")), 0u);
    EXPECT_EQ(ReadText(Installed("data")), "data");
    ASSERT_EQ(progressCalls.size(), 3u);
    EXPECT_EQ(progressCalls[2].fraction, 0.0f) << "the empty entries add nothing to Done";
}

TEST_F(ExtractTest, SubfoldersAreCreatedAndTheLaterOfTwoEqualPathsWins) {
    Open({{"\\same.txt", Bytes("first")},
          {"\\one\\two\\three\\deep.txt", Bytes("deep")},
          {"\\one\\side.txt", Bytes("side")},
          {"\\same.txt", Bytes("second, longer")}});
    ExtractionReport report = Extract();
    EXPECT_EQ(report.files, 4u);
    EXPECT_EQ(report.failed, 0u);
    EXPECT_EQ(ReadText(Installed("one/two/three/deep.txt")), "deep");
    EXPECT_EQ(ReadText(Installed("one/side.txt")), "side");
    EXPECT_EQ(ReadText(Installed("same.txt")), "second, longer");
    EXPECT_EQ(FilesBelow(root / "inst"),
              (std::vector<std::string>{"one", "one/side.txt", "one/two", "one/two/three",
                                        "one/two/three/deep.txt", "same.txt"}));
}

// ---- Damaged entries keep the old file ----------------------------------------------

TEST_F(ExtractTest, DamagedEntriesLeaveTheOldFileAsItWas) {
    // One entry per way its data can be wrong; each target holds an old file.
    PackageParts parts;
    std::string error;
    ASSERT_TRUE(PackageBuildParts(Bytes("MZ"),
                                  {{"\\sum", Bytes("new content")},
                                   {"\\short", PackageBytes(500, 0)},
                                   {"\\empty", {}},
                                   {"\\sub\\fresh", Bytes("never there")},
                                   {"\\good", Bytes("good")}},
                                  PackageWriterOptions(), &parts, &error))
        << error;
    parts.records[0].dataSum += 1;       // the bytes do not add up
    parts.records[1].compressedSize = 2; // cut after its header: no zero comes out, and the
                                         // block keeps whatever the heap held
    parts.records[2].dataSum = 1;        // an empty entry can only sum to 0
    parts.records[3].dataSum += 1;
    OpenParts(&parts);
    for (const char *name : {"sum", "short", "empty", "good"}) {
        WriteText(Installed(name), std::string("old ") + name);
    }

    ExtractionReport report = Extract();
    EXPECT_EQ(report.files, 5u);
    EXPECT_EQ(report.failed, 4u);
    EXPECT_EQ(report.damaged, 4u);
    for (const char *name : {"sum", "short", "empty"}) {
        EXPECT_EQ(ReadText(Installed(name)), std::string("old ") + name) << name;
    }
    EXPECT_EQ(ReadText(Installed("good")), "good");
    EXPECT_EQ(FilesBelow(root / "inst"),
              (std::vector<std::string>{"empty", "good", "short", "sum"}))
        << "no temporary file, and no folder for an entry that was never written";
    ASSERT_EQ(failures.size(), 4u);
    for (const auto &failure : failures) {
        EXPECT_EQ(failure.second, EXTRACT_DAMAGED) << failure.first;
    }
}

// An entry that claims four bytes more than its stream gives, with the byte
// sum of what the stream gives: the missing bytes would add nothing if they
// were zero. An entry this large gets freshly mapped, zero-filled pages
// from the heap, so only the check that exactly size bytes came out can
// refuse it, whatever the heap held before.
TEST_F(ExtractTest, AStreamShortOfItsSizeIsRefusedEvenWhenItsSumWouldMatch) {
    PackageBytes data(2u << 20, 0);
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = static_cast<unsigned char>(1 + (i * 7 + i / 251) % 251);
    }
    PackageParts parts;
    std::string error;
    ASSERT_TRUE(
        PackageBuildParts(Bytes("MZ"), {{"\\short", data}}, PackageWriterOptions(), &parts, &error))
        << error;
    parts.records[0].size += 4;
    OpenParts(&parts);
    WriteText(Installed("short"), "old short");

    ExtractionReport report = Extract();
    EXPECT_EQ(report.failed, 1u);
    EXPECT_EQ(ReadText(Installed("short")), "old short");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].second, EXTRACT_DAMAGED);
}

// A path of 259 characters ending in "\\a" fits MAX_PATH, but its folder
// leaves no room for a temporary name of up to 15 characters: the file is
// created there when nothing stands at the path, and replaced through a
// temporary file in the install directory when its second entry comes.
TEST_F(ExtractTest, EveryPathThatFitsMaxPathIsInstalled) {
    size_t folderLength = PLATFORM_MAX_PATH - 1 - installDirectory.size() - 3;
    std::string deep = "\\" + std::string(folderLength, 'd');
    ASSERT_EQ((installDirectory + deep + "\\a").size(), PLATFORM_MAX_PATH - 1);
    ASSERT_EQ(InstallDirectoryHoldsFiles(installDirectory.c_str()), 1);
    Open(
        {{deep + "\\a", Bytes("deep")}, {"\\b", Bytes("shallow")}, {deep + "\\a", Bytes("again")}});
    WriteText(Installed("b"), "old");
    ExtractionReport report = Extract();
    EXPECT_EQ(report.files, 3u);
    EXPECT_EQ(report.failed, 0u);
    EXPECT_EQ(ReadText(Installed(deep.substr(1) + "/a")), "again");
    EXPECT_EQ(ReadText(Installed("b")), "shallow");
}

TEST_F(ExtractTest, FilesThatCannotBeWrittenStillAdvanceDone) {
    WriteText(Installed("blocker"), "a file where a folder should be");
    fs::create_directories(Installed("folder/inside"));
    WriteText(Installed("readonly"), "old read-only");
    fs::permissions(Installed("readonly"),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    Open({{"\\blocker\\x", PackageBytes(100, 'x')},
          {"\\folder", PackageBytes(200, 'f')},
          {"\\readonly", PackageBytes(100, 'r')},
          {"\\last", PackageBytes(600, 'l')}});

    ExtractionReport report = Extract();
    EXPECT_EQ(report.files, 4u);
    EXPECT_EQ(report.failed, 3u);
    EXPECT_EQ(report.damaged, 0u) << "the package is not to blame";
    ASSERT_EQ(progressCalls.size(), 4u);
    EXPECT_EQ(progressCalls[1].fraction, 0.1f);
    EXPECT_EQ(progressCalls[2].fraction, 0.3f);
    EXPECT_EQ(progressCalls[3].fraction, 0.4f);
    EXPECT_EQ(ReadText(Installed("blocker")), "a file where a folder should be");
    EXPECT_TRUE(fs::is_directory(Installed("folder/inside")));
    EXPECT_EQ(ReadText(Installed("readonly")), "old read-only");
    EXPECT_EQ(ReadText(Installed("last")), std::string(600, 'l'));
    ASSERT_EQ(failures.size(), 3u);
    EXPECT_EQ(failures[0].second, EXTRACT_NOT_CREATED);
    EXPECT_EQ(failures[1].second, EXTRACT_NOT_REPLACED);
    EXPECT_EQ(failures[2].second, EXTRACT_NOT_REPLACED);
}

#ifdef _WIN32
TEST_F(ExtractTest, AFileHeldOpenWithoutSharingKeepsItsContent) {
    WriteText(Installed("held.exe"), "running program");
    Open({{"\\held.exe", Bytes("new program")}, {"\\other", Bytes("other")}});
    HANDLE held = CreateFileA(Installed("held.exe").string().c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ExtractionReport report = Extract();
    CloseHandle(held);
    EXPECT_EQ(report.failed, 1u);
    EXPECT_EQ(ReadText(Installed("held.exe")), "running program");
    EXPECT_EQ(ReadText(Installed("other")), "other");
}
#endif

// ---- Names and lengths ---------------------------------------------------------------

TEST(ExtractNameTest, OnlyNamesThatStayBelowTheFolderAreSafe) {
    for (const char *name : {"\\a", "\\a\\b.txt", "\\.hidden", "\\a..b\\c", "\\#Manifest",
                             "\\sub\\#notes.txt", "\\with space\\x y"}) {
        EXPECT_EQ(ExtractNameIsSafe(name), 1) << name;
    }
    for (const char *name : {"",           "a",        "a\\b",     "\\",    "\\\\server\\share",
                             "\\a\\",      "\\a\\\\b", "\\.",      "\\..",  "\\a\\.\\b",
                             "\\a\\..\\b", "\\..\\x",  "\\C:\\x",  "\\a:b", "\\a/b",
                             "\\..//x",    "\\...",    "\\a\\.. ", "\\CON", "\\sub\\nul.txt",
                             "\\a|b",      "\\x."}) {
        EXPECT_EQ(ExtractNameIsSafe(name), 0) << name;
    }
    EXPECT_EQ(ExtractNameIsSafe(nullptr), 0);
}

TEST_F(ExtractTest, UnsafeNamesAreNeitherWrittenNorShown) {
    Open({{"\\..\\escaped1", PackageBytes(10, '1')},
          {"\\ok\\..\\..\\escaped2", PackageBytes(10, '2')},
          {"\\\\escaped3", PackageBytes(10, '3')},
          {"\\C:\\escaped4", PackageBytes(10, '4')},
          {"\\ok/escaped5", PackageBytes(10, '5')},
          {"\\ok\\.\\dot", PackageBytes(10, '6')},
          {"\\", PackageBytes(10, '7')},
          {"\\ok\\kept", PackageBytes(30, 'k')}});
    ExtractionReport report = Extract();
    EXPECT_EQ(report.files, 8u);
    EXPECT_EQ(report.failed, 7u);
    ASSERT_EQ(progressCalls.size(), 1u);
    EXPECT_EQ(progressCalls[0].fraction, 0.7f) << "refused entries count as done";
    EXPECT_EQ(FilesBelow(root), (std::vector<std::string>{"inst", "inst/ok", "inst/ok/kept"}));
    ASSERT_EQ(failures.size(), 7u);
    for (const auto &failure : failures) {
        EXPECT_EQ(failure.second, EXTRACT_NAME_UNSAFE) << failure.first;
    }
}

TEST_F(ExtractTest, PathsBeyondMaxPathAreRefusedAndStatusTextIsCut) {
    // Names that make the path exactly 259 characters (it fits with its
    // terminator) and 260 (it does not). The folders keep every component
    // under 255 bytes.
    size_t room = PLATFORM_MAX_PATH - 1 - installDirectory.size();
    ASSERT_GT(room, 40u) << "the temporary folder's path is too long for this test";
    std::string folder = "\\" + std::string(room / 2, 'd');
    std::string fits = folder + "\\" + std::string(room - folder.size() - 1, 'f');
    std::string tooLong = folder + "\\" + std::string(room - folder.size(), 'g');
    Open({{fits, Bytes("fits")}, {tooLong, Bytes("too long")}, {"\\after", Bytes("after")}});
    ExtractionReport report = Extract();
    EXPECT_EQ(report.files, 3u);
    EXPECT_EQ(report.failed, 1u);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].second, EXTRACT_PATH_TOO_LONG);
    EXPECT_EQ(ReadText(Installed(fits.substr(1))), "fits");
    EXPECT_FALSE(fs::exists(Installed(tooLong.substr(1))));
    EXPECT_EQ(ReadText(Installed("after")), "after");
    ASSERT_EQ(progressCalls.size(), 2u);
    EXPECT_EQ(progressCalls[0].text, Status(fits).substr(0, PLATFORM_MAX_PATH - 1));
    EXPECT_EQ(progressCalls[1].text, Status("\\after"));
    EXPECT_EQ(progressCalls[1].fraction, static_cast<float>(12.0 / 17.0));
}

// ---- New files and replaced files ------------------------------------------------------

TEST(PlatformFileWriteNewTest, CreatesOnlyWhereNothingStands) {
    fs::path root = fs::temp_directory_path() / ("write_new-" + std::to_string(ProcessId()));
    fs::remove_all(root);
    fs::create_directories(root / "folder");
    WriteText(root / "old", "old");
    const struct {
        const char *name;
        int written;
        PlatformNewFileFailure failure;
        const char *afterwards; // the file's content, or null: no file there
    } cases[] = {
        {"new", 1, PLATFORM_NEW_FILE_NOT_CREATED, "new"},
        {"old", 0, PLATFORM_NEW_FILE_NOT_CREATED, "old"},
        {"missing\\new", 0, PLATFORM_NEW_FILE_NO_FOLDER, nullptr},
        {"old\\new", 0, PLATFORM_NEW_FILE_NO_FOLDER, nullptr},
        {"folder", 0, PLATFORM_NEW_FILE_NOT_CREATED, nullptr},
    };
    for (const auto &c : cases) {
        std::string path = root.string() + "\\" + c.name;
        PlatformNewFileFailure failure = PLATFORM_NEW_FILE_NOT_WRITTEN;
        EXPECT_EQ(PlatformFileWriteNew(path.c_str(), "new", 3, &failure), c.written) << c.name;
        if (!c.written) {
            EXPECT_EQ(failure, c.failure) << c.name;
        }
        std::string relative = c.name;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        if (c.afterwards != nullptr) {
            EXPECT_EQ(ReadText(root / relative), c.afterwards) << c.name;
        } else {
            EXPECT_FALSE(fs::is_regular_file(root / relative)) << c.name;
        }
    }
    fs::remove_all(root);
}

// A file that stood at the path is replaced, never written over: another
// name for the old file (a hard link) keeps the old bytes. A new file is
// created where nothing stood without following what stands in the way.
TEST_F(ExtractTest, OldFilesAreReplacedWholeAndNewOnesCreatedInPlace) {
    WriteText(Installed("linked"), "old linked");
    fs::create_hard_link(Installed("linked"), root / "other name");
#ifndef _WIN32
    fs::create_symlink(root / "link target", Installed("dangling"));
#endif
    Open({{"\\linked", Bytes("new linked")},
          {"\\dangling", Bytes("new dangling")},
          {"\\sub\\fresh", Bytes("fresh")}});
    ExtractionReport report = Extract();
    EXPECT_EQ(report.failed, 0u);
    EXPECT_EQ(ReadText(Installed("linked")), "new linked");
    EXPECT_EQ(ReadText(root / "other name"), "old linked");
    EXPECT_EQ(ReadText(Installed("dangling")), "new dangling");
    EXPECT_FALSE(fs::exists(root / "link target")) << "the link was followed";
    EXPECT_EQ(ReadText(Installed("sub/fresh")), "fresh");
}

// Entries larger than a standard region share one block, grown to the
// largest and released at the end.
// The entries share one block with pages of its own, mapped again only
// when an entry needs more, and given back at the end: even small entries'
// block is not cut from a standard region, whose pages would stay resident
// behind the directory.
TEST_F(ExtractTest, EntriesShareOneBlockOfItsOwnReleasedAtTheEnd) {
    struct Case {
        std::vector<size_t> sizes;
        uint32_t allocations; // of pages during the extraction
    } cases[] = {
        {{2u << 20, 1u << 20, 2u << 20}, 1}, // the first is the largest
        {{4u << 10, 300u << 10, 600u << 10}, 1},
        {{300u << 10, 2u << 20, 3u << 20}, 3}, // grown twice
    };
    for (const Case &test : cases) {
        std::vector<PackageWriterEntry> entries;
        for (size_t i = 0; i < test.sizes.size(); i++) {
            PackageBytes data(test.sizes[i]);
            for (size_t j = 0; j < data.size(); j++) {
                data[j] = static_cast<unsigned char>(i + j * 7 + j / 251);
            }
            entries.push_back({"\\big" + std::to_string(i), data});
        }
        Open(entries);
        // A block held meanwhile keeps a standard region for the inflate
        // library's state, so that only the entries' blocks map pages.
        void *held = RegionHeapAlloc(16);
        uint32_t allocations = PlatformPagesAllocCount();
        uint32_t live = PlatformPagesLiveCount();
        ExtractionReport report = Extract();
        EXPECT_EQ(PlatformPagesAllocCount() - allocations, test.allocations) << test.sizes[0];
        EXPECT_EQ(PlatformPagesLiveCount(), live) << test.sizes[0];
        RegionHeapFree(held);
        EXPECT_EQ(report.failed, 0u);
        for (size_t i = 0; i < entries.size(); i++) {
            EXPECT_EQ(ReadText(Installed("big" + std::to_string(i))),
                      std::string(entries[i].data.begin(), entries[i].data.end()));
        }
        PackageClose();
    }
}

// ---- Heap failures ---------------------------------------------------------------------

TEST_F(ExtractTest, MissingHeapMemoryKeepsTheOldFileAtEveryFailurePoint) {
    // An entry larger than a standard region: its block needs pages of its
    // own, and so may the inflate library's state.
    PackageBytes big(1 << 20);
    for (size_t i = 0; i < big.size(); i++) {
        big[i] = static_cast<unsigned char>(i * 7 + i / 251);
    }
    Open({{"\\big.bin", big}});
    WriteText(Installed("big.bin"), "old big");
    uint32_t livePages = PlatformPagesLiveCount();
    uint32_t failAt = 1;
    for (; failAt < 10; failAt++) {
        failures.clear();
        PlatformPagesFailAt(failAt);
        ExtractionReport report = Extract();
        PlatformPagesFailAt(0);
        EXPECT_EQ(PlatformPagesLiveCount(), livePages) << "fail at " << failAt;
        EXPECT_EQ(RegionHeapCheck(), 1) << "fail at " << failAt;
        if (report.failed == 0) {
            break;
        }
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_TRUE(failures[0].second == EXTRACT_NO_MEMORY ||
                    failures[0].second == EXTRACT_DAMAGED)
            << "fail at " << failAt;
        EXPECT_EQ(ReadText(Installed("big.bin")), "old big") << "fail at " << failAt;
        EXPECT_EQ(FilesBelow(root / "inst"), std::vector<std::string>{"big.bin"});
    }
    ASSERT_LT(failAt, 10u);
    EXPECT_GE(failAt, 2u);
    EXPECT_EQ(ReadText(Installed("big.bin")), std::string(big.begin(), big.end()));
}

// ---- Parent directories -------------------------------------------------------------------

std::vector<std::string> createdDirectories;
// The folders that exist, for RecordDirectory: a folder is made when it
// does not exist and its parent does (a path without a "\\" has no parent
// to wait for).
std::set<std::string> existingDirectories;

int RecordDirectory(const char *path) {
    createdDirectories.push_back(path);
    std::string folder = path;
    size_t separator = folder.rfind('\\');
    if (existingDirectories.count(folder) != 0 ||
        (separator != std::string::npos &&
         existingDirectories.count(folder.substr(0, separator)) == 0)) {
        return 0;
    }
    existingDirectories.insert(folder);
    return 1;
}

TEST(MakeParentDirectoriesTest, MakesTheMissingFoldersDeepestFirstButNotTheFile) {
    ExtractDirectoryCreateFunction saved = extractDirectoryCreate;
    extractDirectoryCreate = RecordDirectory;
    struct Case {
        const char *path;
        std::set<std::string> existing; // besides "C:" and "\\\\srv"
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        // Only its own folder missing: one call.
        {"C:\\one\\two\\three\\file.txt", {"C:\\one", "C:\\one\\two"}, {"C:\\one\\two\\three"}},
        // Up until one is made, then down.
        {"C:\\one\\two\\three\\file.txt",
         {"C:\\one"},
         {"C:\\one\\two\\three", "C:\\one\\two", "C:\\one\\two\\three"}},
        {"C:\\one\\two\\three\\file.txt",
         {},
         {"C:\\one\\two\\three", "C:\\one\\two", "C:\\one", "C:\\one\\two", "C:\\one\\two\\three"}},
        // All there: up to the top, then once more below it.
        {"C:\\one\\two\\f",
         {"C:\\one", "C:\\one\\two"},
         {"C:\\one\\two", "C:\\one", "C:\\one\\two"}},
        {"C:\\file.txt", {}, {}},
        {"C:\\", {}, {}},
        {"C:", {}, {}},
        {"", {}, {}},
        {"C:\\ab", {}, {}},
        {"C:\\a\\", {}, {"C:\\a"}},
        {"\\\\srv\\share\\f", {}, {"\\\\srv\\share"}}, // by position only
    };
    for (const Case &test : cases) {
        createdDirectories.clear();
        existingDirectories = test.existing;
        existingDirectories.insert({"C:", "\\\\srv"});
        std::set<std::string> expected = existingDirectories;
        expected.insert(test.calls.begin(), test.calls.end());
        char path[PLATFORM_MAX_PATH];
        snprintf(path, sizeof path, "%s", test.path);
        MakeParentDirectories(path);
        EXPECT_EQ(createdDirectories, test.calls) << test.path;
        EXPECT_EQ(existingDirectories, expected) << test.path << ": every folder made";
        EXPECT_STREQ(path, test.path) << "restored";
    }
    extractDirectoryCreate = saved;
}

// ---- Install directory ---------------------------------------------------------------------

TEST(InstallDirectoryTest, ProgramFilesOrTheWindowsDriveAndTheManifestDirectory) {
    char directory[PLATFORM_MAX_PATH];
    ASSERT_EQ(InstallDirectoryBuild(directory, "C:\\Program Files", "C:\\WINDOWS", "Quorvane"), 1);
    EXPECT_STREQ(directory, "C:\\Program Files\\Quorvane");
    ASSERT_EQ(InstallDirectoryBuild(directory, nullptr, "D:\\Windows", "Quorvane"), 1);
    EXPECT_STREQ(directory, "D:\\Program Files\\Quorvane");
    ASSERT_EQ(InstallDirectoryBuild(directory, nullptr, "E:\\", "Vendor\\Tool"), 1);
    EXPECT_STREQ(directory, "E:\\Program Files\\Vendor\\Tool");
    ASSERT_EQ(InstallDirectoryBuild(directory, "C:\\Program Files", nullptr, "Vendor/Tool"), 1);
    EXPECT_STREQ(directory, "C:\\Program Files\\Vendor\\Tool");

    // Nothing to build from, or too long: refused with an empty result.
    EXPECT_EQ(InstallDirectoryBuild(directory, nullptr, "D:", "Quorvane"), 0);
    EXPECT_STREQ(directory, "");
    EXPECT_EQ(InstallDirectoryBuild(directory, nullptr, nullptr, "Quorvane"), 0);
    EXPECT_EQ(InstallDirectoryBuild(directory, "C:\\Program Files", nullptr, nullptr), 0);
    EXPECT_EQ(InstallDirectoryBuild(directory, "C:\\Program Files", nullptr, "..\\Windows"), 0);
    std::string prefix = "C:\\Program Files\\";
    std::string longest(PLATFORM_MAX_PATH - 1 - prefix.size(), 'x');
    EXPECT_EQ(InstallDirectoryBuild(directory, "C:\\Program Files", nullptr, longest.c_str()), 1);
    EXPECT_EQ(strlen(directory), PLATFORM_MAX_PATH - 1);
    std::string tooLong = longest + "x";
    EXPECT_EQ(InstallDirectoryBuild(directory, "C:\\Program Files", nullptr, tooLong.c_str()), 0);
    EXPECT_STREQ(directory, "");

    // A directory holds files while a temporary file's name still fits.
    std::string holds(PLATFORM_MAX_PATH - 2 - PLATFORM_TEMPORARY_NAME_MAX, 'h');
    EXPECT_EQ(InstallDirectoryHoldsFiles(holds.c_str()), 1);
    EXPECT_EQ(InstallDirectoryHoldsFiles((holds + "h").c_str()), 0);
    EXPECT_EQ(InstallDirectoryHoldsFiles((prefix + longest).c_str()), 0);
}

} // namespace

// ---- Large entries in pieces ------------------------------------------------------------

// Small bounds for a test: entries over 4 KiB go in pieces of 1,000 bytes
// (not a divisor of any size here), and streams are read in views of 777.
struct SmallPieces {
    SmallPieces() {
        extractLargeEntry = 4096;
        extractPieceSize = 1000;
        packageViewSize = 777;
    }
    ~SmallPieces() {
        extractLargeEntry = EXTRACT_LARGE_ENTRY;
        extractPieceSize = EXTRACT_PIECE_SIZE;
        packageViewSize = PACKAGE_VIEW_SIZE;
    }
};

PackageBytes Pattern(size_t size, unsigned seed) {
    PackageBytes data(size);
    for (size_t i = 0; i < size; i++) {
        data[i] = static_cast<unsigned char>(seed + i * 13 + i / 997);
    }
    return data;
}

// Large entries go through their temporary file; each damaged one leaves
// the old file as it was (or no file), and no temporary file behind, as a
// small one does. Opened from memory and from a file read in views.
TEST_F(ExtractTest, LargeEntriesAreCheckedPieceByPieceBeforeTheyReplaceAnything) {
    SmallPieces bounds;
    const struct {
        const char *name;
        size_t size;
        void (*damage)(PackageWriterRecord *record);
        bool hasOldFile;
    } cases[] = {
        {"new\\fresh", 12345, nullptr, false},
        {"replaced", 5000, nullptr, true},
        {"pieces", 3000 * 2 + 3000, nullptr, true}, // a multiple of the piece size
        {"justlarge", 4097, nullptr, false},
        {"sum", 9000, [](PackageWriterRecord *r) { r->dataSum += 1; }, true},
        {"sumnew", 9000, [](PackageWriterRecord *r) { r->dataSum -= 1; }, false},
        {"cut", 20000, [](PackageWriterRecord *r) { r->compressedSize /= 2; }, true},
        {"short", 8000, [](PackageWriterRecord *r) { r->size += 4; }, true},
        {"long", 8000, [](PackageWriterRecord *r) { r->size -= 1000; }, true},
    };
    std::vector<PackageWriterEntry> entries;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        entries.push_back({std::string("\\") + cases[i].name, Pattern(cases[i].size, i)});
    }
    PackageParts parts;
    std::string error;
    ASSERT_TRUE(PackageBuildParts(Bytes("MZ"), entries, PackageWriterOptions(), &parts, &error))
        << error;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        if (cases[i].damage != nullptr) {
            cases[i].damage(&parts.records[i]);
        }
    }
    PackageEncodeDirectory(&parts);
    package = PackageAssemble(&parts, true);
    std::string packagePath = (root / "package.bin").string();
    ASSERT_TRUE(PackageWriteFile(packagePath, package, &error)) << error;

    for (int inViews = 0; inViews < 2; inViews++) {
        fs::remove_all(root / "inst");
        failures.clear();
        ASSERT_EQ(inViews
                      ? PackageOpenFileInViews(packagePath.c_str())
                      : PackageOpenMemory(package.data(), static_cast<uint32_t>(package.size())),
                  1);
        for (const auto &c : cases) {
            if (c.hasOldFile) {
                WriteText(Installed(c.name), std::string("old ") + c.name);
            }
        }
        ExtractionReport report = Extract();
        PackageClose();
        EXPECT_EQ(report.failed, 5u);
        EXPECT_EQ(report.damaged, 5u);
        for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
            const auto &c = cases[i];
            fs::path installed = Installed(c.name);
            if (c.damage == nullptr) {
                EXPECT_EQ(ReadText(installed),
                          std::string(entries[i].data.begin(), entries[i].data.end()))
                    << c.name;
            } else if (c.hasOldFile) {
                EXPECT_EQ(ReadText(installed), std::string("old ") + c.name) << c.name;
            } else {
                EXPECT_FALSE(fs::exists(installed)) << c.name;
            }
        }
    }
}

// Memory stays at the piece size whatever the entry's size: one block of
// the piece size serves a large entry, released at the end.
TEST_F(ExtractTest, ALargeEntryNeedsOnlyOnePieceOfMemory) {
    SmallPieces bounds;
    extractLargeEntry = 64u << 10;
    extractPieceSize = 1u << 20; // over a standard region: pages of its own
    PackageBytes data = Pattern(3u << 20, 1);
    Open({{"\\huge.bin", data}});
    void *held = RegionHeapAlloc(16); // keeps a region for the inflate state
    uint32_t allocations = PlatformPagesAllocCount();
    ExtractionReport report = Extract();
    EXPECT_EQ(PlatformPagesAllocCount() - allocations, 1u) << "one block of the piece size";
    RegionHeapFree(held);
    EXPECT_EQ(report.failed, 0u);
    EXPECT_EQ(ReadText(Installed("huge.bin")), std::string(data.begin(), data.end()));
}
