// File extraction (see extract.h).
#include "package/extract.h"

#include <string.h>

#include "heap/region_heap.h"
#include "package/relative_names.h"
#include "platform/platform.h"
#include "text/text_format.h"

ExtractDirectoryCreateFunction extractDirectoryCreate = PlatformDirectoryCreate;

// ---- Names and paths ---------------------------------------------------------

int ExtractNameIsSafe(const char *name) {
    return EntryNameProblem(name) == NAME_SOUND;
}

int ExtractPathBuild(char *path, const char *directory, const char *name) {
    int length = TextFormat(path, PLATFORM_MAX_PATH, "%s%s", directory, name);
    if (length < 0 || static_cast<uint32_t>(length) >= PLATFORM_MAX_PATH) {
        path[0] = 0;
        return 0;
    }
    return 1;
}

// Creates the folder of path that ends at separator; 1 when it was made.
static int FolderCreateAt(char *path, char *separator) {
    *separator = 0;
    int made = extractDirectoryCreate(path);
    *separator = '\\';
    return made;
}

void MakeParentDirectories(char *path) {
    // The first four characters are never looked at: "C:\" is not created.
    if (!TextHasLength(path, 4)) {
        return;
    }
    // Deepest first: a file that needs a folder mostly needs only its own.
    // A folder that cannot be made (its parent is missing, or it exists)
    // sends the walk one folder up; from the first one made, or the top,
    // the folders below it are made in order.
    char *top = path + 4;
    char *from = nullptr;
    for (char *c = path + strlen(path); c > top;) {
        if (*--c == '\\') {
            from = c;
            if (FolderCreateAt(path, c)) {
                break;
            }
        }
    }
    if (from == nullptr) {
        return; // no folder in path
    }
    for (char *c = from + 1; *c != 0; c++) {
        if (*c == '\\') {
            FolderCreateAt(path, c);
        }
    }
}

// ---- One entry -----------------------------------------------------------------

// A file that could not be made is told apart when the disk was full: the
// user can mend that.
static int ExtractFail(ExtractFailure *failure, ExtractFailure reason) {
    if (reason == EXTRACT_NOT_CREATED && PlatformLastFailureIsDiskFull()) {
        reason = EXTRACT_DISK_FULL;
    }
    if (failure != nullptr) {
        *failure = reason;
    }
    return 0;
}

// 1 when the bytes the entry inflated to are exactly the record's: size of
// them (a short stream would leave heap garbage in the file) adding up to
// dataSum. The stream's own Adler-32 is not consulted; the byte sum is the
// package's check.
static int ExtractInflationMatches(const DirectoryRecord *record,
                                   const PackageInflation *inflation) {
    return inflation->produced == DirectoryRecordSize(record) &&
           inflation->sum == DirectoryRecordDataSum(record);
}

// The folder a temporary file for path goes in: path's own, so that the
// move stays a rename within the folder, when a temporary name fits there.
// A path that fits MAX_PATH may end in a name shorter than a temporary
// one; its temporary file then goes to spareFolder (the install directory,
// checked to hold one) and path's folders are made first, since the move
// needs them. Returns the folder's length in *folderLength.
static const char *ExtractTemporaryFolder(char *path, const char *spareFolder,
                                          size_t *folderLength) {
    const char *separator = strrchr(path, '\\');
    *folderLength = separator != nullptr ? static_cast<size_t>(separator - path) : 0;
    if (*folderLength + 1 + PLATFORM_TEMPORARY_NAME_MAX < PLATFORM_MAX_PATH ||
        spareFolder == nullptr) {
        return path;
    }
    MakeParentDirectories(path);
    *folderLength = strlen(spareFolder);
    return spareFolder;
}

