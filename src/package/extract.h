// File extraction: every installable entry of the open package written
// below an install directory, each one inflated and checked against its
// byte sum before it replaces whatever stood at its path. The stub and
// qpack extract share it; progress goes through a function the caller
// supplies (the stub's SetStatus, a progress line, a test's recorder).
//
// A file that stands at an entry's path is never written over: the bytes
// go to a new temporary file in the target's folder, which then takes the
// target's place in one step. A damaged entry, a short write, a missing
// heap block or a target that cannot be replaced (in use, read-only,
// hidden) leaves the old file exactly as it was, and no temporary file
// behind. Where nothing stands, the file is created there exclusively and
// deleted again when it cannot be written in full.
#pragma once

#include <stdint.h>

#include "package/package.h"

// Why an installable entry was not written.
enum ExtractFailure {
    EXTRACT_NAME_UNSAFE = 1, // see ExtractNameIsSafe
    EXTRACT_PATH_TOO_LONG,   // install directory and name do not fit PLATFORM_MAX_PATH
    EXTRACT_REFUSED,         // the caller's admit function turned it down
    EXTRACT_NO_MEMORY,       // the region heap had no block of the entry's size
    EXTRACT_DAMAGED,         // the stream did not give exactly size bytes summing to dataSum
    EXTRACT_NOT_CREATED,     // the new file could not be created or written in full
    EXTRACT_NOT_REPLACED,    // the file at the path could not be replaced
    EXTRACT_DISK_FULL        // as EXTRACT_NOT_CREATED, for want of space on the disk
};

// Called once for every installable entry whose name is safe and whose path
// fits, before its data are inflated: "Unpacking: <path>" (cut to fit 260
// bytes) and the share of the installable bytes handled before it, from 0.0
// up to, in exact terms, short of 1.0. The text lives only for the call.
typedef void (*ExtractProgressFunction)(const char *text, float fraction);

// Asked before an entry is written to path; 0 turns it down
// (EXTRACT_REFUSED). qpack uses it to keep out of folders that are links.
typedef int (*ExtractAdmitFunction)(const DirectoryRecord *record, const char *path);

// Told of every installable entry that was not written. path is the full
// path, or the install directory alone when the path could not be built.
typedef void (*ExtractFailureFunction)(const DirectoryRecord *record, const char *path,
                                       ExtractFailure failure);

// Any member may be null: no progress shown, every entry admitted, failures
// only counted.
struct ExtractionHooks {
    ExtractProgressFunction progress;
    ExtractAdmitFunction admit;
    ExtractFailureFunction failed;
};

// The installable entries' sizes added up: below 4 GiB in an open package
// (PackageValidateDirectory); 0 when none is open.
uint32_t ExtractInstallableTotal(void);

// What an extraction did: files is the number of installable entries it
// handled (all of them; none when their sizes add up to 0, which writes
// nothing at all), failed the number of those that were not written, and
// damaged the number of those among them that failed their check
// (EXTRACT_DAMAGED): the package itself is at fault, not the disk; full
// the number that found no room on the disk (EXTRACT_DISK_FULL).
struct ExtractionReport {
    uint32_t files;
    uint32_t failed;
    uint32_t damaged;
    uint32_t full;
};

// Writes every installable entry (name without "#" as its second byte) of
// the open package to installDirectory (no trailing "\") followed by its
// name, in directory order, so that of two equal paths the later entry
// wins. Two passes: the first adds up the installable sizes (Total, 32-bit);
// when Total is 0 it returns at once, creating and showing nothing.
// Otherwise each entry is shown through progress with the fraction
// Done / Total, Done then advances by its size whatever becomes of it, and
// the entry is written when its name is safe, its path fits, it inflates to
// exactly its size with the right byte sum and the file system takes it.
// Internal entries are never counted or written. report (may be null)
// receives the counts. Does nothing without an open package.
void ExtractAllFiles(const char *installDirectory, ExtractProgressFunction progress,
                     ExtractionReport *report);

// The same with every hook (hooks may be null).
void ExtractAllFilesWithHooks(const char *installDirectory, const ExtractionHooks *hooks,
                              ExtractionReport *report);

// 1 when name may be placed below a folder: EntryNameProblem finds nothing
// (a single leading "\", and components separated by "\" that Windows
// stores as they are: no empty, "." or ".." component, no trailing dot or
// space, no reserved or control character, no device name). 0 otherwise.
int ExtractNameIsSafe(const char *name);

// Writes directory followed directly by name into path (PLATFORM_MAX_PATH
// bytes). Returns 1 when it fits with its terminator, else 0 with path
// holding an empty string.
int ExtractPathBuild(char *path, const char *directory, const char *name);

// Inflates the entry of record (of the open package) into a region-heap
// block of its size (none for size 0; in pieces when it is larger than
// extractLargeEntry, see below), checks that exactly size bytes came
// out and that their byte sum is the record's dataSum, then writes them to
// path, creating the missing directories along path when the first try
// shows a need: created exclusively when nothing stands at path, else to a
// temporary file beside path that is then put in path's place. When path's
// folder leaves no room for a temporary name within MAX_PATH, the temporary
// file goes to spareFolder (may be null: the entry then fails), a folder on
// the same volume known to hold one, such as the install directory. The
// block is released before it returns. Returns 1 when path holds the
// entry; 0 with the reason in *failure (when not null), and then nothing
// has changed on disk but directories. path must be writable (see
// MakeParentDirectories). ExtractAllFiles keeps one block for all entries,
// grown to the largest, and releases it at its end.
int ExtractEntryToFile(const DirectoryRecord *record, char *path, const char *spareFolder,
                       ExtractFailure *failure);

// An entry larger than this is not inflated into one block of its size:
// its bytes go in pieces of extractPieceSize through one block straight
// into a temporary file beside its path, are checked as they go by, and
// the file takes the path's place only when all of them have been
// checked, exactly as for a smaller entry. 64 MiB leaves room in a 32-bit
// process's address space; memory then stays bounded by the piece size
// plus the inflate state whatever the entry's size. Tests set small ones.
const uint32_t EXTRACT_LARGE_ENTRY = 64u << 20;
const uint32_t EXTRACT_PIECE_SIZE = 4u << 20;
extern uint32_t extractLargeEntry;
extern uint32_t extractPieceSize; // not 0

// Creates every missing directory along the full path, from its fifth
// character on: the directories are the prefixes before each "\" from
// index 4, so that a drive root ("C:\") is never created and nor is the
// part after the last "\" (the file name). The deepest is tried first and
// the walk goes up only while a directory cannot be made, then makes the
// ones below the first made (or the topmost) in order: a path with only
// its last directory missing costs one call. Results are otherwise
// ignored: a directory that exists or cannot be made is passed over. path
// is changed during the call and restored before it returns.
void MakeParentDirectories(char *path);

// The directory creation MakeParentDirectories calls: PlatformDirectoryCreate
// unless a test points it elsewhere.
typedef int (*ExtractDirectoryCreateFunction)(const char *path);
extern ExtractDirectoryCreateFunction extractDirectoryCreate;
