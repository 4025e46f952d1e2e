// The Start-menu shortcuts' removal, for the uninstaller (see shortcuts.cpp
// for why it is a file of its own).
#include <windows.h>

#include <shlobj.h>

#include "package/relative_names.h"
#include "system/system.h"
#include "system/wide_path.h"

// Removes the folders of link up to, not including, programs, deepest
// first, each only when empty, and only those reached through real
// folders: a reparse point on the way (a junction, a link) may lead
// anywhere, and it stays with everything behind it.
static void RemoveEmptyLinkFolders(WCHAR *link, int programsLength) {
    int end = programsLength + 1;
    for (int i = end; link[i] != 0; i++) {
        if (link[i] != L'\\')
            continue;
        link[i] = 0;
        DWORD attributes = GetFileAttributesW(link);
        link[i] = L'\\';
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            break;
        end = i + 1;
    }
    for (; end > programsLength + 1; end--) {
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
        !ProductNameIsSafe(description->productName)) {
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
