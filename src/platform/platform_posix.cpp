// The POSIX side of the platform seam (see platform.h).
#include "platform/platform.h"
#include "platform/system_pages.h"
#include "text/text_format.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// ---- Pages -----------------------------------------------------------------

// Windows hands out address space in 64 KiB granules; doing the same here
// keeps every size derived from the granularity equal on both systems.
const uint32_t POSIX_ALLOCATION_GRANULARITY = 64 * 1024;

static size_t PagesRoundUp(size_t size) {
    size_t pageSize = (size_t)sysconf(_SC_PAGESIZE);
    return (size + pageSize - 1) & ~(pageSize - 1);
}

uint32_t PlatformAllocationGranularity(void) {
    return POSIX_ALLOCATION_GRANULARITY;
}

// mmap aligns only to the page size: map one granule more than needed and
// unmap what lies before the first granule boundary and behind the block.
void *SystemPagesMap(uint32_t size) {
    size_t length = PagesRoundUp(size);
    size_t mapped = length + POSIX_ALLOCATION_GRANULARITY;
    if (mapped < length) {
        return 0;
    }
    void *base = mmap(0, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        return 0;
    }
    uintptr_t start = (uintptr_t)base;
    uintptr_t aligned =
        (start + POSIX_ALLOCATION_GRANULARITY - 1) & ~(uintptr_t)(POSIX_ALLOCATION_GRANULARITY - 1);
    uintptr_t end = start + mapped;
    if (aligned > start) {
        munmap(base, aligned - start);
    }
    if (end > aligned + length) {
        munmap((void *)(aligned + length), end - (aligned + length));
    }
    return (void *)aligned;
}

void SystemPagesUnmap(void *block, uint32_t size) {
    munmap(block, PagesRoundUp(size));
}

// ---- Lock ------------------------------------------------------------------

static_assert(sizeof(pthread_mutex_t) <= sizeof(PlatformLock::storage), "lock storage too small");
static_assert(alignof(pthread_mutex_t) <= alignof(PlatformLock), "lock storage misaligned");

static pthread_mutex_t *LockMutex(PlatformLock *lock) {
    return (pthread_mutex_t *)lock->storage;
}

void PlatformLockInit(PlatformLock *lock, uint32_t spinCount) {
    (void)spinCount; // a pthread mutex has no spin count to set
    pthread_mutex_init(LockMutex(lock), 0);
}

void PlatformLockEnter(PlatformLock *lock) {
    pthread_mutex_lock(LockMutex(lock));
}

void PlatformLockLeave(PlatformLock *lock) {
    pthread_mutex_unlock(LockMutex(lock));
}

void PlatformLockDelete(PlatformLock *lock) {
    pthread_mutex_destroy(LockMutex(lock));
}

// ---- Mapped files ----

// Mapped files on POSIX: open, fstat and read-only mmap views. The
// descriptor stays open as long as the views, as the file handle does on
// Windows.

int PlatformOpenFile(PlatformMappedFile *mappedFile, const char *path) {
    if (mappedFile == nullptr || path == nullptr) {
        return 0;
    }
    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return 0;
    }
    mappedFile->file = static_cast<uintptr_t>(descriptor) + 1;

    struct stat status;
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        return 0;
    }
    // The length is 32-bit everywhere in the format: 4 GiB and more is refused.
    if (status.st_size < 0 || static_cast<uint64_t>(status.st_size) > UINT32_MAX) {
        return 0;
    }
    mappedFile->length = static_cast<uint32_t>(status.st_size);
    return 1;
}

int PlatformOpenOwnExecutable(PlatformMappedFile *mappedFile) {
    return PlatformOpenFile(mappedFile, "/proc/self/exe");
}

void *SystemViewMap(const PlatformMappedFile *mappedFile, uint32_t start, uint32_t span) {
    // Every view is read through at once: its pages are mapped in one go,
    // not one fault at a time.
    void *base = mmap(nullptr, span, PROT_READ, MAP_PRIVATE | MAP_POPULATE,
                      static_cast<int>(mappedFile->file - 1), static_cast<off_t>(start));
    return base != MAP_FAILED ? base : nullptr;
}

void SystemViewUnmap(void *base, uint32_t span) {
    munmap(base, span);
}

