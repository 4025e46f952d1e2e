// The shell the installer and the uninstaller share: their start and stop
// (DLL policy, COM, the region heap, the installer-wide lock, the package
// and its manifest), the check for a running copy of the product, and the
// message boxes. Each program's WinMain starts the shell, runs its own
// sequence and stops the shell.
#pragma once

#include <windows.h>

#include "manifest/manifest.h"

// ---- Start and stop ---------------------------------------------------------

// The exit code of a run that stops before its sequence: COM failed, the
// installer-wide lock is held elsewhere, or the package is unusable.
const int SHELL_EXIT_STOPPED = -1;

// The installer-wide lock: one installer at a time on the machine, whatever
// product it carries, and never an install and an uninstall at once. It is
// two mutexes: "Global\QUnpack_Running", which every session of the machine
// shares (fast user switching, Remote Desktop), and "QUnpack_Running" in the
// session's own namespace, the one installers that know only that name take.
struct InstallerLock {
    HANDLE global;
    HANDLE session;
};

// What a started run holds until ShellStop.
struct ShellRun {
    HRESULT com; // CoInitialize's answer: S_OK is matched by CoUninitialize
    InstallerLock lock;
    InstallDescription description; // the package's manifest
};

// Starts a run: restricts the DLL search, starts the region heap and COM,
// takes the installer-wide lock, opens the program's own package and loads
// its manifest. Returns 1 when run->description can drive the program's
// sequence (ManifestIsUsable); 0 when the run stops: COM failed or the lock
// is held elsewhere (silently: a second installer ends without a word), or
// the package cannot be read or its manifest cannot say what to install or
// where (after the package failure message). ShellStop follows either way.
int ShellStart(ShellRun *run);

// Takes down whatever ShellStart set up, in reverse order: the description,
// the package, the lock, COM and the region heap; whatever ShellStart
// returned, and only once. The program's own region-heap blocks are freed
// before.
void ShellStop(ShellRun *run);

// ---- Message boxes ----------------------------------------------------------

// Messages that stop the run are captioned this way.
extern const char kMessageCaption[];

// Shows the message of a package that cannot be read or used, owned by the
// desktop window.
void ShowPackageFailure(void);

// Shows a message box captioned kMessageCaption whose text is format
// filled by TextFormat (a text longer than 2047 characters is cut).
// Returns the box's answer.
int ShowFormattedMessage(HWND owner, UINT type, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// ---- The installer-wide lock ------------------------------------------------

// Takes both mutexes within 500 ms in all. Returns 1 with both owned by the
// calling thread; 0 when either is held elsewhere, was abandoned or cannot
// be opened (for instance, another account's installer made it), and then
// nothing is held and both handles are null.
int InstallerLockAcquire(InstallerLock *lock);

// Releases and closes what InstallerLockAcquire took, and nothing after a
// refusal.
void InstallerLockRelease(InstallerLock *lock);

// ---- A running copy of the product ------------------------------------------

// Makes sure the product is not running before the install or the removal.
// Returns non-zero to go on, zero to stop (the reason, if any, has been
// shown). Any argument may be null: no mutex name skips the start-up check,
// no window name the search for a running copy, and no product name makes a
// refusal silent. A product stuck in its start-up loses its autostart
// entries (RemoveAutostart). Once had, the startup mutex stays owned until
// the process ends.
int CheckPreviousInstance(const char *mutexName, const char *mainWindowName,
                          const char *productName);

// How CheckPreviousInstance opens the product's process (OpenProcess unless
// a test points it elsewhere).
typedef HANDLE(WINAPI *OpenProcessFunction)(DWORD access, BOOL inherit, DWORD processId);
extern OpenProcessFunction previousInstanceOpenProcess;
