// The two file steps around the extraction: stale files of an earlier
// install removed before it, the origin marker written after it.
#include <windows.h>

#include <string.h>

#include "package/relative_names.h"
#include "system/system.h"

static const char kOriginFileName[] = ".origin";

// Names that would leave the install directory or not fit MAX_PATH are
// passed over, as is a file that is missing or cannot be deleted.
void DeleteStaleFiles(const InstallDescription *description, const char *directory) {
    for (const DeleteEntry *entry = description->deleteFiles; entry != nullptr;
         entry = entry->next) {
        char path[MAX_PATH];
        if (RelativePathBuild(path, directory, entry->fileName, nullptr)) {
            DeleteFileA(path);
        }
    }
}

// CREATE_NEW: an existing marker keeps whatever it holds.
void WriteOriginFile(const InstallDescription *description, const char *directory) {
    char path[MAX_PATH];
    if (description->origin == nullptr ||
        !RelativePathBuild(path, directory, kOriginFileName, nullptr)) {
        return;
    }
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, description->origin, static_cast<DWORD>(strlen(description->origin)), &written,
              NULL);
    CloseHandle(file);
}
