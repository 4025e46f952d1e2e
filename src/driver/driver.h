// The installer driver: run sequence, install sequence and the handling of
// a running copy of the product.
#pragma once

#include <windows.h>

// Messages that stop the run are captioned this way.
extern const char kMessageCaption[];

// The message of a package that cannot be read or used.
extern const char kPackageFailureText[];

// Shows a message box captioned kMessageCaption whose text is format
// filled by TextFormat (a text longer than 2047 characters is cut).
// Returns the box's answer.
int ShowFormattedMessage(HWND owner, UINT type, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Limits the DLL search to the system folder (see messages.cpp for the
// older systems' fallback). Called first thing by both programs.
void RestrictDllSearch(void);

// The installer-wide lock: one installer at a time on the machine, whatever
// product it carries. It is two mutexes: "Global\QUnpack_Running", which
// every session of the machine shares (fast user switching, Remote
// Desktop), and "QUnpack_Running" in the session's own namespace, the one
// installers that know only that name take.
struct InstallerLock {
    HANDLE global;
    HANDLE session;
};

// Takes both mutexes within 500 ms in all. Returns 1 with both owned by the
// calling thread; 0 when either is held elsewhere, was abandoned or cannot
// be opened (for instance, another account's installer made it), and then
// nothing is held and both handles are null.
int InstallerLockAcquire(InstallerLock *lock);

// Releases and closes what InstallerLockAcquire took.
void InstallerLockRelease(InstallerLock *lock);

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
