// The installer driver: run sequence, install sequence and the handling of
// a running copy of the product.
#pragma once

#include <windows.h>

// Messages that stop the run are captioned this way.
extern const char kMessageCaption[];

// Makes sure the product is not running before the install. Returns
// non-zero to go on, zero to stop (the reason, if any, has been shown).
// Any argument may be null: no mutex name skips the start-up check, no
// window name the search for a running copy, and no product name makes a
// refusal silent. Once had, the startup mutex stays owned until the process
// ends.
int CheckPreviousInstance(const char *mutexName, const char *mainWindowName,
                          const char *productName);

// Removes the product's autostart entries: "<Startup>\<name>.lnk" and the
// value named after the product under HKEY_CURRENT_USER
// "Software\Microsoft\Windows\CurrentVersion\Run". Failures are ignored; a
// null or empty name, a name with a path separator, or a shortcut path too
// long for MAX_PATH leaves the shortcut (and, for an empty name, the Run key)
// alone.
void RemoveAutostart(const char *productName);

// How CheckPreviousInstance opens the product's process (OpenProcess unless
// a test points it elsewhere).
typedef HANDLE(WINAPI *OpenProcessFunction)(DWORD access, BOOL inherit, DWORD processId);
extern OpenProcessFunction previousInstanceOpenProcess;
