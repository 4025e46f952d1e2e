// The package writer: turns a list of entries and a stub image into an
// installer, the stub followed by the package:
//
//   stub | directory stream | entry streams, in directory order | trailer
//
// Every stream is a zlib stream (header 0x78 0xDA), made by libdeflate at
// level 12 or, on request, by zlib at level 9; an entry larger than
// packageWholeBufferLimit is always made by zlib at level 9, as a stream,
// since libdeflate compresses whole buffers only. Records carry
// recordLength = 18 + name length + 1, 0 on the last; internal entries ("#"
// after the leading "\") come last; the streams follow each other without
// gaps from data offset 0 (entries that share a stream point at the same
// one); the trailer's packageSum covers every byte before it.
//
// Making a package is split in two so that tests can damage one on purpose:
// PackageBuildParts computes every part and every field, the caller may
// change any of them (and re-encode the directory with
// PackageEncodeDirectory or PackageCompressDirectory), and PackageAssemble
// lays the bytes out, recomputing the package sum or not.
//
// PackageWriteStreamed makes the same bytes without holding the entries or
// the installer in memory: it reads files in pieces and writes as it goes.
//
// The library uses no threads: parallel compression is a function the
// caller supplies in PackageWriterOptions.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

using PackageBytes = std::vector<unsigned char>;

// One entry to pack: its name with the leading "\" ("\bin\tool.exe",
// "\#Manifest") and its uncompressed bytes, or (PackageWriteStreamed only)
// the file that holds them.
struct PackageWriterEntry {
    std::string name;
    PackageBytes data;
    std::filesystem::path path = {}; // when not empty: the bytes are this file's, data stays empty
    uint64_t size = 0;               // the file's length as found (path entries only)
    std::string shownPath = {};      // how messages name the file
};

// The largest value the format's 32-bit lengths and offsets hold: the
// installer, every entry and the installable entries' sizes together must
// stay at or below it. Tests lower it to reach the refusals with small files.
extern uint64_t packageFormatLimit;

// Entries above this many bytes are compressed as a stream by zlib at level 9
// and never held whole (64 MiB; tests lower it).
extern uint64_t packageWholeBufferLimit;

// What makes the zlib streams. Both give the header 0x78 0xDA, which the
// stub's inflate reads alike; libdeflate's are a few per cent smaller, and
// the same on every machine for the same libdeflate source.
enum PackageCompression {
    PACKAGE_COMPRESSION_LIBDEFLATE_12 = 0,
    PACKAGE_COMPRESSION_ZLIB_9 = 1,
};

// Compresses *entries[0..count) into streams[0..count), each a zlib stream
// (PackageCompress is the one to call per entry). Returns false on failure.
using PackageCompressFunction = bool (*)(const PackageWriterEntry *const *entries, size_t count,
                                         PackageCompression compression, PackageBytes *streams);

// Runs task(0) .. task(count - 1), in any order or at once, and returns when
// all are done. Tasks may wait for tasks of lower index, never of higher.
using PackageRunFunction = void (*)(size_t count, const std::function<void(size_t)> &task);

// How both ways of writing make a package. PackageWrite uses
// compressEntries; PackageWriteStreamed uses runTasks and entryWritten.
struct PackageWriterOptions {
    // Null: the entries are compressed one after another on this thread.
    PackageCompressFunction compressEntries = nullptr;
    // Null: the streamed writer's tasks run one after another on this thread.
    PackageRunFunction runTasks = nullptr;
    // Called by the streamed writer once per entry, in directory order, when
    // its stream is written.
    std::function<void(uint64_t entryBytes)> entryWritten;
    // Internal entries go behind the installable ones (order within each
    // group kept). False keeps the order exactly as given.
    bool internalEntriesLast = true;
    // An entry with the same bytes as an earlier one gets no stream of its
    // own: its record points at the earlier entry's stream. Off unless asked.
    bool shareIdenticalStreams = false;
    PackageCompression compression = PACKAGE_COMPRESSION_LIBDEFLATE_12;
};

// A directory record with its fields as they will be written.
struct PackageWriterRecord {
    uint16_t recordLength = 0;
    uint32_t size = 0;
    uint32_t compressedSize = 0;
    uint32_t dataSum = 0;
    uint32_t dataOffset = 0;
    std::string name;
};

struct PackageWriterTrailer {
    uint32_t directoryOffset = 0;
    uint32_t directoryCompressedSize = 0;
    uint32_t directorySize = 0;
    uint32_t packageSum = 0;
    char magic[8] = {'I', 'n', 's', 't', 'P', 'a', 'c', 'k'};
};

// Every part of a package before it is laid out.
struct PackageParts {
    PackageBytes stub;
    std::vector<PackageWriterRecord> records; // in directory order
    std::vector<PackageBytes> streams;        // laid out in this order after the directory
    PackageBytes directory;                   // the inflated directory
    PackageBytes directoryStream;             // its zlib stream
    PackageWriterTrailer trailer;
    PackageCompression compression = PACKAGE_COMPRESSION_LIBDEFLATE_12; // of the directory too
};

