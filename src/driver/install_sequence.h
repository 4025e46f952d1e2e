// The installer's own sequence, between the shell's start and stop: the
// check for a running copy of the product, then the install the progress
// window runs when it receives MSG_START_INSTALL.
#pragma once

#include <windows.h>

#include "manifest/manifest.h"
#include "package/extract.h"

// Runs the installer's sequence for the description the shell loaded: no
// window when CheckPreviousInstance says stop, else the progress window
// with RunInstall, until the window closes.
void InstallSequenceRun(InstallDescription *description);

// Runs the install inside the progress window's procedure and ends by
// posting WM_CLOSE to window, whatever happened.
void RunInstall(HWND window);

// Extracts the package's files to directory (ExtractAllFiles) with each
// file's status shown in the progress window: stored at once, painted at
// most every INSTALL_STATUS_PAINT_MS, the first file's always, and the
// status the extraction ends with painted when it ends.
void InstallExtractFiles(const char *directory, ExtractionReport *files);

const DWORD INSTALL_STATUS_PAINT_MS = 25;
