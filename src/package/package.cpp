// The package reader: open, verify, look up and inflate. See package.h for
// the layout and the contracts.
#include "package/package.h"

#include <string.h>
#include <zlib.h>

#include "heap/region_heap.h"
#include "package/relative_names.h"

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

// 1 when the count bytes at bytes (count >= the trailer's size) end in the
// magic.
static int EndsInMagic(const unsigned char *bytes, uint32_t count) {
    const uint32_t magicSize = sizeof PACKAGE_MAGIC - 1;
    return count >= PACKAGE_TRAILER_SIZE &&
           memcmp(bytes + count - magicSize, PACKAGE_MAGIC, magicSize) == 0;
}

// Reads the certificate entry of the image whose PE headers lie in the
// headLength bytes at head. Returns 1 when the entry is not zero: the file
// is signed, and the table, the signing fields and their bytes' sum (both
// inside the optional header, which lies in head) go to location. Returns 0
// for an entry of zeros, none, or no PE image: the file is unsigned.
static int CertificateEntryRead(const unsigned char *head, uint32_t headLength,
                                PackageLocation *location) {
    PeImage image;
    PeDataDirectory entry;
    if (!PeImageRead(head, headLength, &image) ||
        !PeDataDirectoryGet(&image, PE_DIRECTORY_CERTIFICATE, &entry) ||
        (entry.address | entry.size) == 0) {
        return 0;
    }
    PeSigningFields(&image, location->signingFields);
    for (const PeSpan &field : location->signingFields) {
        location->signingFieldsSum += PackageByteSum(head + field.offset, field.length);
    }
    location->certificateTable.offset = entry.address;
    location->certificateTable.length = entry.size;
    return 1;
}

// PACKAGE_SOUND when the certificate table of a signed file of length
// bytes ends exactly at the end of the file. (An empty one fails the
// table's check.)
static PackageFault CertificateTablePlacementFault(const PackageLocation *location,
                                                   uint32_t length) {
    const PeSpan &table = location->certificateTable;
    if (table.offset > length || table.length > length - table.offset) {
        return PACKAGE_TABLE_OUTSIDE_FILE;
    }
    return table.length == length - table.offset ? PACKAGE_SOUND : PACKAGE_TABLE_NOT_AT_END;
}

// The trailer of a signed file in the count bytes at bytes that end where
// the certificate table starts (all of the file before it when it is
// shorter than the trailer and its padding).
static PackageFault LocateBeforeTable(const unsigned char *bytes, uint32_t count,
                                      PackageLocation *location) {
    // The trailer ends in "k", so the zeros before the table are padding.
    uint32_t end = count;
    for (uint32_t padding = 0;
         padding < PACKAGE_SIGNATURE_MAX_PADDING && end > 0 && bytes[end - 1] == 0; padding++) {
        end--;
    }
    if (!EndsInMagic(bytes, end)) {
        return PACKAGE_NO_TRAILER_BEFORE_TABLE;
    }
    location->trailerOffset =
        location->certificateTable.offset - count + end - PACKAGE_TRAILER_SIZE;
    // The fields the sum leaves out lie in the image's header, before the trailer.
    const PeSpan &last = location->signingFields[1];
    if (last.offset > location->trailerOffset ||
        last.length > location->trailerOffset - last.offset) {
        return PACKAGE_TRAILER_IN_HEADERS;
    }
    return PACKAGE_SOUND;
}

// How many bytes before the certificate table may hold the trailer.
const uint32_t PACKAGE_TRAILER_ROOM = PACKAGE_TRAILER_SIZE + PACKAGE_SIGNATURE_MAX_PADDING;

static uint32_t Smaller(uint32_t a, uint32_t b) {
    return a < b ? a : b;
}

