// Bitmaps carried in the package ("#brand.bmp", "#installingtext.bmp"):
// Windows BMP files stored whole, inflated once and drawn straight from the
// file image, with no GDI bitmap made.
//
//   file:  BITMAPFILEHEADER (14) | info header | [masks] | colour table | ... | pixel rows
//          0  "BM"   2 bfSize   6 reserved   10 bfOffBits (u32)
//          14 info header: 0 size (u32)  4 width (i32)  8 height (i32)
//             12 planes (u16)  14 bit count (u16)  16 compression (u32)
//             32 colours used (u32)
//
// All integers are little-endian. Rows are stored bottom-up, each padded to
// a multiple of 4 bytes.
#pragma once

#include <stdint.h>

const uint32_t BITMAP_FILE_HEADER_SIZE = 14;
const uint32_t BITMAP_INFO_HEADER_SIZE = 40; // BITMAPINFOHEADER, the smallest accepted
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

// Returns 1 when the size bytes at file are a BMP image that can be drawn
// without reading outside them: "BM"; an info header of at least 40 bytes
// lying inside the file; positive width and height; a bit count of 1, 4, 8,
// 16, 24 or 32, uncompressed (or with colour masks at 16 and 32 bits); the
// colour masks and colour table inside the file; and height rows of the
// stride that width and bit count require, starting at bfOffBits, inside
// the file. Returns 0 otherwise. Reads nothing outside the size bytes.
int BitmapValidate(const unsigned char *file, uint32_t size);

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
