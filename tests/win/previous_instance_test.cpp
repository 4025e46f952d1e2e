// CheckPreviousInstance, RemoveAutostart and the installer lock in-process,
// against the fake_product stand-in and mutexes held by threads of this
// process. The
// message boxes are real: a helper thread reads and answers them.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "driver/driver.h"

static const DWORD kLongWaitMs = 60000; // process starts are slow under Wine
static const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

static std::string UniqueName(const char *what) {
    static int counter;
    return "qunpack-test-" + std::string(what) + "-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(++counter);
}

// ---- A running product -------------------------------------------------------

struct FakeProduct {
    PROCESS_INFORMATION info;
};

static std::string FakeProductPath(void) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of('\\') + 1) + "fake_product.exe";
}

// Starts fake_product with arguments and waits until it says it is ready.
static bool StartFakeProduct(const std::string &arguments, FakeProduct *product) {
    std::string readyName = UniqueName("ready");
    HANDLE ready = CreateEventA(NULL, TRUE, FALSE, readyName.c_str());
    std::string path = FakeProductPath();
    std::string commandLine = "\"" + path + "\" --ready " + readyName + " " + arguments;
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    ZeroMemory(&product->info, sizeof product->info);
    bool started = CreateProcessA(path.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL,
                                  &startup, &product->info) != 0;
    HANDLE both[2] = {ready, product->info.hProcess};
    started = started && WaitForMultipleObjects(2, both, FALSE, kLongWaitMs) == WAIT_OBJECT_0;
    CloseHandle(ready);
    return started;
}

static bool ProductHasEnded(FakeProduct *product, DWORD waitMs) {
    return WaitForSingleObject(product->info.hProcess, waitMs) == WAIT_OBJECT_0;
}

static void StopFakeProduct(FakeProduct *product) {
    if (!product->info.hProcess)
        return;
    TerminateProcess(product->info.hProcess, 99);
    WaitForSingleObject(product->info.hProcess, kLongWaitMs);
    CloseHandle(product->info.hThread);
    CloseHandle(product->info.hProcess);
    ZeroMemory(&product->info, sizeof product->info);
}

// ---- Answering message boxes --------------------------------------------------

// Answers every message box of this process with one button, recording
// caption and text.
struct BoxAnswerer {
    int button;
    std::vector<std::string> captions, texts;
    volatile LONG stop = 0;
    HANDLE thread = NULL;
};

static BOOL CALLBACK FindOwnMessageBox(HWND window, LPARAM found) {
    DWORD processId = 0;
    char className[16];
    GetWindowThreadProcessId(window, &processId);
    if (processId == GetCurrentProcessId() && IsWindowVisible(window) &&
        GetClassNameA(window, className, sizeof className) && strcmp(className, "#32770") == 0) {
        *reinterpret_cast<HWND *>(found) = window;
        return FALSE;
    }
    return TRUE;
}

static DWORD WINAPI AnswerBoxes(void *context) {
    BoxAnswerer *answerer = static_cast<BoxAnswerer *>(context);
    while (!answerer->stop) {
        HWND box = NULL;
        EnumWindows(FindOwnMessageBox, reinterpret_cast<LPARAM>(&box));
        if (!box) {
            Sleep(20);
            continue;
        }
        char text[4096];
        int length = GetWindowTextA(box, text, sizeof text);
        answerer->captions.push_back(std::string(text, length > 0 ? length : 0));
        UINT got = GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        answerer->texts.push_back(std::string(text, got));
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(answerer->button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, answerer->button)));
        for (int i = 0; i < 3000 && IsWindow(box); i++)
            Sleep(10);
    }
    return 0;
}

static void StartAnswering(BoxAnswerer *answerer, int button) {
    answerer->button = button;
    answerer->stop = 0;
    answerer->thread = CreateThread(NULL, 0, AnswerBoxes, answerer, 0, NULL);
}

static void StopAnswering(BoxAnswerer *answerer) {
    InterlockedExchange(&answerer->stop, 1);
    WaitForSingleObject(answerer->thread, kLongWaitMs);
    CloseHandle(answerer->thread);
}

// Runs CheckPreviousInstance with every box answered by button.
static int CheckAnswering(const char *mutexName, const char *windowName, const char *productName,
                          int button, BoxAnswerer *answerer) {
    StartAnswering(answerer, button);
    int go = CheckPreviousInstance(mutexName, windowName, productName);
    StopAnswering(answerer);
    return go;
}

