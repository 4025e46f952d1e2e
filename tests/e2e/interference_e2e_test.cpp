// What other programs and sessions may do to a running installer, with the
// real stub: an installer of another session holds the global lock, and
// other programs ask the window to close or the session to end.
#include <gtest/gtest.h>

#include "e2e_support.h"

static std::string WriteSmallInstaller(const char *folderName) {
    std::string path = MakeTestFolder(folderName) + "\\setup.exe";
    WriteFileBytes(path, MakeInstaller({{"\\readme.txt", "read me"},
                                        {"\\#Manifest", "productname = \"E2E Interference\"\r\n"
                                                        "directory = \"E2E\\Interference\"\r\n"}}));
    return path;
}

TEST(InterferenceE2E, AHolderOfTheGlobalLockAloneKeepsTheInstallerOut) {
    std::string path = WriteSmallInstaller("global-lock");
    HANDLE held = CreateMutexA(NULL, TRUE, "Global\\QUnpack_Running");
    ASSERT_NE(held, (HANDLE)NULL);
    Program program;
    ASSERT_TRUE(StartProgram(path, "", &program));
    // Watched for windows while it runs; the lock stays held throughout, so
    // an installer that waited for it would never end.
    EXPECT_EQ(WaitProgramWithoutWindows(&program, E2E_TIMEOUT_MS), kExitStopped);
    CloseProgram(&program);
    ReleaseMutex(held);
    CloseHandle(held);
}

// The confirmation is part of the install: another program's WM_CLOSE must
// not destroy the window under it, and a log-off is asked to wait.
TEST(InterferenceE2E, TheWindowStaysAndRefusesLogOffWhileTheInstallRuns) {
    std::string path = WriteSmallInstaller("interference");
    Program program;
    ASSERT_TRUE(StartProgram(path, "", &program));
    SeenBox confirmation;
    ASSERT_TRUE(WaitForBox(&program, E2E_TIMEOUT_MS, &confirmation)) << "no confirmation";
    ASSERT_EQ(confirmation.ownerClass, kProgressWindowClass) << DescribeWindows(&program);
    HWND box = confirmation.box;
    HWND window = confirmation.owner;

    DWORD_PTR answer = 1;
    EXPECT_NE(SendMessageTimeoutA(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL,
                                  E2E_TIMEOUT_MS, &answer),
              0);
    EXPECT_EQ(answer, 0u) << "a log-off must wait for the install";
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_NE(SendMessageTimeoutA(window, WM_CLOSE, 0, 0, SMTO_NORMAL, E2E_TIMEOUT_MS, &answer), 0);
    EXPECT_TRUE(IsWindow(window)) << "the window was destroyed under the install";
    EXPECT_TRUE(IsWindow(box));
    EXPECT_EQ(WaitProgram(&program, 0), static_cast<DWORD>(STILL_ACTIVE));

    // The install's own WM_CLOSE, posted after the answer, still ends the run.
    AnswerBox(confirmation, IDNO);
    EXPECT_EQ(WaitProgram(&program, E2E_TIMEOUT_MS), 0u);
    CloseProgram(&program);
}
