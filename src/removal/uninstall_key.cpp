// The uninstall key's name. See uninstall_key.h.
#include "removal/uninstall_key.h"

#include <string.h>

#include "package/package.h"

int UninstallKeyNameIsSound(const char *name, uint32_t length) {
    if (length == 0 || length > UNINSTALL_KEY_NAME_MAX)
        return 0;
    for (uint32_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == '\\')
            return 0;
    }
    return 1;
}

void UninstallKeyPathFind(char path[UNINSTALL_KEY_PATH_SIZE]) {
    memcpy(path, UNINSTALL_KEY_PARENT, sizeof UNINSTALL_KEY_PARENT - 1);
    path[sizeof UNINSTALL_KEY_PARENT - 1] = '\\';
    char *name = path + sizeof UNINSTALL_KEY_PARENT; // room for the longest and its NUL
    const DirectoryRecord *record = PackageFindEntry(UNINSTALL_KEY_ENTRY_NAME);
    uint32_t length = record != nullptr ? DirectoryRecordSize(record) : 0;
    if (length > UNINSTALL_KEY_NAME_MAX || !PackageReadEntryFull(name, record) ||
        !UninstallKeyNameIsSound(name, length)) {
        memcpy(name, UNINSTALL_KEY_DEFAULT_NAME, sizeof UNINSTALL_KEY_DEFAULT_NAME);
        return;
    }
    name[length] = 0;
}
