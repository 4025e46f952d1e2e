// The whole install with the real stub: the confirmation, the files below
// Program Files, and the message that says how it went.
#include <gtest/gtest.h>
#include <shlobj.h>

#include "e2e_support.h"
#include "qpack/package_writer.h"

static const char kSuccessText[] = "Install Product has been successfully installed.";
static const char kIncompleteText[] =
    "Install Product was not installed completely: 1 of 4 files could not be written.\n\nClose "
    "any program that may be using them and run this installer again.";

static std::string ProgramFiles(void) {
    return SpecialFolder(CSIDL_PROGRAM_FILES);
}

static std::string Manifest(const std::string &directory) {
    return "productname = \"Install Product\"\r\ndirectory = \"" + directory + "\"\r\n";
}

static std::vector<TestEntry> Payload(void) {
    std::string binary(70000, '\0');
    for (size_t i = 0; i < binary.size(); i++)
        binary[i] = static_cast<char>((i * 2654435761u) >> 13);
    return {{"\\readme.txt", "Read me first.\r\n"},
            {"\\bin\\tool.exe", binary},
            {"\\bin\\empty.dat", ""},
            {"\\docs\\guide\\index.html", std::string(5000, 'h')}};
}

TEST(InstallE2E, YesInstallsEveryFileByteForByte) {
    std::string target = ProgramFiles() + "\\E2E Install\\Yes";
    RemoveTree(target);
    std::vector<TestEntry> entries = Payload();
    entries.push_back({"\\#Manifest", Manifest("E2E Install\\Yes")});
    std::string path = MakeTestFolder("install-yes") + "\\setup.exe";
    WriteFileBytes(path, MakeInstaller(entries));

    InstallerRun run;
    RunInstaller(path, IDYES, &run);
    EXPECT_EQ(run.question.text, "This program will install Install Product on this system.\n\n"
                                 "Do you want to continue?");
    ExpectBox(run.outcome, kSuccessText, MB_ICONINFORMATION | MB_OK, kProgressWindowClass);
    EXPECT_EQ(run.exitCode, 0u);
    for (const TestEntry &entry : Payload()) {
        std::string file = target + entry.name;
        EXPECT_TRUE(FileExists(file)) << file;
        EXPECT_TRUE(ReadFileBytes(file) == entry.data) << file;
    }
    EXPECT_FALSE(FileExists(target + "\\#Manifest"));
}

TEST(InstallE2E, NoLeavesTheDiskAndTheRegistryUntouched) {
    std::string target = ProgramFiles() + "\\E2E Install\\No";
    std::string links = SpecialFolder(CSIDL_PROGRAMS) + "\\Install Product";
    RemoveTree(target);
    RemoveTree(links);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey);
    ASSERT_FALSE(UninstallKeyExists());
    // Everything a yes would write besides the files.
    std::vector<TestEntry> entries = Payload();
    entries.push_back({"\\#Manifest", Manifest("E2E Install\\No") +
                                          "origin = \"made by the e2e test\"\r\n"
                                          "uninstaller = \"bin\\tool.exe\"\r\n"
                                          "shortcut = \"Read me\", \"readme.txt\", 0\r\n"});
    std::string path = MakeTestFolder("install-no") + "\\setup.exe";
    WriteFileBytes(path, MakeInstaller(entries));

    InstallerRun run;
    RunInstaller(path, IDNO, &run);
    EXPECT_EQ(run.outcome.box, (HWND)NULL);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(FileExists(target + "\\.origin"));
    EXPECT_FALSE(FileExists(links));
    EXPECT_FALSE(UninstallKeyExists());
}

TEST(InstallE2E, AFileInUseKeepsItsContentAndTheInstallSaysSo) {
    std::string target = ProgramFiles() + "\\E2E Install\\InUse";
    RemoveTree(target);
    CreateDirectoryA((ProgramFiles() + "\\E2E Install").c_str(), NULL);
    CreateDirectoryA(target.c_str(), NULL);
    WriteFileBytes(target + "\\readme.txt", "old content");
    // Held open without sharing, as a running program holds its files.
    HANDLE held = CreateFileA((target + "\\readme.txt").c_str(), GENERIC_READ, 0, NULL,
                              OPEN_EXISTING, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    std::vector<TestEntry> entries = Payload();
    entries.push_back({"\\#Manifest", Manifest("E2E Install\\InUse")});
    std::string path = MakeTestFolder("install-inuse") + "\\setup.exe";
    WriteFileBytes(path, MakeInstaller(entries));
    InstallerRun run;
    RunInstaller(path, IDYES, &run);
    CloseHandle(held);

    ExpectBox(run.outcome, kIncompleteText, MB_ICONERROR | MB_OK, kProgressWindowClass);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(ReadFileBytes(target + "\\readme.txt"), "old content");
    EXPECT_TRUE(ReadFileBytes(target + "\\bin\\tool.exe") == Payload()[1].data);
}

// Advice to close programs cannot mend a damaged download: the message
// asks for a new one, and keeps the old advice for files that were in use.
TEST(InstallE2E, ADamagedEntryKeepsTheOldFileAndTheInstallAsksForANewDownload) {
    std::string target = ProgramFiles() + "\\E2E Install\\Damaged";
    RemoveTree(target);
    CreateDirectoryA((ProgramFiles() + "\\E2E Install").c_str(), NULL);
    CreateDirectoryA(target.c_str(), NULL);
    WriteFileBytes(target + "\\readme.txt", "old content");

    std::vector<PackageWriterEntry> entries;
    for (const TestEntry &entry : Payload())
        entries.push_back({entry.name, PackageBytes(entry.data.begin(), entry.data.end())});
    std::string manifest = Manifest("E2E Install\\Damaged");
    entries.push_back({"\\#Manifest", PackageBytes(manifest.begin(), manifest.end())});
    const std::string &stub = StubImage();
    PackageParts parts;
    std::string error;
    ASSERT_TRUE(PackageBuildParts(PackageBytes(stub.begin(), stub.end()), entries,
                                  PackageWriterOptions(), &parts, &error))
        << error;
    // The right package sum over a record whose data sum is wrong.
    parts.records[0].dataSum += 1;
    PackageEncodeDirectory(&parts);
    PackageBytes installer = PackageAssemble(&parts, true);
    std::string path = MakeTestFolder("install-damaged") + "\\setup.exe";
    WriteFileBytes(path, std::string(installer.begin(), installer.end()));

    InstallerRun run;
    RunInstaller(path, IDYES, &run);
    ExpectBox(run.outcome,
              "Install Product was not installed completely: 1 of 4 files could not be "
              "written.\n\nThe installer may be damaged: download it again.",
              MB_ICONERROR | MB_OK, kProgressWindowClass);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(ReadFileBytes(target + "\\readme.txt"), "old content");

    // One file damaged and one held by a program: both pieces of advice.
    HANDLE held = CreateFileA((target + "\\bin\\tool.exe").c_str(), GENERIC_READ, 0, NULL,
                              OPEN_EXISTING, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    RunInstaller(path, IDYES, &run);
    CloseHandle(held);
    ExpectBox(run.outcome,
              "Install Product was not installed completely: 2 of 4 files could not be "
              "written.\n\nThe installer may be damaged: download it again. Close any "
              "program that may be using the other files before you run it.",
              MB_ICONERROR | MB_OK, kProgressWindowClass);
}
