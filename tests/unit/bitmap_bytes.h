// BMP files as the packages carry them, made byte by byte for the tests:
// 8-bit palettized, BI_RGB, biClrUsed 0, a full 256-entry colour table and
// the pixels at offset 1078, rows bottom-up and padded to 4 bytes.
#pragma once

#include <stdint.h>

#include <cstdlib>
#include <vector>

inline void PutLittleEndian(std::vector<unsigned char> *bytes, size_t offset, uint32_t value,
                            int size) {
    for (int i = 0; i < size; i++)
        (*bytes)[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

// palette: up to 256 colours as 0x00RRGGBB (the rest black); pixel(x, y)
// gives the palette index of the pixel x columns right of and y rows below
// the top-left corner.
template <typename PixelFunction>
std::vector<unsigned char> PalettizedBitmap(int32_t width, int32_t height,
                                            const std::vector<uint32_t> &palette,
                                            PixelFunction pixel) {
    const uint32_t headerSize = 14 + 40 + 256 * 4;
    const uint32_t stride = (static_cast<uint32_t>(width) + 3) / 4 * 4;
    const uint32_t pixelBytes = stride * static_cast<uint32_t>(height);
    std::vector<unsigned char> bytes(headerSize + pixelBytes, 0);
    bytes[0] = 'B';
    bytes[1] = 'M';
    PutLittleEndian(&bytes, 2, static_cast<uint32_t>(bytes.size()), 4);
    PutLittleEndian(&bytes, 10, headerSize, 4);
    PutLittleEndian(&bytes, 14, 40, 4);
    PutLittleEndian(&bytes, 18, static_cast<uint32_t>(width), 4);
    PutLittleEndian(&bytes, 22, static_cast<uint32_t>(height), 4);
    PutLittleEndian(&bytes, 26, 1, 2); // planes
    PutLittleEndian(&bytes, 28, 8, 2); // bits per pixel
    PutLittleEndian(&bytes, 34, pixelBytes, 4);
    for (size_t i = 0; i < palette.size() && i < 256; i++) {
        size_t entry = 54 + 4 * i; // blue, green, red, reserved
        bytes[entry] = static_cast<unsigned char>(palette[i]);
        bytes[entry + 1] = static_cast<unsigned char>(palette[i] >> 8);
        bytes[entry + 2] = static_cast<unsigned char>(palette[i] >> 16);
    }
    for (int32_t y = 0; y < height; y++) {
        size_t row = headerSize + static_cast<size_t>(height - 1 - y) * stride;
        for (int32_t x = 0; x < width; x++)
            bytes[row + x] = static_cast<unsigned char>(pixel(x, y));
    }
    return bytes;
}

inline uint32_t BitmapField(const uint8_t *bytes, int width) {
    uint32_t value = 0;
    for (int i = width - 1; i >= 0; i--)
        value = value << 8 | bytes[i];
    return value;
}

// Reads length bytes from data + from, in a way the compiler cannot drop.
inline uint32_t BitmapTouch(const uint8_t *data, uint64_t from, uint64_t length) {
    volatile uint32_t sum = 0;
    for (uint64_t i = 0; i < length; i++)
        sum = sum + data[from + i];
    return sum;
}

// Reads every byte GDI reads when it draws the bitmap at data, as GDI finds
// them from the raw fields (not through the check's own arithmetic): the
// info header, the colour masks it reads at info + 40 whatever the header's
// size, the colour table and the pixel rows. For a bitmap BitmapCheck
// accepted; the sanitizer sees any byte outside the block.
inline void BitmapReadAsGdiDoes(const uint8_t *data) {
    const uint8_t *info = data + 14;
    uint32_t infoSize = BitmapField(info, 4);
    uint64_t width, height, bitCount, tableStart = 14 + uint64_t(infoSize), tableBytes;
    if (infoSize == 12) {
        width = BitmapField(info + 4, 2);
        height = BitmapField(info + 6, 2);
        bitCount = BitmapField(info + 10, 2);
        tableBytes = bitCount <= 8 ? 3ull << bitCount : 0;
    } else {
        int32_t signedWidth = static_cast<int32_t>(BitmapField(info + 4, 4));
        int32_t signedHeight = static_cast<int32_t>(BitmapField(info + 8, 4));
        if (signedWidth <= 0 || signedHeight <= 0)
            std::abort();
        width = static_cast<uint64_t>(signedWidth);
        height = static_cast<uint64_t>(signedHeight);
        bitCount = BitmapField(info + 14, 2);
        uint32_t compression = BitmapField(info + 16, 4);
        uint64_t colours = BitmapField(info + 32, 4);
        if (colours == 0 && bitCount <= 8)
            colours = 1ull << bitCount;
        if (compression == 3) {
            BitmapTouch(data, 14 + 40, 12);
            if (tableStart < 14 + 52)
                tableStart = 14 + 52;
        }
        tableBytes = colours * 4;
    }
    BitmapTouch(data, 0, tableStart);
    BitmapTouch(data, tableStart, tableBytes);
    uint64_t stride = (width * bitCount + 31) / 32 * 4;
    BitmapTouch(data, BitmapField(data + 10, 4), stride * height);
}
