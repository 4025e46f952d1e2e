// Where the uninstaller stands: the product's install folder found in the
// uninstaller's own path from the manifest's names. Pure string work, so
// that it is tested natively.
#pragma once

#include <stddef.h>

// The leading parts of the uninstaller's path, as lengths in bytes.
struct UninstallerFolder {
    size_t directoryLength; // the install directory, without the "\" after it
    size_t baseLength;      // the folder the install directory was made in
                            // (Program Files), without the "\" after it
};

// Splits path, the uninstaller's own file: path must end in "\" and
// uninstallerName (path's last component when uninstallerName is null),
// and what stands before must end in "\" and directoryName, with at least
// one byte before that "\". Names are compared with ASCII case ignored and
// "/" taken as "\" (the manifest may separate its names either way); the
// "\" before each name must be one. Returns 1 with folder set; 0 when path
// is not made that way (the program is not in the product's install
// folder), when a name is empty, or when directoryName is null.
int UninstallerFolderFind(const char *path, const char *uninstallerName, const char *directoryName,
                          UninstallerFolder *folder);
