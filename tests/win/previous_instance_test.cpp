// CheckPreviousInstance in-process, against the fake_product stand-in and
// mutexes held by threads of this process. The message boxes are real: a
// helper thread reads and answers them.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "shell/shell.h"
#include "system/system.h"
#include "win_test_support.h"

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
