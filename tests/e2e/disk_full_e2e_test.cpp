// An install onto a disk that fills up: the files that found no room are
// named as such and the user is told to free space. tests/e2e/disk_full.sh
// mounts a 256 KiB tmpfs over the install folder and sets
// QUNPACK_FULL_DISK; without it these tests are skipped.
#include <gtest/gtest.h>
#include <shlobj.h>

#include "e2e_support.h"

namespace {

const char kFullAdvice[] = "The disk is full: free some space on it and run this installer again.";

std::string FullDiskFolder(void) {
    return SpecialFolder(CSIDL_PROGRAM_FILES) + "\\E2E Full Disk";
}

// Every name in folder but "." and "..".
std::vector<std::string> Names(const std::string &folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string name = data.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(search, &data));
    FindClose(search);
    return names;
}

TEST(DiskFullE2E, FilesWithoutRoomGetTheirOwnAdviceAndTheOldFilesStay) {
    if (getenv("QUNPACK_FULL_DISK") == nullptr)
        GTEST_SKIP() << "QUNPACK_FULL_DISK is not set (tests/e2e/disk_full.sh sets it)";
    std::string target = FullDiskFolder();
    DeleteFileA((target + "\\readme.txt").c_str());
    DeleteFileA((target + "\\big.dat").c_str());
    WriteFileBytes(target + "\\readme.txt", "old content");
    // Larger than the whole volume.
    std::string installer = MakeInstaller(
        {{"\\readme.txt", "Read me first.\r\n"},
         {"\\big.dat", std::string(400000, 'b')},
         {"\\#Manifest", "productname = \"Full Product\"\r\ndirectory = \"E2E Full Disk\"\r\n"}});
    std::string path = MakeTestFolder("disk-full") + "\\setup.exe";
    WriteFileBytes(path, installer);

    InstallerRun run;
    RunInstaller(path, IDYES, &run);
    ExpectBox(run.outcome,
              std::string("Full Product was not installed completely: 1 of 2 files could not be "
                          "written.\n\n") +
                  kFullAdvice,
              MB_ICONERROR | MB_OK, kProgressWindowClass);
    EXPECT_EQ(ReadFileBytes(target + "\\readme.txt"), "Read me first.\r\n");
    EXPECT_EQ(Names(target), std::vector<std::string>{"readme.txt"}) << "no temporary file left";

    // A file held by a program as well: both pieces of advice.
    WriteFileBytes(target + "\\readme.txt", "old content");
    HANDLE held = CreateFileA((target + "\\readme.txt").c_str(), GENERIC_READ, 0, NULL,
                              OPEN_EXISTING, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    RunInstaller(path, IDYES, &run);
    CloseHandle(held);
    ExpectBox(run.outcome,
              std::string("Full Product was not installed completely: 2 of 2 files could not be "
                          "written.\n\n") +
                  kFullAdvice +
                  " Close any program that may be using the other files before you run it.",
              MB_ICONERROR | MB_OK, kProgressWindowClass);
    EXPECT_EQ(ReadFileBytes(target + "\\readme.txt"), "old content");
    EXPECT_EQ(Names(target), std::vector<std::string>{"readme.txt"});
    DeleteFileA((target + "\\readme.txt").c_str());
}

} // namespace
