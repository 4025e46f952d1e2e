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

// ---- Byte sum ------------------------------------------------------------------

uint32_t PackageByteSumAround(const void *data, uint32_t length, const PeSpan *holes,
                              uint32_t holeCount) {
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    uint32_t sum = 0;
    uint32_t position = 0;
    for (uint32_t i = 0; i < holeCount && position < length; i++) {
        uint32_t start = holes[i].offset < length ? holes[i].offset : length;
        if (start < position) {
            start = position; // not in ascending order: take what is left
        }
        sum += PackageByteSum(bytes + position, start - position);
        uint32_t room = length - start;
        position = start + (holes[i].length < room ? holes[i].length : room);
    }
    return sum + PackageByteSum(bytes + position, length - position);
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

// 1 when the trailer that ends at end (a file offset) ends in the magic.
static int MagicAt(const unsigned char *view, uint32_t end) {
    const uint32_t magicSize = sizeof PACKAGE_MAGIC - 1;
    return end >= PACKAGE_TRAILER_SIZE &&
           memcmp(view + end - magicSize, PACKAGE_MAGIC, magicSize) == 0;
}

int PackageLocate(const unsigned char *view, uint32_t length, PackageLocation *location) {
    memset(location, 0, sizeof *location);
    if (view == nullptr) {
        return 0;
    }
    if (MagicAt(view, length)) {
        location->trailerOffset = length - PACKAGE_TRAILER_SIZE;
        return 1;
    }
    PeImage image;
    PeSpan table;
    if (!PeImageRead(view, length, &image) || !PeCertificateTableGet(&image, &table) ||
        table.length != length - table.offset ||
        !PeSigningFields(&image, location->signingFields)) {
        return 0;
    }
    // The trailer ends in "k", so the zeros before the table are padding.
    uint32_t end = table.offset;
    for (uint32_t padding = 0;
         padding < PACKAGE_SIGNATURE_MAX_PADDING && end > 0 && view[end - 1] == 0; padding++) {
        end--;
    }
    if (!MagicAt(view, end)) {
        return 0;
    }
    location->trailerOffset = end - PACKAGE_TRAILER_SIZE;
    location->certificateTable = table;
    // The fields the sum leaves out lie in the image's header, before the trailer.
    const PeSpan &last = location->signingFields[1];
    return last.offset <= location->trailerOffset &&
           last.length <= location->trailerOffset - last.offset;
}

uint32_t PackageLocatedSum(const unsigned char *view, const PackageLocation *location) {
    if (location->certificateTable.length == 0) {
        return PackageByteSum(view, location->trailerOffset);
    }
    return PackageByteSumAround(view, location->trailerOffset, location->signingFields, 2);
}

// A stream of compressedSize bytes can yield at most this much.
static int SizeWithinRatio(uint32_t size, uint32_t compressedSize) {
    return static_cast<uint64_t>(size) <= static_cast<uint64_t>(compressedSize) * INFLATE_MAX_RATIO;
}

int PackageValidateDirectory(const unsigned char *directory, uint32_t directorySize,
                             uint32_t dataAreaSize) {
    uint32_t offset = 0;
    // The extraction counts installable bytes in 32 bits: a package whose
    // installable sizes add up to 4 GiB or more is outside the format.
    uint64_t installable = 0;
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
        if (!DirectoryRecordIsInternal(record)) {
            installable += DirectoryRecordSize(record);
            if (installable > UINT32_MAX) {
                return 0;
            }
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
    if (!PackageLocate(view, length, &packageReader.location)) {
        return 0;
    }
    uint32_t packageEnd = packageReader.location.trailerOffset;
    PackageTrailerDecode(view + packageEnd, &packageReader.trailer);
    const PackageTrailer *trailer = &packageReader.trailer;

    // The directory stream lies between the image and the trailer, and the
    // directory is not empty and no larger than its stream can yield.
    if (trailer->directoryOffset > packageEnd ||
        trailer->directoryCompressedSize > packageEnd - trailer->directoryOffset) {
        return 0;
    }
    if (trailer->directorySize == 0 ||
        !SizeWithinRatio(trailer->directorySize, trailer->directoryCompressedSize)) {
        return 0;
    }

    if (PackageLocatedSum(view, &packageReader.location) != trailer->packageSum) {
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