int PlatformMapFile(PlatformMappedFile *mappedFile, const char *path) {
    if (!PlatformOpenFile(mappedFile, path)) {
        if (mappedFile != nullptr) {
            mappedFile->length = 0;
        }
        return 0;
    }
    if (mappedFile->length == 0) {
        return 1; // mmap refuses a length of 0; an empty file has no view
    }
    PlatformView view;
    mappedFile->view = PlatformViewMap(mappedFile, 0, mappedFile->length, &view);
    if (mappedFile->view == nullptr) {
        mappedFile->length = 0;
        return 0;
    }
    return 1;
}

int PlatformMapOwnExecutable(PlatformMappedFile *mappedFile) {
    return PlatformMapFile(mappedFile, "/proc/self/exe");
}

void PlatformUnmapFile(PlatformMappedFile *mappedFile) {
    if (mappedFile == nullptr) {
        return;
    }
    if (mappedFile->view != nullptr) {
        munmap(const_cast<unsigned char *>(mappedFile->view), mappedFile->length);
    }
    if (mappedFile->file != 0) {
        close(static_cast<int>(mappedFile->file - 1));
    }
    mappedFile->file = 0;
    mappedFile->mapping = 0;
    mappedFile->view = nullptr;
    mappedFile->length = 0;
}

// ---- Files and directories -------------------------------------------------

// The core's "\"-separated path as the system wants it, in a buffer of
// PLATFORM_MAX_PATH bytes. Returns 0 when it does not fit.
static int PosixPath(const char *path, char *posixPath) {
    if (path == nullptr) {
        return 0;
    }
    size_t length = strlen(path);
    if (length >= PLATFORM_MAX_PATH) {
        return 0;
    }
    for (size_t i = 0; i <= length; i++) {
        posixPath[i] = path[i] == '\\' ? '/' : path[i];
    }
    return 1;
}

int PlatformDirectoryCreate(const char *path) {
    char posixPath[PLATFORM_MAX_PATH];
    return PosixPath(path, posixPath) && mkdir(posixPath, 0755) == 0;
}

// Why the last file call of this seam failed: the clean-up after a failure
// (an unlink, a close) may set errno anew.
static int posixFileFailure;

// Keeps errno as the reason of a failure; returns 0.
static int PosixFileFailed(void) {
    posixFileFailure = errno;
    return 0;
}

int PlatformLastFailureIsDiskFull(void) {
    return posixFileFailure == ENOSPC || posixFileFailure == EDQUOT;
}

// Names of temporary files: the process id keeps two installers apart, the
// sequence keeps one process's files apart; a name taken all the same is
// skipped.
static uint32_t temporarySequence;
const uint32_t TEMPORARY_NAME_ATTEMPTS = 64;

// Writes all of size bytes, as often as the system takes fewer at a time.
static int PosixWriteAll(int descriptor, const unsigned char *bytes, uint32_t size) {
    while (size > 0) {
        ssize_t written = write(descriptor, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            errno = written == 0 ? ENOSPC : errno;
            return PosixFileFailed();
        }
        bytes += written;
        size -= static_cast<uint32_t>(written);
    }
    return 1;
}

// Creates a file that did not exist in the folder of folderLength bytes at
// folder and returns its descriptor, its path
// in temporaryPath; -1 when none could be made.
static int PosixTemporaryCreate(const char *folder, size_t folderLength, char *temporaryPath) {
    for (uint32_t attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS; attempt++) {
        uint32_t number = (static_cast<uint32_t>(getpid()) << 16) ^ temporarySequence++;
        int length = TextFormat(temporaryPath, PLATFORM_MAX_PATH, "%.*s\\~qu%x.tmp",
                                static_cast<int>(folderLength), folder, number);
        char posixPath[PLATFORM_MAX_PATH];
        if (length < 0 || static_cast<uint32_t>(length) >= PLATFORM_MAX_PATH ||
            !PosixPath(temporaryPath, posixPath)) {
            return -1;
        }
        int descriptor = open(posixPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor >= 0 || errno != EEXIST) {
            return descriptor >= 0 ? descriptor : PosixFileFailed() - 1;
        }
    }
    return -1;
}