// Writes the size verified bytes of block (null for size 0) to a
// temporary file and moves it into path's place: the file that stands
// there is kept whole until the new one is complete.
static int ExtractReplace(char *path, const char *spareFolder, const unsigned char *block,
                          uint32_t size, ExtractFailure *failure) {
    char temporaryPath[PLATFORM_MAX_PATH];
    size_t folderLength = 0;
    const char *folder = ExtractTemporaryFolder(path, spareFolder, &folderLength);
    // path's folders exist by now: something stands at path.
    if (!PlatformFileWriteTemporary(folder, folderLength, block, size, temporaryPath)) {
        return ExtractFail(failure, EXTRACT_NOT_CREATED);
    }
    if (!PlatformFileReplace(temporaryPath, path)) {
        PlatformFileDelete(temporaryPath);
        return ExtractFail(failure, EXTRACT_NOT_REPLACED);
    }
    return 1;
}

// Puts the size verified bytes of block at path. Where nothing stands, the
// file is created there exclusively and deleted again when it cannot be
// written in full: there is nothing to protect, and a temporary file and a
// move would double the file system's work. Anything else at path (a file,
// a folder, a refusal) goes the way of ExtractReplace.
static int ExtractWrite(char *path, const char *spareFolder, const unsigned char *block,
                        uint32_t size, ExtractFailure *failure) {
    PlatformNewFileFailure newFailure = PLATFORM_NEW_FILE_NOT_CREATED;
    if (PlatformFileWriteNew(path, block, size, &newFailure)) {
        return 1;
    }
    if (newFailure == PLATFORM_NEW_FILE_NO_FOLDER) {
        // Folders are made when the first try shows a need: most files go
        // into folders that exist by then, and a call per folder per file
        // costs as much as writing a small file.
        MakeParentDirectories(path);
        if (PlatformFileWriteNew(path, block, size, &newFailure)) {
            return 1;
        }
    }
    if (newFailure != PLATFORM_NEW_FILE_NOT_CREATED) {
        return ExtractFail(failure, EXTRACT_NOT_CREATED);
    }
    return ExtractReplace(path, spareFolder, block, size, failure);
}

// One block for the entries of an extraction, grown to the largest entry
// so far and released at its end: an entry larger than a standard region
// would otherwise map and unmap fresh pages of its own each time.
struct ExtractBuffer {
    unsigned char *block;
    uint32_t capacity;
};

// The block is never smaller than this, so that it always has a region of
// its own: its pages go back to the system when it grows or is released.
// Cut from a standard region, it would leave every page it had touched
// resident behind the directory, which keeps that region. Pages that are
// never touched cost no memory.
const uint32_t EXTRACT_BUFFER_MINIMUM = 1u << 20;
static_assert(EXTRACT_BUFFER_MINIMUM > REGION_HEAP_REGION_GRANULES * (64u << 10),
              "the buffer must not fit a standard region");

// A block of at least size bytes (size not 0), or null when the heap has
// none. The smaller block is released before the larger one is asked for,
// so that at most one entry's worth is held.
static unsigned char *ExtractBufferFor(ExtractBuffer *buffer, uint32_t size) {
    if (size > buffer->capacity) {
        RegionHeapFree(buffer->block);
        size = size > EXTRACT_BUFFER_MINIMUM ? size : EXTRACT_BUFFER_MINIMUM;
        buffer->block = static_cast<unsigned char *>(RegionHeapAlloc(size));
        buffer->capacity = buffer->block != nullptr ? size : 0;
    }
    return buffer->block;
}

uint32_t extractLargeEntry = EXTRACT_LARGE_ENTRY;
uint32_t extractPieceSize = EXTRACT_PIECE_SIZE;

// The temporary file a large entry is inflated into, piece by piece.
struct ExtractPieces {
    uintptr_t file;
    int writeFailed;
};

static int ExtractPieceWrite(void *context, const unsigned char *bytes, uint32_t count) {
    ExtractPieces *pieces = static_cast<ExtractPieces *>(context);
    pieces->writeFailed = !PlatformFileWrite(pieces->file, bytes, count);
    return !pieces->writeFailed;
}

