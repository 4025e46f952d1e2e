// The uninstaller's own sequence (uninstall_sequence.cpp), between the
// shell's start and stop in its WinMain (winmain.cpp): where it stands, the
// running product, and the removal inside the progress window.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "manifest/manifest.h"
#include "shell/shell.h"

// The exit codes: everything removed, something left, declined or refused
// (nothing removed), and the early stops: the shell's, and a file list or
// own path that cannot be had.
const int UNINSTALL_EXIT_REMOVED = 0;
const int UNINSTALL_EXIT_INCOMPLETE = 1;
const int UNINSTALL_EXIT_DECLINED = 2;
const int UNINSTALL_EXIT_STOPPED = SHELL_EXIT_STOPPED;

// The process-wide state of one run, set by UninstallSequenceRun before the
// window runs.
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

// Runs the uninstaller's sequence for the description the shell loaded:
// loads the "#Files" list and finds its own path (the package failure
// message when either cannot be had), refuses to run outside the product's
// install folder (UninstallerFolderFind), checks for a running product,
// then runs RunUninstall in the progress window. Frees what it loaded.
// Returns the exit code.
int UninstallSequenceRun(InstallDescription *description);

// The removal, run by the progress window on MSG_START_INSTALL: the
// question, the removal, the self-removal and the closing message; sets
// uninstallRun.exitCode and ends by posting WM_CLOSE to window.
void RunUninstall(HWND window);
