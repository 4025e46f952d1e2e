// Reading a PE image's headers within bounds. See pe.h.
#include "pe/pe.h"

#include <string.h>

static const uint32_t DOS_HEADER_SIZE = 64;
static const uint32_t DOS_PE_POINTER = 0x3C;
static const uint32_t FILE_HEADER_SIZE = 20; // behind the 4-byte signature

// 1 when the span of size bytes at offset lies inside length bytes. Every
// caller's offset and size fit 32 bits without wrapping: counts are 16-bit
// fields times small record sizes, offsets lie inside the image or are
// 31-bit tree offsets plus a record's size.
static int SpanInside(uint32_t offset, uint32_t size, uint32_t length) {
    return offset <= length && size <= length - offset;
}

static uint32_t LoadLittleEndian(const unsigned char *bytes, uint32_t width) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < width; i++) {
        value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    }
    return value;
}

int PeReadU16(const PeImage *image, uint32_t offset, uint32_t *value) {
    if (!SpanInside(offset, 2, image->length)) {
        return 0;
    }
    *value = LoadLittleEndian(image->bytes + offset, 2);
    return 1;
}

int PeReadU32(const PeImage *image, uint32_t offset, uint32_t *value) {
    if (!SpanInside(offset, 4, image->length)) {
        return 0;
    }
    *value = LoadLittleEndian(image->bytes + offset, 4);
    return 1;
}

// Locates the data directories: their count field and their first entry
// sit at different places for PE32 and PE32+, and only entries inside the
// optional header count, whatever the count field claims.
static int DirectoriesLocate(PeImage *image) {
    uint32_t countField, tableStart;
    if (image->magic == PE32_MAGIC) {
        countField = 92;
        tableStart = 96;
    } else if (image->magic == PE32_PLUS_MAGIC) {
        countField = 108;
        tableStart = 112;
    } else {
        return 0;
    }
    uint32_t declared;
    if (image->optionalHeaderSize < tableStart ||
        !PeReadU32(image, image->optionalHeaderOffset + countField, &declared)) {
        return 0;
    }
    uint32_t room = (image->optionalHeaderSize - tableStart) / PE_DIRECTORY_ENTRY_SIZE;
    image->directoryCount = declared < room ? declared : room;
    image->directoryTableOffset = image->optionalHeaderOffset + tableStart;
    return 1;
}

int PeImageRead(const void *bytes, uint32_t length, PeImage *image) {
    memset(image, 0, sizeof *image);
    image->bytes = static_cast<const unsigned char *>(bytes);
    image->length = bytes != nullptr ? length : 0;
    uint32_t headers;
    if (image->length < DOS_HEADER_SIZE || image->bytes[0] != 'M' || image->bytes[1] != 'Z' ||
        !PeReadU32(image, DOS_PE_POINTER, &headers) ||
        !SpanInside(headers, 4 + FILE_HEADER_SIZE, image->length) ||
        memcmp(image->bytes + headers, "PE\0\0", 4) != 0) {
        return 0;
    }
    const unsigned char *fileHeader = image->bytes + headers + 4;
    image->machine = LoadLittleEndian(fileHeader + 0, 2);
    image->sectionCount = LoadLittleEndian(fileHeader + 2, 2);
    image->optionalHeaderSize = LoadLittleEndian(fileHeader + 16, 2);
    image->optionalHeaderOffset = headers + 4 + FILE_HEADER_SIZE;
    if (!SpanInside(image->optionalHeaderOffset, image->optionalHeaderSize, image->length) ||
        !PeReadU16(image, image->optionalHeaderOffset, &image->magic) ||
        !DirectoriesLocate(image)) {
        return 0;
    }
    image->sectionTableOffset = image->optionalHeaderOffset + image->optionalHeaderSize;
    return SpanInside(image->sectionTableOffset, image->sectionCount * PE_SECTION_HEADER_SIZE,
                      image->length);
}

int PeDataDirectoryGet(const PeImage *image, uint32_t index, PeDataDirectory *directory) {
    if (index >= image->directoryCount) {
        return 0;
    }
    directory->entryOffset = image->directoryTableOffset + index * PE_DIRECTORY_ENTRY_SIZE;
    return PeReadU32(image, directory->entryOffset, &directory->address) &&
           PeReadU32(image, directory->entryOffset + 4, &directory->size);
}