// ---- Mutexes held by other threads --------------------------------------------

struct MutexHolder {
    std::string name;
    DWORD holdMs; // INFINITE: until release is set; 0: exit without releasing
    HANDLE held, release, thread;
};

static DWORD WINAPI HoldMutex(void *context) {
    MutexHolder *holder = static_cast<MutexHolder *>(context);
    HANDLE mutex = CreateMutexA(NULL, FALSE, holder->name.c_str());
    WaitForSingleObject(mutex, INFINITE);
    SetEvent(holder->held);
    if (holder->holdMs == 0)
        return 0; // abandoned: the holder's handle below stays open
    WaitForSingleObject(holder->release, holder->holdMs);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
}

static void StartHolding(MutexHolder *holder, const std::string &name, DWORD holdMs) {
    holder->name = name;
    holder->holdMs = holdMs;
    holder->held = CreateEventA(NULL, TRUE, FALSE, NULL);
    holder->release = CreateEventA(NULL, TRUE, FALSE, NULL);
    holder->thread = CreateThread(NULL, 0, HoldMutex, holder, 0, NULL);
    WaitForSingleObject(holder->held, kLongWaitMs);
}

static void StopHolding(MutexHolder *holder) {
    SetEvent(holder->release);
    WaitForSingleObject(holder->thread, kLongWaitMs);
    CloseHandle(holder->thread);
    CloseHandle(holder->held);
    CloseHandle(holder->release);
}

static DWORD WINAPI TryMutex(void *name) {
    HANDLE mutex = CreateMutexA(NULL, FALSE, static_cast<const char *>(name));
    DWORD result = WaitForSingleObject(mutex, 0);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
        ReleaseMutex(mutex);
    CloseHandle(mutex);
    return result;
}

static DWORD TryMutexFromAnotherThread(const std::string &name) {
    HANDLE thread = CreateThread(NULL, 0, TryMutex, const_cast<char *>(name.c_str()), 0, NULL);
    WaitForSingleObject(thread, kLongWaitMs);
    DWORD result = WAIT_FAILED;
    GetExitCodeThread(thread, &result);
    CloseHandle(thread);
    return result;
}

// ---- Autostart entries ---------------------------------------------------------

static std::string StartupFolder(void) {
    char folder[MAX_PATH];
    if (!SHGetSpecialFolderPathA(NULL, folder, CSIDL_STARTUP, TRUE))
        return "";
    return folder;
}