// An entry larger than extractLargeEntry: inflated in pieces of the
// buffer's size straight into a temporary file beside path, checked as the
// bytes go by, and put in path's place only when all of it has been
// checked; otherwise the temporary file is deleted and path keeps what it
// held.
static int ExtractEntryInPieces(const DirectoryRecord *record, char *path, const char *spareFolder,
                                unsigned char *block, uint32_t capacity, ExtractFailure *failure) {
    char temporaryPath[PLATFORM_MAX_PATH];
    size_t folderLength = 0;
    const char *folder = ExtractTemporaryFolder(path, spareFolder, &folderLength);
    ExtractPieces pieces = {PlatformFileCreateTemporary(folder, folderLength, temporaryPath), 0};
    if (pieces.file == 0 && folder == path) {
        // As for small entries, folders are made when the first try shows
        // a need.
        MakeParentDirectories(path);
        pieces.file = PlatformFileCreateTemporary(folder, folderLength, temporaryPath);
    }
    if (pieces.file == 0) {
        return ExtractFail(failure, EXTRACT_NOT_CREATED);
    }
    PackageInflation inflation;
    int read = PackageEntryInflate(record, block, capacity, ExtractPieceWrite, &pieces, &inflation);
    int closed = PlatformFileClose(pieces.file);
    ExtractFailure reason = EXTRACT_NOT_REPLACED;
    if (pieces.writeFailed || !closed) {
        reason = EXTRACT_NOT_CREATED;
    } else if (!read) {
        reason = EXTRACT_NO_MEMORY; // no view of the stream could be mapped
    } else if (!ExtractInflationMatches(record, &inflation)) {
        reason = EXTRACT_DAMAGED;
    } else if (PlatformFileReplace(temporaryPath, path)) {
        return 1;
    }
    PlatformFileDelete(temporaryPath);
    return ExtractFail(failure, reason);
}

static int ExtractEntryBuffered(const DirectoryRecord *record, char *path, const char *spareFolder,
                                ExtractBuffer *buffer, ExtractFailure *failure) {
    uint32_t size = DirectoryRecordSize(record);
    if (size == 0) {
        // Nothing to inflate: its dataSum can only be 0.
        if (DirectoryRecordDataSum(record) != 0) {
            return ExtractFail(failure, EXTRACT_DAMAGED);
        }
        return ExtractWrite(path, spareFolder, nullptr, 0, failure);
    }
    uint32_t capacity = size > extractLargeEntry ? extractPieceSize : size;
    unsigned char *block = ExtractBufferFor(buffer, capacity);
    if (block == nullptr) {
        return ExtractFail(failure, EXTRACT_NO_MEMORY);
    }
    if (size > extractLargeEntry) {
        return ExtractEntryInPieces(record, path, spareFolder, block, capacity, failure);
    }
    PackageInflation inflation;
    if (!PackageEntryInflate(record, block, size, nullptr, nullptr, &inflation)) {
        return ExtractFail(failure, EXTRACT_NO_MEMORY);
    }
    if (!ExtractInflationMatches(record, &inflation)) {
        return ExtractFail(failure, EXTRACT_DAMAGED);
    }
    return ExtractWrite(path, spareFolder, block, size, failure);
}

int ExtractEntryToFile(const DirectoryRecord *record, char *path, const char *spareFolder,
                       ExtractFailure *failure) {
    ExtractBuffer buffer = {nullptr, 0};
    int written = ExtractEntryBuffered(record, path, spareFolder, &buffer, failure);
    RegionHeapFree(buffer.block);
    return written;
}

// ---- All entries -----------------------------------------------------------------

