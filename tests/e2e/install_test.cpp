// The whole install with the real stub: the confirmation, the files below
// Program Files, and the message that says how it went.
#include <gtest/gtest.h>
#include <shlobj.h>

#include "e2e_support.h"
#include "qpack/package_writer.h"

static const char kSuccessText[] = "Install Product has been successfully installed.";

static std::string ProgramFiles(void) {
    char path[MAX_PATH] = "";
    SHGetSpecialFolderPathA(NULL, path, CSIDL_PROGRAM_FILES, FALSE);
    return path;
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

    DWORD code = 1;
    std::string question;
    EXPECT_EQ(RunInstallerAnswering(path, IDYES, &code, &question), kSuccessText);
    EXPECT_EQ(question, "This program will install Install Product on this system.\n\n"
                        "Do you want to continue?");
    EXPECT_EQ(code, 0u);
    for (const TestEntry &entry : Payload()) {
        std::string file = target + entry.name;
        EXPECT_TRUE(FileExists(file)) << file;
        EXPECT_TRUE(ReadFileBytes(file) == entry.data) << file;
    }
    EXPECT_FALSE(FileExists(target + "\\#Manifest"));
}

TEST(InstallE2E, NoLeavesTheDiskUntouched) {
    std::string target = ProgramFiles() + "\\E2E Install\\No";
    RemoveTree(target);
    std::vector<TestEntry> entries = Payload();
    entries.push_back({"\\#Manifest", Manifest("E2E Install\\No")});
    std::string path = MakeTestFolder("install-no") + "\\setup.exe";
    WriteFileBytes(path, MakeInstaller(entries));

    DWORD code = 1;
    EXPECT_EQ(RunInstallerAnswering(path, IDNO, &code), "");
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(FileExists(target));
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
    DWORD code = 1;
    std::string outcome = RunInstallerAnswering(path, IDYES, &code);
    CloseHandle(held);

    EXPECT_EQ(outcome, "Install Product was not installed completely: 1 of 4 files could not be "
                       "written.\n\nClose any program that may be using them and run this "
                       "installer again.");
    EXPECT_EQ(code, 0u);
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

    DWORD code = 1;
    std::string outcome = RunInstallerAnswering(path, IDYES, &code);
    EXPECT_EQ(outcome, "Install Product was not installed completely: 1 of 4 files could not be "
                       "written.\n\nThe installer may be damaged: download it again.");
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(ReadFileBytes(target + "\\readme.txt"), "old content");

    // One file damaged and one held by a program: both pieces of advice.
    HANDLE held = CreateFileA((target + "\\bin\\tool.exe").c_str(), GENERIC_READ, 0, NULL,
                              OPEN_EXISTING, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    outcome = RunInstallerAnswering(path, IDYES, &code);
    CloseHandle(held);
    EXPECT_EQ(outcome, "Install Product was not installed completely: 2 of 4 files could not be "
                       "written.\n\nThe installer may be damaged: download it again. Close any "
                       "program that may be using the other files before you run it.");
}
