// The installer's start: its own package verified, the installer-wide lock,
// and the package failure message, with the real stub (and the lock with
// the real uninstaller, whose start is the same).
#include <gtest/gtest.h>

#include "e2e_support.h"

static std::string SmallInstaller(void) {
    return MakeInstaller({{"\\readme.txt", std::string(1000, 'r')},
                          {"\\#Manifest", "productname = \"E2E Product\"\r\n"
                                          "directory = \"E2E\\Product\"\r\n"}});
}

// Both names of the installer-wide lock, opened without taking them while
// installers come and go: a lock one of them left held is then seen
// abandoned (with no handle left, the mutex would simply vanish).
struct WatchedInstallerLock {
    HANDLE mutexes[2] = {CreateMutexA(NULL, FALSE, "Global\\QUnpack_Running"),
                         CreateMutexA(NULL, FALSE, "QUnpack_Running")};
    ~WatchedInstallerLock() {
        CloseHandle(mutexes[0]);
        CloseHandle(mutexes[1]);
    }
    // Both mutexes are free: taken at once without being abandoned.
    void ExpectReleased(void) {
        for (HANDLE mutex : mutexes) {
            DWORD taken = WaitForSingleObject(mutex, 0);
            EXPECT_EQ(taken, WAIT_OBJECT_0) << "WAIT_ABANDONED is 0x80";
            if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED)
                ReleaseMutex(mutex);
        }
    }
};

TEST(RunSequence, BrokenPackagesShowTheFailureMessageAndExitWithMinusOne) {
    ASSERT_FALSE(StubImage().empty());
    std::string folder = MakeTestFolder("broken");
    std::string valid = SmallInstaller();

    WatchedInstallerLock lock;
    std::string bare = folder + "\\bare.exe"; // the stub with no package behind it
    WriteFileBytes(bare, StubImage());
    ExpectPackageFailure(bare);
    lock.ExpectReleased();

    std::string changed = valid;
    changed[StubImage().size() + 3] ^= 0x01; // inside the compressed directory
    WriteFileBytes(folder + "\\changed.exe", changed);
    ExpectPackageFailure(folder + "\\changed.exe");

    std::string image = valid;
    // Inside the executable image, before the package: a reserved word of
    // the DOS header, which Windows does not read, so the program still starts.
    image[0x30] ^= 0x40;
    WriteFileBytes(folder + "\\image.exe", image);
    ExpectPackageFailure(folder + "\\image.exe");

    WriteFileBytes(folder + "\\short.exe", valid.substr(0, valid.size() - 1));
    ExpectPackageFailure(folder + "\\short.exe");
}

TEST(RunSequence, DecliningAValidPackageEndsTheRunWithExitCodeZero) {
    std::string folder = MakeTestFolder("valid");
    std::string path = folder + "\\setup.exe";
    WriteFileBytes(path, SmallInstaller());
    InstallerRun run;
    RunInstaller(path, IDNO, &run);
    EXPECT_EQ(run.question.text, "This program will install E2E Product on this system.\n\n"
                                 "Do you want to continue?");
    EXPECT_EQ(run.exitCode, 0u);
}

// The installer-wide lock, held by the test until it leaves, early or not.
struct HeldInstallerLock {
    HANDLE mutex = CreateMutexA(NULL, FALSE, "QUnpack_Running");
    DWORD taken = WaitForSingleObject(mutex, E2E_TIMEOUT_MS);
    ~HeldInstallerLock() {
        if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED)
            ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
};

TEST(RunSequence, ASecondInstallerEndsSilentlyWhileTheLockIsHeld) {
    std::string folder = MakeTestFolder("locked");
    std::string path = folder + "\\setup.exe";
    WriteFileBytes(path, SmallInstaller());

    // Held for as long as the programs may run: one that waited for the
    // lock instead of giving up after half a second would never end, and
    // one that went on without it would show its confirmation (or, for the
    // uninstaller without a package, the package failure).
    HeldInstallerLock lock;
    ASSERT_TRUE(lock.taken == WAIT_OBJECT_0 || lock.taken == WAIT_ABANDONED);
    for (const std::string &program : {path, BesideTests("qunpack-uninstall.exe")}) {
        Program started;
        ASSERT_TRUE(StartProgram(program, "", &started)) << program;
        EXPECT_EQ(WaitProgramWithoutWindows(&started, E2E_TIMEOUT_MS), kExitStopped) << program;
        CloseProgram(&started);
    }
}
