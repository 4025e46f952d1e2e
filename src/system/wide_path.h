// Paths below the shell's per-user folders (Programs, Startup), built wide:
// a profile's path may hold characters that the ANSI code page cannot, and
// every ANSI path into it would then name nothing. The names joined to such
// a folder (from the manifest) stay ANSI until they are joined.
#pragma once

#include <windows.h>

#include "manifest/manifest.h"

// Writes folder, "\", name and suffix (may be null) into path (MAX_PATH wide
// characters); name and suffix are converted from the system code page.
// Returns 1 when the whole path fits with its terminator; 0 otherwise, and
// path then holds an empty string. The caller has checked name.
int WidePathJoin(WCHAR *path, const WCHAR *folder, const char *name, const char *suffix);

// The path of entry's link: programs, "\", "<productName>\<shortcut name>.lnk".
// Returns 0, with link empty, when the name would leave the product's folder
// or the path would not fit MAX_PATH. The caller has checked productName.
int ShortcutLinkPath(WCHAR *link, const WCHAR *programs, const char *productName,
                     const ShortcutEntry *entry);
