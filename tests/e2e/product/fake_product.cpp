// A stand-in for a running product, for the previous-instance tests.
//
//   fake_product [--ready EVENT] [--autostart NAME] [--mutex NAME]
//                [--hold MS | --abandon] [--window TITLE] [--class NAME]
//                [--close now|ignore|hang|on:EVENT] [--requested EVENT]
//                [--lifetime MS]
//
// --autostart  creates "<Startup>\NAME.lnk" (a plain file) and the HKCU Run
//              value NAME
// --mutex      takes the named mutex (waiting for it as long as needed) and
//              keeps it until exit, or releases it after --hold MS; with
//              --abandon the program exits at once without releasing it
//              (abandoned only while someone else keeps a handle open)
// --window     shows a top-level window with this title and class (default
//              "QUnpackFakeProduct"); --close says how it takes WM_CLOSE:
//              destroys itself at once (default), never, hangs inside the
//              handler, or destroys itself once the named event is set;
//              --requested names an event set when WM_CLOSE arrives
// --ready      the named event is set once all of the above is in place
// --lifetime   the program ends after MS at most (default 600000): a net
//              for a product its test fails to end, well beyond any test
#include <windows.h>
#include <shlobj.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum CloseMode { CLOSE_NOW, CLOSE_IGNORE, CLOSE_HANG, CLOSE_ON_EVENT };

struct FakeProduct {
    const char *readyEvent;
    const char *autostartName;
    const char *mutexName;
    DWORD holdMs; // 0: keep the mutex until exit
    int abandon;
    const char *windowTitle;
    const char *className;
    CloseMode closeMode;
    const char *closeEvent;     // CLOSE_ON_EVENT: destroy once it is set
    const char *requestedEvent; // set when WM_CLOSE arrives
    DWORD lifetimeMs;
};

static FakeProduct product;
static const UINT MSG_CLOSE_NOW = WM_APP;

static int ParseArguments(int argc, char **argv) {
    product.className = "QUnpackFakeProduct";
    product.lifetimeMs = 600000;
    for (int i = 1; i < argc; i++) {
        const char *option = argv[i];
        if (strcmp(option, "--abandon") == 0) {
            product.abandon = 1;
            continue;
        }
        if (i + 1 >= argc)
            return 0;
        const char *value = argv[++i];
        if (strcmp(option, "--ready") == 0) {
            product.readyEvent = value;
        } else if (strcmp(option, "--autostart") == 0) {
            product.autostartName = value;
        } else if (strcmp(option, "--mutex") == 0) {
            product.mutexName = value;
        } else if (strcmp(option, "--hold") == 0) {
            product.holdMs = strtoul(value, NULL, 10);
        } else if (strcmp(option, "--window") == 0) {
            product.windowTitle = value;
        } else if (strcmp(option, "--class") == 0) {
            product.className = value;
        } else if (strcmp(option, "--requested") == 0) {
            product.requestedEvent = value;
        } else if (strcmp(option, "--lifetime") == 0) {
            product.lifetimeMs = strtoul(value, NULL, 10);
        } else if (strcmp(option, "--close") == 0) {
            if (strcmp(value, "now") == 0) {
                product.closeMode = CLOSE_NOW;
            } else if (strcmp(value, "ignore") == 0) {
                product.closeMode = CLOSE_IGNORE;
            } else if (strcmp(value, "hang") == 0) {
                product.closeMode = CLOSE_HANG;
            } else if (strncmp(value, "on:", 3) == 0) {
                product.closeMode = CLOSE_ON_EVENT;
                product.closeEvent = value + 3;
            } else {
                return 0;
            }
        } else {
            return 0;
        }
    }
    return 1;
}

static int CreateAutostart(const char *name) {
    char folder[MAX_PATH], path[MAX_PATH];
    if (!SHGetSpecialFolderPathA(NULL, folder, CSIDL_STARTUP, TRUE))
        return 0;
    snprintf(path, sizeof path, "%s\\%s.lnk", folder, name);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    CloseHandle(file);
    HKEY run;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                        NULL, 0, KEY_SET_VALUE, NULL, &run, NULL) != ERROR_SUCCESS)
        return 0;
    const char command[] = "C:\\fake_product.exe";
    LONG set = RegSetValueExA(run, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(command),
                              sizeof command);
    RegCloseKey(run);
    return set == ERROR_SUCCESS;
}

static void SetNamedEvent(const char *name) {
    if (!name)
        return;
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
    if (event) {
        SetEvent(event);
        CloseHandle(event);
    }
}

// Waits for the close event on a thread of its own, so that the window
// keeps answering meanwhile, then has the window destroy itself.
static DWORD WINAPI CloseWhenSignalled(LPVOID window) {
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, product.closeEvent);
    if (event) {
        WaitForSingleObject(event, product.lifetimeMs);
        CloseHandle(event);
    }
    PostMessageA(static_cast<HWND>(window), MSG_CLOSE_NOW, 0, 0);
    return 0;
}

static LRESULT CALLBACK ProductWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CLOSE:
            SetNamedEvent(product.requestedEvent);
            if (product.closeMode == CLOSE_NOW) {
                DestroyWindow(window);
            } else if (product.closeMode == CLOSE_ON_EVENT) {
                HANDLE thread = CreateThread(NULL, 0, CloseWhenSignalled, window, 0, NULL);
                if (thread)
                    CloseHandle(thread);
            } else if (product.closeMode == CLOSE_HANG) {
                Sleep(product.lifetimeMs);
            }
            return 0;
        case MSG_CLOSE_NOW:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static HWND ShowProductWindow(void) {
    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.lpfnWndProc = ProductWindowProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = product.className;
    if (!RegisterClassA(&windowClass))
        return NULL;
    HWND window = CreateWindowExA(0, product.className, product.windowTitle, WS_OVERLAPPEDWINDOW,
                                  40, 40, 320, 200, NULL, NULL, windowClass.hInstance, NULL);
    if (window)
        ShowWindow(window, SW_SHOWNOACTIVATE);
    return window;
}

// Runs until the window is destroyed or the lifetime is over; releases the
// mutex when its hold time is up.
static void RunMessageLoop(HANDLE mutex) {
    UINT_PTR lifetimeTimer = SetTimer(NULL, 0, product.lifetimeMs, NULL);
    UINT_PTR holdTimer = mutex && product.holdMs ? SetTimer(NULL, 0, product.holdMs, NULL) : 0;
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        if (message.hwnd == NULL && message.message == WM_TIMER) {
            if (message.wParam == lifetimeTimer)
                break;
            if (holdTimer && message.wParam == holdTimer) {
                KillTimer(NULL, holdTimer);
                holdTimer = 0;
                ReleaseMutex(mutex);
            }
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

int main(int argc, char **argv) {
    if (!ParseArguments(argc, argv)) {
        fprintf(stderr, "fake_product: bad arguments\n");
        return 2;
    }
    if (product.autostartName && !CreateAutostart(product.autostartName))
        return 3;
    HANDLE mutex = NULL;
    if (product.mutexName) {
        mutex = CreateMutexA(NULL, FALSE, product.mutexName);
        DWORD waited = mutex ? WaitForSingleObject(mutex, INFINITE) : WAIT_FAILED;
        if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED)
            return 4;
    }
    if (product.windowTitle && !ShowProductWindow())
        return 5;
    SetNamedEvent(product.readyEvent);
    if (product.abandon)
        return 0;
    RunMessageLoop(mutex);
    return 0;
}
