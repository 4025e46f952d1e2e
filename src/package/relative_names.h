// Names the manifest gives relative to a folder (a stale file below the
// install directory, a shortcut below the product's Programs folder, a
// shortcut's target) and the paths built from them. Pure string work, so
// that nothing a manifest says can reach outside its folder or past a
// MAX_PATH buffer.
#pragma once

// 1 when name stays below the folder it is joined to: present, relative (no
// leading "\" or "/"), without ":" (no drive letter, no stream name), and
// every component between "\" or "/" separators (Windows takes both) has a
// character other than "." and " " (so no empty, "." or ".." component,
// and none that Windows would trim to one). 0 otherwise.
int RelativeNameIsSafe(const char *name);

// Writes folder, "\", name and suffix (may be null) into path
// (PLATFORM_MAX_PATH bytes). Returns 1 when name is safe and the whole path
// fits with its terminator; 0 otherwise, and path then holds an empty
// string.
int RelativePathBuild(char *path, const char *folder, const char *name, const char *suffix);
