// Paths below the shell's per-user folders (Programs, Startup), built wide:
// a profile's path may hold characters that the ANSI code page cannot, and
// every ANSI path into it would then name nothing. The names joined to such
// a folder (from the manifest) stay ANSI until they are joined.
#pragma once

#include <windows.h>

// Writes folder, "\", name and suffix (may be null) into path (MAX_PATH wide
// characters); name and suffix are converted from the system code page.
// Returns 1 when the whole path fits with its terminator; 0 otherwise, and
// path then holds an empty string. The caller has checked name.
int WidePathJoin(WCHAR *path, const WCHAR *folder, const char *name, const char *suffix);
