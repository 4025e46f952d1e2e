// Bitmaps carried in the package ("#brand.bmp", "#installingtext.bmp"):
// Windows BMP files stored whole, inflated once and drawn straight from the
// file image, with no GDI bitmap made.
//
//   file:  BITMAPFILEHEADER (14) | info header | [masks] | colour table | ... | pixel rows
//          0  "BM"   2 bfSize   6 reserved   10 bfOffBits (u32)
//          14 info header of 40, 52, 56, 108 or 124 bytes:
//             0 size (u32)  4 width (i32)  8 height (i32)  12 planes (u16)
//             14 bit count (u16)  16 compression (u32)  32 colours used (u32)
//             40 red, green, blue masks (u32 each; beyond a 40-byte header
//             GDI reads them from behind it when the compression says so)
//          or the 12-byte core header:
//             0 size (u32)  4 width (u16)  6 height (u16)  8 planes (u16)
//             10 bit count (u16), with a colour table of 3-byte entries
//
// All integers are little-endian. Rows are stored bottom-up, each padded to
// a multiple of 4 bytes.
#pragma once

#include <stdint.h>

const uint32_t BITMAP_FILE_HEADER_SIZE = 14;
const uint32_t BITMAP_CORE_HEADER_SIZE = 12; // BITMAPCOREHEADER
const uint32_t BITMAP_INFO_HEADER_SIZE = 40; // BITMAPINFOHEADER
const uint32_t BITMAP_RGB = 0;               // BI_RGB: uncompressed
const uint32_t BITMAP_BITFIELDS = 3;         // BI_BITFIELDS: 16 or 32 bits with colour masks

// A bitmap loaded from the package, on the region heap. buffer is the
// whole inflated file; info and bits point into it.
struct PackageBitmap {
    unsigned char *buffer;     // owned
    const unsigned char *info; // buffer + 14: info header and colour table (a BITMAPINFO)
    const unsigned char *bits; // buffer + bfOffBits: the pixel rows
    int32_t width;             // as stored
    int32_t height;            // as stored, positive
};

// Why a bitmap cannot be drawn; BITMAP_SOUND when it can.
enum BitmapProblem {
    BITMAP_SOUND = 0,
    BITMAP_NOT_BMP,            // shorter than its headers, or no "BM"
    BITMAP_HEADER_UNKNOWN,     // an info header size Windows does not define
    BITMAP_HEADER_OUTSIDE,     // the info header runs past the end of the file
    BITMAP_NOT_BOTTOM_UP,      // zero or negative width, or a height that is not positive
    BITMAP_FORMAT_UNSUPPORTED, // bit count or compression (run-length, JPEG, PNG...)
    BITMAP_TABLE_OUTSIDE,      // colour masks or colour table past the end of the file
    BITMAP_PIXELS_OUTSIDE      // the pixel rows run past the end of the file
};

// What GDI would make of the size bytes at file: BITMAP_SOUND when they are
// a BMP image that SetDIBitsToDevice draws without reading outside them:
// "BM"; an info header of a size Windows defines (12, 40, 52, 56, 108 or
// 124 bytes) inside the file; positive width and height (bottom-up rows); a
// bit count of 1, 4, 8, 16, 24 or 32, uncompressed (or with colour masks at
// 16 and 32 bits; the core header knows 1, 4, 8 and 24 only); the colour
// masks and colour table, counted as GDI counts them for that header, inside
// the file; and height rows of the stride that width and bit count require,
// starting at bfOffBits, inside the file. Reads nothing outside the size
// bytes.
BitmapProblem BitmapCheck(const unsigned char *file, uint32_t size);

// A short English account of problem ("" for BITMAP_SOUND), for qpack.
const char *BitmapProblemText(BitmapProblem problem);

// 1 when BitmapCheck finds the bitmap sound, else 0.
int BitmapValidate(const unsigned char *file, uint32_t size);

// The drawn size of a bitmap BitmapCheck found sound.
void BitmapDimensions(const unsigned char *file, int32_t *width, int32_t *height);

// Bytes in one pixel row of a bitmap width pixels wide at bitCount bits a
// pixel: the bits rounded up to whole 32-bit words.
uint64_t BitmapStride(uint32_t width, uint32_t bitCount);

// Loads the package entry named entryName (without its leading "\").
// Returns the bitmap, or null when there is no such entry, the heap has no
// room for it, its stream does not yield its full size, or it fails
// BitmapValidate: a damaged bitmap is treated as a missing one. Nothing is
// left allocated on failure.
PackageBitmap *BitmapLoad(const char *entryName);

// Releases the file image and then the record; null is accepted.
void BitmapFree(PackageBitmap *bitmap);
