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

int BitmapValidate(const unsigned char *file, uint32_t size) {
    if (!file || size < BITMAP_FILE_HEADER_SIZE + BITMAP_INFO_HEADER_SIZE)
        return 0;
    if (file[0] != 'B' || file[1] != 'M')
        return 0;
    const unsigned char *info = file + BITMAP_FILE_HEADER_SIZE;
    uint32_t infoSize = LoadU32(info);
    if (infoSize < BITMAP_INFO_HEADER_SIZE ||
        static_cast<uint64_t>(BITMAP_FILE_HEADER_SIZE) + infoSize > size)
        return 0;
    int32_t width = LoadI32(info + 4);
    int32_t height = LoadI32(info + 8);
    uint32_t bitCount = LoadU16(info + 14);
    uint32_t compression = LoadU32(info + 16);
    if (width <= 0 || height <= 0 || !BitmapFormatIsDrawable(bitCount, compression))
        return 0;

    // A 40-byte header is followed by the three colour masks; later headers
    // hold them.
    uint64_t tableStart = BITMAP_FILE_HEADER_SIZE + static_cast<uint64_t>(infoSize);
    if (compression == BITMAP_BITFIELDS && infoSize == BITMAP_INFO_HEADER_SIZE)
        tableStart += 12;
    uint64_t tableEnd = tableStart + BitmapColourCount(bitCount, LoadU32(info + 32)) * 4;
    if (tableEnd > size)
        return 0;

    uint32_t pixelOffset = LoadU32(file + 10);
    if (pixelOffset >= size)
        return 0;
    uint64_t pixelBytes = BitmapStride(static_cast<uint32_t>(width), bitCount) *
                          static_cast<uint64_t>(height); // below 2^34 x 2^31: no wrap
    return pixelBytes <= size - pixelOffset;
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
    if (!bitmap->buffer || !PackageReadEntryFull(bitmap->buffer, record) ||
        !BitmapValidate(bitmap->buffer, size)) {
        BitmapFree(bitmap);
        return 0;
    }
    bitmap->info = bitmap->buffer + BITMAP_FILE_HEADER_SIZE;
    bitmap->bits = bitmap->buffer + LoadU32(bitmap->buffer + 10);
    bitmap->width = LoadI32(bitmap->info + 4);
    bitmap->height = LoadI32(bitmap->info + 8);
    return bitmap;
}

void BitmapFree(PackageBitmap *bitmap) {
    if (!bitmap)
        return;
    RegionHeapFree(bitmap->buffer);
    RegionHeapFree(bitmap);
}
