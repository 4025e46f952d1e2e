// The install package: a zlib-compressed directory of entries and one zlib
// stream per entry, appended to the executable and closed by a 24-byte
// trailer. This is its reader: it maps the file, checks the trailer and the
// byte sum, inflates the directory, validates every record once, and then
// finds and inflates entries on request.
//
//   file:  executable image | directory stream | entry streams | trailer
//          0                  directoryOffset    dataArea        length - 24
//
// A signed installer carries the signature behind the package: up to 7 zero
// bytes, then the certificate table that the image's certificate directory
// entry points at, ending at the end of the file. Signing also rewrites the
// image's CheckSum and that entry (12 bytes), so for a signed installer the
// package sum counts those bytes as zero. That entry decides: when it is not
// zero, the trailer is looked for before the table only, and the table must
// hold signatures and nothing else (pe.h), since Windows does not hash it:
// bytes added there, or behind it, would pass as signed by the vendor.
//
// All integers in the file are little-endian and unaligned; records are
// packed byte by byte and read with explicit byte loads.
#pragma once

#include <stdint.h>

#include "pe/pe.h"
#include "platform/platform.h"

// ---- Format ----------------------------------------------------------------

const uint32_t PACKAGE_TRAILER_SIZE = 24;
const char PACKAGE_MAGIC[9] = "InstPack"; // the trailer's last 8 bytes, no terminator
// Signing tools align the certificate table to 8 bytes with zeros.
const uint32_t PACKAGE_SIGNATURE_MAX_PADDING = 7;

// The trailer is the last 24 bytes of the file:
//   0  u32  directoryOffset          file offset of the directory's zlib stream
//   4  u32  directoryCompressedSize  length of that stream
//   8  u32  directorySize            length of the inflated directory
//   12 u32  packageSum               byte sum of every byte before the trailer
//   16 8    magic                    "InstPack"
// The trailer itself is not covered by packageSum. This record holds the
// decoded values; it is never laid over the file's bytes.
struct PackageTrailer {
    uint32_t directoryOffset;
    uint32_t directoryCompressedSize;
    uint32_t directorySize;
    uint32_t packageSum;
    unsigned char magic[8];
};

// A record of the inflated directory, exactly as it lies in memory: every
// field is a little-endian byte array, so the record has no padding and no
// alignment, and a pointer to it may point anywhere in the directory. Read
// the fields with the DirectoryRecord getters below.
//   0  u16  recordLength    distance to the next record; 0 on the last
//   2  u32  size            uncompressed size of the entry
//   6  u32  compressedSize  length of the entry's zlib stream
//   10 u32  dataSum         byte sum of the uncompressed entry
//   14 u32  dataOffset      offset of the stream from the start of the data area
//   18 ...  name            "\" then the entry's path, NUL-terminated
struct DirectoryRecord {
    unsigned char recordLength[2];
    unsigned char size[4];
    unsigned char compressedSize[4];
    unsigned char dataSum[4];
    unsigned char dataOffset[4];
    char name[1]; // runs on to its terminator
};

const uint32_t DIRECTORY_RECORD_HEADER_SIZE = 18;

// Deflate cannot expand a stream by more than this factor (a 258-byte match
// in 2 bits); a size claimed beyond it is a lie.
const uint32_t INFLATE_MAX_RATIO = 1032;

// ---- The reader --------------------------------------------------------------

// Where the package lies in the file. An unsigned installer's trailer is
// its last 24 bytes; a signed one's stands before the signature.
struct PackageLocation {
    uint32_t trailerOffset;    // the package sum covers the bytes before it
    PeSpan certificateTable;   // behind the package; length 0 when unsigned
    PeSpan signingFields[2];   // counted as zero by the sum when signed
    uint32_t signingFieldsSum; // the byte sum of their bytes; 0 when unsigned
};

