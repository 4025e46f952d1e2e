// Texts and start-up steps that the installer and the uninstaller share.
#include "driver/driver.h"

#include <stdarg.h>

#include "text/text_format.h"

const char kMessageCaption[] = "Unpack";

const char kPackageFailureText[] =
    "Failed to read package file.\t\t\n\n - try downloading it again";

// Room for every message with a product name of up to 1023 characters (the
// most a manifest line can give) and a path of MAX_PATH.
static const int kMessageSize = 2048;

int ShowFormattedMessage(HWND owner, UINT type, const char *format, ...) {
    char message[kMessageSize];
    va_list arguments;
    va_start(arguments, format);
    TextFormatV(message, sizeof message, format, arguments);
    va_end(arguments);
    return MessageBoxA(owner, message, kMessageCaption, type);
}

// A program started from a Downloads folder (or, for the uninstaller, a
// folder its user may write to) would load a DLL dropped beside it under a
// name Windows loads on its behalf. Load DLLs from the system folder only.
// SetDefaultDllDirectories is missing on Windows 7 without its update, where
// removing the current directory from the search is the best there is;
// Windows Vista's shell link object fails to load once the search is
// restricted, so Vista keeps the fallback too.
void RestrictDllSearch(void) {
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    DWORD version = GetVersion();
    int isVista = LOBYTE(LOWORD(version)) == 6 && HIBYTE(LOWORD(version)) == 0;
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC found = kernel ? GetProcAddress(kernel, "SetDefaultDllDirectories") : NULL;
    if (found && !isVista) {
        SetDefaultDllDirectoriesFunction restrict =
            reinterpret_cast<SetDefaultDllDirectoriesFunction>(
                reinterpret_cast<void (*)(void)>(found));
        if (restrict(LOAD_LIBRARY_SEARCH_SYSTEM32))
            return;
    }
    SetDllDirectoryA("");
}
