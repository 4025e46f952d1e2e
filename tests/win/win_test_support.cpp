// What several Win32 tests need (see win_test_support.h).
#include "win_test_support.h"

#include <gtest/gtest.h>
#include <shlobj.h>

std::string UniqueName(const char *what) {
    static int counter;
    return "qunpack-test-" + std::string(what) + "-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(++counter);
}

// ---- Mutexes held by other threads ----

static DWORD WINAPI HoldMutex(void *context) {
    MutexHolder *holder = static_cast<MutexHolder *>(context);
    HANDLE mutex = CreateMutexA(NULL, FALSE, holder->name.c_str());
    WaitForSingleObject(mutex, INFINITE);
    SetEvent(holder->held);
    if (holder->holdMs == 0)
        return 0; // abandoned: the holder's handle below stays open
    WaitForSingleObject(holder->release, holder->holdMs);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
}

void StartHolding(MutexHolder *holder, const std::string &name, DWORD holdMs) {
    holder->name = name;
    holder->holdMs = holdMs;
    holder->held = CreateEventA(NULL, TRUE, FALSE, NULL);
    holder->release = CreateEventA(NULL, TRUE, FALSE, NULL);
    holder->thread = CreateThread(NULL, 0, HoldMutex, holder, 0, NULL);
    WaitForSingleObject(holder->held, kLongWaitMs);
}

void StopHolding(MutexHolder *holder) {
    SetEvent(holder->release);
    WaitForSingleObject(holder->thread, kLongWaitMs);
    CloseHandle(holder->thread);
    CloseHandle(holder->held);
    CloseHandle(holder->release);
}

static DWORD WINAPI TryMutex(void *name) {
    HANDLE mutex = CreateMutexA(NULL, FALSE, static_cast<const char *>(name));
    DWORD result = WaitForSingleObject(mutex, 0);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
        ReleaseMutex(mutex);
    CloseHandle(mutex);
    return result;
}

DWORD TryMutexFromAnotherThread(const std::string &name) {
    HANDLE thread = CreateThread(NULL, 0, TryMutex, const_cast<char *>(name.c_str()), 0, NULL);
    WaitForSingleObject(thread, kLongWaitMs);
    DWORD result = WAIT_FAILED;
    GetExitCodeThread(thread, &result);
    CloseHandle(thread);
    return result;
}

// ---- Autostart entries ----

std::string StartupFolder(void) {
    char folder[MAX_PATH];
    if (!SHGetSpecialFolderPathA(NULL, folder, CSIDL_STARTUP, TRUE))
        return "";
    return folder;
}

bool MakeFile(const std::string &path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

bool FileExists(const std::string &path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void SetRunValue(const std::string &name) {
    HKEY run;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_CURRENT_USER, kRunKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &run, NULL),
        ERROR_SUCCESS);
    const char command[] = "C:\\product.exe";
    RegSetValueExA(run, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(command),
                   sizeof command);
    RegCloseKey(run);
}

bool RunValueExists(const std::string &name) {
    HKEY run;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_READ, &run) != ERROR_SUCCESS)
        return false;
    bool exists = RegQueryValueExA(run, name.c_str(), NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
    RegCloseKey(run);
    return exists;
}

void MakeAutostart(const std::string &name) {
    ASSERT_TRUE(MakeFile(StartupFolder() + "\\" + name + ".lnk"));
    SetRunValue(name);
}

bool HasShortcut(const std::string &name) {
    return FileExists(StartupFolder() + "\\" + name + ".lnk");
}
