// The Win32 side of the platform seam (see platform.h).
#include "platform/platform.h"

#include <windows.h>

// ---- Pages -----------------------------------------------------------------

// Pages are allocated by the heap under its lock, so these counters need
// no lock of their own.
struct Win32Pages {
    uint32_t failCountdown; // the call that brings it to 0 fails; 0 = off
    uint32_t allocCount;
    uint32_t liveCount;
};

static Win32Pages pages;

static int PagesFaultDue(void) {
    if (pages.failCountdown == 0) {
        return 0;
    }
    return --pages.failCountdown == 0;
}

uint32_t PlatformAllocationGranularity(void) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwAllocationGranularity;
}

void *PlatformPagesAlloc(uint32_t size) {
    if (PagesFaultDue() || size == 0) {
        return 0;
    }
    pages.allocCount++;
    void *block = VirtualAlloc(0, size, MEM_COMMIT, PAGE_READWRITE);
    if (block) {
        pages.liveCount++;
    }
    return block;
}

void PlatformPagesFree(void *block, uint32_t size) {
    (void)size; // MEM_RELEASE frees the whole allocation and wants 0
    if (!block) {
        return;
    }
    VirtualFree(block, 0, MEM_RELEASE);
    pages.liveCount--;
}

void PlatformPagesFailAt(uint32_t n) {
    pages.failCountdown = n;
}

uint32_t PlatformPagesAllocCount(void) {
    return pages.allocCount;
}

uint32_t PlatformPagesLiveCount(void) {
    return pages.liveCount;
}

// ---- Lock ------------------------------------------------------------------

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(PlatformLock::storage), "lock storage too small");
static_assert(alignof(CRITICAL_SECTION) <= alignof(PlatformLock), "lock storage misaligned");

static CRITICAL_SECTION *LockSection(PlatformLock *lock) {
    return (CRITICAL_SECTION *)lock->storage;
}

void PlatformLockInit(PlatformLock *lock, uint32_t spinCount) {
    // Fails only on systems older than any the stub runs on.
    InitializeCriticalSectionAndSpinCount(LockSection(lock), spinCount);
}

void PlatformLockEnter(PlatformLock *lock) {
    EnterCriticalSection(LockSection(lock));
}

void PlatformLockLeave(PlatformLock *lock) {
    LeaveCriticalSection(LockSection(lock));
}

void PlatformLockDelete(PlatformLock *lock) {
    DeleteCriticalSection(LockSection(lock));
}
