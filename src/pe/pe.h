// Reading a Windows PE image's headers within bounds: the DOS header's
// pointer, the COFF file header, the optional header with its data
// directories, and the section table. Every function checks each offset
// against the length it was given, so that no header, however it lies,
// makes a caller read outside the image's bytes.
//
//   0            "MZ" ... u32 at 0x3C: offset of the PE headers
//   pe           "PE\0\0"
//   pe + 4       file header (20 bytes): machine, section count, optional
//                header size ...
//   pe + 24      optional header: magic (PE32 0x10B, PE32+ 0x20B), ...,
//                CheckSum at 64, ..., data directories (8 bytes each) at 96
//                (PE32) or 112 (PE32+)
//   pe + 24 + optional header size: section headers, 40 bytes each
//
// All fields are little-endian and unaligned.
#pragma once

#include <stdint.h>

const uint32_t PE32_MAGIC = 0x10B;
const uint32_t PE32_PLUS_MAGIC = 0x20B;

// Fields of the optional header, as offsets from its start.
const uint32_t PE_CHECKSUM_FIELD = 64; // u32, rewritten by signing tools

// Data directories by index.
const uint32_t PE_DIRECTORY_RESOURCE = 2;
const uint32_t PE_DIRECTORY_CERTIFICATE = 4; // its address is a file offset, not an RVA

const uint32_t PE_DIRECTORY_ENTRY_SIZE = 8;
const uint32_t PE_SECTION_HEADER_SIZE = 40;

// The headers of an image, located and bounds-checked by PeImageRead: the
// optional header, the data directories it holds and the section table lie
// inside the length bytes at bytes. Offsets are file offsets.
struct PeImage {
    const unsigned char *bytes;
    uint32_t length;
    uint32_t machine;
    uint32_t optionalHeaderOffset;
    uint32_t optionalHeaderSize;
    uint32_t magic;                // PE32_MAGIC or PE32_PLUS_MAGIC
    uint32_t directoryCount;       // entries that are both declared and inside the header
    uint32_t directoryTableOffset; // the first data directory entry
    uint32_t sectionCount;
    uint32_t sectionTableOffset;
};

// A byte range of the file.
struct PeSpan {
    uint32_t offset;
    uint32_t length;
};

struct PeDataDirectory {
    uint32_t address; // an RVA; for the certificate table a file offset
    uint32_t size;
    uint32_t entryOffset; // file offset of the 8-byte entry itself
};

struct PeSection {
    char name[9]; // NUL-terminated
    uint32_t virtualSize;
    uint32_t virtualAddress;
    uint32_t rawSize;
    uint32_t rawOffset;
    uint32_t headerOffset; // file offset of the 40-byte section header
};

// Reads the headers of the image of length bytes at bytes into *image.
// Returns 1 for a PE32 or PE32+ image whose headers lie inside those bytes,
// 0 otherwise (the contents of *image are then unspecified).
int PeImageRead(const void *bytes, uint32_t length, PeImage *image);

// Reads a little-endian field of the image; 0 when it does not lie inside.
int PeReadU16(const PeImage *image, uint32_t offset, uint32_t *value);
int PeReadU32(const PeImage *image, uint32_t offset, uint32_t *value);

// The data directory entry of index; 0 when the image has no such entry.
int PeDataDirectoryGet(const PeImage *image, uint32_t index, PeDataDirectory *directory);

// The section header of index (0 .. sectionCount - 1); 0 when there is none.
int PeSectionGet(const PeImage *image, uint32_t index, PeSection *section);

// The file offset of the size bytes at rva, when one section's raw data in
// the file holds all of them; 0 otherwise.
int PeRvaToOffset(const PeImage *image, uint32_t rva, uint32_t size, uint32_t *offset);

// The certificate table (Authenticode signatures): returns 1 and its range
// when the image's certificate directory entry is non-empty and describes
// bytes inside the file, 0 otherwise.
int PeCertificateTableGet(const PeImage *image, PeSpan *table);

