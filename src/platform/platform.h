// The platform seam: the only interface through which the portable core
// reaches the operating system. One Win32 backend (platform_win32.cpp) and
// one POSIX backend (platform_posix.cpp) implement it; nothing else in the
// core includes <windows.h> or POSIX headers. The counting and fault
// injection of the page functions are the same for both and live once, in
// platform_pages.cpp, over the backends' SystemPagesMap/SystemPagesUnmap.
//
// Every function reports failure by a zero or null result.
#pragma once

#include <stddef.h>
#include <stdint.h>

// ---- Pages -----------------------------------------------------------------

// The system's allocation granularity: the alignment of every block of pages
// and the unit in which they are reserved. 64 KiB on Windows; the POSIX
// backend uses 64 KiB as well so that sizes derived from it are the same on
// both systems.
uint32_t PlatformAllocationGranularity(void);

// Commits size bytes of readable, writable memory starting on an
// allocation-granularity boundary, or returns null when the system refuses.
// The contents are zero.
void *PlatformPagesAlloc(uint32_t size);

// Returns a block that PlatformPagesAlloc gave out; size is the size that
// was asked for.
void PlatformPagesFree(void *pages, uint32_t size);

// Test seam: makes the n-th PlatformPagesAlloc call from now fail
// (1 = the next call); 0 switches the failure off. Calls that fail this way
// do not touch the system.
void PlatformPagesFailAt(uint32_t n);

// Number of PlatformPagesAlloc calls that reached the system since start,
// and of blocks currently committed: lets tests see regions come and go.
uint32_t PlatformPagesAllocCount(void);
uint32_t PlatformPagesLiveCount(void);

// ---- Lock ------------------------------------------------------------------

// A non-recursive-use mutual-exclusion lock (a critical section on Windows,
// a pthread mutex on POSIX). The storage is large and aligned enough for
// either; only the backend looks inside.
struct PlatformLock {
    alignas(16) unsigned char storage[64];
};

// Initialises the lock; spinCount is honoured where the system has one.
void PlatformLockInit(PlatformLock *lock, uint32_t spinCount);
void PlatformLockEnter(PlatformLock *lock);
void PlatformLockLeave(PlatformLock *lock);
void PlatformLockDelete(PlatformLock *lock);

// ---- Mapped files ----------------------------------------------------------

// A whole file mapped read-only. Each field is zero until the step that sets
// it: file (the open file: a HANDLE on Windows, the descriptor plus one on
// POSIX), mapping (the file-mapping HANDLE on Windows; POSIX has none),
// view (the file's first byte) and length (the file's length in bytes).
// Only the backend interprets file and mapping.
struct PlatformMappedFile {
    uintptr_t file;
    uintptr_t mapping;
    const unsigned char *view;
    uint32_t length;
};

// Maps the program's own executable file (Windows: the module's path taken
// as a wide string, so that no character is lost to the code page; POSIX:
// /proc/self/exe). The file is opened for reading and shared for reading
// only, so that nobody can write to it while it is mapped. Returns 1 with
// file, view and length set (and mapping on Windows), 0 on failure: the
// path does not fit MAX_PATH, the file cannot be opened, is 4 GiB or
// longer, or cannot be mapped. After a failure
// the record holds whatever had been set; PlatformUnmapFile releases it.
// mappedFile must be all zero on entry.
int PlatformMapOwnExecutable(PlatformMappedFile *mappedFile);

// Same as PlatformMapOwnExecutable for the file at path (an 8-bit path in
// the system's own form). An empty file gives 1 with length 0 and no
// mapping and no view.
int PlatformMapFile(PlatformMappedFile *mappedFile, const char *path);

// Same as PlatformMapOwnExecutable and PlatformMapFile, but no view is
// mapped: view stays null, and the file is read through PlatformViewMap,
// so that a file of up to 4 GiB less one byte needs no more address space
// than the views taken of it at a time.
int PlatformOpenOwnExecutable(PlatformMappedFile *mappedFile);
int PlatformOpenFile(PlatformMappedFile *mappedFile, const char *path);

