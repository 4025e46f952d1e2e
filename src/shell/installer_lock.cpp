// The installer-wide lock (see shell.h).
#include "shell/shell.h"

static const char kGlobalLockName[] = "Global\\QUnpack_Running";
// The same name without the "Global\" prefix: one string for both.
static const char *const kSessionLockName = kGlobalLockName + sizeof "Global\\" - 1;
static const DWORD kLockWaitMs = 500;

// 1 when mutex was had within timeoutMs. An abandoned mutex does not count,
// since whatever its holder was doing was left half done; the wait made it
// ours all the same, so it is given back.
// Not inlined: its two uses would each carry a copy.
__attribute__((noinline)) static int MutexTake(HANDLE mutex, DWORD timeoutMs) {
    if (mutex == NULL)
        return 0;
    DWORD result = WaitForSingleObject(mutex, timeoutMs);
    if (result == WAIT_ABANDONED)
        ReleaseMutex(mutex);
    return result == WAIT_OBJECT_0;
}

static void MutexClose(HANDLE *mutex) {
    if (*mutex != NULL)
        CloseHandle(*mutex);
    *mutex = NULL;
}

int InstallerLockAcquire(InstallerLock *lock) {
    // Both names in one order, so two installers that take both never hold
    // one each. Where the session's namespace is the global one (session 0)
    // both names open the same mutex, which is simply owned twice.
    DWORD start = GetTickCount();
    lock->global = CreateMutexA(NULL, FALSE, kGlobalLockName);
    lock->session = NULL;
    if (!MutexTake(lock->global, kLockWaitMs)) {
        MutexClose(&lock->global);
        return 0;
    }
    DWORD spent = GetTickCount() - start;
    lock->session = CreateMutexA(NULL, FALSE, kSessionLockName);
    if (!MutexTake(lock->session, spent < kLockWaitMs ? kLockWaitMs - spent : 0)) {
        MutexClose(&lock->session);
        ReleaseMutex(lock->global);
        MutexClose(&lock->global);
        return 0;
    }
    return 1;
}

void InstallerLockRelease(InstallerLock *lock) {
    if (lock->global == NULL)
        return; // refused: nothing is held
    ReleaseMutex(lock->session);
    ReleaseMutex(lock->global);
    MutexClose(&lock->session);
    MutexClose(&lock->global);
}
