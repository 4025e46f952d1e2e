// Until shortcuts, the uninstall entry, the origin file and
// stale files land: each step does nothing and reports success.
#include "system/system.h"

void DeleteStaleFiles(const InstallDescription *description, const char *directory) {
    (void)description;
    (void)directory;
}

void WriteOriginFile(const InstallDescription *description, const char *directory) {
    (void)description;
    (void)directory;
}

int CreateShortcuts(const InstallDescription *description, const char *directory) {
    (void)description;
    (void)directory;
    return 1;
}

int RegisterUninstaller(const InstallDescription *description, const char *directory) {
    (void)description;
    (void)directory;
    return 1;
}