// The certificate table holds Authenticode signatures and nothing else when
// its size is a multiple of 8 and WIN_CERTIFICATE records tile it, each at
// an offset that is a multiple of 8:
//   0  u32  dwLength          the record's length, its 8-byte header included
//   4  u16  wRevision
//   6  u16  wCertificateType
//   8  ...  bCertificate      one DER object: tag 0x30 (SEQUENCE), then its
//                             length (below 0x80: the length itself; 0x81 to
//                             0x84: that many big-endian length bytes follow)
// The DER object lies inside dwLength, fewer than 8 bytes follow it there,
// and they and the bytes up to the next multiple of 8 (where the next record
// starts) are zero: the shape Windows' strict signature check asks for, so
// that no bytes hide unsigned in a signed file. A record shorter than 14 bytes
// (the header and the longest DER header) holds no signature.
const uint32_t PE_CERTIFICATE_HEADER_SIZE = 8;

// Why PeCertificateTableCheck refuses a table.
enum PeCertificateProblem {
    PE_CERTIFICATES_SOUND = 0,
    PE_CERTIFICATES_SIZE,            // the table is empty or not a multiple of 8 long
    PE_CERTIFICATES_RECORD_LENGTH,   // dwLength leaves no room for a DER header or passes the table
    PE_CERTIFICATES_NOT_DER,         // no SEQUENCE header with a definite length of 1-4 bytes
    PE_CERTIFICATES_DER_PAST_RECORD, // the DER object runs past dwLength
    PE_CERTIFICATES_MORE_THAN_SIGNATURE, // 8 or more bytes, or a non-zero byte, follow it
};

struct PeCertificateFault {
    uint32_t problem;      // a PeCertificateProblem
    uint32_t recordOffset; // where the record at fault starts in the table (sound: its length)
};

// Checks the length bytes of a certificate table at table, reading nothing
// outside them. Returns 1 when it holds signatures and nothing else (above),
// 0 otherwise; *fault says why either way.
int PeCertificateTableCheck(const unsigned char *table, uint32_t length, PeCertificateFault *fault);

// The 12 bytes that signing rewrites, in file order: the CheckSum field
// (4 bytes) and the certificate directory entry (8 bytes). Returns 0 when
// the image has no certificate directory entry.
int PeSigningFields(const PeImage *image, PeSpan fields[2]);

// ---- Layout fields and resources -------------------------------------------
//
// More of the optional header, at the same offsets in PE32 and PE32+.
const uint32_t PE_SIZE_OF_INITIALIZED_DATA_FIELD = 8;
const uint32_t PE_SECTION_ALIGNMENT_FIELD = 32;
const uint32_t PE_FILE_ALIGNMENT_FIELD = 36;
const uint32_t PE_MAJOR_IMAGE_VERSION_FIELD = 44; // u16, then the minor version's u16
const uint32_t PE_SIZE_OF_IMAGE_FIELD = 56;
const uint32_t PE_SIZE_OF_HEADERS_FIELD = 60;
// The section count, in the file header in front of the optional header.
const uint32_t PE_SECTION_COUNT_FIELD_BEFORE_OPTIONAL_HEADER = 18;

// Resource types by number.
const uint32_t PE_RESOURCE_ICON = 3;
const uint32_t PE_RESOURCE_GROUP_ICON = 14;
const uint32_t PE_RESOURCE_VERSION = 16;
const uint32_t PE_RESOURCE_MANIFEST = 24;