static bool MakeFile(const std::string &path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

static bool FileExists(const std::string &path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

static void SetRunValue(const std::string &name) {
    HKEY run;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_CURRENT_USER, kRunKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &run, NULL),
        ERROR_SUCCESS);
    const char command[] = "C:\\product.exe";
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

static void MakeAutostart(const std::string &name) {
    ASSERT_TRUE(MakeFile(StartupFolder() + "\\" + name + ".lnk"));
    SetRunValue(name);
}

static bool HasShortcut(const std::string &name) {
    return FileExists(StartupFolder() + "\\" + name + ".lnk");
}

// ---- The start-up mutex -------------------------------------------------------------

TEST(PreviousInstance, GoesOnWhenNothingIsNamedOrHeldAndKeepsTheMutex) {
    BoxAnswerer answerer;
    EXPECT_NE(CheckAnswering(NULL, NULL, "Nothing", IDCANCEL, &answerer), 0);
    std::string freeMutex = UniqueName("free");
    std::string title = UniqueName("no-such-window");
    EXPECT_NE(CheckAnswering(freeMutex.c_str(), title.c_str(), "Nothing", IDCANCEL, &answerer), 0);
    EXPECT_TRUE(answerer.texts.empty());
    // The mutex stays owned: the product cannot start while the installer runs.
    EXPECT_EQ(TryMutexFromAnotherThread(freeMutex), static_cast<DWORD>(WAIT_TIMEOUT));

    // A holder that lets go within the 2 seconds lets the install go on.
    MutexHolder holder;
    std::string briefMutex = UniqueName("brief");
    StartHolding(&holder, briefMutex, 300);
    EXPECT_NE(CheckPreviousInstance(briefMutex.c_str(), NULL, "Brief"), 0);
    StopHolding(&holder);
    EXPECT_EQ(TryMutexFromAnotherThread(briefMutex), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(PreviousInstance, AStuckStartupRemovesTheAutostartEntriesAndRefuses) {
    std::string product = UniqueName("Stuck Product");
    std::string other = UniqueName("Other Product");
    MakeAutostart(product);
    MakeAutostart(other);

    MutexHolder holder;
    std::string mutexName = UniqueName("stuck");
    StartHolding(&holder, mutexName, INFINITE);
    BoxAnswerer answerer;
    EXPECT_EQ(CheckAnswering(mutexName.c_str(), NULL, product.c_str(), IDOK, &answerer), 0);
    ASSERT_EQ(answerer.texts.size(), 1u);
    EXPECT_EQ(answerer.captions[0], "Unpack");
    EXPECT_EQ(answerer.texts[0],
              "A version of " + product +
                  " seems to have failed during startup (and may still be running).\n\n"
                  "Please reboot your system and try this installer again.");
    EXPECT_FALSE(HasShortcut(product));
    EXPECT_FALSE(RunValueExists(product));
    EXPECT_TRUE(HasShortcut(other));
    EXPECT_TRUE(RunValueExists(other));

    // Without a product name the refusal is silent and removes nothing.
    BoxAnswerer silent;
    EXPECT_EQ(CheckAnswering(mutexName.c_str(), NULL, NULL, IDOK, &silent), 0);
    EXPECT_TRUE(silent.texts.empty());
    StopHolding(&holder);

    // A product name far longer than any manifest gives cuts the message
    // safely.
    std::string longName(3000, 'L');
    MutexHolder abandoned;
    std::string abandonedName = UniqueName("abandoned");
    StartHolding(&abandoned, abandonedName, 0);
    BoxAnswerer cut;
    EXPECT_EQ(CheckAnswering(abandonedName.c_str(), NULL, longName.c_str(), IDOK, &cut), 0);
    ASSERT_EQ(cut.texts.size(), 1u);
    EXPECT_EQ(cut.texts[0].compare(0, 15, "A version of LL"), 0);
    EXPECT_LT(cut.texts[0].size(), 1280u);
    StopHolding(&abandoned);

    RemoveAutostart(other.c_str());
    EXPECT_FALSE(HasShortcut(other));
    EXPECT_FALSE(RunValueExists(other));
}

TEST(PreviousInstance, RemoveAutostartLeavesAloneWhatItCannotNameExactly) {
    std::string folder = StartupFolder();
    ASSERT_FALSE(folder.empty());

    // "<Startup>\<name>.lnk" longer than MAX_PATH: the path cut to fit names
    // another file, which must survive. The Run value still goes.
    std::string name = UniqueName("long") + std::string(MAX_PATH - folder.size(), 'n');
    std::string cutPath = (folder + "\\" + name + ".lnk").substr(0, MAX_PATH - 1);
    ASSERT_TRUE(MakeFile(cutPath));
    SetRunValue(name);
    RemoveAutostart(name.c_str());
    EXPECT_TRUE(FileExists(cutPath));
    EXPECT_FALSE(RunValueExists(name));
    DeleteFileA(cutPath.c_str());

    // A name that climbs out of the Startup folder deletes nothing there.
    std::string outside = UniqueName("outside");
    std::string outsidePath = folder + "\\..\\" + outside + ".lnk";
    ASSERT_TRUE(MakeFile(outsidePath));
    RemoveAutostart(("..\\" + outside).c_str());
    EXPECT_TRUE(FileExists(outsidePath));
    DeleteFileA(outsidePath.c_str());

    // An empty name leaves the Run key's default value.
    SetRunValue("");
    RemoveAutostart("");
    RemoveAutostart(NULL);
    EXPECT_TRUE(RunValueExists(""));
    HKEY run;
    ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, kRunKey, &run), ERROR_SUCCESS);
    RegDeleteValueA(run, "");
    RegCloseKey(run);
}

// ---- The running product ---------------------------------------------------------

static int openAttempts;
static DWORD openAccess;

static HANDLE WINAPI RefuseOpenProcess(DWORD access, BOOL inherit, DWORD processId) {
    (void)inherit;
    (void)processId;
    openAttempts++;
    openAccess = access;
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
}

TEST(PreviousInstance, AProductWhoseProcessCannotBeOpenedStopsSilentlyAndIsLeftRunning) {
    std::string title = UniqueName("Unopenable");
    FakeProduct product;
    ASSERT_TRUE(StartFakeProduct("--window \"" + title + "\" --close now", &product));
    openAttempts = 0;
    previousInstanceOpenProcess = RefuseOpenProcess;
    BoxAnswerer answerer;
    int go = CheckAnswering(NULL, title.c_str(), "Unopenable", IDCANCEL, &answerer);
    previousInstanceOpenProcess = OpenProcess;
    EXPECT_EQ(go, 0);
    EXPECT_TRUE(answerer.texts.empty());
    EXPECT_EQ(openAttempts, 1);
    EXPECT_EQ(openAccess, static_cast<DWORD>(SYNCHRONIZE));
    // It was never asked to close: a product that closes at once still runs.
    EXPECT_FALSE(ProductHasEnded(&product, 1000));
    StopFakeProduct(&product);
}

static std::string ClassOf(HWND window) {
    char name[64];
    int length = GetClassNameA(window, name, sizeof name);
    return std::string(name, length > 0 ? length : 0);
}

TEST(PreviousInstance, AShellFolderWindowWithTheProductsTitleIsPassedOver) {
    std::string title = UniqueName("Folder");
    FakeProduct product, folder;
    ASSERT_TRUE(StartFakeProduct("--window \"" + title + "\" --close now", &product));
    ASSERT_TRUE(
        StartFakeProduct("--window \"" + title + "\" --class CabinetWClass --close now", &folder));
    HWND found = FindWindowA(NULL, title.c_str());
    ASSERT_EQ(ClassOf(found), "CabinetWClass") << "the folder window must come first";

    BoxAnswerer answerer;
    EXPECT_NE(CheckAnswering(NULL, title.c_str(), "Folder", IDCANCEL, &answerer), 0);
    EXPECT_TRUE(answerer.texts.empty());
    EXPECT_TRUE(ProductHasEnded(&product, 0));
    EXPECT_TRUE(IsWindow(found));

    // The folder window alone is no running product.
    EXPECT_NE(CheckAnswering(NULL, title.c_str(), "Folder", IDCANCEL, &answerer), 0);
    EXPECT_TRUE(answerer.texts.empty());
    EXPECT_FALSE(ProductHasEnded(&folder, 0));
    StopFakeProduct(&folder);
    StopFakeProduct(&product);
}

// ---- The installer lock -------------------------------------------------------------

static const char kGlobalLockName[] = "Global\\QUnpack_Running";
static const char kSessionLockName[] = "QUnpack_Running";

TEST(InstallerLock, HoldsBothNamesUntilReleased) {
    InstallerLock lock;
    ASSERT_EQ(InstallerLockAcquire(&lock), 1);
    EXPECT_EQ(TryMutexFromAnotherThread(kGlobalLockName), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(TryMutexFromAnotherThread(kSessionLockName), static_cast<DWORD>(WAIT_TIMEOUT));
    InstallerLockRelease(&lock);
    EXPECT_EQ(TryMutexFromAnotherThread(kGlobalLockName), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(TryMutexFromAnotherThread(kSessionLockName), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST(InstallerLock, EitherNameHeldElsewhereKeepsItOutAndLeavesTheOtherFree) {
    // An installer in another session holds only the global name; one shipped
    // before it existed holds only the session's. An abandoned one counts as
    // held: its holder left its work half done.
    const struct {
        const char *held, *other;
        DWORD holdMs;
    } cases[] = {{kGlobalLockName, kSessionLockName, INFINITE},
                 {kSessionLockName, kGlobalLockName, INFINITE},
                 {kGlobalLockName, kSessionLockName, 0}};
    for (const auto &c : cases) {
        MutexHolder holder;
        StartHolding(&holder, c.held, c.holdMs);
        InstallerLock lock;
        EXPECT_EQ(InstallerLockAcquire(&lock), 0) << c.held;
        EXPECT_EQ(lock.global, (HANDLE)NULL);
        EXPECT_EQ(lock.session, (HANDLE)NULL);
        EXPECT_EQ(TryMutexFromAnotherThread(c.other), static_cast<DWORD>(WAIT_OBJECT_0))
            << c.other << " must not stay owned";
        if (c.holdMs == 0) {
            EXPECT_EQ(TryMutexFromAnotherThread(c.held), static_cast<DWORD>(WAIT_OBJECT_0))
                << "the abandoned mutex the wait took is given back";
        }
        StopHolding(&holder);
    }
}
