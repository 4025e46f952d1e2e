// The post-link fold of the small programs, on an image laid out as the
// linker lays out theirs: .text with one absolute address, .bss, the data,
// a resource tree of one manifest, one relocation block.
#include "image_compact/image_compact.h"

#include <gtest/gtest.h>
#include <string.h>

#include "bitmap_bytes.h" // PutLittleEndian
#include "pe/pe.h"

namespace {

const uint32_t kPe = 0x80, kOptional = kPe + 24, kSections = kOptional + 224;
const uint32_t kBase = 0x400000;
const char kManifest[] = "manifest";

struct SectionLayout {
    const char *name;
    uint32_t rva, virtualSize, rawOffset, rawSize, flags;
};
const SectionLayout kLayout[] = {{".text", 0x1000, 0x10, 0x400, 0x200, 0x60000020},
                                 {".bss", 0x2000, 0x100, 0, 0, 0xC0000080},
                                 {".idata", 0x3000, 0x20, 0x600, 0x200, 0xC0000040},
                                 {".rsrc", 0x4000, 0x60, 0x800, 0x200, 0x40000040},
                                 {".reloc", 0x5000, 0x0C, 0xA00, 0x200, 0x42000040}};

Bytes LinkedImage() {
    Bytes image(0xC00, 0);
    image[0] = 'M', image[1] = 'Z';
    PutLittleEndian(&image, 0x3C, kPe, 4);
    PutLittleEndian(&image, kPe, 0x4550, 4);
    PutLittleEndian(&image, kPe + 4, 0x14C, 2);
    PutLittleEndian(&image, kPe + 6, 5, 2);
    PutLittleEndian(&image, kPe + 20, 224, 2);
    PutLittleEndian(&image, kOptional, 0x10B, 2);
    PutLittleEndian(&image, kOptional + 28, kBase, 4);
    PutLittleEndian(&image, kOptional + 32, 0x1000, 4);
    PutLittleEndian(&image, kOptional + 36, 0x200, 4);
    PutLittleEndian(&image, kOptional + 56, 0x6000, 4);
    PutLittleEndian(&image, kOptional + 60, 0x400, 4);
    PutLittleEndian(&image, kOptional + 92, 16, 4);
    PutLittleEndian(&image, kOptional + 96 + 2 * 8, 0x4000, 4); // resources
    PutLittleEndian(&image, kOptional + 96 + 2 * 8 + 4, 0x60, 4);
    PutLittleEndian(&image, kOptional + 96 + 5 * 8, 0x5000, 4); // relocations
    PutLittleEndian(&image, kOptional + 96 + 5 * 8 + 4, 0x0C, 4);
    for (uint32_t i = 0; i < 5; i++) {
        const SectionLayout &s = kLayout[i];
        uint32_t at = kSections + i * 40;
        memcpy(&image[at], s.name, strlen(s.name));
        PutLittleEndian(&image, at + 8, s.virtualSize, 4);
        PutLittleEndian(&image, at + 12, s.rva, 4);
        PutLittleEndian(&image, at + 16, s.rawSize, 4);
        PutLittleEndian(&image, at + 20, s.rawOffset, 4);
        PutLittleEndian(&image, at + 36, s.flags, 4);
    }
    image[0x400] = 0xB8; // mov eax, the data's address; ret
    PutLittleEndian(&image, 0x401, kBase + 0x3010, 4);
    image[0x405] = 0xC3;
    for (uint32_t i = 0; i < 0x20; i++)
        image[0x600 + i] = static_cast<unsigned char>(i + 1);
    // Type 24, name 1, language 0x409: three directories of one entry each.
    const uint32_t r = 0x800;
    PutLittleEndian(&image, r + 14, 1, 2);
    PutLittleEndian(&image, r + 16, 24, 4);
    PutLittleEndian(&image, r + 20, 0x80000018, 4);
    PutLittleEndian(&image, r + 0x18 + 14, 1, 2);
    PutLittleEndian(&image, r + 0x18 + 16, 1, 4);
    PutLittleEndian(&image, r + 0x18 + 20, 0x80000030, 4);
    PutLittleEndian(&image, r + 0x30 + 14, 1, 2);
    PutLittleEndian(&image, r + 0x30 + 16, 0x409, 4);
    PutLittleEndian(&image, r + 0x30 + 20, 0x48, 4);
    PutLittleEndian(&image, r + 0x48, 0x4058, 4);
    PutLittleEndian(&image, r + 0x48 + 4, sizeof kManifest - 1, 4);
    memcpy(&image[r + 0x58], kManifest, sizeof kManifest - 1);
    PutLittleEndian(&image, 0xA00, 0x1000, 4); // page of the one relocation
    PutLittleEndian(&image, 0xA04, 0x0C, 4);
    PutLittleEndian(&image, 0xA08, 0x3001, 2); // 32-bit, at .text + 1
    return image;
}

int ManifestFind(void *context, const PeResource *resource) {
    *static_cast<PeResource *>(context) = *resource;
    return 1;
}

TEST(ImageCompact, FoldsResourcesAndRelocationsIntoTheDataAndKeepsEverythingAtItsAddress) {
    Bytes linked = LinkedImage(), compact;
    std::string problem;
    ASSERT_TRUE(ImageCompact(linked, &compact, &problem)) << problem;
    // Headers, .text and the data with everything folded into it: a block each.
    ASSERT_EQ(compact.size(), 0x600u);
    PeImage image;
    ASSERT_EQ(PeImageRead(compact.data(), uint32_t(compact.size()), &image), 1);
    EXPECT_EQ(image.optionalHeaderOffset, 0x48u + 24);
    ASSERT_EQ(image.sectionCount, 3u);
    PeSection text, data;
    ASSERT_TRUE(PeSectionGet(&image, 0, &text) && PeSectionGet(&image, 2, &data));
    EXPECT_STREQ(data.name, ".data");
    EXPECT_EQ(data.virtualAddress, 0x3000u);
    EXPECT_EQ(Bytes(&compact[text.rawOffset], &compact[text.rawOffset + 0x10]),
              Bytes(&linked[0x400], &linked[0x410]));
    EXPECT_EQ(Bytes(&compact[data.rawOffset], &compact[data.rawOffset + 0x20]),
              Bytes(&linked[0x600], &linked[0x620]));
    uint32_t sizeOfImage = 0, headers = 0;
    PeReadU32(&image, image.optionalHeaderOffset + PE_SIZE_OF_IMAGE_FIELD, &sizeOfImage);
    PeReadU32(&image, image.optionalHeaderOffset + PE_SIZE_OF_HEADERS_FIELD, &headers);
    EXPECT_EQ(sizeOfImage, 0x4000u);
    EXPECT_EQ(headers, 0x200u);

    PeResource manifest;
    memset(&manifest, 0, sizeof manifest);
    ASSERT_EQ(PeResourcesWalk(&image, ManifestFind, &manifest), 1);
    EXPECT_EQ(manifest.type.id, 24u);
    EXPECT_EQ(manifest.language.id, 0x409u);
    EXPECT_GT(manifest.dataRva, 0x3020u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&compact[manifest.dataOffset]),
                          manifest.dataSize),
              kManifest);
    PeDataDirectory relocations;
    uint32_t offset = 0;
    ASSERT_TRUE(PeDataDirectoryGet(&image, 5, &relocations));
    ASSERT_TRUE(PeRvaToOffset(&image, relocations.address, relocations.size, &offset));
    EXPECT_EQ(Bytes(&compact[offset], &compact[offset + 0x0C]),
              Bytes(&linked[0xA00], &linked[0xA0C]));
}

