// The running-product check with the real stub: a product stuck in its
// start-up, a product that closes on request, one that does not, and a
// folder window that only looks like the product. fake_product plays the
// product.
#include <gtest/gtest.h>
#include <shlobj.h>

#include "e2e_support.h"

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

// A name no other event of this run has.
static std::string EventName(const char *role) {
    static int counter;
    return "qunpack-e2e-" + std::string(role) + "-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(++counter);
}

// Starts fake_product and waits until it says everything is in place.
static bool StartProduct(const std::string &arguments, Program *product) {
    std::string readyName = EventName("ready");
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

// A go: the run reaches the progress window, whose confirmation is
// declined. No message of the running-product check shows on the way, and
// a silent stop never shows the confirmation.
static void ExpectGo(Program *installer) {
    InstallerRun run;
    AnswerConfirmation(installer, IDNO, &run);
    EXPECT_EQ(run.exitCode, 0u);
}

// Waits for the installer's message box, a box of its own, and expects
// its text and type.
static bool ExpectMessage(Program *installer, const std::string &text, UINT type, SeenBox *box) {
    if (!WaitForBox(installer, E2E_TIMEOUT_MS, box)) {
        ADD_FAILURE() << "no message box";
        return false;
    }
    ExpectBox(*box, text, type, "");
    return true;
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
        SeenBox box;
        bool shown = ExpectMessage(&installer, StuckText(product), MB_ICONERROR | MB_OK, &box);
        // The entries are gone by the time the message shows.
        EXPECT_FALSE(FileExists(StartupShortcut(product)));
        EXPECT_FALSE(RunValueExists(product));
        EXPECT_TRUE(FileExists(StartupShortcut(other)));
        EXPECT_TRUE(RunValueExists(other));
        if (shown)
            AnswerBox(box, IDOK);
        EXPECT_EQ(WaitProgramWithoutWindows(&installer, E2E_TIMEOUT_MS), 0u);
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
    // The window destroyed inside the WM_CLOSE handler, and later, after the
    // request has returned: then the product lives on until the test lets
    // it go, which it does as soon as it sees the request, well within the
    // installer's wait however fast or slow the machine.
    const bool laterModes[] = {false, true};
    for (bool later : laterModes) {
        SCOPED_TRACE(later ? "later" : "now");
        std::string requestedName = EventName("requested"), goName = EventName("go");
        HANDLE requested = CreateEventA(NULL, TRUE, FALSE, requestedName.c_str());
        HANDLE go = CreateEventA(NULL, TRUE, FALSE, goName.c_str());
        Program fake = {}, installer = {};
        ProgramsEndedAtExit ended = {{&installer, &fake}};
        std::string close = later ? "on:" + goName + " --requested " + requestedName : "now";
        ASSERT_TRUE(StartProduct("--window \"E2E Closing Product\" --close " + close, &fake));
        std::string folder = MakeTestFolder("previous-closing");
        ASSERT_TRUE(StartProgram(WriteInstaller(folder, "E2E Closing", "", "E2E Closing Product"),
                                 "", &installer));
        if (later) {
            HANDLE either[2] = {requested, installer.info.hProcess};
            EXPECT_EQ(WaitForMultipleObjects(2, either, FALSE, E2E_TIMEOUT_MS), WAIT_OBJECT_0)
                << "the product was not asked to close";
            EXPECT_EQ(WaitProgram(&fake, 0), static_cast<DWORD>(STILL_ACTIVE));
            EXPECT_TRUE(FindWindowA(NULL, "E2E Closing Product") != NULL);
            SetEvent(go);
        }
        ExpectGo(&installer);
        EXPECT_EQ(WaitProgram(&fake, 0), 0u) << "the product should have ended";
        CloseProgram(&installer);
        CloseProgram(&fake);
        CloseHandle(requested);
        CloseHandle(go);
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
    const UINT stillRunningType = MB_ICONERROR | MB_OKCANCEL;
    SeenBox box;
    ASSERT_TRUE(ExpectMessage(&installer, StillRunningText(product), stillRunningType, &box));
    AnswerBox(box, IDOK);
    ASSERT_TRUE(ExpectMessage(&installer, StillRunningText(product), stillRunningType, &box));
    CloseProgram(&fake);
    AnswerBox(box, IDOK);
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
        ASSERT_TRUE(ExpectMessage(&installer, StillRunningText(product), stillRunningType, &box));
        AnswerBox(box, IDCANCEL);
        EXPECT_EQ(WaitProgramWithoutWindows(&installer, E2E_TIMEOUT_MS), 0u);
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