// Writes the size bytes at data to the new file open as descriptor at path
// and closes it. Returns 1 when all of them were written and the close
// succeeded; else 0, and the file has been deleted.
static int PosixWriteNewFile(int descriptor, const char *path, const void *data, uint32_t size) {
    int written = PosixWriteAll(descriptor, static_cast<const unsigned char *>(data), size);
    // close reports write errors that the file system deferred.
    if (close(descriptor) != 0) {
        written = PosixFileFailed();
    }
    if (!written) {
        PlatformFileDelete(path);
    }
    return written;
}

uintptr_t PlatformFileCreateTemporary(const char *folder, size_t folderLength,
                                      char *temporaryPath) {
    temporaryPath[0] = 0;
    posixFileFailure = 0;
    if (folder == nullptr || folderLength == 0) {
        return 0;
    }
    int descriptor = PosixTemporaryCreate(folder, folderLength, temporaryPath);
    if (descriptor < 0) {
        temporaryPath[0] = 0;
        return 0;
    }
    return static_cast<uintptr_t>(descriptor) + 1;
}

int PlatformFileWrite(uintptr_t file, const void *data, uint32_t size) {
    return file != 0 && PosixWriteAll(static_cast<int>(file - 1),
                                      static_cast<const unsigned char *>(data), size);
}

int PlatformFileClose(uintptr_t file) {
    return file != 0 && (close(static_cast<int>(file - 1)) == 0 || PosixFileFailed());
}

int PlatformFileWriteNew(const char *path, const void *data, uint32_t size,
                         PlatformNewFileFailure *failure) {
    *failure = PLATFORM_NEW_FILE_NOT_CREATED;
    posixFileFailure = 0;
    char posixPath[PLATFORM_MAX_PATH];
    if (!PosixPath(path, posixPath) || (data == nullptr && size != 0)) {
        return 0;
    }
    int descriptor = open(posixPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        PosixFileFailed();
        if (posixFileFailure == ENOENT || posixFileFailure == ENOTDIR) {
            *failure = PLATFORM_NEW_FILE_NO_FOLDER;
        }
        return 0;
    }
    if (!PosixWriteNewFile(descriptor, path, data, size)) {
        *failure = PLATFORM_NEW_FILE_NOT_WRITTEN;
        return 0;
    }
    return 1;
}

// rename replaces a file whatever its mode, and unlink deletes it; Windows
// keeps a read-only one, and so does this backend, so that both keep such
// a file. POSIX has no hidden or system files.
int PlatformFileIsKept(const char *path) {
    char posixPath[PLATFORM_MAX_PATH];
    struct stat status;
    return PosixPath(path, posixPath) && lstat(posixPath, &status) == 0 &&
           (S_ISDIR(status.st_mode) ||
            (S_ISREG(status.st_mode) && (status.st_mode & S_IWUSR) == 0));
}

int PlatformFileReplace(const char *temporaryPath, const char *path) {
    char posixTemporary[PLATFORM_MAX_PATH];
    char posixPath[PLATFORM_MAX_PATH];
    if (!PosixPath(temporaryPath, posixTemporary) || !PosixPath(path, posixPath) ||
        PlatformFileIsKept(path)) {
        return 0;
    }
    return rename(posixTemporary, posixPath) == 0;
}

int PlatformFileDelete(const char *path) {
    char posixPath[PLATFORM_MAX_PATH];
    return PosixPath(path, posixPath) && unlink(posixPath) == 0;
}

int PlatformProcessorHasSse2(void) {
#if defined(__x86_64__)
    return 1;
#elif defined(__i386__)
    return __builtin_cpu_supports("sse2");
#else
    return 0;
#endif
}

PlatformPathKind PlatformPathKindGet(const char *path) {
    char posixPath[PLATFORM_MAX_PATH];
    struct stat status;
    if (!PosixPath(path, posixPath) || lstat(posixPath, &status) != 0) {
        return PLATFORM_PATH_NONE;
    }
    if (S_ISLNK(status.st_mode)) {
        return PLATFORM_PATH_LINK;
    }
    return S_ISDIR(status.st_mode) ? PLATFORM_PATH_FOLDER : PLATFORM_PATH_FILE;
}

int PlatformDirectoryRemove(const char *path) {
    char posixPath[PLATFORM_MAX_PATH];
    return PosixPath(path, posixPath) && rmdir(posixPath) == 0;
}