TEST(ImageCompact, RefusesWhatItCannotFoldWithoutMovingSomethingElse) {
    struct Patch {
        uint32_t offset, value, width; // width 0: none
    };
    const uint32_t certificate = kOptional + 96 + 4 * 8, debug = kOptional + 96 + 6 * 8;
    struct Case {
        const char *what;
        Patch patches[2];
    } cases[] = {
        {"signed", {{certificate, 0xB00, 4}, {certificate + 4, 0x100, 4}}},
        {"PE32+", {{kOptional, 0x20B, 2}, {}}},
        {"no .reloc last", {{kSections + 4 * 40 + 1, 'x', 1}, {}}},
        {"code holds a resource's address", {{0x401, kBase + 0x4058, 4}, {}}},
        {"debug directory inside the resources", {{debug, 0x4000, 4}, {debug + 4, 0x1C, 4}}},
        {"a relocation of another kind", {{0xA08, 0xA001, 2}, {}}},
        {"relocations outside the image", {{kOptional + 96 + 5 * 8, 0x9000, 4}, {}}},
        {"a section far into memory", {{kSections + 40 + 12, 0xFFFFF000, 4}, {}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes linked = LinkedImage(), compact = {1, 2, 3};
        for (const Patch &patch : c.patches)
            if (patch.width != 0)
                PutLittleEndian(&linked, patch.offset, patch.value, patch.width);
        std::string problem;
        EXPECT_FALSE(ImageCompact(linked, &compact, &problem));
        EXPECT_FALSE(problem.empty());
        EXPECT_EQ(compact, Bytes({1, 2, 3}));
    }
}

} // namespace
