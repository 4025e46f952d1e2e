// The Win32 side of the platform seam (see platform.h).
#include "platform/platform.h"
#include "platform/system_pages.h"
#include "text/text_format.h"

#include <windows.h>

#include <string.h>

// ---- Pages -----------------------------------------------------------------

uint32_t PlatformAllocationGranularity(void) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwAllocationGranularity;
}

void *SystemPagesMap(uint32_t size) {
    return VirtualAlloc(0, size, MEM_COMMIT, PAGE_READWRITE);
}

void SystemPagesUnmap(void *block, uint32_t size) {
    (void)size; // MEM_RELEASE frees the whole allocation and wants 0
    VirtualFree(block, 0, MEM_RELEASE);
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
// read-only views of the mapping.

// Sets up the mapping of the file already opened into mappedFile->file.
static int Win32MappingCreate(PlatformMappedFile *mappedFile) {
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
    mappedFile->length = low;
    return 1;
}

void *SystemViewMap(const PlatformMappedFile *mappedFile, uint32_t start, uint32_t span) {
    if (mappedFile->mapping == 0) {
        return nullptr; // an empty file has no mapping
    }
    return MapViewOfFile(reinterpret_cast<HANDLE>(mappedFile->mapping), FILE_MAP_READ, 0, start,
                         span);
}

void SystemViewUnmap(void *base, uint32_t span) {
    (void)span; // a view is unmapped whole
    UnmapViewOfFile(base);
}

// Maps the whole of a file opened for views.
static int Win32MapWhole(PlatformMappedFile *mappedFile) {
    if (mappedFile->length == 0) {
        return 1;
    }
    PlatformView view;
    mappedFile->view = PlatformViewMap(mappedFile, 0, mappedFile->length, &view);
    if (mappedFile->view == nullptr) {
        mappedFile->length = 0;
        return 0;
    }
    return 1;
}

int PlatformOpenOwnExecutable(PlatformMappedFile *mappedFile) {
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
    return Win32MappingCreate(mappedFile);
}

int PlatformOpenFile(PlatformMappedFile *mappedFile, const char *path) {
    if (mappedFile == nullptr || path == nullptr) {
        return 0;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    mappedFile->file = reinterpret_cast<uintptr_t>(file);
    return Win32MappingCreate(mappedFile);
}

int PlatformMapOwnExecutable(PlatformMappedFile *mappedFile) {
    return PlatformOpenOwnExecutable(mappedFile) && Win32MapWhole(mappedFile);
}

int PlatformMapFile(PlatformMappedFile *mappedFile, const char *path) {
    return PlatformOpenFile(mappedFile, path) && Win32MapWhole(mappedFile);
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

// ---- Files and directories -------------------------------------------------

int PlatformDirectoryCreate(const char *path) {
    return path != nullptr && strlen(path) < PLATFORM_MAX_PATH &&
           CreateDirectoryA(path, nullptr) != 0;
}

// Why the last file call of this seam failed: the clean-up after a failure
// (a delete, a close) may set the thread's last error anew.
static DWORD win32FileFailure;

// Keeps the last error as the reason of a failure; returns error.
static DWORD Win32FileFailureKeep(DWORD error) {
    win32FileFailure = error;
    return error;
}

int PlatformLastFailureIsDiskFull(void) {
    return win32FileFailure == ERROR_DISK_FULL || win32FileFailure == ERROR_HANDLE_DISK_FULL;
}

// Names of temporary files: the process id keeps two installers apart, the
// sequence keeps one process's files apart; a name taken all the same is
// skipped.
static uint32_t temporarySequence;
const uint32_t TEMPORARY_NAME_ATTEMPTS = 64;

// Creates a file that did not exist in the folder of folderLength bytes at
// folder. Returns its handle and its path in temporaryPath;
// INVALID_HANDLE_VALUE when none could be made.
static HANDLE Win32TemporaryCreate(const char *folder, size_t folderLength, char *temporaryPath) {
    for (uint32_t attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS; attempt++) {
        uint32_t number =
            (static_cast<uint32_t>(GetCurrentProcessId()) << 16) ^ temporarySequence++;
        int length =
            TextFormat(temporaryPath, PLATFORM_MAX_PATH, "%.*s\\~qu%x.tmp",
                       static_cast<int>(folderLength), folder, static_cast<unsigned>(number));
        if (length < 0 || static_cast<uint32_t>(length) >= PLATFORM_MAX_PATH) {
            break;
        }
        HANDLE file = CreateFileA(temporaryPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD error =
            file == INVALID_HANDLE_VALUE ? Win32FileFailureKeep(GetLastError()) : NO_ERROR;
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            return file;
        }
    }
    return INVALID_HANDLE_VALUE;
}

// Writes the size bytes at data to the new file at path and closes it.
// Returns 1 when all of them were written and the close succeeded; else 0,
// and the file has been deleted.
static int Win32WriteNewFile(HANDLE file, const char *path, const void *data, uint32_t size) {
    int complete = PlatformFileWrite(reinterpret_cast<uintptr_t>(file), data, size);
    if (!PlatformFileClose(reinterpret_cast<uintptr_t>(file))) {
        complete = 0;
    }
    if (!complete) {
        DeleteFileA(path);
    }
    return complete;
}

uintptr_t PlatformFileCreateTemporary(const char *folder, size_t folderLength,
                                      char *temporaryPath) {
    temporaryPath[0] = 0;
    Win32FileFailureKeep(NO_ERROR);
    if (folder == nullptr || folderLength == 0) {
        return 0;
    }
    HANDLE file = Win32TemporaryCreate(folder, folderLength, temporaryPath);
    if (file == INVALID_HANDLE_VALUE) {
        temporaryPath[0] = 0;
        return 0;
    }
    return reinterpret_cast<uintptr_t>(file);
}

int PlatformFileWrite(uintptr_t file, const void *data, uint32_t size) {
    if (file == 0) {
        return 0;
    }
    // The count decides: a short write (disk full) may still report success.
    DWORD written = 0;
    if (size > 0 && !WriteFile(reinterpret_cast<HANDLE>(file), data, size, &written, nullptr)) {
        Win32FileFailureKeep(GetLastError());
    } else if (written != size) {
        Win32FileFailureKeep(ERROR_DISK_FULL);
    }
    return written == size;
}

int PlatformFileClose(uintptr_t file) {
    if (file != 0 && CloseHandle(reinterpret_cast<HANDLE>(file))) {
        return 1;
    }
    Win32FileFailureKeep(GetLastError());
    return 0;
}

int PlatformFileWriteNew(const char *path, const void *data, uint32_t size,
                         PlatformNewFileFailure *failure) {
    *failure = PLATFORM_NEW_FILE_NOT_CREATED;
    Win32FileFailureKeep(NO_ERROR);
    if (path == nullptr || strlen(path) >= PLATFORM_MAX_PATH || (data == nullptr && size != 0)) {
        return 0;
    }
    HANDLE file =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (Win32FileFailureKeep(GetLastError()) == ERROR_PATH_NOT_FOUND) {
            *failure = PLATFORM_NEW_FILE_NO_FOLDER;
        }
        return 0;
    }
    if (!Win32WriteNewFile(file, path, data, size)) {
        *failure = PLATFORM_NEW_FILE_NOT_WRITTEN;
        return 0;
    }
    return 1;
}

// Windows refuses to replace a read-only file, and CreateFile refuses to
// overwrite a hidden or system one, but not every implementation of the API
// does (Wine replaces and deletes them all), and a rename replaces hidden
// and system files on Windows too: ask first, so that such a file is kept
// everywhere. A directory in the way can never be replaced; asking spares
// the retries.
int PlatformFileIsKept(const char *path) {
    DWORD attributes = GetFileAttributesA(path);
    const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                       FILE_ATTRIBUTE_DIRECTORY;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & kept) != 0;
}

static int Win32FileMove(const char *from, const char *to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

PlatformFileMoveFunction platformFileMove = Win32FileMove;

// Virus scanners and the search indexer open a file for a moment once it
// has been closed, and the move fails with one of these while they look:
// worth a few more tries. Any other error is final.
static int Win32MoveErrorIsPassing(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}

// Waits before the second to fifth try: 750 ms in all.
static const DWORD kMoveRetryWaitsMs[] = {50, 100, 200, 400};

int PlatformFileReplace(const char *temporaryPath, const char *path) {
    if (temporaryPath == nullptr || path == nullptr || PlatformFileIsKept(path)) {
        return 0;
    }
    for (size_t attempt = 0;; attempt++) {
        if (platformFileMove(temporaryPath, path)) {
            return 1;
        }
        if (attempt == sizeof kMoveRetryWaitsMs / sizeof kMoveRetryWaitsMs[0] ||
            !Win32MoveErrorIsPassing(GetLastError())) {
            return 0;
        }
        Sleep(kMoveRetryWaitsMs[attempt]);
    }
}

int PlatformFileDelete(const char *path) {
    return path != nullptr && DeleteFileA(path) != 0;
}

int PlatformProcessorHasSse2(void) {
    return IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE) != 0;
}
