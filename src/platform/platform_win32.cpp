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

// ---- Mapped files ----

// Mapped files on Windows: CreateFile, GetFileSize, CreateFileMappingA and
// one read-only view of the whole file.

// Maps the file already opened into mappedFile->file.
static int MapOpenFile(PlatformMappedFile *mappedFile) {
    HANDLE file = reinterpret_cast<HANDLE>(mappedFile->file);
    DWORD high = 0;
    SetLastError(NO_ERROR); // a file of 4 GiB - 1 bytes reads as INVALID_FILE_SIZE too
    DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        return 0;
    }
    if (high != 0) {
        return 0; // 4 GiB or more: the format's lengths are 32-bit
    }
    if (low == 0) {
        return 1; // an empty file cannot be mapped; it has no view
    }
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        return 0;
    }
    mappedFile->mapping = reinterpret_cast<uintptr_t>(mapping);
    void *view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (view == nullptr) {
        return 0;
    }
    mappedFile->view = static_cast<const unsigned char *>(view);
    mappedFile->length = low;
    return 1;
}

int PlatformMapOwnExecutable(PlatformMappedFile *mappedFile) {
    if (mappedFile == nullptr) {
        return 0;
    }
    // The wide path keeps characters that the ANSI code page cannot hold. A
    // result of MAX_PATH means the path was cut: refuse rather than open
    // some other file.
    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return 0;
    }
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    mappedFile->file = reinterpret_cast<uintptr_t>(file);
    return MapOpenFile(mappedFile);
}

int PlatformMapFile(PlatformMappedFile *mappedFile, const char *path) {
    if (mappedFile == nullptr || path == nullptr) {
        return 0;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    mappedFile->file = reinterpret_cast<uintptr_t>(file);
    return MapOpenFile(mappedFile);
}

void PlatformUnmapFile(PlatformMappedFile *mappedFile) {
    if (mappedFile == nullptr) {
        return;
    }
    if (mappedFile->view != nullptr) {
        UnmapViewOfFile(mappedFile->view);
    }
    if (mappedFile->mapping != 0) {
        CloseHandle(reinterpret_cast<HANDLE>(mappedFile->mapping));
    }
    if (mappedFile->file != 0) {
        CloseHandle(reinterpret_cast<HANDLE>(mappedFile->file));
    }
    mappedFile->file = 0;
    mappedFile->mapping = 0;
    mappedFile->view = nullptr;
    mappedFile->length = 0;
}
