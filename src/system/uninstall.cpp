// The uninstall registration: one fixed key below HKEY_LOCAL_MACHINE,
// whatever the package, holding the product's name and its uninstaller.
#include <windows.h>

#include <string.h>

#include "system/system.h"
#include "text/text_format.h"

static const char kUninstallKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorvane";

static int SetStringValue(HKEY key, const char *name, const char *text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                          static_cast<DWORD>(strlen(text) + 1)) == ERROR_SUCCESS;
}

// The uninstaller's path in double quotes: unquoted, Windows would try
// "C:\Program.exe" first for a path below "C:\Program Files". The path
// itself must fit MAX_PATH; command has room for it and the quotes.
static int BuildUninstallCommand(char *command, size_t size, const char *directory,
                                 const char *uninstaller) {
    int length = TextFormat(command, size, "\"%s\\%s\"", directory, uninstaller);
    return length > 0 && static_cast<size_t>(length) < MAX_PATH + 2 &&
           static_cast<size_t>(length) < size;
}

int RegisterUninstaller(const InstallDescription *description, const char *directory) {
    if (description->uninstaller == nullptr) {
        return 1;
    }
    char command[MAX_PATH + 2];
    if (!BuildUninstallCommand(command, sizeof command, directory, description->uninstaller)) {
        return 0;
    }
    HKEY key = NULL;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, kUninstallKey, &key) != ERROR_SUCCESS) {
        return 0;
    }
    const char *product = description->productName != nullptr ? description->productName : "";
    // Every value is attempted even when one fails.
    int written = SetStringValue(key, "", "");
    written &= SetStringValue(key, "DisplayName", product);
    written &= SetStringValue(key, "UninstallString", command);
    RegCloseKey(key);
    return written;
}

// The key is shared by every product this system installs: a later install
// of another product owns it now, and its entry must stay.
int UnregisterUninstaller(const char *uninstallerPath) {
    char command[MAX_PATH + 2];
    int length = TextFormat(command, sizeof command, "\"%s\"", uninstallerPath);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof command) {
        return 0;
    }
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        return 1;
    }
    char registered[MAX_PATH + 3] = "";
    DWORD size = sizeof registered - 1;
    DWORD type = 0;
    LONG read = RegQueryValueExA(key, "UninstallString", NULL, &type,
                                 reinterpret_cast<BYTE *>(registered), &size);
    RegCloseKey(key);
    registered[sizeof registered - 1] = 0;
    if (read != ERROR_SUCCESS || type != REG_SZ || lstrcmpiA(registered, command) != 0) {
        return 1;
    }
    return RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey) == ERROR_SUCCESS;
}
