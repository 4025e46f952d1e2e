// The uninstaller's registration removed, for the uninstaller (see
// uninstaller_registration.cpp for why it is a file of its own).
#include <windows.h>

#include "package/relative_names.h"
#include "system/system.h"
#include "text/text_format.h"
#include "removal/uninstall_key.h"

// Products built without a key name of their own share one key: a later
// install of another product may own it now, and its entry must stay.
int UnregisterUninstaller(const char *uninstallerPath) {
    char command[MAX_PATH + 2];
    int length = TextFormat(command, sizeof command, "\"%s\"", uninstallerPath);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof command) {
        return 0;
    }
    char keyPath[UNINSTALL_KEY_PATH_SIZE];
    UninstallKeyPathFind(keyPath);
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return 1;
    }
    char registered[MAX_PATH + 3] = "";
    DWORD size = sizeof registered - 1;
    DWORD type = 0;
    LONG read = RegQueryValueExA(key, "UninstallString", NULL, &type,
                                 reinterpret_cast<BYTE *>(registered), &size);
    RegCloseKey(key);
    registered[sizeof registered - 1] = 0;
    if (read != ERROR_SUCCESS || type != REG_SZ || !NamesEqualFolded(registered, command)) {
        return 1;
    }
    return RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath) == ERROR_SUCCESS;
}
