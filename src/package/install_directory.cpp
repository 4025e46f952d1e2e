// The install directory (see install_directory.h).
#include "package/install_directory.h"

#include <string.h>

#include "platform/platform.h"
#include "text/text_format.h"

int InstallDirectoryBuild(char *installDirectory, const char *programFiles,
                          const char *windowsDirectory, const char *directory) {
    int length = -1;
    if (directory == nullptr) {
        length = -1;
    } else if (programFiles != nullptr) {
        length = TextFormat(installDirectory, PLATFORM_MAX_PATH, "%s\\%s", programFiles, directory);
    } else if (windowsDirectory != nullptr && TextHasLength(windowsDirectory, 3)) {
        length = TextFormat(installDirectory, PLATFORM_MAX_PATH, "%.3sProgram Files\\%s",
                            windowsDirectory, directory);
    }
    if (length < 0 || static_cast<uint32_t>(length) >= PLATFORM_MAX_PATH) {
        installDirectory[0] = 0;
        return 0;
    }
    return 1;
}

int InstallDirectoryHoldsFiles(const char *installDirectory) {
    return installDirectory != nullptr &&
           strlen(installDirectory) + 1 + PLATFORM_TEMPORARY_NAME_MAX < PLATFORM_MAX_PATH;
}