// The resource directory is a tree of three levels (type, name, language)
// whose leaves describe the data: every offset in it is relative to the
// tree's start, and each data entry holds an RVA and a size.
//
//   directory: 16 bytes (named entry count at 12, numbered at 14), then
//              8-byte entries: u32 name (high bit: offset of a u16 length
//              and UTF-16 units; else a number), u32 child (high bit: a
//              subdirectory; else a 16-byte data entry)
//   data entry: u32 RVA, u32 size, u32 code page, u32 reserved
const uint32_t PE_RESOURCE_DIRECTORY_SIZE = 16;
const uint32_t PE_RESOURCE_ENTRY_SIZE = 8;
const uint32_t PE_RESOURCE_DATA_ENTRY_SIZE = 16;
// A walk visits at most this many directory entries in all, so that a tree
// whose directories share children cannot make it run for long.
const uint32_t PE_RESOURCE_WALK_MAX_ENTRIES = 65536;

// One key of a resource: a number, or a name of nameLength UTF-16 units at
// the file offset nameOffset (inside the image).
struct PeResourceKey {
    int named;
    uint32_t id;
    uint32_t nameOffset;
    uint32_t nameLength;
};

struct PeResource {
    PeResourceKey type;
    PeResourceKey name;
    PeResourceKey language;
    uint32_t dataRva;
    uint32_t dataSize;
    uint32_t dataOffset; // file offset of the data, inside the image
    uint32_t codePage;
    uint32_t dataEntryOffset; // file offset of the 16-byte data entry naming the data
};

// Called for each resource in tree order; returns 0 to stop the walk.
typedef int (*PeResourceVisit)(void *context, const PeResource *resource);

// Walks the resource tree of the image, calling visit for every resource.
// The tree must lie inside both its data directory entry and the raw data of
// the section holding its start; every name and every resource's data must
// lie inside the image, and subdirectories sit exactly at the second level
// and data entries at the third. Returns 1 when the whole tree was walked
// (also for an image without resources: then visit is never called), 0
// when it is malformed, holds more than PE_RESOURCE_WALK_MAX_ENTRIES entries,
// or visit stopped it.
int PeResourcesWalk(const PeImage *image, PeResourceVisit visit, void *context);

// Reads the headers of the image Windows loaded at base into *image, with
// its SizeOfImage as its length: offsets into it are RVAs. The headers must
// lie in the first PE_LOADED_HEADERS_SIZE bytes, the page that holds them.
// Returns 1 for a PE32 or PE32+ image, 0 otherwise.
const uint32_t PE_LOADED_HEADERS_SIZE = 4096;
int PeLoadedImageRead(const void *base, PeImage *image);

// ---- One resource -----------------------------------------------------------

// Finds the first resource of the numbered type in the image (its first
// name, its first language): 1 with the range of its data, inside the
// image, in *resource; 0 when there is none or the path to it through the
// resource tree does not lie inside the image. loaded: the image lies in
// memory as Windows loaded it, length its SizeOfImage, so that offsets are
// RVAs; else it is a file.
int PeResourceFind(const PeImage *image, uint32_t type, int loaded, PeSpan *resource);

// ---- Version resource --------------------------------------------------------
//
// A version resource (VS_VERSIONINFO) is a tree of blocks, each starting at
// a multiple of 4 bytes from the resource's start:
//
//   0 u16 length of the block with its children   2 u16 value length
//   (UTF-16 units for text, bytes for binary)       4 u16 type (1 text)
//   6 key: UTF-16 units up to a NUL; padding to 4; the value; padding to 4;
//     the children
//
// The root "VS_VERSION_INFO" holds the fixed part as its value and the
// children "StringFileInfo" and "VarFileInfo"; "StringFileInfo" holds one
// table per language (e.g. "040904B0"), each holding the strings as blocks
// keyed by their names ("CompanyName") whose values are NUL-terminated text.

// Finds the string named name (ASCII) in the first string table of the
// version resource of length bytes at resource. Returns its length in
// UTF-16 units, with *text set to its offset in the resource; a NUL unit
// follows it inside the resource. Returns 0 when the string is missing or
// empty, or when a block on the way to it does not lie inside its parent
// or has a key without its NUL. Reads nothing outside the length bytes.
uint32_t PeVersionStringFind(const unsigned char *resource, uint32_t length, const char *name,
                             uint32_t *text);
