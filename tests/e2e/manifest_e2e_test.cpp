// Packages whose manifest cannot drive an install are refused like damaged
// ones: the package failure message, then exit code -1.
#include <gtest/gtest.h>

#include <string.h>

#include "e2e_support.h"

static const char kPackageFailureText[] =
    "Failed to read package file.\t\t\n\n - try downloading it again";
static const DWORD kExitStopped = 0xFFFFFFFFu; // WinMain's -1

// An installer with one file and, when manifest is not null, that manifest.
static std::string InstallerWithManifest(const char *manifest) {
    std::vector<TestEntry> entries = {{"\\readme.txt", std::string(100, 'r')}};
    if (manifest != NULL)
        entries.push_back({"\\#Manifest", manifest});
    return MakeInstaller(entries);
}

static void ExpectRefused(const std::string &path) {
    Program program;
    ASSERT_TRUE(StartProgram(path, "", &program));
    HWND box = WaitForMessageBox(&program, E2E_TIMEOUT_MS);
    ASSERT_NE(box, (HWND)NULL) << "no message box for " << path;
    EXPECT_EQ(WindowText(box), "Unpack");
    EXPECT_EQ(MessageBoxText(box), kPackageFailureText);
    PressButton(box, IDOK);
    EXPECT_EQ(WaitProgram(&program, E2E_TIMEOUT_MS), kExitStopped) << path;
    CloseProgram(&program);
}

TEST(ManifestE2E, UnusableManifestsAreRefusedLikeDamagedPackages) {
    ASSERT_FALSE(StubImage().empty());
    std::string folder = MakeTestFolder("manifest");
    struct Case {
        const char *file;
        const char *manifest;
    } cases[] = {
        {"no_manifest.exe", NULL},
        {"no_directory.exe", "productname = \"E2E Product\"\r\n"},
        {"unsafe_directory.exe",
         "productname = \"E2E Product\"\r\ndirectory = \"..\\Windows\"\r\n"},
    };
    for (const Case &c : cases) {
        std::string path = folder + "\\" + c.file;
        WriteFileBytes(path, InstallerWithManifest(c.manifest));
        ExpectRefused(path);
    }
}
