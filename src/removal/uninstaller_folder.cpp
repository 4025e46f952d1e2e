// Where the uninstaller stands. See uninstaller_folder.h.
#include "removal/uninstaller_folder.h"

#include <string.h>

#include "package/relative_names.h"

static int CharactersMatch(char left, char right) {
    left = left == '/' ? '\\' : left;
    right = right == '/' ? '\\' : right;
    return NameCharacterFold(left) == NameCharacterFold(right);
}

// The length of the first length bytes of path without "\" and tail when
// they end that way, else 0.
static size_t PathWithoutTail(const char *path, size_t length, const char *tail) {
    size_t tailLength = strlen(tail);
    if (tailLength == 0 || tailLength + 1 >= length || path[length - tailLength - 1] != '\\')
        return 0;
    for (size_t i = 0; i < tailLength; i++) {
        if (!CharactersMatch(path[length - tailLength + i], tail[i]))
            return 0;
    }
    return length - tailLength - 1;
}

int UninstallerFolderFind(const char *path, const char *uninstallerName, const char *directoryName,
                          UninstallerFolder *folder) {
    if (directoryName == nullptr)
        return 0;
    const char *lastSeparator = strrchr(path, '\\');
    const char *ownName = lastSeparator != nullptr ? lastSeparator + 1 : path;
    const char *name = uninstallerName != nullptr ? uninstallerName : ownName;
    size_t directoryLength = PathWithoutTail(path, strlen(path), name);
    size_t baseLength =
        directoryLength != 0 ? PathWithoutTail(path, directoryLength, directoryName) : 0;
    if (baseLength == 0)
        return 0;
    folder->directoryLength = directoryLength;
    folder->baseLength = baseLength;
    return 1;
}
