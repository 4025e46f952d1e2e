// The installer's start: its own package verified, the installer-wide lock,
// and the package failure message, with the real stub.
#include <gtest/gtest.h>

#include "e2e_support.h"

static const char kPackageFailureText[] =
    "Failed to read package file.\t\t\n\n - try downloading it again";
static const DWORD kExitStopped = 0xFFFFFFFFu; // WinMain's -1

static std::string SmallInstaller(void) {
    return MakeInstaller({{"\\readme.txt", std::string(1000, 'r')},
                          {"\\#Manifest", "productname = \"E2E Product\"\r\n"
                                          "directory = \"E2E\\Product\"\r\n"}});
}

// Starts the installer and expects the package failure message, answered
// with OK, then exit code -1.
static void ExpectPackageFailure(const std::string &path) {
    Program program;
    ASSERT_TRUE(StartProgram(path, "", &program));
    HWND box = WaitForMessageBox(&program, E2E_TIMEOUT_MS);
    ASSERT_NE(box, (HWND)NULL) << "no message box";
    EXPECT_EQ(WindowText(box), "Unpack");
    EXPECT_EQ(MessageBoxText(box), kPackageFailureText);
    PressButton(box, IDOK);
    EXPECT_EQ(WaitProgram(&program, E2E_TIMEOUT_MS), kExitStopped);
    CloseProgram(&program);
}

TEST(RunSequence, BrokenPackagesShowTheFailureMessageAndExitWithMinusOne) {
    ASSERT_FALSE(StubImage().empty());
    std::string folder = MakeTestFolder("broken");
    std::string valid = SmallInstaller();

    std::string bare = folder + "\\bare.exe"; // the stub with no package behind it
    WriteFileBytes(bare, StubImage());
    ExpectPackageFailure(bare);

    std::string changed = valid;
    changed[StubImage().size() + 3] ^= 0x01; // inside the compressed directory
    WriteFileBytes(folder + "\\changed.exe", changed);
    ExpectPackageFailure(folder + "\\changed.exe");

    std::string image = valid;
    image[200] ^= 0x40; // inside the executable image, before the package
    WriteFileBytes(folder + "\\image.exe", image);
    ExpectPackageFailure(folder + "\\image.exe");

    WriteFileBytes(folder + "\\short.exe", valid.substr(0, valid.size() - 1));
    ExpectPackageFailure(folder + "\\short.exe");
}

TEST(RunSequence, DecliningAValidPackageEndsTheRunWithExitCodeZero) {
    std::string folder = MakeTestFolder("valid");
    std::string path = folder + "\\setup.exe";
    WriteFileBytes(path, SmallInstaller());
    Program program;
    ASSERT_TRUE(StartProgram(path, "", &program));
    HWND box = WaitForMessageBox(&program, E2E_TIMEOUT_MS);
    ASSERT_NE(box, (HWND)NULL) << "no confirmation";
    PressButton(box, IDNO);
    DWORD code = WaitProgram(&program, E2E_TIMEOUT_MS);
    EXPECT_EQ(code, 0u);
    CloseProgram(&program);
}

TEST(RunSequence, ASecondInstallerEndsSilentlyWhileTheLockIsHeld) {
    std::string folder = MakeTestFolder("locked");
    std::string path = folder + "\\setup.exe";
    WriteFileBytes(path, SmallInstaller());

    HANDLE held = CreateMutexA(NULL, TRUE, "QUnpack_Running");
    ASSERT_NE(held, (HANDLE)NULL);
    Program program;
    ASSERT_TRUE(StartProgram(path, "", &program));
    DWORD code = WaitProgram(&program, E2E_TIMEOUT_MS);
    EXPECT_EQ(code, kExitStopped);
    EXPECT_TRUE(ProgramWindows(&program).empty());
    CloseProgram(&program);
    ReleaseMutex(held);
    CloseHandle(held);
}
