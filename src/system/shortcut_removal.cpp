// The Start-menu shortcuts' removal, for the uninstaller (see shortcuts.cpp
// for why it is a file of its own).
#include <windows.h>

#include <shlobj.h>

#include "system/system.h"
#include "system/wide_path.h"

// Removes the folders of link up to, not including, programs, deepest
// first, each only when empty.
static void RemoveEmptyLinkFolders(WCHAR *link, int programsLength) {
    for (int end = lstrlenW(link); end > programsLength + 1; end--) {
        if (link[end - 1] == L'\\') {
            link[end - 1] = 0;
            RemoveDirectoryW(link);
        }
    }
}

int RemoveShortcuts(const InstallDescription *description) {
    WCHAR programs[MAX_PATH];
    if (description->shortcuts == nullptr ||
        !SHGetSpecialFolderPathW(NULL, programs, CSIDL_PROGRAMS, FALSE) ||
        !ManifestProductNameIsSafe(description->productName)) {
        return 1;
    }
    int allRemoved = 1;
    for (const ShortcutEntry *entry = description->shortcuts; entry != nullptr;
         entry = entry->next) {
        WCHAR link[MAX_PATH];
        if (!ShortcutLinkPath(link, programs, description->productName, entry)) {
            continue;
        }
        if (!DeleteFileW(link) && GetLastError() != ERROR_FILE_NOT_FOUND &&
            GetLastError() != ERROR_PATH_NOT_FOUND) {
            allRemoved = 0;
        }
    }
    // Every link first, then the folders: a folder shared by two links is
    // empty only once both are gone.
    for (const ShortcutEntry *entry = description->shortcuts; entry != nullptr;
         entry = entry->next) {
        WCHAR link[MAX_PATH];
        if (ShortcutLinkPath(link, programs, description->productName, entry)) {
            RemoveEmptyLinkFolders(link, lstrlenW(programs));
        }
    }
    return allRemoved;
}