// One view of part of a file: base and length as mapped, for the unmap.
struct PlatformView {
    void *base;
    uint32_t length;
};

// Maps length bytes (not 0) from offset of a file that PlatformOpen* or
// PlatformMap* opened. The view starts at offset rounded down to the
// allocation granularity, so it spans up to that much more. Returns the
// address of the byte at offset, with view set for PlatformViewUnmap; null
// when the range does not lie inside the file or the system refused, and
// then view is all zero.
const unsigned char *PlatformViewMap(const PlatformMappedFile *mappedFile, uint32_t offset,
                                     uint32_t length, PlatformView *view);

// Unmaps a view and clears it; a view that is all zero is left as it is.
void PlatformViewUnmap(PlatformView *view);

// Releases what the record holds, in reverse order (view, mapping, file),
// and clears it. A record that is all zero is left as it is.
void PlatformUnmapFile(PlatformMappedFile *mappedFile);

// ---- Files and directories -------------------------------------------------

// Paths here are 8-bit, NUL-terminated and use "\" as the separator; the
// POSIX backend turns every "\" into "/" before it calls the system, so the
// core builds the same paths on both systems. A path must fit
// PLATFORM_MAX_PATH bytes with its terminator, or the call fails.
const uint32_t PLATFORM_MAX_PATH = 260;

// A temporary file's name in its folder is at most this long ("~qu", up to
// eight hex digits, ".tmp"): a folder leaves room for one when its path
// plus "\" plus this many characters fits PLATFORM_MAX_PATH.
const uint32_t PLATFORM_TEMPORARY_NAME_MAX = 15;

// Creates the directory at path (Windows: CreateDirectoryA; POSIX: mkdir
// with mode 0755 before the umask). Returns 1 when it was created, 0 when it
// was not: it exists already, its parent is missing, access is denied.
int PlatformDirectoryCreate(const char *path);

// Creates a new file in the folder named by the first folderLength bytes
// of folder (no trailing "\"), writes the size bytes at data to it (none
// for size 0) and closes it. The new file's name is one that no file had:
// it is created exclusively, trying further names when one is taken.
// Returns 1 with the new file's path, in the same form as folder, in
// temporaryPath (PLATFORM_MAX_PATH bytes); 0 when the file could not be
// created, fewer than size bytes were written or the close failed, and then
// nothing is left behind and temporaryPath holds an empty string.
int PlatformFileWriteTemporary(const char *folder, size_t folderLength, const void *data,
                               uint32_t size, char *temporaryPath);

// A file written piece by piece: a new temporary file as made by
// PlatformFileWriteTemporary, but left open (a HANDLE on Windows, the
// descriptor plus one on POSIX). Returns it, not 0, with its path in
// temporaryPath; 0 with an empty temporaryPath when none could be created.
uintptr_t PlatformFileCreateTemporary(const char *folder, size_t folderLength, char *temporaryPath);

// Appends the size bytes at data to file. Returns 1 when all of them were
// written, else 0.
int PlatformFileWrite(uintptr_t file, const void *data, uint32_t size);

// Closes file. Returns 1 when the close succeeded, 0 when it reported an
// error the system had deferred (the file's content is then not to be
// trusted).
int PlatformFileClose(uintptr_t file);

// Why PlatformFileWriteNew left path without the new file.
enum PlatformNewFileFailure {
    PLATFORM_NEW_FILE_NOT_CREATED = 1, // something stands at path, or the system refused:
                                       // nothing was created
    PLATFORM_NEW_FILE_NO_FOLDER,       // a folder along path is missing
    PLATFORM_NEW_FILE_NOT_WRITTEN      // created, but not written in full: deleted again
};

