// The running-product check with the real stub: a product stuck in its
// start-up, a product that closes on request, one that does not, and a
// folder window that only looks like the product. fake_product plays the
// product.
#include <gtest/gtest.h>
#include <shlobj.h>

#include "e2e_support.h"

static const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
static const char kConfirmationStart[] = "This program will install ";

static std::string StuckText(const std::string &product) {
    return "A version of " + product +
           " seems to have failed during startup (and may still be running).\n\n"
           "Please reboot your system and try this installer again.";
}

static std::string StillRunningText(const std::string &product) {
    return "A version of " + product +
           " is still running.\n\nPlease ensure that this application is shutdown before "
           "continuing.";
}

// An installer whose manifest names the product and, when not empty, its
// startup mutex and main window.
static std::string WriteInstaller(const std::string &folder, const std::string &product,
                                  const std::string &mutexName, const std::string &windowName) {
    std::string manifest =
        "productname = \"" + product + "\"\r\ndirectory = \"E2E\\Previous Instance\"\r\n";
    if (!mutexName.empty())
        manifest += "mutexname = \"" + mutexName + "\"\r\n";
    if (!windowName.empty())
        manifest += "mainwindowname = \"" + windowName + "\"\r\n";
    std::string path = folder + "\\setup.exe";
    WriteFileBytes(
        path, MakeInstaller({{"\\readme.txt", std::string(100, 'r')}, {"\\#Manifest", manifest}}));
    return path;
}

static std::string ProgramFolder(void) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

// Starts fake_product and waits until it says everything is in place.
static bool StartProduct(const std::string &arguments, Program *product) {
    static int counter;
    std::string readyName = "qunpack-e2e-ready-" + std::to_string(GetCurrentProcessId()) + "-" +
                            std::to_string(++counter);
    HANDLE ready = CreateEventA(NULL, TRUE, FALSE, readyName.c_str());
    bool started = StartProgram(ProgramFolder() + "fake_product.exe",
                                "--ready " + readyName + " " + arguments, product);
    HANDLE both[2] = {ready, product->info.hProcess};
    started = started && WaitForMultipleObjects(2, both, FALSE, E2E_TIMEOUT_MS) == WAIT_OBJECT_0;
    CloseHandle(ready);
    return started;
}

// Ends the programs still running when a test leaves, early or not, so
// that no installer keeps the installer-wide lock from the next test.
struct ProgramsEndedAtExit {
    std::vector<Program *> programs;
    ~ProgramsEndedAtExit() {
        for (Program *program : programs)
            CloseProgram(program);
    }
};

// Presses a button of box and waits until the box has gone.
static void Answer(HWND box, int button) {
    PressButton(box, button);
    DWORD start = GetTickCount();
    while (IsWindow(box) && GetTickCount() - start < E2E_TIMEOUT_MS)
        Sleep(20);
}

// The installer's exit code, failing if it shows any window on the way.
static DWORD ExitWithoutAWindow(Program *installer) {
    DWORD start = GetTickCount();
    while (WaitForSingleObject(installer->info.hProcess, 50) == WAIT_TIMEOUT) {
        std::vector<HWND> windows = ProgramWindows(installer);
        if (!windows.empty()) {
            ADD_FAILURE() << "unexpected window: " << WindowText(windows[0]) << " / "
                          << MessageBoxText(windows[0]);
            break;
        }
        if (GetTickCount() - start > E2E_TIMEOUT_MS)
            break;
    }
    return WaitProgram(installer, E2E_TIMEOUT_MS);
}