// Why an open refused its file: the first check it failed. The stub only
// needs to know that it failed; qpack turns the fault and the numbers the
// reader kept into words.
enum PackageFault {
    PACKAGE_SOUND = 0,
    PACKAGE_NOT_OPENED, // the file could not be opened (or mapped whole)
    PACKAGE_NOT_READ,   // a view of the file could not be mapped
    // Finding the trailer (where PackageLocate gives up):
    PACKAGE_TOO_SHORT,               // shorter than a trailer
    PACKAGE_NO_MAGIC,                // unsigned, and the last 8 bytes are not the magic
    PACKAGE_TABLE_OUTSIDE_FILE,      // signed, and the certificate table leaves the file
    PACKAGE_TABLE_NOT_AT_END,        // signed, and bytes follow the certificate table
    PACKAGE_TABLE_REFUSED,           // signed, and the table is more than signatures
    PACKAGE_NO_TRAILER_BEFORE_TABLE, // signed, and no trailer ends before the table
    PACKAGE_TRAILER_IN_HEADERS,      // signed, and that trailer lies over the signing fields
    // The trailer's fields and the sum:
    PACKAGE_DIRECTORY_OUTSIDE,   // the directory stream lies outside the package
    PACKAGE_DIRECTORY_EMPTY,     // the directory's size is 0
    PACKAGE_DIRECTORY_TOO_LARGE, // a directory size beyond what its stream can yield
    PACKAGE_SUM_MISMATCH,        // the bytes before the trailer do not sum to packageSum
    // The directory:
    PACKAGE_OUT_OF_MEMORY,          // no heap block for the directory or the inflate state
    PACKAGE_DIRECTORY_NOT_INFLATED, // its stream does not yield exactly directorySize bytes
    // A record of the directory (PackageRefusal.recordOffset):
    PACKAGE_RECORD_HEADER_CUT,        // its header runs past the end of the directory
    PACKAGE_RECORD_NAME_UNTERMINATED, // its name has no terminator inside the directory
    PACKAGE_RECORD_NAME_UNROOTED,     // its name does not start with "\"
    PACKAGE_RECORD_STREAM_OUTSIDE,    // its stream leaves the data area
    PACKAGE_RECORD_SIZE_TOO_LARGE,    // a size beyond what its stream can yield
    PACKAGE_RECORD_LENGTH_SHORT,      // recordLength does not cover its header and name
    PACKAGE_RECORD_LENGTH_PAST_END,   // recordLength leads past the end of the directory
    PACKAGE_INSTALLABLE_TOO_LARGE     // the installable sizes add up to 4 GiB or more
};

// What the last open recorded about its file. fault is set by every
// PackageOpen* call; each other field only by the step that met it, so it
// is meaningful for the faults named beside it.
struct PackageRefusal {
    uint32_t fault;                 // a PackageFault; PACKAGE_SOUND after a successful open
    uint32_t sum;                   // the package sum taken (PACKAGE_SUM_MISMATCH)
    PeCertificateFault certificate; // the table's check (PACKAGE_TABLE_REFUSED)
    int inflateStatus;              // inflate's result for the directory stream
    uint32_t inflated;              // and the bytes it yielded (PACKAGE_DIRECTORY_NOT_INFLATED)
    uint32_t recordOffset;          // where the record at fault starts in the directory
};

// The part of the file the entries' streams are read through: the length
// bytes at offset, mapped at bytes (through view, unless the file is mapped
// whole); length is 0 while none is mapped.
struct PackageStreamView {
    PlatformView view;
    const unsigned char *bytes;
    uint32_t offset;
    uint32_t length;
};

// The process-wide reader, set by a PackageOpen* call and cleared by
// PackageClose. Every field is zero/null until the step that sets it.
// After a successful open, every record of the chain starting at directory
// has been checked: its header and NUL-terminated name lie inside the
// directory, its name starts with "\", its recordLength covers its own header
// and name and leads to a record that starts inside the directory, and its
// stream lies inside the data area.
//
// A refused open keeps what it had set until PackageClose: the location,
// the trailer, the directory (so that the record at fault can be read),
// dataStart and dataAreaSize once the directory is loaded, and refusal.
//
// A package opened whole (PackageOpenFile, PackageOpenMemory) is read
// through view. One opened in views (PackageOpen, PackageOpenFileInViews)
// has no view: the package sum is taken over views of packageViewSize
// bytes one after the other, and entries' streams are read through one
// view of packageViewSize bytes that moves on when a stream leaves it, so
// that the reader holds the directory, one view and what one entry needs,
// whatever the file's length (up to 4 GiB less one byte).
struct PackageReader {
    PlatformMappedFile mapped;     // file, mapping and (when whole) view of a file
    const unsigned char *view;     // first byte of the package file; null in views
    uint32_t length;               // length of the package file
    PackageLocation location;      // set while the trailer is looked for
    PackageTrailer trailer;        // decoded once the magic has been seen
    unsigned char *directory;      // region-heap block of trailer.directorySize bytes
    const unsigned char *dataArea; // view + dataStart; null in views and until ready
    uint32_t dataStart;            // file offset of the data area
    uint32_t dataAreaSize;         // up to the trailer
    int ready;                     // 1 once the open has succeeded
    PackageRefusal refusal;        // why the open failed
    PackageStreamView streamView;  // kept from one entry's stream to the next
};

