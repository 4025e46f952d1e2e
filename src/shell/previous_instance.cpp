// Previous-instance handling: before the install or the removal, a product
// stuck in its start-up is refused with advice to reboot, and a running
// product is asked to close and waited for.
#include <windows.h>

#include "package/relative_names.h"
#include "shell/shell.h"
#include "system/system.h"
#include "text/text_format.h"

static const char kStartupFailedText[] =
    "A version of %s seems to have failed during startup (and may still be running).\n\n"
    "Please reboot your system and try this installer again.";
static const char kStillRunningText[] =
    "A version of %s is still running.\n\n"
    "Please ensure that this application is shutdown before continuing.";

static const DWORD kStartupMutexWaitMs = 2000;
static const DWORD kProductExitWaitMs = 5000;
static const UINT kCloseRequestTimeoutMs = 5000;

OpenProcessFunction previousInstanceOpenProcess = OpenProcess;

// Room for the longest text with a product name of 1023 characters, the
// longest a manifest can give; a longer name is cut.
static const int kMessageSize = 1280;

// Returns the message box's answer.
static int ShowProductMessage(const char *format, const char *productName, UINT type) {
    char message[kMessageSize];
    TextFormat(message, sizeof message, format, productName ? productName : "");
    return MessageBoxA(GetDesktopWindow(), message, kMessageCaption, type);
}

// Shell folder windows take the name of the folder they show, which may be
// the product's window title; they are never the product. Class names are
// ASCII and compared ignoring its case, as the window manager compares them.
static int IsShellFolderWindow(HWND window) {
    char className[32];
    if (!GetClassNameA(window, className, sizeof className))
        return 0;
    return NamesEqualFolded(className, "CabinetWClass") ||
           NamesEqualFolded(className, "ExploreWClass");
}

static HWND FindProductWindow(const char *title) {
    HWND window = NULL;
    while ((window = FindWindowExA(NULL, window, NULL, title)) != NULL) {
        if (!IsShellFolderWindow(window))
            return window;
    }
    return NULL;
}

// Waits for the product to end, asking the user between waits. Returns
// non-zero to go on. Closes process.
static int WaitForProductExit(HANDLE process, const char *productName) {
    int answer = IDOK;
    while (answer == IDOK) {
        if (WaitForSingleObject(process, kProductExitWaitMs) == WAIT_OBJECT_0)
            break;
        answer = ShowProductMessage(kStillRunningText, productName, MB_ICONERROR | MB_OKCANCEL);
    }
    CloseHandle(process);
    return answer != IDCANCEL;
}

// Asks the product's main window to close and waits for its process.
static int CloseRunningProduct(const char *mainWindowName, const char *productName) {
    HWND window = FindProductWindow(mainWindowName);
    if (!window)
        return 1;
    // The process is opened before it is asked to close: one that destroys
    // its window and exits at once is still found, and its id cannot be
    // reused meanwhile.
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = processId ? previousInstanceOpenProcess(SYNCHRONIZE, FALSE, processId) : NULL;
    if (!process)
        return 0;
    // A hung product must not block the installer: the waits below tell.
    DWORD_PTR ignored;
    SendMessageTimeoutA(window, WM_CLOSE, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                        kCloseRequestTimeoutMs, &ignored);
    return WaitForProductExit(process, productName);
}

int CheckPreviousInstance(const char *mutexName, const char *mainWindowName,
                          const char *productName) {
    if (mutexName) {
        // Owned to the end of the process once had: the product cannot pass
        // its start-up while the installer runs.
        HANDLE startupMutex = CreateMutexA(NULL, FALSE, mutexName);
        if (WaitForSingleObject(startupMutex, kStartupMutexWaitMs) != WAIT_OBJECT_0) {
            if (productName) {
                RemoveAutostart(productName);
                ShowProductMessage(kStartupFailedText, productName, MB_ICONERROR);
            }
            return 0;
        }
    }
    if (!mainWindowName)
        return 1;
    return CloseRunningProduct(mainWindowName, productName);
}
