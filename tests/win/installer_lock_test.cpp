// The installer-wide lock in-process, against mutexes held by threads of
// this process.
#include <gtest/gtest.h>
#include <windows.h>

#include "shell/shell.h"
#include "win_test_support.h"

static const char kGlobalLockName[] = "Global\\QUnpack_Running";
static const char kSessionLockName[] = "QUnpack_Running";

TEST(InstallerLock, HoldsBothNamesUntilReleased) {
    InstallerLock lock;
    ASSERT_EQ(InstallerLockAcquire(&lock), 1);
    EXPECT_EQ(TryMutexFromAnotherThread(kGlobalLockName), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(TryMutexFromAnotherThread(kSessionLockName), static_cast<DWORD>(WAIT_TIMEOUT));
    InstallerLockRelease(&lock);
    EXPECT_EQ(TryMutexFromAnotherThread(kGlobalLockName), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(TryMutexFromAnotherThread(kSessionLockName), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST(InstallerLock, EitherNameHeldElsewhereKeepsItOutAndLeavesTheOtherFree) {
    // An installer in another session holds only the global name; one shipped
    // before it existed holds only the session's. An abandoned one counts as
    // held: its holder left its work half done.
    const struct {
        const char *held, *other;
        DWORD holdMs;
    } cases[] = {{kGlobalLockName, kSessionLockName, INFINITE},
                 {kSessionLockName, kGlobalLockName, INFINITE},
                 {kGlobalLockName, kSessionLockName, 0}};
    for (const auto &c : cases) {
        MutexHolder holder;
        StartHolding(&holder, c.held, c.holdMs);
        InstallerLock lock;
        EXPECT_EQ(InstallerLockAcquire(&lock), 0) << c.held;
        EXPECT_EQ(lock.global, (HANDLE)NULL);
        EXPECT_EQ(lock.session, (HANDLE)NULL);
        EXPECT_EQ(TryMutexFromAnotherThread(c.other), static_cast<DWORD>(WAIT_OBJECT_0))
            << c.other << " must not stay owned";
        // ShellStop releases a refused lock too: it holds nothing to give back.
        InstallerLockRelease(&lock);
        EXPECT_EQ(lock.global, (HANDLE)NULL);
        if (c.holdMs == 0) {
            EXPECT_EQ(TryMutexFromAnotherThread(c.held), static_cast<DWORD>(WAIT_OBJECT_0))
                << "the abandoned mutex the wait took is given back";
        } else {
            EXPECT_EQ(TryMutexFromAnotherThread(c.held), static_cast<DWORD>(WAIT_TIMEOUT))
                << c.held << " stays with its holder";
        }
        StopHolding(&holder);
    }
}