extern PackageReader packageReader;

// The most bytes of the file a package opened in views maps at a time
// (16 MiB: a 32-bit process's address space is cut up by libraries, and
// the largest entry's buffer needs room as well; a view is resident whole
// while it is read, so it bounds what reading the file adds to the
// resident set, and measured natively and under Wine the package sum is
// as fast as over views of 64 MiB or the whole file). Tests set a small
// one; any size from 1 works, since every view is aligned by the system.
const uint32_t PACKAGE_VIEW_SIZE = 16u << 20;
extern uint32_t packageViewSize;

// Opens the program's own executable as the package, in views. Returns 1
// when the package is open and verified, 0 on any failure, with
// packageReader.refusal saying why. Whatever an earlier open left is
// released first. Call PackageClose afterwards,
// whether the open succeeded or not.
int PackageOpen(void);

// Same as PackageOpen for the file at path, mapped whole (tests and
// benchmarks read entries' streams through PackageEntryStream).
int PackageOpenFile(const char *path);

// Same as PackageOpen for the file at path, in views.
int PackageOpenFileInViews(const char *path);

// A package opened in views looks for the PE headers of a signed file in
// the first PACKAGE_HEADERS_VIEW bytes only.
const uint32_t PACKAGE_HEADERS_VIEW = 64u << 10;

// Same as PackageOpenFile for length bytes at data, which the caller keeps
// unchanged until PackageClose (used by fuzzing and tests).
int PackageOpenMemory(const void *data, uint32_t length);

// Releases what the last open set, in reverse order (directory, view,
// mapping, file), and clears the reader so that another open may follow.
// Safe to call at any time, also twice.
void PackageClose(void);

// Returns the first record whose name, without its leading "\", equals name
// when the ASCII letters A-Z are folded to a-z (no other bytes are folded);
// null when none does, when name is null, or when no package is open. The
// record stays valid until PackageClose.
const DirectoryRecord *PackageFindEntry(const char *name);

// Inflates the entry of record into destination, which has room for at
// least the record's size bytes. Returns InflateBuffer's result: Z_OK also
// for a damaged or short stream. Z_STREAM_ERROR for a null record.
int PackageReadEntry(void *destination, const DirectoryRecord *record);

// Same as PackageReadEntry, but returns 1 only when the stream ended
// cleanly and yielded exactly the record's size bytes; 0 otherwise. The
// byte sum is not compared.
int PackageReadEntryFull(void *destination, const DirectoryRecord *record);

// The file of the last PackageOpen* call stays open until PackageClose,
// also when its open failed. PackageFileBytesMap maps the length bytes at
// offset of that file (a view of their own when the file was opened in
// views, to be released with PackageFileBytesUnmap); null when they lie
// outside the file or cannot be mapped.
const unsigned char *PackageFileBytesMap(uint32_t offset, uint32_t length, PlatformView *view);
void PackageFileBytesUnmap(PlatformView *view);

// The chain of records in directory order: the first record, null when no
// package is open; the record after record, null after the last one.
const DirectoryRecord *PackageFirstRecord(void);
const DirectoryRecord *PackageNextRecord(const DirectoryRecord *record);

// The entry's zlib stream in the data area (compressedSize bytes) of a
// package opened whole; null for one opened in views.
const unsigned char *PackageEntryStream(const DirectoryRecord *record);

// Takes the count inflated bytes at bytes; returns 0 to stop the inflation.
typedef int (*PackagePieceFunction)(void *context, const unsigned char *bytes, uint32_t count);

// What PackageEntryInflate produced: the number of bytes and their byte sum.
struct PackageInflation {
    uint32_t produced;
    uint32_t sum;
};

// Inflates the entry of record, its stream read through views of at most
// packageViewSize bytes, into buffer (capacity bytes, not 0), summing the
// bytes while they are still in the cache. No more than the record's size
// bytes are produced. Without piece the buffer must hold them all; with
// piece, each time the buffer is full and once at the end (when bytes are
// left) its bytes go to piece and the buffer is used again. Stops at the
// end of the stream, at damage, or at size bytes. Returns 1 with *result
// set, damaged or not (the caller compares produced and sum with the
// record's: the stream's own Adler-32 is not consulted); 0 when a view
// could not be mapped or piece refused its bytes.
int PackageEntryInflate(const DirectoryRecord *record, unsigned char *buffer, uint32_t capacity,
                        PackagePieceFunction piece, void *context, PackageInflation *result);

// ---- Records -------------------------------------------------------------------

