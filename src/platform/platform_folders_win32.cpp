// The Win32 side of the platform seam's folder removal (see platform.h),
// which only the uninstaller does. A file of its own, so that the stub's
// import table carries none of its calls: the import libraries' entries
// stay in a program whose objects name them, even where the code that
// calls them is dropped.
#include "platform/platform.h"

#include <windows.h>

#include <string.h>

PlatformPathKind PlatformPathKindGet(const char *path) {
    if (path == nullptr || strlen(path) >= PLATFORM_MAX_PATH) {
        return PLATFORM_PATH_NONE;
    }
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return PLATFORM_PATH_NONE;
    }
    // The tag is asked for only where there is one (a reparse point is
    // rare); one that cannot be read counts as a link.
    DWORD tag = PLATFORM_WIN32_REPARSE_TAG_NAME_SURROGATE;
    WIN32_FIND_DATAA found;
    HANDLE search = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? FindFirstFileA(path, &found)
                                                                : INVALID_HANDLE_VALUE;
    if (search != INVALID_HANDLE_VALUE) {
        tag = found.dwReserved0;
        FindClose(search);
    }
    return PlatformPathKindFromAttributes(attributes, tag);
}

int PlatformDirectoryRemove(const char *path) {
    return path != nullptr && strlen(path) < PLATFORM_MAX_PATH && RemoveDirectoryA(path) != 0;
}