int PackageLocate(const unsigned char *view, uint32_t length, PackageLocation *location) {
    memset(location, 0, sizeof *location);
    if (view == nullptr) {
        return 0;
    }
    if (!CertificateEntryRead(view, length, location)) {
        location->trailerOffset = length - PACKAGE_TRAILER_SIZE;
        return EndsInMagic(view, length);
    }
    const PeSpan &table = location->certificateTable;
    PeCertificateFault fault;
    if (CertificateTablePlacementFault(location, length) != PACKAGE_SOUND ||
        !PeCertificateTableCheck(view + table.offset, table.length, &fault)) {
        return 0;
    }
    uint32_t room = Smaller(table.offset, PACKAGE_TRAILER_ROOM);
    return LocateBeforeTable(view + table.offset - room, room, location) == PACKAGE_SOUND;
}

uint32_t PackageLocatedSum(const unsigned char *view, const PackageLocation *location) {
    if (location->certificateTable.length == 0) {
        return PackageByteSum(view, location->trailerOffset);
    }
    return PackageByteSumAround(view, location->trailerOffset, location->signingFields, 2);
}

// ---- Bytes of the file being read ----------------------------------------------------

uint32_t packageViewSize = PACKAGE_VIEW_SIZE;

// The length bytes at offset of the package file: inside the whole view,
// or in a view of their own (view is then set for PackageBytesUnmap).
// Null when they do not lie inside the file or cannot be mapped.
static const unsigned char *PackageBytesMap(uint32_t offset, uint32_t length, PlatformView *view) {
    view->base = nullptr;
    view->length = 0;
    if (offset > packageReader.length || length > packageReader.length - offset) {
        return nullptr;
    }
    if (packageReader.view != nullptr) {
        return packageReader.view + offset;
    }
    static const unsigned char nothing = 0; // a stream of no bytes needs an address
    return length == 0 ? &nothing : PlatformViewMap(&packageReader.mapped, offset, length, view);
}

static void PackageBytesUnmap(PlatformView *view) {
    PlatformViewUnmap(view);
}

// PackageLocate for the file being opened (of at least the trailer's
// length), through views of its head, and then of its tail or of its
// certificate table and the bytes before it (a file opened whole looks for
// the PE headers in all of it). Returns the fault met, if any.
static PackageFault PackageLocateOpened(PackageLocation *location) {
    memset(location, 0, sizeof *location);
    uint32_t length = packageReader.length;
    PlatformView view;
    uint32_t headLength =
        packageReader.view != nullptr ? length : Smaller(length, PACKAGE_HEADERS_VIEW);
    const unsigned char *head = PackageBytesMap(0, headLength, &view);
    if (head == nullptr) {
        return PACKAGE_NOT_READ; // signed or not cannot be told
    }
    int isSigned = CertificateEntryRead(head, headLength, location);
    PackageBytesUnmap(&view);
    if (!isSigned) {
        location->trailerOffset = length - PACKAGE_TRAILER_SIZE;
        const unsigned char *tail =
            PackageBytesMap(location->trailerOffset, PACKAGE_TRAILER_SIZE, &view);
        if (tail == nullptr) {
            return PACKAGE_NOT_READ;
        }
        PackageFault fault =
            PackageTrailerDecode(tail, &packageReader.trailer) ? PACKAGE_SOUND : PACKAGE_NO_MAGIC;
        PackageBytesUnmap(&view);
        return fault;
    }
    const PeSpan &table = location->certificateTable;
    PackageFault fault = CertificateTablePlacementFault(location, length);
    if (fault != PACKAGE_SOUND) {
        return fault;
    }
    const unsigned char *certificates = PackageBytesMap(table.offset, table.length, &view);
    if (certificates == nullptr) {
        return PACKAGE_NOT_READ;
    }
    int sound =
        PeCertificateTableCheck(certificates, table.length, &packageReader.refusal.certificate);
    PackageBytesUnmap(&view);
    if (!sound) {
        return PACKAGE_TABLE_REFUSED;
    }
    uint32_t room = Smaller(table.offset, PACKAGE_TRAILER_ROOM);
    const unsigned char *before = PackageBytesMap(table.offset - room, room, &view);
    if (before == nullptr) {
        return PACKAGE_NOT_READ;
    }
    fault = LocateBeforeTable(before, room, location);
    if (fault == PACKAGE_SOUND) {
        uint32_t trailerAt = location->trailerOffset - (table.offset - room);
        PackageTrailerDecode(before + trailerAt, &packageReader.trailer);
    }
    PackageBytesUnmap(&view);
    return fault;
}