uint32_t DirectoryRecordLength(const DirectoryRecord *record); // recordLength
uint32_t DirectoryRecordSize(const DirectoryRecord *record);
uint32_t DirectoryRecordCompressedSize(const DirectoryRecord *record);
uint32_t DirectoryRecordDataSum(const DirectoryRecord *record);
uint32_t DirectoryRecordDataOffset(const DirectoryRecord *record);
// The name with its leading "\", NUL-terminated.
const char *DirectoryRecordName(const DirectoryRecord *record);
// 1 when the entry is internal ("#" right after the leading "\"): never
// installed, found by name only.
int DirectoryRecordIsInternal(const DirectoryRecord *record);

// ---- Helpers -------------------------------------------------------------------

// The 32-bit wrapping sum of length bytes taken as unsigned values; 0 for an
// empty block. One pass at memory speed (SSE2 where the processor has it, chosen at
// run time; byte_sum.h).
uint32_t PackageByteSum(const void *data, uint32_t length);

// The byte sum of length bytes at data with the bytes of holeCount holes
// (ascending, not overlapping) counted as zero: the bytes around them are
// summed, nothing is copied. Parts of holes outside the block are ignored.
uint32_t PackageByteSumAround(const void *data, uint32_t length, const PeSpan *holes,
                              uint32_t holeCount);

// Finds the trailer of the file of length bytes at view. An image whose
// certificate directory entry is not zero is signed: returns 1 when its
// certificate table ends exactly at the end of the file, holds signatures
// and nothing else (PeCertificateTableCheck), and the 24 bytes before it,
// less at most 7 zero bytes, end in the magic. Any other file is unsigned:
// returns 1 when its last 24 bytes end in the magic. Returns 0 for anything
// else; reads nothing outside the file and computes no sum.
int PackageLocate(const unsigned char *view, uint32_t length, PackageLocation *location);

// The package sum of a located file: every byte before the trailer, with the
// signing fields counted as zero when the file is signed.
uint32_t PackageLocatedSum(const unsigned char *view, const PackageLocation *location);

// Decodes 24 trailer bytes. Returns 1 when they end in the magic, else 0
// (the fields are decoded either way).
int PackageTrailerDecode(const unsigned char *bytes, PackageTrailer *trailer);

// Checks the record chain of an inflated directory of directorySize bytes
// whose entries' streams lie in a data area of dataAreaSize bytes, reading
// nothing outside the directory: PACKAGE_SOUND when every record is sound
// (see PackageReader) and the installable entries' sizes add up to less
// than 4 GiB, else the first fault met (a PACKAGE_RECORD_* fault, or
// PACKAGE_INSTALLABLE_TOO_LARGE) with *recordOffset set to where the record
// at fault starts.
PackageFault PackageDirectoryFaultFind(const unsigned char *directory, uint32_t directorySize,
                                       uint32_t dataAreaSize, uint32_t *recordOffset);

// 1 when PackageDirectoryFaultFind finds none, 0 otherwise. PackageOpen
// runs the check once, so that later walks can trust every offset they
// follow.
int PackageValidateDirectory(const unsigned char *directory, uint32_t directorySize,
                             uint32_t dataAreaSize);

// ---- Inflation -------------------------------------------------------------------

// One-shot inflation of the zlib stream of sourceSize bytes at source into
// at most destinationSize bytes at destination, with every allocation of the
// inflate library taken from the region heap. Returns inflateEnd's status:
// Z_OK (0) when the stream had been set up, Z_STREAM_ERROR (-2) when its
// set-up failed. It does not say whether the data were complete or intact.
// Bytes the stream does not reach are left as they were; a stream that
// would yield more stops when the destination is full.
int InflateBuffer(void *destination, uint32_t destinationSize, const void *source,
                  uint32_t sourceSize);

// Same inflation, reporting what happened: *produced (when not null)
// receives the number of bytes written to destination. Returns 1 when the
// stream ended, its Adler-32 check included, within destinationSize bytes;
// 0 when it was cut short, corrupt, longer than the destination, or the
// heap had no memory for the inflate library.
int InflateBufferCount(void *destination, uint32_t destinationSize, const void *source,
                       uint32_t sourceSize, uint32_t *produced);

// The inflate library's allocation hooks. InflateAlloc returns a cleared
// region-heap block of items x size bytes, or null when the product passes
// 32 bits or the heap has none. InflateFree releases it. opaque is ignored.
void *InflateAlloc(void *opaque, unsigned int items, unsigned int size);
void InflateFree(void *opaque, void *block);
