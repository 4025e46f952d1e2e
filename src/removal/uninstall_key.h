// The name of the product's uninstall key. Every installer registers below
// HKEY_LOCAL_MACHINE "Software\Microsoft\Windows\CurrentVersion\Uninstall",
// under "Quorvane" unless the vendor built another name into it: qpack then
// writes the name as the "#UninstallKey" entry of the installer's package
// and of its generated uninstaller's, so that both programs name the same
// key and two products keep two entries.
#pragma once

#include <stdint.h>

const char UNINSTALL_KEY_ENTRY_NAME[] = "#UninstallKey"; // without its "\"
const char UNINSTALL_KEY_DEFAULT_NAME[] = "Quorvane";
const char UNINSTALL_KEY_PARENT[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
// Windows' longest key name.
const uint32_t UNINSTALL_KEY_NAME_MAX = 255;
// The parent, "\", the longest name and the NUL.
const uint32_t UNINSTALL_KEY_PATH_SIZE = sizeof UNINSTALL_KEY_PARENT + UNINSTALL_KEY_NAME_MAX + 1;

// 1 when the length bytes at name can name a key: 1 to
// UNINSTALL_KEY_NAME_MAX bytes, none of them "\" (a path separator) or a
// control character (NUL among them). Reads only those bytes.
int UninstallKeyNameIsSound(const char *name, uint32_t length);

// Writes the uninstall key's path, below HKEY_LOCAL_MACHINE, for the open
// package into path: the parent, "\" and the name its "#UninstallKey"
// entry holds, or the default name when it has no such entry or one that
// cannot be read in full or is not a sound name.
void UninstallKeyPathFind(char path[UNINSTALL_KEY_PATH_SIZE]);