// The byte sum of the length bytes at offset of the file being opened,
// over views of at most packageViewSize bytes one after the other.
// Returns 0 when a view could not be mapped.
static int PackageSumInViews(uint32_t offset, uint32_t length, uint32_t *sum) {
    for (uint32_t end = offset + length; offset < end;) {
        uint32_t count = Smaller(packageViewSize, end - offset);
        PlatformView view;
        const unsigned char *bytes = PackageBytesMap(offset, count, &view);
        if (bytes == nullptr) {
            return 0;
        }
        *sum += PackageByteSum(bytes, count);
        PackageBytesUnmap(&view);
        offset += count;
    }
    return 1;
}

// The package sum of the located file being opened. The sum wraps, so the
// signing fields of a signed file are counted as zero by taking their
// bytes, summed by the locate, off again. Returns 0 when a view could not
// be mapped.
static int PackageSumOpened(uint32_t *sum) {
    const PackageLocation *location = &packageReader.location;
    *sum = 0;
    if (!PackageSumInViews(0, location->trailerOffset, sum)) {
        return 0;
    }
    *sum -= location->signingFieldsSum;
    return 1;
}

// A stream of compressedSize bytes can yield at most this much.
static int SizeWithinRatio(uint32_t size, uint32_t compressedSize) {
    return static_cast<uint64_t>(size) <= static_cast<uint64_t>(compressedSize) * INFLATE_MAX_RATIO;
}

PackageFault PackageDirectoryFaultFind(const unsigned char *directory, uint32_t directorySize,
                                       uint32_t dataAreaSize, uint32_t *recordOffset) {
    uint32_t offset = 0;
    // The extraction counts installable bytes in 32 bits: a package whose
    // installable sizes add up to 4 GiB or more is outside the format.
    uint32_t installable = 0;
    for (;;) {
        *recordOffset = offset;
        // Here offset <= directorySize; the header must fit, then the name
        // must end inside the directory.
        if (directorySize - offset < DIRECTORY_RECORD_HEADER_SIZE) {
            return PACKAGE_RECORD_HEADER_CUT;
        }
        const DirectoryRecord *record =
            reinterpret_cast<const DirectoryRecord *>(directory + offset);
        const unsigned char *name = directory + offset + DIRECTORY_RECORD_HEADER_SIZE;
        uint32_t nameRoom = directorySize - offset - DIRECTORY_RECORD_HEADER_SIZE;
        const void *terminator = memchr(name, 0, nameRoom);
        if (terminator == nullptr) {
            return PACKAGE_RECORD_NAME_UNTERMINATED;
        }
        if (name[0] != '\\') {
            return PACKAGE_RECORD_NAME_UNROOTED;
        }
        uint32_t nameLength =
            static_cast<uint32_t>(static_cast<const unsigned char *>(terminator) - name);

        uint32_t dataOffset = DirectoryRecordDataOffset(record);
        uint32_t compressedSize = DirectoryRecordCompressedSize(record);
        if (dataOffset > dataAreaSize || compressedSize > dataAreaSize - dataOffset) {
            return PACKAGE_RECORD_STREAM_OUTSIDE;
        }
        if (!SizeWithinRatio(DirectoryRecordSize(record), compressedSize)) {
            return PACKAGE_RECORD_SIZE_TOO_LARGE;
        }
        if (!DirectoryRecordIsInternal(record)) {
            if (DirectoryRecordSize(record) > UINT32_MAX - installable) {
                return PACKAGE_INSTALLABLE_TOO_LARGE;
            }
            installable += DirectoryRecordSize(record);
        }

        uint32_t recordLength = DirectoryRecordLength(record);
        if (recordLength == 0) {
            return PACKAGE_SOUND; // the last record; anything after it is never read
        }
        // The next record starts behind this one's name, within the directory.
        if (recordLength < DIRECTORY_RECORD_HEADER_SIZE + nameLength + 1) {
            return PACKAGE_RECORD_LENGTH_SHORT;
        }
        if (recordLength > directorySize - offset) {
            return PACKAGE_RECORD_LENGTH_PAST_END;
        }
        offset += recordLength;
    }
}

