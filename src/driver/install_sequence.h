// The install sequence: what the progress window runs when it receives
// MSG_START_INSTALL.
#pragma once

#include <windows.h>

// Runs the install inside the progress window's procedure and ends by
// posting WM_CLOSE to window, whatever happened.
void RunInstall(HWND window);

// The status the install shows for each extracted file (the extraction's
// progress function): the progress window's SetStatus.
void InstallFileStatus(const char *text, float fraction);
