// What several Win32 tests need: unique names, mutexes held by threads of
// this process, and the current user's autostart entries.
#pragma once

#include <windows.h>

#include <string>

const DWORD kLongWaitMs = 60000; // process starts are slow under Wine
const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// "qunpack-test-<what>-<process id>-<counter>", new on every call.
std::string UniqueName(const char *what);

// ---- Mutexes held by other threads ----

struct MutexHolder {
    std::string name;
    DWORD holdMs; // INFINITE: until StopHolding; 0: exit without releasing
    HANDLE held, release, thread;
};

// Starts a thread that takes the mutex name and holds it for holdMs;
// returns once it holds it.
void StartHolding(MutexHolder *holder, const std::string &name, DWORD holdMs);

// Lets the holder go and waits for its thread.
void StopHolding(MutexHolder *holder);

// What a wait of 0 ms on the mutex name gives another thread: WAIT_OBJECT_0
// or WAIT_ABANDONED when it was free (then given back), WAIT_TIMEOUT when
// it is held.
DWORD TryMutexFromAnotherThread(const std::string &name);

// ---- Autostart entries ----

// The user's Startup folder, made when missing; "" when there is none.
std::string StartupFolder(void);

bool MakeFile(const std::string &path);
bool FileExists(const std::string &path);

// Sets or finds the value name under HKEY_CURRENT_USER kRunKey.
void SetRunValue(const std::string &name);
bool RunValueExists(const std::string &name);

// "<Startup>\<name>.lnk" (an empty file) and the Run value name.
void MakeAutostart(const std::string &name);
bool HasShortcut(const std::string &name);