int PeSectionGet(const PeImage *image, uint32_t index, PeSection *section) {
    if (index >= image->sectionCount) {
        return 0;
    }
    uint32_t header = image->sectionTableOffset + index * PE_SECTION_HEADER_SIZE;
    if (!SpanInside(header, PE_SECTION_HEADER_SIZE, image->length)) {
        return 0;
    }
    const unsigned char *bytes = image->bytes + header;
    memcpy(section->name, bytes, 8);
    section->name[8] = 0;
    section->virtualSize = LoadLittleEndian(bytes + 8, 4);
    section->virtualAddress = LoadLittleEndian(bytes + 12, 4);
    section->rawSize = LoadLittleEndian(bytes + 16, 4);
    section->rawOffset = LoadLittleEndian(bytes + 20, 4);
    section->headerOffset = header;
    return 1;
}

int PeRvaToOffset(const PeImage *image, uint32_t rva, uint32_t size, uint32_t *offset) {
    PeSection section;
    for (uint32_t i = 0; PeSectionGet(image, i, &section); i++) {
        // Bytes beyond the virtual size are not part of the loaded section.
        uint32_t extent = section.rawSize;
        if (section.virtualSize != 0 && section.virtualSize < extent) {
            extent = section.virtualSize;
        }
        if (rva < section.virtualAddress || rva - section.virtualAddress > extent ||
            size > extent - (rva - section.virtualAddress) ||
            !SpanInside(section.rawOffset, extent, image->length)) {
            continue;
        }
        *offset = section.rawOffset + (rva - section.virtualAddress);
        return 1;
    }
    return 0;
}

int PeCertificateTableGet(const PeImage *image, PeSpan *table) {
    PeDataDirectory directory;
    if (!PeDataDirectoryGet(image, PE_DIRECTORY_CERTIFICATE, &directory) || directory.size == 0 ||
        !SpanInside(directory.address, directory.size, image->length)) {
        return 0;
    }
    table->offset = directory.address;
    table->length = directory.size;
    return 1;
}

int PeSigningFields(const PeImage *image, PeSpan fields[2]) {
    PeDataDirectory directory;
    if (!PeDataDirectoryGet(image, PE_DIRECTORY_CERTIFICATE, &directory)) {
        return 0;
    }
    // The CheckSum lies at 64, the directories from 96 on: always in this order.
    fields[0].offset = image->optionalHeaderOffset + PE_CHECKSUM_FIELD;
    fields[0].length = 4;
    fields[1].offset = directory.entryOffset;
    fields[1].length = PE_DIRECTORY_ENTRY_SIZE;
    return 1;
}

// A DER object's header: the SEQUENCE tag and a length in short form or in
// 1 to 4 long-form bytes.
const uint32_t DER_SEQUENCE = 0x30;
const uint32_t DER_LONG_FORM = 0x80;
const uint32_t DER_MAX_LENGTH_BYTES = 4;

