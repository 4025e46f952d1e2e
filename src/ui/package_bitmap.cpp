// Package bitmaps: loaded once, checked once, then trusted by the painter.
// GDI reads the info header, the colour table and height pixel rows from
// the file image, so each of them must lie inside it before the bitmap is
// handed out; offsets are summed in 64 bits so that no field can wrap.
#include "ui/package_bitmap.h"

#include "heap/region_heap.h"
#include "package/package.h"

static uint32_t LoadU16(const unsigned char *bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8;
}

static uint32_t LoadU32(const unsigned char *bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

static int32_t LoadI32(const unsigned char *bytes) {
    return static_cast<int32_t>(LoadU32(bytes));
}

uint64_t BitmapStride(uint32_t width, uint32_t bitCount) {
    return (static_cast<uint64_t>(width) * bitCount + 31) / 32 * 4;
}

// 1 for the formats SetDIBitsToDevice draws from rows of a known stride.
static int BitmapFormatIsDrawable(uint32_t bitCount, uint32_t compression) {
    int depthKnown = bitCount == 1 || bitCount == 4 || bitCount == 8 || bitCount == 16 ||
                     bitCount == 24 || bitCount == 32;
    if (compression == BITMAP_RGB)
        return depthKnown;
    return compression == BITMAP_BITFIELDS && (bitCount == 16 || bitCount == 32);
}

// Entries of the colour table GDI reads with DIB_RGB_COLORS: biClrUsed when
// set, else the full table of a palettized depth.
static uint64_t BitmapColourCount(uint32_t bitCount, uint32_t coloursUsed) {
    if (coloursUsed != 0)
        return coloursUsed;
    return bitCount <= 8 ? (1u << bitCount) : 0;
}

// The header fields the check and the painter need, read alike from both
// header layouts.
struct BitmapHeader {
    uint32_t infoSize;
    int32_t width; // a core header's 16-bit sizes fit as well
    int32_t height;
    uint32_t bitCount;
    uint32_t compression;
    uint64_t tableEnd; // file offset just past the masks and the colour table
};

static int BitmapInfoSizeIsDefined(uint32_t infoSize) {
    return infoSize == BITMAP_CORE_HEADER_SIZE || infoSize == BITMAP_INFO_HEADER_SIZE ||
           infoSize == 52 || infoSize == 56 || infoSize == 108 || infoSize == 124;
}

// Reads the header of a file whose info header lies inside it.
static void BitmapReadHeader(const unsigned char *file, BitmapHeader *header) {
    const unsigned char *info = file + BITMAP_FILE_HEADER_SIZE;
    header->infoSize = LoadU32(info);
    uint64_t tableStart = BITMAP_FILE_HEADER_SIZE + static_cast<uint64_t>(header->infoSize);
    if (header->infoSize == BITMAP_CORE_HEADER_SIZE) {
        header->width = LoadU16(info + 4);
        header->height = LoadU16(info + 6);
        header->bitCount = LoadU16(info + 10);
        header->compression = BITMAP_RGB;
        uint64_t colours = header->bitCount <= 8 ? 1u << header->bitCount : 0;
        header->tableEnd = tableStart + colours * 3;
        return;
    }
    header->width = LoadI32(info + 4);
    header->height = LoadI32(info + 8);
    header->bitCount = LoadU16(info + 14);
    header->compression = LoadU32(info + 16);
    // With colour masks, GDI reads them at info + 40 whatever the header's
    // size, and the colour table after the header or the masks.
    if (header->compression == BITMAP_BITFIELDS && header->infoSize < 52)
        tableStart = BITMAP_FILE_HEADER_SIZE + 52;
    header->tableEnd = tableStart + BitmapColourCount(header->bitCount, LoadU32(info + 32)) * 4;
}

// BitmapCheck, with the header read into *header once the info header is
// known to lie inside the file.
static BitmapProblem BitmapCheckReading(const unsigned char *file, uint32_t size,
                                        BitmapHeader *header) {
    if (!file || size < BITMAP_FILE_HEADER_SIZE + 4 || file[0] != 'B' || file[1] != 'M')
        return BITMAP_NOT_BMP;
    uint32_t infoSize = LoadU32(file + BITMAP_FILE_HEADER_SIZE);
    if (!BitmapInfoSizeIsDefined(infoSize))
        return BITMAP_HEADER_UNKNOWN;
    if (BITMAP_FILE_HEADER_SIZE + infoSize > size)
        return BITMAP_HEADER_OUTSIDE;
    BitmapReadHeader(file, header);
    if (header->width <= 0 || header->height <= 0)
        return BITMAP_NOT_BOTTOM_UP;
    if (!BitmapFormatIsDrawable(header->bitCount, header->compression) ||
        (infoSize == BITMAP_CORE_HEADER_SIZE && header->bitCount != 1 && header->bitCount != 4 &&
         header->bitCount != 8 && header->bitCount != 24))
        return BITMAP_FORMAT_UNSUPPORTED;
    if (header->tableEnd > size)
        return BITMAP_TABLE_OUTSIDE;
    uint32_t pixelOffset = LoadU32(file + 10);
    if (pixelOffset >= size)
        return BITMAP_PIXELS_OUTSIDE;
    uint64_t pixelBytes = BitmapStride(static_cast<uint32_t>(header->width), header->bitCount) *
                          static_cast<uint64_t>(header->height); // below 2^34 x 2^31: no wrap
    return pixelBytes <= size - pixelOffset ? BITMAP_SOUND : BITMAP_PIXELS_OUTSIDE;
}

BitmapProblem BitmapCheck(const unsigned char *file, uint32_t size) {
    BitmapHeader header;
    return BitmapCheckReading(file, size, &header);
}

const char *BitmapProblemText(BitmapProblem problem) {
    switch (problem) {
        case BITMAP_SOUND:
            return "";
        case BITMAP_NOT_BMP:
            return "it is not a BMP file (no \"BM\" header)";
        case BITMAP_HEADER_UNKNOWN:
            return "its info header has a size Windows does not define (12, 40, 52, 56, 108 or "
                   "124)";
        case BITMAP_HEADER_OUTSIDE:
            return "its info header runs past the end of the file";
        case BITMAP_NOT_BOTTOM_UP:
            return "its width or height is not positive (top-down bitmaps are not drawn)";
        case BITMAP_FORMAT_UNSUPPORTED:
            return "its format is not drawn: only uncompressed 1, 4, 8, 16, 24 and 32-bit bitmaps"
                   " (colour masks at 16 and 32 bits) are, not run-length or other compression";
        case BITMAP_TABLE_OUTSIDE:
            return "its colour masks or colour table run past the end of the file";
        case BITMAP_PIXELS_OUTSIDE:
            return "its pixel rows run past the end of the file";
    }
    return "it is damaged";
}

int BitmapValidate(const unsigned char *file, uint32_t size) {
    return BitmapCheck(file, size) == BITMAP_SOUND;
}

void BitmapDimensions(const unsigned char *file, int32_t *width, int32_t *height) {
    BitmapHeader header;
    BitmapReadHeader(file, &header);
    *width = header.width;
    *height = header.height;
}

PackageBitmap *BitmapLoad(const char *entryName) {
    const DirectoryRecord *record = PackageFindEntry(entryName);
    if (!record)
        return 0;
    uint32_t size = DirectoryRecordSize(record);
    PackageBitmap *bitmap = static_cast<PackageBitmap *>(RegionHeapAlloc(sizeof(PackageBitmap)));
    if (!bitmap)
        return 0;
    bitmap->buffer = static_cast<unsigned char *>(RegionHeapAlloc(size));
    BitmapHeader header;
    if (!bitmap->buffer || !PackageReadEntryFull(bitmap->buffer, record) ||
        BitmapCheckReading(bitmap->buffer, size, &header) != BITMAP_SOUND) {
        BitmapFree(bitmap);
        return 0;
    }
    bitmap->info = bitmap->buffer + BITMAP_FILE_HEADER_SIZE;
    bitmap->bits = bitmap->buffer + LoadU32(bitmap->buffer + 10);
    bitmap->width = header.width;
    bitmap->height = header.height;
    return bitmap;
}

void BitmapFree(PackageBitmap *bitmap) {
    if (!bitmap)
        return;
    RegionHeapFree(bitmap->buffer);
    RegionHeapFree(bitmap);
}