// 32 bits hold it: the open refuses a package whose installable sizes add
// up to 4 GiB or more, so the sum cannot wrap to nothing and skip the
// extraction with success reported.
uint32_t ExtractInstallableTotal(void) {
    uint32_t total = 0;
    for (const DirectoryRecord *record = PackageFirstRecord(); record != nullptr;
         record = PackageNextRecord(record)) {
        if (!DirectoryRecordIsInternal(record)) {
            total += DirectoryRecordSize(record);
        }
    }
    return total;
}

// Not inlined: its division needs an 8-byte-aligned stack slot, and
// inlined it would make the compiler realign the whole frame of
// ExtractOne (152 bytes of the stub's code).
__attribute__((noinline)) static void
ExtractShowProgress(const ExtractionHooks *hooks, const char *path, uint32_t done, uint32_t total) {
    if (hooks->progress == nullptr) {
        return;
    }
    // A path too long for the line is cut: TextFormat never overflows it
    // and always terminates it.
    char text[PLATFORM_MAX_PATH];
    TextFormat(text, sizeof text, "Unpacking: %s", path);
    hooks->progress(text, static_cast<float>(static_cast<double>(done) / total));
}

// Handles one installable entry; returns 0 when it was written, else why
// it was not.
static int ExtractOne(const ExtractionHooks *hooks, const char *installDirectory,
                      const DirectoryRecord *record, ExtractBuffer *buffer, uint32_t *done,
                      uint32_t total) {
    uint32_t doneBefore = *done;
    // Done advances before the file is touched: an entry that fails still
    // counts as handled in the fractions of the entries after it.
    *done += DirectoryRecordSize(record);
    char path[PLATFORM_MAX_PATH];
    ExtractFailure failure = EXTRACT_NAME_UNSAFE;
    if (!ExtractNameIsSafe(DirectoryRecordName(record))) {
        failure = EXTRACT_NAME_UNSAFE;
    } else if (!ExtractPathBuild(path, installDirectory, DirectoryRecordName(record))) {
        failure = EXTRACT_PATH_TOO_LONG;
    } else {
        ExtractShowProgress(hooks, path, doneBefore, total);
        if (hooks->admit != nullptr && !hooks->admit(record, path)) {
            failure = EXTRACT_REFUSED;
        } else if (ExtractEntryBuffered(record, path, installDirectory, buffer, &failure)) {
            return 0;
        }
    }
    if (hooks->failed != nullptr) {
        hooks->failed(record,
                      failure == EXTRACT_NAME_UNSAFE || failure == EXTRACT_PATH_TOO_LONG
                          ? installDirectory
                          : path,
                      failure);
    }
    return failure;
}

void ExtractAllFilesWithHooks(const char *installDirectory, const ExtractionHooks *hooks,
                              ExtractionReport *report) {
    ExtractionReport counts = {};
    ExtractionHooks none = {nullptr, nullptr, nullptr};
    if (hooks == nullptr) {
        hooks = &none;
    }
    uint32_t total = installDirectory != nullptr ? ExtractInstallableTotal() : 0;
    uint32_t done = 0;
    ExtractBuffer buffer = {nullptr, 0};
    for (const DirectoryRecord *record = total != 0 ? PackageFirstRecord() : nullptr;
         record != nullptr; record = PackageNextRecord(record)) {
        if (DirectoryRecordIsInternal(record)) {
            continue;
        }
        counts.files++;
        int failure = ExtractOne(hooks, installDirectory, record, &buffer, &done, total);
        if (failure != 0) {
            counts.failed++;
            counts.damaged += failure == EXTRACT_DAMAGED;
            counts.full += failure == EXTRACT_DISK_FULL;
        }
    }
    RegionHeapFree(buffer.block);
    if (report != nullptr) {
        *report = counts;
    }
}

void ExtractAllFiles(const char *installDirectory, ExtractProgressFunction progress,
                     ExtractionReport *report) {
    ExtractionHooks hooks = {progress, nullptr, nullptr};
    ExtractAllFilesWithHooks(installDirectory, &hooks, report);
}