// The problem of the record at *offset of the table of length bytes (both
// multiples of 8, *offset < length); when there is none, *offset moves on
// to the next record. A record too short for the longest DER header holds
// no signature.
static uint32_t CertificateRecordProblem(const unsigned char *table, uint32_t length,
                                         uint32_t *offset) {
    const unsigned char *record = table + *offset;
    uint32_t recordLength = LoadLittleEndian(record, 4);
    if (recordLength < PE_CERTIFICATE_HEADER_SIZE + 2 + DER_MAX_LENGTH_BYTES ||
        recordLength > length - *offset) {
        return PE_CERTIFICATES_RECORD_LENGTH;
    }
    const unsigned char *der = record + PE_CERTIFICATE_HEADER_SIZE;
    uint32_t header = 2, size = der[1];
    if (size >= DER_LONG_FORM) {
        header += size - DER_LONG_FORM;
        if (header == 2 || header > 2 + DER_MAX_LENGTH_BYTES) {
            return PE_CERTIFICATES_NOT_DER; // indefinite, or longer than 32 bits
        }
        size = 0;
        for (uint32_t i = 2; i < header; i++) {
            size = size << 8 | der[i];
        }
    }
    if (der[0] != DER_SEQUENCE) {
        return PE_CERTIFICATES_NOT_DER;
    }
    if (size > recordLength - PE_CERTIFICATE_HEADER_SIZE - header) {
        return PE_CERTIFICATES_DER_PAST_RECORD;
    }
    // Fewer than 8 bytes follow the DER object in the record, and they and
    // the bytes up to the next multiple of 8 (where the next record starts,
    // inside the table since its length is a multiple of 8) are zero.
    uint32_t end = PE_CERTIFICATE_HEADER_SIZE + header + size;
    if (recordLength - end >= 8) {
        return PE_CERTIFICATES_MORE_THAN_SIGNATURE;
    }
    uint32_t extent = (recordLength + 7) & ~7u;
    for (; end < extent; end++) {
        if (record[end] != 0) {
            return PE_CERTIFICATES_MORE_THAN_SIGNATURE;
        }
    }
    *offset += extent;
    return PE_CERTIFICATES_SOUND;
}

int PeCertificateTableCheck(const unsigned char *table, uint32_t length,
                            PeCertificateFault *fault) {
    uint32_t offset = 0;
    uint32_t problem =
        length == 0 || length % 8 != 0 ? PE_CERTIFICATES_SIZE : PE_CERTIFICATES_SOUND;
    while (problem == PE_CERTIFICATES_SOUND && offset < length) {
        problem = CertificateRecordProblem(table, length, &offset);
    }
    fault->problem = problem;
    fault->recordOffset = offset;
    return problem == PE_CERTIFICATES_SOUND;
}

// ---- Layout fields and resources -------------------------------------------

// The resource tree: its bytes in the file, and what a walk has used up.
struct ResourceTree {
    const PeImage *image;
    uint32_t start;  // file offset of the root directory
    uint32_t length; // bytes of the tree from start
    uint32_t entriesLeft;
    PeResourceVisit visit;
    void *context;
};

// The bytes available from rva to the end of the raw data of the section
// holding it, with its file offset; 0 when no section holds rva.
static int RvaExtent(const PeImage *image, uint32_t rva, uint32_t *offset, uint32_t *available) {
    PeSection section;
    for (uint32_t i = 0; PeSectionGet(image, i, &section); i++) {
        uint32_t extent = section.rawSize;
        if (section.virtualSize != 0 && section.virtualSize < extent) {
            extent = section.virtualSize;
        }
        if (rva >= section.virtualAddress && rva - section.virtualAddress < extent &&
            SpanInside(section.rawOffset, extent, image->length)) {
            *offset = section.rawOffset + (rva - section.virtualAddress);
            *available = extent - (rva - section.virtualAddress);
            return 1;
        }
    }
    return 0;
}

// Reads the key of a directory entry whose name field is field.
static int ResourceKeyRead(const ResourceTree *tree, uint32_t field, PeResourceKey *key) {
    memset(key, 0, sizeof *key);
    if ((field & 0x80000000u) == 0) {
        key->id = field;
        return 1;
    }
    uint32_t at = field & 0x7FFFFFFFu, units;
    if (!SpanInside(at, 2, tree->length)) {
        return 0;
    }
    units = LoadLittleEndian(tree->image->bytes + tree->start + at, 2);
    if (!SpanInside(at + 2, 2 * units, tree->length)) {
        return 0;
    }
    key->named = 1;
    key->nameOffset = tree->start + at + 2;
    key->nameLength = units;
    return 1;
}

static int ResourceLeafVisit(const ResourceTree *tree, uint32_t at, PeResource *resource) {
    if (!SpanInside(at, PE_RESOURCE_DATA_ENTRY_SIZE, tree->length)) {
        return 0;
    }
    const unsigned char *entry = tree->image->bytes + tree->start + at;
    resource->dataEntryOffset = tree->start + at;
    resource->dataRva = LoadLittleEndian(entry, 4);
    resource->dataSize = LoadLittleEndian(entry + 4, 4);
    resource->codePage = LoadLittleEndian(entry + 8, 4);
    return PeRvaToOffset(tree->image, resource->dataRva, resource->dataSize,
                         &resource->dataOffset) &&
           tree->visit(tree->context, resource);
}

