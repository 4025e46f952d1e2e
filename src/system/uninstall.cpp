// The uninstall registration: one fixed key below HKEY_LOCAL_MACHINE,
// whatever the package, holding the product's name and its uninstaller.
// Its removal is a file of its own (uninstall_removal.cpp), so that neither
// program carries the other's registry calls.
#include <windows.h>

#include <string.h>

#include "package/relative_names.h"
#include "system/system.h"
#include "text/text_format.h"

static int SetStringValue(HKEY key, const char *name, const char *text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                          static_cast<DWORD>(strlen(text) + 1)) == ERROR_SUCCESS;
}

// The uninstaller's path in double quotes: unquoted, Windows would try
// "C:\Program.exe" first for a path below "C:\Program Files". The path is
// joined as every manifest name is, so that it is the uninstaller's own
// path when it runs. It must fit MAX_PATH; command has room for the quotes.
static int BuildUninstallCommand(char *command, size_t size, const char *directory,
                                 const char *uninstaller) {
    char path[MAX_PATH];
    if (!RelativePathBuild(path, directory, uninstaller, nullptr))
        return 0;
    int length = TextFormat(command, size, "\"%s\"", path);
    return length > 0 && static_cast<size_t>(length) < size;
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
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, kUninstallRegistryKey, &key) != ERROR_SUCCESS) {
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