// A go: the run reaches the progress window, whose confirmation is
// declined. No message of the running-product check shows on the way: a
// silent stop ends the same way but never shows the progress window.
static void ExpectGo(Program *installer) {
    bool sawProgressWindow = false;
    DWORD start = GetTickCount();
    while (WaitForSingleObject(installer->info.hProcess, 10) == WAIT_TIMEOUT &&
           GetTickCount() - start < E2E_TIMEOUT_MS) {
        for (HWND window : ProgramWindows(installer)) {
            char className[64];
            if (!GetClassNameA(window, className, sizeof className))
                continue;
            if (strcmp(className, "QUnpack_WindowClass") == 0) {
                sawProgressWindow = true;
            } else if (strcmp(className, "#32770") == 0) {
                std::string text = MessageBoxText(window);
                bool confirmation =
                    text.compare(0, strlen(kConfirmationStart), kConfirmationStart) == 0;
                EXPECT_TRUE(confirmation) << text;
                Answer(window, confirmation ? IDNO : IDCANCEL);
            }
        }
    }
    EXPECT_TRUE(sawProgressWindow);
    EXPECT_EQ(WaitProgram(installer, E2E_TIMEOUT_MS), 0u);
}

// Waits for the installer's message box and expects its caption and text.
static HWND ExpectMessage(Program *installer, const std::string &text) {
    HWND box = WaitForMessageBox(installer, E2E_TIMEOUT_MS);
    if (!box) {
        ADD_FAILURE() << "no message box";
        return NULL;
    }
    EXPECT_EQ(WindowText(box), "Unpack");
    EXPECT_EQ(MessageBoxText(box), text);
    return box;
}

static void SetRunValue(const std::string &name) {
    HKEY run;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_CURRENT_USER, kRunKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &run, NULL),
        ERROR_SUCCESS);
    const char command[] = "C:\\other.exe";
    RegSetValueExA(run, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(command),
                   sizeof command);
    RegCloseKey(run);
}

static bool RunValueExists(const std::string &name) {
    HKEY run;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_READ, &run) != ERROR_SUCCESS)
        return false;
    bool exists = RegQueryValueExA(run, name.c_str(), NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
    RegCloseKey(run);
    return exists;
}

static std::string StartupShortcut(const std::string &name) {
    char folder[MAX_PATH];
    if (!SHGetSpecialFolderPathA(NULL, folder, CSIDL_STARTUP, TRUE))
        return "";
    return std::string(folder) + "\\" + name + ".lnk";
}

TEST(PreviousInstanceE2E, NothingToCheckGoesOnAtOnce) {
    std::string folder = MakeTestFolder("previous-none");
    Program installer = {};
    ProgramsEndedAtExit ended = {{&installer}};
    ASSERT_TRUE(StartProgram(WriteInstaller(folder, "E2E Unchecked", "", ""), "", &installer));
    ExpectGo(&installer);
    CloseProgram(&installer);
}

TEST(PreviousInstanceE2E, AStuckStartupRemovesTheAutostartEntriesAndRefuses) {
    const std::string product = "E2E Stuck Product", other = "E2E Other Product";
    const char *holds[] = {"held", "abandoned"};
    for (const char *hold : holds) {
        SCOPED_TRACE(hold);
        std::string mutexName = std::string("QUnpackE2E_StuckStartup_") + hold;
        WriteFileBytes(StartupShortcut(other), "");
        SetRunValue(other);
        // An abandoned mutex needs a handle that outlives its owner.
        HANDLE kept = CreateMutexA(NULL, FALSE, mutexName.c_str());
        Program fake = {}, installer = {};
        ProgramsEndedAtExit ended = {{&installer, &fake}};
        std::string arguments = "--autostart \"" + product + "\" --mutex " + mutexName;
        if (std::string(hold) == "abandoned")
            arguments += " --abandon";
        ASSERT_TRUE(StartProduct(arguments, &fake));
        ASSERT_TRUE(FileExists(StartupShortcut(product)));
        ASSERT_TRUE(RunValueExists(product));

        std::string folder = MakeTestFolder("previous-stuck");
        ASSERT_TRUE(StartProgram(WriteInstaller(folder, product, mutexName, ""), "", &installer));
        HWND box = ExpectMessage(&installer, StuckText(product));
        // The entries are gone by the time the message shows.
        EXPECT_FALSE(FileExists(StartupShortcut(product)));
        EXPECT_FALSE(RunValueExists(product));
        EXPECT_TRUE(FileExists(StartupShortcut(other)));
        EXPECT_TRUE(RunValueExists(other));
        if (box)
            Answer(box, IDOK);
        EXPECT_EQ(ExitWithoutAWindow(&installer), 0u);
        CloseProgram(&installer);
        CloseProgram(&fake);
        CloseHandle(kept);
    }
    DeleteFileA(StartupShortcut(other).c_str());
    HKEY run;
    if (RegOpenKeyA(HKEY_CURRENT_USER, kRunKey, &run) == ERROR_SUCCESS) {
        RegDeleteValueA(run, other.c_str());
        RegCloseKey(run);
    }
}

