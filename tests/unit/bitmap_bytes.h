// BMP files as the packages carry them, made byte by byte for the tests:
// 8-bit palettized, BI_RGB, biClrUsed 0, a full 256-entry colour table and
// the pixels at offset 1078, rows bottom-up and padded to 4 bytes.
#pragma once

#include <stdint.h>

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
