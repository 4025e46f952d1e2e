// The removal engine: listed files first, then their folders from the
// deepest up, so that a folder is tried only once nothing listed is left
// inside it.
#include "removal/removal.h"

#include <stdio.h>
#include <string.h>

#include "package/relative_names.h"
#include "platform/platform.h"
#include "text/text_format.h"

// 1 when every folder between directory (whose path is the first
// directoryLength bytes of path) and the last component of path is a real
// folder. Writes into path and puts it back.
static int PathFoldersAreReal(char *path, size_t directoryLength) {
    for (char *c = path + directoryLength + 1; *c != 0; c++) {
        if (*c != '\\') {
            continue;
        }
        *c = 0;
        int real = PlatformPathKindGet(path) == PLATFORM_PATH_FOLDER;
        *c = '\\';
        if (!real) {
            return 0;
        }
    }
    return 1;
}

// 1 when folder (a path whose first baseLength bytes are base, below which
// it lies) is a real folder, and so is every folder between base and it.
// Writes into folder and puts it back.
static int FolderIsRealBelow(char *folder, size_t baseLength) {
    return PathFoldersAreReal(folder, baseLength) &&
           PlatformPathKindGet(folder) == PLATFORM_PATH_FOLDER;
}

// A file or link that stands at the path counts: deleted, or failed when
// it stays (reached through a link, kept as the user's, or refused), so
// that nobody is told the product is gone while one of its files is not.
static void RemovalRemoveFileKeeping(const char *directory, const char *name, int keepKept,
                                     RemovalReport *report) {
    char path[PLATFORM_MAX_PATH];
    if (!RelativePathBuild(path, directory, name, nullptr)) {
        return;
    }
    PlatformPathKind kind = PlatformPathKindGet(path);
    if (kind == PLATFORM_PATH_NONE || kind == PLATFORM_PATH_FOLDER) {
        return;
    }
    if (kind == PLATFORM_PATH_FILE && PlatformPathKindGet(directory) == PLATFORM_PATH_FOLDER &&
        PathFoldersAreReal(path, strlen(directory)) && !(keepKept && PlatformFileIsKept(path)) &&
        PlatformFileDelete(path)) {
        report->removed++;
    } else {
        report->failed++;
    }
}

void RemovalRemoveFile(const char *directory, const char *name, RemovalReport *report) {
    RemovalRemoveFileKeeping(directory, name, 1, report);
}

void RemovalRemoveOwnFile(const char *directory, const char *name, RemovalReport *report) {
    RemovalRemoveFileKeeping(directory, name, 0, report);
}

// Copies the line that starts at list[*offset] into line (room for
// PLATFORM_MAX_PATH) and moves *offset past it. Returns 1 when the line is
// a sound entry name that fits, else 0 (the line is still passed).
static int ListNextName(const char *list, uint32_t length, uint32_t *offset, char *line) {
    uint32_t start = *offset;
    uint32_t end = start;
    while (end < length && list[end] != '\n') {
        end++;
    }
    *offset = end < length ? end + 1 : end;
    uint32_t lineLength = end - start;
    if (lineLength == 0 || lineLength >= PLATFORM_MAX_PATH) {
        return 0;
    }
    memcpy(line, list + start, lineLength);
    line[lineLength] = 0;
    return strlen(line) == lineLength && EntryNameProblem(line) == NAME_SOUND;
}

void RemovalRemoveListedFiles(const char *directory, const char *list, uint32_t length,
                              const char *keepName, ExtractProgressFunction progress,
                              RemovalReport *report) {
    char name[PLATFORM_MAX_PATH];
    uint32_t offset = 0;
    while (offset < length) {
        float fraction = static_cast<float>(offset) / static_cast<float>(length);
        if (!ListNextName(list, length, &offset, name) ||
            (keepName != nullptr && NamesEqualFolded(name, keepName))) {
            continue;
        }
        if (progress != nullptr) {
            char text[PLATFORM_MAX_PATH + 16];
            TextFormat(text, sizeof text, "Removing: %s", name + 1);
            progress(text, fraction);
        }
        RemovalRemoveFile(directory, name + 1, report);
    }
}

void RemovalRemoveEmptyParents(const char *base, const char *relativeName) {
    char path[PLATFORM_MAX_PATH];
    if (!RelativePathBuild(path, base, relativeName, nullptr)) {
        return;
    }
    size_t baseLength = strlen(base);
    for (size_t end = strlen(path); end > baseLength + 1; end--) {
        if (path[end - 1] != '\\') {
            continue;
        }
        path[end - 1] = 0;
        if (FolderIsRealBelow(path, baseLength)) {
            PlatformDirectoryRemove(path);
        }
    }
}

// Each name's folders are tried deepest first right after each other; a
// folder shared by several names is tried again with each of them, and
// the last of those tries comes after every folder inside it had its last.
// An install directory that is a link (a product moved to another drive
// and linked back) is left whole: nothing is removed through it.
int RemovalRemoveListedFolders(const char *directory, const char *list, uint32_t length) {
    char name[PLATFORM_MAX_PATH];
    uint32_t offset = 0;
    if (PlatformPathKindGet(directory) != PLATFORM_PATH_FOLDER) {
        return PlatformPathKindGet(directory) == PLATFORM_PATH_NONE;
    }
    while (offset < length) {
        if (ListNextName(list, length, &offset, name)) {
            RemovalRemoveEmptyParents(directory, name + 1);
        }
    }
    PlatformDirectoryRemove(directory);
    return PlatformPathKindGet(directory) == PLATFORM_PATH_NONE;
}