// Creates the file at path only when nothing stands there (Windows:
// CreateFileA with CREATE_NEW; POSIX: open with O_CREAT and O_EXCL, which
// follows no link), writes the size bytes at data to it (none for size 0)
// and closes it. Returns 1 when path holds the new file; 0 with the reason
// in *failure otherwise, and then nothing that stood at path was touched
// and no new file is left there.
int PlatformFileWriteNew(const char *path, const void *data, uint32_t size,
                         PlatformNewFileFailure *failure);

// Puts the file at temporaryPath in the place of the file at path in one
// step (Windows: MoveFileExA with MOVEFILE_REPLACE_EXISTING and
// MOVEFILE_WRITE_THROUGH; POSIX: rename). Returns 1 when path now holds the
// new file; 0 when it could not be replaced (in use, read-only, hidden or
// system on Windows, a directory), and then both files are as they were.
// On Windows a move refused for sharing or access is tried again, five
// times within about a second: another program may hold the file a moment.
int PlatformFileReplace(const char *temporaryPath, const char *path);

#ifdef _WIN32
// The move PlatformFileReplace tries (MoveFileExA as above unless a test
// points it elsewhere): 1 when it was done, else 0 with the reason in
// GetLastError.
typedef int (*PlatformFileMoveFunction)(const char *from, const char *to);
extern PlatformFileMoveFunction platformFileMove;
#endif

// Deletes the file at path. Returns 1 when it was deleted, else 0.
int PlatformFileDelete(const char *path);

// 1 when what stands at path is never replaced or deleted by either
// program: a folder, or a file that is read-only (both systems), hidden or
// system (Windows): the user's, whatever its name. 0 for an ordinary file
// or nothing.
int PlatformFileIsKept(const char *path);

// 1 when the last file call of this seam that failed (creating, writing,
// closing) failed for want of space on the disk (Windows: ERROR_DISK_FULL,
// ERROR_HANDLE_DISK_FULL; POSIX: ENOSPC, EDQUOT), else 0. The backends keep
// the reason across the clean-up that follows a failure, and forget it when
// a new file is begun (PlatformFileWriteNew, PlatformFileCreateTemporary).
int PlatformLastFailureIsDiskFull(void);

// ---- Processor ---------------------------------------------------------------

// 1 when the processor runs SSE2 instructions (always on x86-64; on 32-bit
// x86 Windows asks the system), 0 otherwise: code built for SSE2 runs only
// after this said 1.
int PlatformProcessorHasSse2(void);

// What a path names, as seen without following it: nothing (or a path too
// long), a file, a folder, or a link: a symbolic link, or on Windows a
// junction (see PlatformPathKindFromAttributes). Folders are walked only
// through PLATFORM_PATH_FOLDER: a link may lead anywhere.
enum PlatformPathKind {
    PLATFORM_PATH_NONE = 0,
    PLATFORM_PATH_FILE,
    PLATFORM_PATH_FOLDER,
    PLATFORM_PATH_LINK,
};

// The Windows bits PlatformPathKindFromAttributes reads.
const uint32_t PLATFORM_WIN32_ATTRIBUTE_DIRECTORY = 0x10;
const uint32_t PLATFORM_WIN32_ATTRIBUTE_REPARSE_POINT = 0x400;
const uint32_t PLATFORM_WIN32_REPARSE_TAG_NAME_SURROGATE = 0x20000000;

// The kind of a Windows path from its attributes and, for a reparse point,
// its reparse tag. Only a reparse point that stands for another name (its
// tag marked a name surrogate: a junction, a symbolic link) is a link;
// the others are files and folders like any other, which the system
// compresses (WOF), deduplicates or keeps in the cloud, and which are read
// and deleted as they are. Pure, so that it is tested anywhere.
PlatformPathKind PlatformPathKindFromAttributes(uint32_t attributes, uint32_t reparseTag);

PlatformPathKind PlatformPathKindGet(const char *path);

// Removes the folder at path when it is empty. Returns 1 when it was
// removed, else 0 (not empty, missing, in use, access denied).
int PlatformDirectoryRemove(const char *path);
