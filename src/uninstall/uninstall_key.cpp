// The uninstall key's name. See uninstall_key.h.
#include "uninstall/uninstall_key.h"

#include <string.h>

#include "package/package.h"
#include "text/text_format.h"

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
    char name[UNINSTALL_KEY_NAME_MAX + 1];
    const DirectoryRecord *record = PackageFindEntry(UNINSTALL_KEY_ENTRY_NAME);
    uint32_t length = record != nullptr ? DirectoryRecordSize(record) : 0;
    if (length > UNINSTALL_KEY_NAME_MAX || !PackageReadEntryFull(name, record) ||
        !UninstallKeyNameIsSound(name, length))
        length = 0;
    name[length] = 0;
    TextFormat(path, UNINSTALL_KEY_PATH_SIZE, "%s\\%s", UNINSTALL_KEY_PARENT,
               length != 0 ? name : UNINSTALL_KEY_DEFAULT_NAME);
}
