// Wide paths below the shell's folders (see wide_path.h).
#include "system/wide_path.h"

#include <string.h>

#include "package/relative_names.h"

// Converts text onto the end of path (length characters used so far).
// Returns the new length, or 0 when it does not fit.
static int WidePathAppend(WCHAR *path, int length, const char *text) {
    int room = MAX_PATH - length;
    int written = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, path + length, room);
    return written > 0 ? length + written - 1 : 0;
}

int WidePathJoin(WCHAR *path, const WCHAR *folder, const char *name, const char *suffix) {
    int length = lstrlenW(folder);
    if (length + 1 < MAX_PATH) {
        memcpy(path, folder, static_cast<size_t>(length) * sizeof(WCHAR));
        path[length++] = L'\\';
        path[length] = 0;
        length = WidePathAppend(path, length, name);
        if (length > 0 && suffix != NULL)
            length = WidePathAppend(path, length, suffix);
    } else {
        length = 0;
    }
    if (length == 0)
        path[0] = 0;
    return length > 0;
}

int ShortcutLinkPath(WCHAR *link, const WCHAR *programs, const char *productName,
                     const ShortcutEntry *entry) {
    char linkName[MAX_PATH];
    return RelativePathBuild(linkName, productName, entry->shortcutName, ".lnk") &&
           WidePathJoin(link, programs, linkName, nullptr);
}