TEST(PreviousInstanceE2E, AProductThatClosesOnRequestLetsTheInstallGoOn) {
    // Destroying the window inside the WM_CLOSE handler, and a few seconds
    // later.
    const char *modes[] = {"now", "after:2000"};
    for (const char *mode : modes) {
        SCOPED_TRACE(mode);
        Program fake = {}, installer = {};
        ProgramsEndedAtExit ended = {{&installer, &fake}};
        ASSERT_TRUE(
            StartProduct("--window \"E2E Closing Product\" --close " + std::string(mode), &fake));
        std::string folder = MakeTestFolder("previous-closing");
        ASSERT_TRUE(StartProgram(WriteInstaller(folder, "E2E Closing", "", "E2E Closing Product"),
                                 "", &installer));
        ExpectGo(&installer);
        EXPECT_EQ(WaitProgram(&fake, 0), 0u) << "the product should have ended";
        CloseProgram(&installer);
        CloseProgram(&fake);
    }
}

TEST(PreviousInstanceE2E, AProductThatStaysIsWaitedForUntilItEndsOrTheUserCancels) {
    const std::string product = "E2E Staying";
    std::string folder = MakeTestFolder("previous-staying");
    std::string path = WriteInstaller(folder, product, "", "E2E Staying Product");

    // OK waits again; once the product has ended, OK lets the run go on.
    Program fake = {}, installer = {};
    ProgramsEndedAtExit ended = {{&installer, &fake}};
    ASSERT_TRUE(StartProduct("--window \"E2E Staying Product\" --close ignore", &fake));
    ASSERT_TRUE(StartProgram(path, "", &installer));
    HWND box = ExpectMessage(&installer, StillRunningText(product));
    ASSERT_TRUE(box);
    Answer(box, IDOK);
    box = ExpectMessage(&installer, StillRunningText(product));
    ASSERT_TRUE(box);
    CloseProgram(&fake);
    Answer(box, IDOK);
    ExpectGo(&installer);
    CloseProgram(&installer);

    // Cancel stops the run, for a product that ignores the request and for
    // one that hangs while handling it.
    const char *modes[] = {"ignore", "hang"};
    for (const char *mode : modes) {
        SCOPED_TRACE(mode);
        ASSERT_TRUE(
            StartProduct("--window \"E2E Staying Product\" --close " + std::string(mode), &fake));
        ASSERT_TRUE(StartProgram(path, "", &installer));
        box = ExpectMessage(&installer, StillRunningText(product));
        ASSERT_TRUE(box);
        Answer(box, IDCANCEL);
        EXPECT_EQ(ExitWithoutAWindow(&installer), 0u);
        EXPECT_EQ(WaitProgram(&fake, 0), static_cast<DWORD>(STILL_ACTIVE));
        CloseProgram(&installer);
        CloseProgram(&fake);
    }
}

TEST(PreviousInstanceE2E, AShellFolderWindowWithTheProductsTitleIsPassedOver) {
    Program folderWindow = {}, installer = {};
    ProgramsEndedAtExit ended = {{&installer, &folderWindow}};
    ASSERT_TRUE(StartProduct("--window \"E2E Folder Product\" --class CabinetWClass --close now",
                             &folderWindow));
    std::string folder = MakeTestFolder("previous-folder");
    ASSERT_TRUE(StartProgram(WriteInstaller(folder, "E2E Folder", "", "E2E Folder Product"), "",
                             &installer));
    ExpectGo(&installer);
    EXPECT_EQ(WaitProgram(&folderWindow, 0), static_cast<DWORD>(STILL_ACTIVE));
    CloseProgram(&installer);
    CloseProgram(&folderWindow);
}
