// System integration, the install steps around the extraction: stale files
// removed before it, the origin marker after it, the Start-menu shortcuts
// and the uninstaller's registration. Each takes the install description
// and the install directory (no "\" at its end). Then the removals: the
// autostart entries of a product stuck in its start-up, and for the
// uninstaller, the shortcuts and the registration.
#pragma once

#include <windows.h>

#include <shlobj.h>

#include "manifest/manifest.h"

// Deletes the files the manifest lists with "delfile" from the install
// directory.
void DeleteStaleFiles(const InstallDescription *description, const char *directory);

// Creates ".origin" in the install directory holding the manifest's origin
// text, unless the file exists already.
void WriteOriginFile(const InstallDescription *description, const char *directory);

// Creates the manifest's shortcuts below the product's Programs folder.
// Returns 1 when every shortcut was saved, 0 when one could not be. A link
// whose icon cannot be set is saved without it and counts as saved; one
// whose target or working directory cannot be set is not saved.
int CreateShortcuts(const InstallDescription *description, const char *directory);

// How CreateShortcuts makes each link object (the shell's link object
// through CoCreateInstance unless a test points it elsewhere).
typedef HRESULT (*ShortcutLinkCreateFunction)(IShellLinkA **link);
extern ShortcutLinkCreateFunction shortcutLinkCreate;

// Registers the product's uninstaller under the uninstall key the open
// package names (uninstall_key.h): its name, command, publisher and version
// (the installer's version resource), icon (the uninstaller's, when it has
// one), size, location and install date, with Modify and Repair turned off;
// a value the installer has nothing for is deleted. Returns 1 when every
// value was written or no uninstaller was asked for, 0 otherwise.
int RegisterUninstaller(const InstallDescription *description, const char *directory);

// ---- Removal of a product stuck in its start-up ----

// Removes the product's autostart entries: "<Startup>\<name>.lnk" and the
// value named after the product under HKEY_CURRENT_USER
// "Software\Microsoft\Windows\CurrentVersion\Run". Failures are ignored; a
// null or empty name, a name with a path separator, or a shortcut path too
// long for MAX_PATH leaves the shortcut (and, for an empty name, the Run key)
// alone.
void RemoveAutostart(const char *productName);

// ---- Removal, for the uninstaller ----

// Deletes the manifest's shortcuts below the product's Programs folder,
// then their folders and the product's folder once empty. Returns 0 when a
// link that exists could not be deleted, else 1.
int RemoveShortcuts(const InstallDescription *description);

// Deletes the uninstall key the open package names (uninstall_key.h) when
// its "UninstallString" names the program at uninstallerPath (quoted, as
// RegisterUninstaller writes it, ASCII case ignored). Returns 0 only when
// that key could not be deleted.
int UnregisterUninstaller(const char *uninstallerPath);
