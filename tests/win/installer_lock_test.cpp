// The installer-wide lock in-process: either of its two names held by
// another thread keeps an installer out, and a held lock holds both.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "driver/driver.h"

static const char kGlobalName[] = "Global\\QUnpack_Running";
static const char kSessionName[] = "QUnpack_Running";

// Another thread's attempt to own a mutex, as another installer would make it.
struct MutexAttempt {
    const char *name;
    DWORD waitResult;
};

static DWORD WINAPI AttemptMutex(void *context) {
    MutexAttempt *attempt = static_cast<MutexAttempt *>(context);
    HANDLE mutex = CreateMutexA(NULL, FALSE, attempt->name);
    attempt->waitResult = mutex ? WaitForSingleObject(mutex, 0) : WAIT_FAILED;
    if (attempt->waitResult == WAIT_OBJECT_0)
        ReleaseMutex(mutex);
    if (mutex)
        CloseHandle(mutex);
    return 0;
}

static DWORD TryFromAnotherThread(const char *name) {
    MutexAttempt attempt = {name, WAIT_FAILED};
    HANDLE thread = CreateThread(NULL, 0, AttemptMutex, &attempt, 0, NULL);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return attempt.waitResult;
}

// A thread that holds one name until told to let go.
struct Holder {
    const char *name;
    HANDLE held, letGo, thread;
};

static DWORD WINAPI HoldMutex(void *context) {
    Holder *holder = static_cast<Holder *>(context);
    HANDLE mutex = CreateMutexA(NULL, TRUE, holder->name);
    SetEvent(holder->held);
    WaitForSingleObject(holder->letGo, INFINITE);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
}

static void StartHolding(Holder *holder, const char *name) {
    holder->name = name;
    holder->held = CreateEventA(NULL, TRUE, FALSE, NULL);
    holder->letGo = CreateEventA(NULL, TRUE, FALSE, NULL);
    holder->thread = CreateThread(NULL, 0, HoldMutex, holder, 0, NULL);
    WaitForSingleObject(holder->held, INFINITE);
}

static void StopHolding(Holder *holder) {
    SetEvent(holder->letGo);
    WaitForSingleObject(holder->thread, INFINITE);
    CloseHandle(holder->thread);
    CloseHandle(holder->held);
    CloseHandle(holder->letGo);
}

TEST(InstallerLock, HoldsBothNamesUntilReleased) {
    InstallerLock lock;
    ASSERT_EQ(InstallerLockAcquire(&lock), 1);
    EXPECT_EQ(TryFromAnotherThread(kGlobalName), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(TryFromAnotherThread(kSessionName), static_cast<DWORD>(WAIT_TIMEOUT));
    InstallerLockRelease(&lock);
    EXPECT_EQ(TryFromAnotherThread(kGlobalName), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(TryFromAnotherThread(kSessionName), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(lock.global, (HANDLE)NULL);
    EXPECT_EQ(lock.session, (HANDLE)NULL);
}

TEST(InstallerLock, EitherNameHeldElsewhereKeepsItOutAndLeavesTheOtherFree) {
    // An installer in another session holds only the global name; one shipped
    // before it existed holds only the session's.
    const char *names[][2] = {{kGlobalName, kSessionName}, {kSessionName, kGlobalName}};
    for (const auto &pair : names) {
        Holder holder;
        StartHolding(&holder, pair[0]);
        InstallerLock lock;
        EXPECT_EQ(InstallerLockAcquire(&lock), 0) << pair[0];
        EXPECT_EQ(lock.global, (HANDLE)NULL);
        EXPECT_EQ(lock.session, (HANDLE)NULL);
        EXPECT_EQ(TryFromAnotherThread(pair[1]), static_cast<DWORD>(WAIT_OBJECT_0))
            << pair[1] << " must not stay owned";
        StopHolding(&holder);
    }
}