int PackageValidateDirectory(const unsigned char *directory, uint32_t directorySize,
                             uint32_t dataAreaSize) {
    uint32_t recordOffset;
    return PackageDirectoryFaultFind(directory, directorySize, dataAreaSize, &recordOffset) ==
           PACKAGE_SOUND;
}

// Inflates the directory of the located file being opened into a new
// region-heap block, keeping inflate's result and count in the refusal.
static PackageFault PackageDirectoryLoad(const PackageTrailer *trailer) {
    packageReader.directory = static_cast<unsigned char *>(RegionHeapAlloc(trailer->directorySize));
    if (packageReader.directory == nullptr) {
        return PACKAGE_OUT_OF_MEMORY;
    }
    PlatformView view;
    const unsigned char *stream =
        PackageBytesMap(trailer->directoryOffset, trailer->directoryCompressedSize, &view);
    if (stream == nullptr) {
        return PACKAGE_NOT_READ;
    }
    PackageRefusal *refusal = &packageReader.refusal;
    InflateOnce(packageReader.directory, trailer->directorySize, stream,
                trailer->directoryCompressedSize, &refusal->inflateStatus, &refusal->inflated);
    PackageBytesUnmap(&view);
    // No state (its set-up failed), or no window for a stream cut short.
    if (refusal->inflateStatus == Z_STREAM_ERROR || refusal->inflateStatus == Z_MEM_ERROR) {
        return PACKAGE_OUT_OF_MEMORY;
    }
    if (refusal->inflateStatus != Z_STREAM_END || refusal->inflated != trailer->directorySize) {
        return PACKAGE_DIRECTORY_NOT_INFLATED;
    }
    return PACKAGE_SOUND;
}

// Verifies the package of the file set up in packageReader (view, or
// mapped without a view, and length) and loads its directory. Every step
// leaves what it set in packageReader for PackageClose. Returns the first
// fault met.
static PackageFault PackageVerify(void) {
    uint32_t length = packageReader.length;
    if (length < PACKAGE_TRAILER_SIZE) {
        return PACKAGE_TOO_SHORT;
    }
    // The magic first, so that a file without a package is not read through.
    PackageFault fault = PackageLocateOpened(&packageReader.location);
    if (fault != PACKAGE_SOUND) {
        return fault;
    }
    // The locate decoded the trailer from the bytes it found it in.
    uint32_t packageEnd = packageReader.location.trailerOffset;
    const PackageTrailer *trailer = &packageReader.trailer;

    // The directory stream lies between the image and the trailer, and the
    // directory is not empty and no larger than its stream can yield.
    if (trailer->directoryOffset > packageEnd ||
        trailer->directoryCompressedSize > packageEnd - trailer->directoryOffset) {
        return PACKAGE_DIRECTORY_OUTSIDE;
    }
    if (trailer->directorySize == 0) {
        return PACKAGE_DIRECTORY_EMPTY;
    }
    if (!SizeWithinRatio(trailer->directorySize, trailer->directoryCompressedSize)) {
        return PACKAGE_DIRECTORY_TOO_LARGE;
    }

    uint32_t *sum = &packageReader.refusal.sum;
    if (!PackageSumOpened(sum)) {
        return PACKAGE_NOT_READ;
    }
    if (*sum != trailer->packageSum) {
        return PACKAGE_SUM_MISMATCH;
    }
    fault = PackageDirectoryLoad(trailer);
    if (fault != PACKAGE_SOUND) {
        return fault;
    }

    uint32_t dataStart = trailer->directoryOffset + trailer->directoryCompressedSize;
    packageReader.dataStart = dataStart;
    packageReader.dataAreaSize = packageEnd - dataStart;
    fault =
        PackageDirectoryFaultFind(packageReader.directory, trailer->directorySize,
                                  packageReader.dataAreaSize, &packageReader.refusal.recordOffset);
    if (fault != PACKAGE_SOUND) {
        return fault;
    }
    packageReader.dataArea =
        packageReader.view != nullptr ? packageReader.view + dataStart : nullptr;
    return PACKAGE_SOUND;
}

