// The package reader: open, verify, look up and inflate. See package.h for
// the layout and the contracts.
#include "package/package.h"

#include <string.h>
#include <zlib.h>

#include "heap/region_heap.h"

PackageReader packageReader;

static uint32_t LoadU16(const unsigned char *bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8;
}

static uint32_t LoadU32(const unsigned char *bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// ---- Inflation -----------------------------------------------------------------

void *InflateAlloc(void *opaque, unsigned int items, unsigned int size) {
    (void)opaque;
    if (size != 0 && items > UINT32_MAX / size) {
        return nullptr;
    }
    uint32_t bytes = static_cast<uint32_t>(items) * static_cast<uint32_t>(size);
    void *block = RegionHeapAlloc(bytes);
    if (block != nullptr) {
        memset(block, 0, bytes);
    }
    return block;
}

void InflateFree(void *opaque, void *block) {
    (void)opaque;
    RegionHeapFree(block);
}

// Runs the one-shot inflation. *inflateStatus receives inflate's result
// (Z_STREAM_ERROR when the set-up failed), *produced the bytes written.
// Returns inflateEnd's status.
static int InflateOnce(void *destination, uint32_t destinationSize, const void *source,
                       uint32_t sourceSize, int *inflateStatus, uint32_t *produced) {
    // inflate refuses a null output pointer even when there is no room to
    // write; an empty destination gets a byte that is never written.
    unsigned char nowhere;
    z_stream stream;
    memset(&stream, 0, sizeof stream); // a failed set-up leaves state null
    stream.zalloc = InflateAlloc;
    stream.zfree = InflateFree;
    stream.opaque = nullptr;
    inflateInit(&stream);
    stream.next_in = static_cast<Bytef *>(const_cast<void *>(source));
    stream.avail_in = sourceSize;
    stream.next_out = destination != nullptr ? static_cast<Bytef *>(destination) : &nowhere;
    stream.avail_out = destination != nullptr ? destinationSize : 0;
    *inflateStatus = inflate(&stream, Z_FINISH);
    *produced = static_cast<uint32_t>(
        stream.next_out - (destination != nullptr ? static_cast<Bytef *>(destination) : &nowhere));
    return inflateEnd(&stream);
}

int InflateBuffer(void *destination, uint32_t destinationSize, const void *source,
                  uint32_t sourceSize) {
    int inflateStatus;
    uint32_t produced;
    return InflateOnce(destination, destinationSize, source, sourceSize, &inflateStatus, &produced);
}

int InflateBufferCount(void *destination, uint32_t destinationSize, const void *source,
                       uint32_t sourceSize, uint32_t *produced) {
    int inflateStatus;
    uint32_t count;
    InflateOnce(destination, destinationSize, source, sourceSize, &inflateStatus, &count);
    if (produced != nullptr) {
        *produced = count;
    }
    return inflateStatus == Z_STREAM_END;
}

// ---- Records -------------------------------------------------------------------

uint32_t DirectoryRecordLength(const DirectoryRecord *record) {
    return LoadU16(record->recordLength);
}
uint32_t DirectoryRecordSize(const DirectoryRecord *record) {
    return LoadU32(record->size);
}
uint32_t DirectoryRecordCompressedSize(const DirectoryRecord *record) {
    return LoadU32(record->compressedSize);
}
uint32_t DirectoryRecordDataSum(const DirectoryRecord *record) {
    return LoadU32(record->dataSum);
}
uint32_t DirectoryRecordDataOffset(const DirectoryRecord *record) {
    return LoadU32(record->dataOffset);
}

const char *DirectoryRecordName(const DirectoryRecord *record) {
    return reinterpret_cast<const char *>(record) + DIRECTORY_RECORD_HEADER_SIZE;
}

int DirectoryRecordIsInternal(const DirectoryRecord *record) {
    // Every name of an open package starts with "\", so its second byte is
    // the terminator at the latest.
    return DirectoryRecordName(record)[1] == '#';
}

// ---- Open and close ------------------------------------------------------------

int PackageTrailerDecode(const unsigned char *bytes, PackageTrailer *trailer) {
    trailer->directoryOffset = LoadU32(bytes + 0);
    trailer->directoryCompressedSize = LoadU32(bytes + 4);
    trailer->directorySize = LoadU32(bytes + 8);
    trailer->packageSum = LoadU32(bytes + 12);
    memcpy(trailer->magic, bytes + 16, sizeof trailer->magic);
    return memcmp(trailer->magic, PACKAGE_MAGIC, sizeof trailer->magic) == 0;
}

// A stream of compressedSize bytes can yield at most this much.
static int SizeWithinRatio(uint32_t size, uint32_t compressedSize) {
    return static_cast<uint64_t>(size) <= static_cast<uint64_t>(compressedSize) * INFLATE_MAX_RATIO;
}

int PackageValidateDirectory(const unsigned char *directory, uint32_t directorySize,
                             uint32_t dataAreaSize) {
    uint32_t offset = 0;
    for (;;) {
        // Here offset <= directorySize; the header must fit, then the name
        // must end inside the directory.
        if (directorySize - offset < DIRECTORY_RECORD_HEADER_SIZE) {
            return 0;
        }
        const DirectoryRecord *record =
            reinterpret_cast<const DirectoryRecord *>(directory + offset);
        const unsigned char *name = directory + offset + DIRECTORY_RECORD_HEADER_SIZE;
        uint32_t nameRoom = directorySize - offset - DIRECTORY_RECORD_HEADER_SIZE;
        const void *terminator = memchr(name, 0, nameRoom);
        if (terminator == nullptr || name[0] != '\\') {
            return 0;
        }
        uint32_t nameLength =
            static_cast<uint32_t>(static_cast<const unsigned char *>(terminator) - name);

        uint32_t dataOffset = DirectoryRecordDataOffset(record);
        uint32_t compressedSize = DirectoryRecordCompressedSize(record);
        if (dataOffset > dataAreaSize || compressedSize > dataAreaSize - dataOffset) {
            return 0;
        }
        if (!SizeWithinRatio(DirectoryRecordSize(record), compressedSize)) {
            return 0;
        }

        uint32_t recordLength = DirectoryRecordLength(record);
        if (recordLength == 0) {
            return 1; // the last record; anything after it is never read
        }
        // The next record starts behind this one's name, within the directory.
        if (recordLength < DIRECTORY_RECORD_HEADER_SIZE + nameLength + 1 ||
            recordLength > directorySize - offset) {
            return 0;
        }
        offset += recordLength;
    }
}

// Verifies the package in packageReader.view / length and loads its
// directory. Every step leaves what it set in packageReader for PackageClose.
static int PackageLoad(void) {
    const unsigned char *view = packageReader.view;
    uint32_t length = packageReader.length;
    if (view == nullptr || length < PACKAGE_TRAILER_SIZE) {
        return 0;
    }
    // The magic first, so that a file without a package is not read through.
    const unsigned char *trailerBytes = view + length - PACKAGE_TRAILER_SIZE;
    if (!PackageTrailerDecode(trailerBytes, &packageReader.trailer)) {
        return 0;
    }
    const PackageTrailer *trailer = &packageReader.trailer;

    // The directory stream lies between the image and the trailer, and the
    // directory is not empty and no larger than its stream can yield.
    uint32_t packageEnd = length - PACKAGE_TRAILER_SIZE;
    if (trailer->directoryOffset > packageEnd ||
        trailer->directoryCompressedSize > packageEnd - trailer->directoryOffset) {
        return 0;
    }
    if (trailer->directorySize == 0 ||
        !SizeWithinRatio(trailer->directorySize, trailer->directoryCompressedSize)) {
        return 0;
    }

    if (PackageByteSum(view, packageEnd) != trailer->packageSum) {
        return 0;
    }

    packageReader.directory = static_cast<unsigned char *>(RegionHeapAlloc(trailer->directorySize));
    if (packageReader.directory == nullptr) {
        return 0;
    }
    uint32_t produced = 0;
    if (!InflateBufferCount(packageReader.directory, trailer->directorySize,
                            view + trailer->directoryOffset, trailer->directoryCompressedSize,
                            &produced) ||
        produced != trailer->directorySize) {
        return 0;
    }

    uint32_t dataStart = trailer->directoryOffset + trailer->directoryCompressedSize;
    uint32_t dataAreaSize = packageEnd - dataStart;
    if (!PackageValidateDirectory(packageReader.directory, trailer->directorySize, dataAreaSize)) {
        return 0;
    }
    packageReader.dataArea = view + dataStart;
    packageReader.dataAreaSize = dataAreaSize;
    return 1;
}

int PackageOpen(void) {
    PackageClose();
    if (!PlatformMapOwnExecutable(&packageReader.mapped)) {
        return 0;
    }
    packageReader.view = packageReader.mapped.view;
    packageReader.length = packageReader.mapped.length;
    return PackageLoad();
}

int PackageOpenFile(const char *path) {
    PackageClose();
    if (!PlatformMapFile(&packageReader.mapped, path)) {
        return 0;
    }
    packageReader.view = packageReader.mapped.view;
    packageReader.length = packageReader.mapped.length;
    return PackageLoad();
}

int PackageOpenMemory(const void *data, uint32_t length) {
    PackageClose();
    packageReader.view = static_cast<const unsigned char *>(data);
    packageReader.length = data != nullptr ? length : 0;
    return PackageLoad();
}

void PackageClose(void) {
    RegionHeapFree(packageReader.directory);
    PlatformUnmapFile(&packageReader.mapped);
    memset(&packageReader, 0, sizeof packageReader);
}

// ---- Lookup and reading --------------------------------------------------------

static unsigned char FoldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

static int NamesEqualFolded(const char *left, const char *right) {
    const unsigned char *a = reinterpret_cast<const unsigned char *>(left);
    const unsigned char *b = reinterpret_cast<const unsigned char *>(right);
    while (*a != 0 && FoldAscii(*a) == FoldAscii(*b)) {
        a++;
        b++;
    }
    return *a == 0 && *b == 0;
}

const DirectoryRecord *PackageFirstRecord(void) {
    if (packageReader.dataArea == nullptr) {
        return nullptr; // no package open, or the open failed
    }
    return reinterpret_cast<const DirectoryRecord *>(packageReader.directory);
}

const DirectoryRecord *PackageNextRecord(const DirectoryRecord *record) {
    uint32_t recordLength = DirectoryRecordLength(record);
    if (recordLength == 0) {
        return nullptr;
    }
    return reinterpret_cast<const DirectoryRecord *>(
        reinterpret_cast<const unsigned char *>(record) + recordLength);
}

const DirectoryRecord *PackageFindEntry(const char *name) {
    if (name == nullptr) {
        return nullptr;
    }
    for (const DirectoryRecord *record = PackageFirstRecord(); record != nullptr;
         record = PackageNextRecord(record)) {
        if (NamesEqualFolded(DirectoryRecordName(record) + 1, name)) {
            return record;
        }
    }
    return nullptr;
}

const unsigned char *PackageEntryStream(const DirectoryRecord *record) {
    return packageReader.dataArea + DirectoryRecordDataOffset(record);
}

int PackageReadEntry(void *destination, const DirectoryRecord *record) {
    if (record == nullptr || packageReader.dataArea == nullptr) {
        return Z_STREAM_ERROR;
    }
    return InflateBuffer(destination, DirectoryRecordSize(record), PackageEntryStream(record),
                         DirectoryRecordCompressedSize(record));
}

int PackageReadEntryFull(void *destination, const DirectoryRecord *record) {
    if (record == nullptr || packageReader.dataArea == nullptr) {
        return 0;
    }
    uint32_t size = DirectoryRecordSize(record);
    uint32_t produced = 0;
    return InflateBufferCount(destination, size, PackageEntryStream(record),
                              DirectoryRecordCompressedSize(record), &produced) &&
           produced == size;
}
