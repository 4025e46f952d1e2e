// The uninstaller's driver: its run sequence (winmain.cpp) and the removal
// it runs inside the progress window (uninstall_sequence.cpp).
#pragma once

#include <windows.h>

#include <stdint.h>

#include "manifest/manifest.h"

// The exit codes: everything removed, something left, declined or refused
// (nothing removed), and the early stops it shares with the installer.
const int UNINSTALL_EXIT_REMOVED = 0;
const int UNINSTALL_EXIT_INCOMPLETE = 1;
const int UNINSTALL_EXIT_DECLINED = 2;
const int UNINSTALL_EXIT_STOPPED = -1;

// The process-wide state of one run, set by WinMain before the window runs.
struct UninstallRun {
    char ownPath[MAX_PATH];      // this program's file
    char directory[MAX_PATH];    // the install directory, no "\" at its end
    char ownEntryName[MAX_PATH]; // "\" and ownPath below directory, "\" separated
    size_t baseLength;           // directory's length without "\" and the manifest's directory
    const char *list;            // the "#Files" text (region heap)
    uint32_t listLength;
    int exitCode;
};

extern UninstallRun uninstallRun;

// Finds the install directory in uninstallRun.ownPath (UninstallerFolderFind
// with the manifest's uninstaller and directory names). Returns 1 with
// directory, ownEntryName and baseLength set, 0 when the program is not in
// the product's install folder.
int UninstallFolderFind(const InstallDescription *description);

// The removal, run by the progress window on MSG_START_INSTALL: the
// question, the removal, the self-removal and the closing message; sets
// uninstallRun.exitCode and ends by posting WM_CLOSE to window.
void RunUninstall(HWND window);
