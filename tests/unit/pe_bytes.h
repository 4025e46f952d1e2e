// A small PE image made byte by byte for the tests: headers, one section
// holding a "ret", file alignment 0x200. Signing tools accept it, so tests
// can sign installers built from it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "bitmap_bytes.h" // PutLittleEndian

const uint32_t kTestPeHeaders = 0x40; // where "PE\0\0" stands
const uint32_t kTestPeOptionalHeader = kTestPeHeaders + 24;

// magic 0x10B (PE32) or 0x20B (PE32+).
inline std::vector<unsigned char> TestPeImage(uint32_t magic = 0x10B) {
    const bool plus = magic == 0x20B;
    const uint32_t optionalSize = plus ? 240 : 224;
    std::vector<unsigned char> image(0x400, 0);
    image[0] = 'M';
    image[1] = 'Z';
    PutLittleEndian(&image, 0x3C, kTestPeHeaders, 4);
    PutLittleEndian(&image, kTestPeHeaders, 0x4550, 4);                    // "PE\0\0"
    PutLittleEndian(&image, kTestPeHeaders + 4, plus ? 0x8664 : 0x14C, 2); // machine
    PutLittleEndian(&image, kTestPeHeaders + 6, 1, 2);                     // sections
    PutLittleEndian(&image, kTestPeHeaders + 20, optionalSize, 2);
    PutLittleEndian(&image, kTestPeHeaders + 22, plus ? 0x22 : 0x102, 2); // executable
    const uint32_t o = kTestPeOptionalHeader;
    PutLittleEndian(&image, o + 0, magic, 2);
    PutLittleEndian(&image, o + 4, 0x200, 4);   // SizeOfCode
    PutLittleEndian(&image, o + 16, 0x1000, 4); // AddressOfEntryPoint
    PutLittleEndian(&image, o + 20, 0x1000, 4); // BaseOfCode
    if (plus) {
        PutLittleEndian(&image, o + 24, 0x40000000, 4); // ImageBase (64 bits)
    } else {
        PutLittleEndian(&image, o + 28, 0x400000, 4);
    }
    PutLittleEndian(&image, o + 32, 0x1000, 4); // SectionAlignment
    PutLittleEndian(&image, o + 36, 0x200, 4);  // FileAlignment
    PutLittleEndian(&image, o + 40, 6, 2);      // MajorOperatingSystemVersion
    PutLittleEndian(&image, o + 48, 6, 2);      // MajorSubsystemVersion
    PutLittleEndian(&image, o + 56, 0x2000, 4); // SizeOfImage
    PutLittleEndian(&image, o + 60, 0x200, 4);  // SizeOfHeaders
    PutLittleEndian(&image, o + 68, 2, 2);      // Subsystem: GUI
    const uint32_t stacks = o + 72;             // four sizes of 4 or 8 bytes
    const uint32_t width = plus ? 8 : 4;
    PutLittleEndian(&image, stacks, 0x100000, 4);
    PutLittleEndian(&image, stacks + width, 0x1000, 4);
    PutLittleEndian(&image, stacks + 2 * width, 0x100000, 4);
    PutLittleEndian(&image, stacks + 3 * width, 0x1000, 4);
    PutLittleEndian(&image, o + (plus ? 108 : 92), 16, 4); // NumberOfRvaAndSizes
    const uint32_t section = o + optionalSize;
    const char name[8] = {'.', 't', 'e', 'x', 't', 0, 0, 0};
    for (int i = 0; i < 8; i++)
        image[section + i] = static_cast<unsigned char>(name[i]);
    PutLittleEndian(&image, section + 8, 0x10, 4);        // VirtualSize
    PutLittleEndian(&image, section + 12, 0x1000, 4);     // VirtualAddress
    PutLittleEndian(&image, section + 16, 0x200, 4);      // SizeOfRawData
    PutLittleEndian(&image, section + 20, 0x200, 4);      // PointerToRawData
    PutLittleEndian(&image, section + 36, 0x60000020, 4); // code, execute, read
    image[0x200] = 0xC3;
    return image;
}

// Offsets of the fields signing rewrites, for either magic.
inline uint32_t TestPeCheckSumOffset(void) {
    return kTestPeOptionalHeader + 64;
}
inline uint32_t TestPeCertificateEntryOffset(uint32_t magic = 0x10B) {
    return kTestPeOptionalHeader + (magic == 0x20B ? 112 : 96) + 4 * 8;
}