// Verifies the file set up in packageReader, keeping the fault met.
static int PackageLoad(void) {
    packageReader.refusal.fault = PackageVerify();
    packageReader.ready = packageReader.refusal.fault == PACKAGE_SOUND;
    return packageReader.ready;
}

// Opens the file set up in packageReader.mapped, whole (with a view) or in
// views.
static int PackageLoadMapped(int opened) {
    if (!opened) {
        packageReader.refusal.fault = PACKAGE_NOT_OPENED;
        return 0;
    }
    packageReader.view = packageReader.mapped.view;
    packageReader.length = packageReader.mapped.length;
    return PackageLoad();
}

int PackageOpen(void) {
    PackageClose();
    return PackageLoadMapped(PlatformOpenOwnExecutable(&packageReader.mapped));
}

int PackageOpenFile(const char *path) {
    PackageClose();
    return PackageLoadMapped(PlatformMapFile(&packageReader.mapped, path));
}

int PackageOpenFileInViews(const char *path) {
    PackageClose();
    return PackageLoadMapped(PlatformOpenFile(&packageReader.mapped, path));
}

int PackageOpenMemory(const void *data, uint32_t length) {
    PackageClose();
    packageReader.view = static_cast<const unsigned char *>(data);
    packageReader.length = data != nullptr ? length : 0;
    return PackageLoad();
}

void PackageClose(void) {
    RegionHeapFree(packageReader.directory);
    PackageBytesUnmap(&packageReader.streamView.view);
    PlatformUnmapFile(&packageReader.mapped);
    memset(&packageReader, 0, sizeof packageReader);
}

// ---- The file of the last open, for diagnosis -----------------------------------

const unsigned char *PackageFileBytesMap(uint32_t offset, uint32_t length, PlatformView *view) {
    return PackageBytesMap(offset, length, view);
}

void PackageFileBytesUnmap(PlatformView *view) {
    PackageBytesUnmap(view);
}

// ---- Lookup and reading --------------------------------------------------------