// Walks the directory at the tree offset at, of level 0 (types), 1 (names)
// or 2 (languages), filling the keys of resource on the way down.
static int ResourceDirectoryWalk(ResourceTree *tree, uint32_t at, uint32_t level,
                                 PeResource *resource) {
    if (!SpanInside(at, PE_RESOURCE_DIRECTORY_SIZE, tree->length)) {
        return 0;
    }
    const unsigned char *directory = tree->image->bytes + tree->start + at;
    uint32_t count = LoadLittleEndian(directory + 12, 2) + LoadLittleEndian(directory + 14, 2);
    if (!SpanInside(at + PE_RESOURCE_DIRECTORY_SIZE, count * PE_RESOURCE_ENTRY_SIZE,
                    tree->length) ||
        count > tree->entriesLeft) {
        return 0;
    }
    tree->entriesLeft -= count;
    PeResourceKey *keys[3] = {&resource->type, &resource->name, &resource->language};
    for (uint32_t i = 0; i < count; i++) {
        const unsigned char *entry =
            directory + PE_RESOURCE_DIRECTORY_SIZE + i * PE_RESOURCE_ENTRY_SIZE;
        uint32_t child = LoadLittleEndian(entry + 4, 4);
        int subdirectory = (child & 0x80000000u) != 0;
        child &= 0x7FFFFFFFu;
        if (!ResourceKeyRead(tree, LoadLittleEndian(entry, 4), keys[level]) ||
            subdirectory != (level < 2)) {
            return 0;
        }
        int walked = subdirectory ? ResourceDirectoryWalk(tree, child, level + 1, resource)
                                  : ResourceLeafVisit(tree, child, resource);
        if (!walked) {
            return 0;
        }
    }
    return 1;
}

int PeResourcesWalk(const PeImage *image, PeResourceVisit visit, void *context) {
    PeDataDirectory directory;
    if (!PeDataDirectoryGet(image, PE_DIRECTORY_RESOURCE, &directory) ||
        (directory.address == 0 && directory.size == 0)) {
        return 1;
    }
    ResourceTree tree;
    uint32_t available;
    if (!RvaExtent(image, directory.address, &tree.start, &available)) {
        return 0;
    }
    tree.image = image;
    tree.length = directory.size < available ? directory.size : available;
    tree.entriesLeft = PE_RESOURCE_WALK_MAX_ENTRIES;
    tree.visit = visit;
    tree.context = context;
    PeResource resource;
    memset(&resource, 0, sizeof resource);
    return ResourceDirectoryWalk(&tree, 0, 0, &resource);
}

// ---- Finding one resource and the version strings -----------------------------
//
// The stub reads these from its own image, so they are written for size:
// byte loads the compiler merges into one, and no function per level.

static uint32_t Load16(const unsigned char *bytes) {
    return bytes[0] | static_cast<uint32_t>(bytes[1]) << 8;
}

static uint32_t Load32(const unsigned char *bytes) {
    return Load16(bytes) | Load16(bytes + 2) << 16;
}

int PeLoadedImageRead(const void *base, PeImage *image) {
    // Everything PeImageRead checked lies in the headers' page; the rest of
    // the image is mapped as far as its SizeOfImage.
    return PeImageRead(base, PE_LOADED_HEADERS_SIZE, image) &&
           PeReadU32(image, image->optionalHeaderOffset + PE_SIZE_OF_IMAGE_FIELD, &image->length);
}