// Sets the 12 bytes that signing rewrites (the image's CheckSum and its
// certificate directory entry) to zero when stub is a PE image, so that the
// installer sums the same before and after it is signed. Anything else is
// left as it is.
void PackageStubClearSigningFields(PackageBytes *stub);

// Fills parts from stub and entries, every field consistent. The stub's
// signing fields are cleared (PackageStubClearSigningFields). Returns false
// with a message in *error (when not null) for no entries at all, an entry
// given by its file (PackageWriteStreamed reads those), an entry name that
// does not start with "\", holds a NUL or is too long for a record, sizes
// that PackageSizesProblem refuses, a failed compression, or a package that
// would make the file 4 GiB or longer.
bool PackageBuildParts(const PackageBytes &stub, const std::vector<PackageWriterEntry> &entries,
                       const PackageWriterOptions &options, PackageParts *parts,
                       std::string *error);

// Re-encodes parts->records into parts->directory (recordLength and every
// field as they stand), then calls PackageCompressDirectory.
void PackageEncodeDirectory(PackageParts *parts);

// Compresses parts->directory into parts->directoryStream and sets the
// trailer's directoryCompressedSize and directorySize from them.
void PackageCompressDirectory(PackageParts *parts);

// Lays the parts out: stub, directory stream, streams, trailer. With
// recomputeSum the trailer's packageSum (in parts too) becomes the byte sum
// of everything before the trailer; otherwise it is written as it stands.
// The trailer's other fields are written as they stand.
PackageBytes PackageAssemble(PackageParts *parts, bool recomputeSum);

// PackageBuildParts then PackageAssemble with the sum computed.
bool PackageWrite(const PackageBytes &stub, const std::vector<PackageWriterEntry> &entries,
                  const PackageWriterOptions &options, PackageBytes *installer, std::string *error);

// One zlib stream of size bytes at data. Returns false on failure.
bool PackageCompress(const unsigned char *data, size_t size, PackageBytes *stream,
                     PackageCompression compression = PACKAGE_COMPRESSION_LIBDEFLATE_12);

// The 32-bit wrapping byte sum, written plainly (independent of the reader's).
uint32_t PackageWriterByteSum(const unsigned char *data, size_t size);

// True when name is an internal entry's ("\#...").
bool PackageWriterIsInternal(const std::string &name);

// Why entries of these names and sizes (in bytes) could not make a package,
// judged before anything is read: an entry larger than the format's lengths,
// or installable entries adding up to more than the installer counts in
// 32 bits. "" when nothing is wrong yet.
std::string PackageSizesProblem(const std::vector<std::pair<std::string, uint64_t>> &sizes);

// Writes the installer that PackageWrite would make with the same options to
// out as it is made, reading path entries in pieces. The streams go to the
// file scratch first (the directory before them needs their sizes); scratch
// is removed on return. Memory stays bounded whatever the entries' sizes.
// Returns false with a message for what PackageBuildParts refuses, a file
// that cannot be read or changed while it was packed, scratch or out failing,
// or an installer that would pass packageFormatLimit (stopped as soon as that
// shows). *length receives the installer's length.
bool PackageWriteStreamed(const PackageBytes &stub, const std::vector<PackageWriterEntry> &entries,
                          const PackageWriterOptions &options, const std::filesystem::path &scratch,
                          std::ostream &out, uint64_t *length, std::string *error);

// ---- Shared by both ways of writing --------------------------------------------

// The entries in directory order: as given, or internal ones moved last.
std::vector<const PackageWriterEntry *>
PackageEntryOrder(const std::vector<PackageWriterEntry> &entries, bool internalEntriesLast);
// The entry's uncompressed size: its bytes', or its file's as found.
uint64_t PackageEntrySize(const PackageWriterEntry &entry);
// False with a message for no entries, a bad name or PackageSizesProblem.
bool PackageEntriesCheck(const std::vector<const PackageWriterEntry *> &order, std::string *error);
// Gives every record its recordLength: 18 + name + terminator, 0 on the last.
void PackageRecordLengthsSet(std::vector<PackageWriterRecord> *records);
// The trailer's 24 bytes, its fields as they stand.
PackageBytes PackageTrailerEncode(const PackageWriterTrailer &trailer);

// What finds identical entries: equal bytes give equal keys, so only entries
// of equal keys need their bytes compared (the key alone proves nothing).
// size is the entry's (set by the caller), sum its byte sum (its record's
// dataSum).
struct PackageContentKey {
    uint64_t size = 0;
    uint32_t crc = 0; // CRC-32
    uint32_t sum = 0;
    bool operator<(const PackageContentKey &other) const;
    bool operator==(const PackageContentKey &other) const;
};
// Adds count more of the entry's bytes to the key's CRC-32 and sum.
void PackageContentKeyAdd(PackageContentKey *key, const unsigned char *bytes, size_t count);

// False with a message when the laid-out installer (parts' stub and
// directory, a data area of dataAreaSize bytes) would pass packageFormatLimit.
bool PackageLengthCheck(const PackageParts &parts, uint64_t dataAreaSize, std::string *error);

// Whole-file helpers with an error message naming the file.
bool PackageWriteFile(const std::string &path, const PackageBytes &bytes, std::string *error);
bool PackageReadFile(const std::string &path, PackageBytes *bytes, std::string *error);