const DirectoryRecord *PackageFirstRecord(void) {
    if (!packageReader.ready) {
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
    if (packageReader.dataArea == nullptr) {
        return nullptr;
    }
    return packageReader.dataArea + DirectoryRecordDataOffset(record);
}

// Inflates the entry of record in one shot from its stream, mapped for
// the while. Returns InflateOnce's results; Z_STREAM_ERROR (and nothing
// produced) when the stream could not be mapped.
static int PackageEntryReadOnce(void *destination, const DirectoryRecord *record,
                                int *inflateStatus, uint32_t *produced) {
    *inflateStatus = Z_STREAM_ERROR;
    *produced = 0;
    if (record == nullptr || !packageReader.ready) {
        return Z_STREAM_ERROR;
    }
    PlatformView view;
    const unsigned char *stream =
        PackageBytesMap(packageReader.dataStart + DirectoryRecordDataOffset(record),
                        DirectoryRecordCompressedSize(record), &view);
    if (stream == nullptr) {
        return Z_STREAM_ERROR;
    }
    int status = InflateOnce(destination, DirectoryRecordSize(record), stream,
                             DirectoryRecordCompressedSize(record), inflateStatus, produced);
    PackageBytesUnmap(&view);
    return status;
}

int PackageReadEntry(void *destination, const DirectoryRecord *record) {
    int inflateStatus;
    uint32_t produced;
    return PackageEntryReadOnce(destination, record, &inflateStatus, &produced);
}

int PackageReadEntryFull(void *destination, const DirectoryRecord *record) {
    int inflateStatus;
    uint32_t produced;
    PackageEntryReadOnce(destination, record, &inflateStatus, &produced);
    return inflateStatus == Z_STREAM_END && produced == DirectoryRecordSize(record);
}

// Output is summed in strides of this size, each right after inflate wrote
// it, while it is still in the cache.
const uint32_t INFLATE_SUM_STRIDE = 256u << 10;

// The bytes of the file from offset on that the stream view holds, mapping
// it anew at offset (packageViewSize bytes, or up to the file's end) when
// offset lies outside it; *count receives how many, at most left. The view
// stays mapped from one entry to the next, since the entries' streams
// follow one another in the file in the order they are read: one view per
// entry would cost a round trip to the system for each of thousands of
// small files. Null when a view could not be mapped.
static const unsigned char *PackageStreamBytes(uint32_t offset, uint32_t left, uint32_t *count) {
    PackageStreamView *kept = &packageReader.streamView;
    // An offset before the view wraps past its length too: the view ends
    // inside the file, below 4 GiB.
    uint32_t skipped = offset - kept->offset;
    if (skipped >= kept->length) {
        PackageBytesUnmap(&kept->view);
        kept->offset = offset;
        kept->length = Smaller(packageViewSize, packageReader.length - offset);
        kept->bytes = PackageBytesMap(offset, kept->length, &kept->view);
        if (kept->bytes == nullptr) {
            kept->length = 0;
            return nullptr;
        }
        skipped = 0;
    }
    *count = Smaller(left, kept->length - skipped);
    return kept->bytes + skipped;
}

// The state of one PackageEntryInflate.
struct EntryInflation {
    z_stream stream;
    uint32_t nextOffset; // file offset of the stream's bytes not yet given to it
    uint32_t left;       // how many of them
};

// Gives the stream its next bytes when it has used up the last ones.
// Returns 0 when a view could not be mapped.
static int EntryInflationFeed(EntryInflation *inflation) {
    if (inflation->stream.avail_in != 0 || inflation->left == 0) {
        return 1;
    }
    uint32_t count;
    const unsigned char *bytes = PackageStreamBytes(inflation->nextOffset, inflation->left, &count);
    if (bytes == nullptr) {
        return 0;
    }
    inflation->stream.next_in = const_cast<Bytef *>(bytes);
    inflation->stream.avail_in = count;
    inflation->nextOffset += count;
    inflation->left -= count;
    return 1;
}

int PackageEntryInflate(const DirectoryRecord *record, unsigned char *buffer, uint32_t capacity,
                        PackagePieceFunction piece, void *context, PackageInflation *result) {
    result->produced = 0;
    result->sum = 0;
    if (record == nullptr || !packageReader.ready || buffer == nullptr || capacity == 0) {
        return 0;
    }
    EntryInflation inflation;
    memset(&inflation, 0, sizeof inflation); // a failed set-up leaves state null
    inflation.nextOffset = packageReader.dataStart + DirectoryRecordDataOffset(record);
    inflation.left = DirectoryRecordCompressedSize(record);
    z_stream *stream = &inflation.stream;
    stream->zalloc = InflateAlloc;
    stream->zfree = InflateFree;
    int taken = 1;
    if (inflateInit(stream) == Z_OK) {
        uint32_t size = DirectoryRecordSize(record);
        uint32_t filled = 0;
        for (;;) {
            if (!EntryInflationFeed(&inflation)) {
                taken = 0;
                break;
            }
            if (filled == capacity && piece != nullptr) {
                if (!piece(context, buffer, filled)) {
                    taken = 0;
                    break;
                }
                filled = 0;
            }
            uint32_t room =
                Smaller(Smaller(capacity - filled, size - result->produced), INFLATE_SUM_STRIDE);
            uInt inputBefore = stream->avail_in;
            stream->next_out = buffer + filled;
            stream->avail_out = room;
            // Z_FINISH: a stream that ends in this call needs no window.
            int status = inflate(stream, Z_FINISH);
            uint32_t got = room - stream->avail_out;
            result->sum += PackageByteSum(buffer + filled, got);
            filled += got;
            result->produced += got;
            int moved = got != 0 || stream->avail_in != inputBefore ||
                        (stream->avail_in == 0 && inflation.left != 0);
            if (status == Z_STREAM_END || (status != Z_OK && status != Z_BUF_ERROR) || !moved) {
                break; // the end, damage, or size bytes and more to come
            }
        }
        if (taken && filled != 0 && piece != nullptr) {
            taken = piece(context, buffer, filled);
        }
    }
    inflateEnd(stream);
    return taken;
}
