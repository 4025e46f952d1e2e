// The install directory: the Program Files folder, "\" and the manifest's
// directory, with no "\" at its end (every install step appends "\" and a
// name). Pure string work; the caller asks the system for the folders.
#pragma once

#include <stdint.h>

// Builds the install directory into installDirectory (PLATFORM_MAX_PATH
// bytes) from programFiles, the Program Files folder as the shell gave it,
// or, when that lookup failed (null), from the first three characters of
// windowsDirectory (its drive root, "D:\") followed by "Program Files".
// directory is joined by RelativePathBuild ("/" written as "\"). Returns 1
// when it fits with its terminator; 0 when it does not, when directory is
// not a safe relative name, or when directory or both folders are missing,
// and then installDirectory holds an empty string.
int InstallDirectoryBuild(char *installDirectory, const char *programFiles,
                          const char *windowsDirectory, const char *directory);

// 1 when a file can still be placed in installDirectory: its path, "\" and
// the longest temporary file name fit PLATFORM_MAX_PATH, for every file is
// written beside its target first. 0 when the directory is too long to
// hold any file, and the install should be refused before anything is
// written.
int InstallDirectoryHoldsFiles(const char *installDirectory);
