// Putting a new file in place on Windows: targets that Windows would keep
// (read-only, hidden, system) are kept everywhere, and a move refused for a
// moment by another program's handle is tried again.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "package/extract.h"
#include "package/package.h"
#include "platform/platform.h"
#include "qpack/package_writer.h"

static std::string TestFolder(const char *name) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string folder = std::string(temp) + "qunpack-replace-" + name;
    CreateDirectoryA(folder.c_str(), NULL);
    return folder;
}

static void Write(const std::string &path, const std::string &text) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, NULL);
    CloseHandle(file);
}

static std::string Read(const std::string &path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return "";
    char buffer[256];
    DWORD got = 0;
    ReadFile(file, buffer, sizeof buffer, &got, NULL);
    CloseHandle(file);
    return std::string(buffer, got);
}

static void Remove(const std::string &path) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
}

// ---- Targets Windows keeps ----------------------------------------------------------

TEST(FileReplace, ReadOnlyHiddenAndSystemTargetsAreKeptAndCountAsFailed) {
    std::string folder = TestFolder("kept");
    const struct {
        const char *name;
        DWORD attributes;
    } targets[] = {{"read-only", FILE_ATTRIBUTE_READONLY},
                   {"hidden", FILE_ATTRIBUTE_HIDDEN},
                   {"system", FILE_ATTRIBUTE_SYSTEM},
                   {"archive", FILE_ATTRIBUTE_ARCHIVE}};
    std::vector<PackageWriterEntry> entries;
    for (const auto &target : targets) {
        std::string path = folder + "\\" + target.name;
        Write(path, "old");
        ASSERT_TRUE(SetFileAttributesA(path.c_str(), target.attributes));
        entries.push_back({std::string("\\") + target.name, PackageBytes(3, 'n')});
    }
    PackageBytes package;
    std::string error;
    ASSERT_TRUE(
        PackageWrite(PackageBytes(2, 'M'), entries, PackageWriterOptions(), &package, &error))
        << error;
    ASSERT_EQ(PackageOpenMemory(package.data(), static_cast<uint32_t>(package.size())), 1);
    ExtractionReport report = {};
    ExtractAllFiles(folder.c_str(), nullptr, &report);
    PackageClose();

    EXPECT_EQ(report.failed, 3u);
    EXPECT_EQ(report.damaged, 0u);
    for (const auto &target : targets) {
        std::string path = folder + "\\" + target.name;
        bool kept = target.attributes != FILE_ATTRIBUTE_ARCHIVE;
        EXPECT_EQ(Read(path), kept ? "old" : "nnn") << target.name;
        if (kept) {
            DWORD attributes = GetFileAttributesA(path.c_str()) & ~FILE_ATTRIBUTE_ARCHIVE;
            EXPECT_EQ(attributes, target.attributes) << target.name;
        }
        Remove(path);
    }
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\~qu*").c_str(), &found);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "a temporary file was left: " << found.cFileName;
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    RemoveDirectoryA(folder.c_str());
}

// ---- Retrying the move -----------------------------------------------------------------

static int moveCalls;
static int movesToFail;
static DWORD moveError;

static int MoveFailingFirst(const char *from, const char *to) {
    if (moveCalls++ < movesToFail) {
        SetLastError(moveError);
        return 0;
    }
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

TEST(FileReplace, OnlySharingAndAccessErrorsAreTriedAgainFiveTimesAtMost) {
    const struct {
        int failures;
        DWORD error;
        int replaced;
        int calls;
    } cases[] = {
        {4, ERROR_SHARING_VIOLATION, 1, 5}, {1, ERROR_ACCESS_DENIED, 1, 2},
        {5, ERROR_SHARING_VIOLATION, 0, 5}, {9, ERROR_ACCESS_DENIED, 0, 5},
        {1, ERROR_PATH_NOT_FOUND, 0, 1},    {1, ERROR_DISK_FULL, 0, 1},
    };
    std::string folder = TestFolder("retry");
    std::string target = folder + "\\target", temporary = folder + "\\new";
    PlatformFileMoveFunction saved = platformFileMove;
    platformFileMove = MoveFailingFirst;
    for (const auto &c : cases) {
        Write(target, "old");
        Write(temporary, "new");
        moveCalls = 0;
        movesToFail = c.failures;
        moveError = c.error;
        DWORD started = GetTickCount();
        EXPECT_EQ(PlatformFileReplace(temporary.c_str(), target.c_str()), c.replaced) << c.error;
        DWORD spent = GetTickCount() - started;
        EXPECT_EQ(moveCalls, c.calls) << c.error;
        EXPECT_EQ(Read(target), c.replaced ? "new" : "old") << c.error;
        // Recorded, not asserted: the bound is the design's, not the clock's.
        RecordProperty("ms_for_" + std::to_string(c.failures) + "_" + std::to_string(c.error),
                       static_cast<int>(spent));
    }
    platformFileMove = saved;
    Remove(target);
    Remove(temporary);
    RemoveDirectoryA(folder.c_str());
}

// A scanner's handle, closed a moment after the installer's first try.
struct BriefHolder {
    HANDLE file;
    HANDLE tried; // set once the first move has been refused
};

static DWORD WINAPI CloseWhenTried(void *context) {
    BriefHolder *holder = static_cast<BriefHolder *>(context);
    WaitForSingleObject(holder->tried, 60000);
    CloseHandle(holder->file);
    return 0;
}

static BriefHolder *briefHolder;

static int MoveSignallingRefusal(const char *from, const char *to) {
    int moved = MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    DWORD error = GetLastError();
    if (!moved)
        SetEvent(briefHolder->tried);
    SetLastError(error);
    return moved;
}

TEST(FileReplace, AFileHeldForAMomentIsReplacedOnceItIsLetGo) {
    std::string folder = TestFolder("brief");
    std::string target = folder + "\\target", temporary = folder + "\\new";
    Write(target, "old");
    Write(temporary, "new");
    BriefHolder holder;
    holder.file = CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(holder.file, INVALID_HANDLE_VALUE);
    holder.tried = CreateEventA(NULL, TRUE, FALSE, NULL);
    briefHolder = &holder;
    PlatformFileMoveFunction saved = platformFileMove;
    platformFileMove = MoveSignallingRefusal;
    HANDLE thread = CreateThread(NULL, 0, CloseWhenTried, &holder, 0, NULL);

    EXPECT_EQ(PlatformFileReplace(temporary.c_str(), target.c_str()), 1);
    EXPECT_EQ(WaitForSingleObject(holder.tried, 0), WAIT_OBJECT_0) << "the first move was let in";
    EXPECT_EQ(Read(target), "new");

    WaitForSingleObject(thread, 60000);
    CloseHandle(thread);
    CloseHandle(holder.tried);
    platformFileMove = saved;
    Remove(target);
    Remove(temporary);
    RemoveDirectoryA(folder.c_str());
}