// Finds the first resource of the type in the resource tree of length
// bytes at tree: 1 with its data entry's RVA in data->offset and its size
// in data->length. Offsets stay far below 4 GiB: 31 bits plus a directory
// of at most 131070 entries.
static int ResourceTreeFind(const unsigned char *tree, uint32_t length, uint32_t type,
                            PeSpan *data) {
    uint32_t at = 0;
    for (uint32_t level = 0; level < 3; level++) {
        if (!SpanInside(at, PE_RESOURCE_DIRECTORY_SIZE, length)) {
            return 0;
        }
        uint32_t count = Load16(tree + at + 12) + Load16(tree + at + 14);
        uint32_t entry = at + PE_RESOURCE_DIRECTORY_SIZE;
        // Types are matched by number (a named entry has its high bit set);
        // below them the first name and the first language are taken.
        for (;; entry += PE_RESOURCE_ENTRY_SIZE, count--) {
            if (count == 0 || !SpanInside(entry, PE_RESOURCE_ENTRY_SIZE, length)) {
                return 0;
            }
            if (level != 0 || Load32(tree + entry) == type) {
                break;
            }
        }
        uint32_t child = Load32(tree + entry + 4);
        if ((child >> 31) != (level < 2 ? 1u : 0u)) { // subdirectories above the leaves
            return 0;
        }
        at = child & 0x7FFFFFFFu;
    }
    if (!SpanInside(at, PE_RESOURCE_DATA_ENTRY_SIZE, length)) {
        return 0;
    }
    data->offset = Load32(tree + at);
    data->length = Load32(tree + at + 4);
    return 1;
}

int PeResourceFind(const PeImage *image, uint32_t type, int loaded, PeSpan *resource) {
    PeDataDirectory directory;
    uint32_t tree = 0;
    if (!PeDataDirectoryGet(image, PE_DIRECTORY_RESOURCE, &directory) ||
        !(loaded ? (tree = directory.address, 1)
                 : PeRvaToOffset(image, directory.address, directory.size, &tree)) ||
        !SpanInside(tree, directory.size, image->length) ||
        !ResourceTreeFind(image->bytes + tree, directory.size, type, resource)) {
        return 0;
    }
    uint32_t rva = resource->offset;
    if (!loaded && !PeRvaToOffset(image, rva, resource->length, &resource->offset)) {
        return 0;
    }
    return SpanInside(resource->offset, resource->length, image->length);
}

static uint32_t AlignFour(uint32_t offset) {
    return (offset + 3) & ~3u;
}

// The offset of the NUL that ends the UTF-16 text at the offset at, which
// must lie before end; 0 when there is none. Clears *same when key (ASCII)
// is not null and the text differs from it.
static uint32_t TextEnd(const unsigned char *bytes, uint32_t at, uint32_t end, const char *key,
                        int *same) {
    for (uint32_t i = 0; SpanInside(at, 2, end); i++, at += 2) {
        uint32_t unit = Load16(bytes + at);
        if (key != nullptr && *same) {
            *same = unit == static_cast<unsigned char>(key[i]);
        }
        if (unit == 0) {
            return at;
        }
    }
    return 0;
}

// The string's path from the root: the root and the table (any key),
// "StringFileInfo" between them, then the string's own name. Offsets stay
// below 64 KiB plus a few bytes: every block lies inside the root, whose
// length is a 16-bit field.
uint32_t PeVersionStringFind(const unsigned char *resource, uint32_t length, const char *name,
                             uint32_t *text) {
    uint32_t at = 0, end = length;
    for (uint32_t level = 0;;) {
        uint32_t blockLength = SpanInside(at, 6, end) ? Load16(resource + at) : 0;
        if (blockLength < 6 || !SpanInside(at, blockLength, end)) {
            return 0; // past the last sibling, or a block outside its parent
        }
        uint32_t blockEnd = at + blockLength;
        int same = 1;
        const char *key = level == 1 ? "StringFileInfo" : level == 3 ? name : nullptr;
        uint32_t keyEnd = TextEnd(resource, at + 6, blockEnd, key, &same);
        if (keyEnd == 0) {
            return 0;
        }
        uint32_t value = AlignFour(keyEnd + 2);
        if (!same) {
            at = AlignFour(blockEnd);
        } else if (level == 3) {
            // The text runs to its NUL, whatever the value length says.
            uint32_t textEnd = TextEnd(resource, value, blockEnd, nullptr, &same);
            *text = value;
            return textEnd != 0 ? (textEnd - value) / 2 : 0;
        } else {
            // The blocks on the way hold binary values or none, whose length
            // counts bytes.
            at = AlignFour(value + Load16(resource + at + 2));
            end = blockEnd;
            level++;
        }
    }
}
