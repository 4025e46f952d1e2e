// .ico files made byte by byte for the tests: bitmap images (a 40-byte
// header of twice the height, the colour pixels, the 1-bit mask) and PNG
// images (RGBA, zlib-compressed, with their CRCs), behind the 6-byte header
// and 16-byte directory entries.
#pragma once

#include <stdint.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "bitmap_bytes.h" // PutLittleEndian

// A square bitmap image of size pixels and bits per pixel, every colour
// pixel set to fill and nothing masked out.
inline std::vector<unsigned char> TestIconBitmap(uint32_t size, uint16_t bits,
                                                 uint8_t fill = 0x5A) {
    const uint32_t colours = bits <= 8 ? 1u << bits : 0;
    const uint32_t colourRow = (size * bits + 31) / 32 * 4, maskRow = (size + 31) / 32 * 4;
    std::vector<unsigned char> image(40 + 4 * colours, 0);
    PutLittleEndian(&image, 0, 40, 4);
    PutLittleEndian(&image, 4, size, 4);
    PutLittleEndian(&image, 8, 2 * size, 4);
    PutLittleEndian(&image, 12, 1, 2);
    PutLittleEndian(&image, 14, bits, 2);
    image.resize(image.size() + colourRow * size, fill);
    image.resize(image.size() + maskRow * size, 0);
    return image;
}

inline void PutBigEndian32(std::vector<unsigned char> *bytes, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes->push_back(static_cast<unsigned char>(value >> shift));
}

inline void PutPngChunk(std::vector<unsigned char> *png, const char *type,
                        const std::vector<unsigned char> &data) {
    PutBigEndian32(png, static_cast<uint32_t>(data.size()));
    std::vector<unsigned char> typed(type, type + 4);
    typed.insert(typed.end(), data.begin(), data.end());
    png->insert(png->end(), typed.begin(), typed.end());
    PutBigEndian32(png, static_cast<uint32_t>(crc32(0, typed.data(), uInt(typed.size()))));
}

// A square RGBA PNG of size pixels, every pixel 0xRRGGBBAA = rgba.
inline std::vector<unsigned char> TestIconPng(uint32_t size, uint32_t rgba = 0x3FA7D6FF) {
    std::vector<unsigned char> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<unsigned char> header;
    PutBigEndian32(&header, size);
    PutBigEndian32(&header, size);
    header.insert(header.end(), {8, 6, 0, 0, 0}); // 8-bit RGBA
    PutPngChunk(&png, "IHDR", header);
    std::vector<unsigned char> raw;
    for (uint32_t y = 0; y < size; y++) {
        raw.push_back(0); // no filter
        for (uint32_t x = 0; x < size; x++)
            PutBigEndian32(&raw, rgba);
    }
    uLongf length = compressBound(uLong(raw.size()));
    std::vector<unsigned char> packed(length);
    compress(packed.data(), &length, raw.data(), uLong(raw.size()));
    packed.resize(length);
    PutPngChunk(&png, "IDAT", packed);
    PutPngChunk(&png, "IEND", {});
    return png;
}

struct TestIconEntry {
    uint32_t size; // pixels; 256 is written as 0
    uint16_t bitCount;
    std::vector<unsigned char> data;
};

// The .ico file of the images, laid out after the directory in order.
inline std::vector<unsigned char> TestIconFile(const std::vector<TestIconEntry> &images) {
    std::vector<unsigned char> file(6 + 16 * images.size(), 0);
    PutLittleEndian(&file, 2, 1, 2);
    PutLittleEndian(&file, 4, static_cast<uint32_t>(images.size()), 2);
    for (size_t i = 0; i < images.size(); i++) {
        size_t entry = 6 + 16 * i;
        file[entry] = file[entry + 1] = static_cast<unsigned char>(images[i].size % 256);
        PutLittleEndian(&file, entry + 4, 1, 2);
        PutLittleEndian(&file, entry + 6, images[i].bitCount, 2);
        PutLittleEndian(&file, entry + 8, static_cast<uint32_t>(images[i].data.size()), 4);
        PutLittleEndian(&file, entry + 12, static_cast<uint32_t>(file.size()), 4);
        file.insert(file.end(), images[i].data.begin(), images[i].data.end());
    }
    return file;
}

// Three images: 16 pixels at 8 bits, 32 at 32 bits, and a 256-pixel PNG.
inline std::vector<unsigned char> TestIcon(void) {
    return TestIconFile({{16, 8, TestIconBitmap(16, 8)},
                         {32, 32, TestIconBitmap(32, 32)},
                         {256, 32, TestIconPng(256)}});
}
