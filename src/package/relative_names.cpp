#include "package/relative_names.h"

#include "manifest/manifest.h"
#include "platform/platform.h"
#include "text/text_format.h"

// The install directory's own rule is exactly the one for any relative name.
int RelativeNameIsSafe(const char *name) {
    return ManifestDirectoryIsSafe(name);
}

int RelativePathBuild(char *path, const char *folder, const char *name, const char *suffix) {
    path[0] = '\0';
    if (folder == nullptr || !RelativeNameIsSafe(name)) {
        return 0;
    }
    int length = TextFormat(path, PLATFORM_MAX_PATH, "%s\\%s%s", folder, name,
                            suffix != nullptr ? suffix : "");
    if (length < 0 || static_cast<unsigned>(length) >= PLATFORM_MAX_PATH) {
        path[0] = '\0';
        return 0;
    }
    return 1;
}
