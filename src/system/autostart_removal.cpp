// The product's autostart entries removed, for the check for a product
// stuck in its start-up.
#include <windows.h>

#include <shlobj.h>

#include "package/relative_names.h"
#include "system/system.h"
#include "system/wide_path.h"

static const char kRunKeyName[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// The Startup folder is asked for wide: a profile path outside the code
// page would otherwise name no folder at all.
static void RemoveStartupShortcut(const char *productName) {
    WCHAR folder[MAX_PATH];
    // A name that could climb out of the Startup folder, or name a stream,
    // never names a link there.
    if (!ProductNameIsSafe(productName) ||
        !SHGetSpecialFolderPathW(NULL, folder, CSIDL_STARTUP, FALSE))
        return;
    // A path that does not fit is left alone: cut, it could name another file.
    WCHAR path[MAX_PATH];
    if (WidePathJoin(path, folder, productName, ".lnk"))
        DeleteFileW(path);
}

void RemoveAutostart(const char *productName) {
    // An empty name would delete the Run key's default value.
    if (!productName || !productName[0])
        return;
    RemoveStartupShortcut(productName);
    HKEY run;
    if (RegOpenKeyA(HKEY_CURRENT_USER, kRunKeyName, &run) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(run, productName);
    RegCloseKey(run);
}
