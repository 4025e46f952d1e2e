// The install directory (see install_directory.h).
#include "package/install_directory.h"

#include <string.h>

#include "package/relative_names.h"
#include "platform/platform.h"
#include "text/text_format.h"

// The directory is joined as every manifest name is (RelativePathBuild), so
// that a "/" in it is a "\" in every path the steps build.
int InstallDirectoryBuild(char *installDirectory, const char *programFiles,
                          const char *windowsDirectory, const char *directory) {
    char fallback[PLATFORM_MAX_PATH];
    if (programFiles == nullptr && windowsDirectory != nullptr &&
        TextHasLength(windowsDirectory, 3)) {
        TextFormat(fallback, sizeof fallback, "%.3sProgram Files", windowsDirectory);
        programFiles = fallback;
    }
    return RelativePathBuild(installDirectory, programFiles, directory, nullptr);
}

int InstallDirectoryHoldsFiles(const char *installDirectory) {
    return installDirectory != nullptr &&
           strlen(installDirectory) + 1 + PLATFORM_TEMPORARY_NAME_MAX < PLATFORM_MAX_PATH;
}
