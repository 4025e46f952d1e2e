// Branding stub images: .ico files read and refused, version numbers, and
// the resource tree written into a PE image with its headers following,
// what was there before kept byte for byte. tests/cli checks branded
// installers with an independent reader; tests/win reads them with Windows.
#include "pe/pe.h"
#include "qpack/stub_branding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "icon_bytes.h"
#include "pe_bytes.h"

namespace {

PackageBytes Text(const std::string &text) {
    return PackageBytes(text.begin(), text.end());
}

Resource MakeResource(uint32_t type, const std::u16string &name, uint32_t language,
                      const std::string &data) {
    Resource resource;
    resource.type.id = type;
    resource.name.named = !name.empty();
    resource.name.name = name;
    resource.name.id = name.empty() ? 1 : 0;
    resource.language.id = language;
    resource.codePage = 1252;
    resource.data = Text(data);
    return resource;
}

// The test image with a manifest, a named resource and a stand-in icon, as
// a linker might have left them.
PackageBytes StubWithResources(void) {
    PackageBytes image = TestPeImage();
    std::string error;
    EXPECT_TRUE(StubResourcesWrite(&image,
                                   {MakeResource(PE_RESOURCE_MANIFEST, u"", 0x409, "<assembly/>"),
                                    MakeResource(10, u"Config", 0, "named data"),
                                    MakeResource(PE_RESOURCE_ICON, u"", 0, "old icon")},
                                   &error))
        << error;
    return image;
}

std::vector<Resource> ResourcesOf(const PackageBytes &image) {
    std::vector<Resource> resources;
    std::string error;
    EXPECT_TRUE(StubResourcesRead(image, &resources, &error)) << error;
    return resources;
}

const Resource *Find(const std::vector<Resource> &resources, uint32_t type, uint32_t name) {
    for (const Resource &resource : resources) {
        if (resource.type.id == type && !resource.name.named && resource.name.id == name)
            return &resource;
    }
    return nullptr;
}

uint32_t Field(const PackageBytes &image, uint32_t offset) {
    return image[offset] | image[offset + 1] << 8 | image[offset + 2] << 16 |
           uint32_t(image[offset + 3]) << 24;
}

std::vector<IconImage> IconOf(const std::vector<unsigned char> &file) {
    std::vector<IconImage> images;
    std::string problem;
    EXPECT_TRUE(IconFileParse(file.data(), file.size(), &images, &problem)) << problem;
    return images;
}

TEST(IconFile, ReadsBitmapAndPngImagesCompletingTheirEntries) {
    std::vector<unsigned char> file = TestIconFile({{16, 0, TestIconBitmap(16, 4)},
                                                    {48, 24, TestIconBitmap(48, 24)},
                                                    {256, 0, TestIconPng(256)}});
    file[6 + 4] = 0; // planes 0, as some tools write them
    std::vector<IconImage> images = IconOf(file);
    ASSERT_EQ(images.size(), 3u);
    const uint32_t widths[] = {16, 48, 0}, bits[] = {4, 24, 32};
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(images[i].width, widths[i]);
        EXPECT_EQ(images[i].planes, 1u);
        EXPECT_EQ(images[i].bitCount, bits[i]);
    }
    EXPECT_EQ(images[1].data, TestIconBitmap(48, 24));
    EXPECT_EQ(images[2].data, TestIconPng(256));
}

TEST(IconFile, RefusesMalformedFilesSayingWhy) {
    const std::vector<unsigned char> sound = TestIcon(); // images at 54, then 16 bytes each
    const size_t png = 6 + 16 * 2;                       // the third entry
    const size_t pngAt = Field(sound, png + 12);
    struct Case {
        const char *what;
        std::function<void(std::vector<unsigned char> *)> damage;
        const char *reason;
    };
    const Case cases[] = {
        {"empty", [](std::vector<unsigned char> *f) { f->clear(); }, "header"},
        {"cursor", [](std::vector<unsigned char> *f) { (*f)[2] = 2; }, "header"},
        {"no images", [](std::vector<unsigned char> *f) { (*f)[4] = 0; }, "no images"},
        {"directory cut", [](std::vector<unsigned char> *f) { f->resize(40); }, "runs past"},
        {"image in directory", [](std::vector<unsigned char> *f) { (*f)[6 + 12] = 20; },
         "image 1 of 3 does not lie"},
        {"image past end", [](std::vector<unsigned char> *f) { f->pop_back(); },
         "image 3 of 3 does not lie"},
        {"empty image", [](std::vector<unsigned char> *f) { PutLittleEndian(f, 6 + 8, 0, 4); },
         "does not lie"},
        {"size lies", [](std::vector<unsigned char> *f) { (*f)[6 + 16] = (*f)[6 + 17] = 31; },
         "32x32 pixels, its directory entry says 31x31"},
        {"header size", [](std::vector<unsigned char> *f) { (*f)[54] = 12; }, "neither a PNG"},
        {"compressed", [](std::vector<unsigned char> *f) { (*f)[54 + 16] = 1; }, "compressed"},
        {"mask cut", [](std::vector<unsigned char> *f) { PutLittleEndian(f, 6 + 8, 100, 4); },
         "mask run past"},
        {"odd height", [](std::vector<unsigned char> *f) { (*f)[54 + 8] = 33; }, "twice"},
        {"png crc", [=](std::vector<unsigned char> *f) { (*f)[pngAt + 20] ^= 1; }, "CRC"},
        {"png cut",
         [=](std::vector<unsigned char> *f) {
             f->resize(f->size() - 12); // IEND gone
             PutLittleEndian(f, png + 8, uint32_t(f->size() - pngAt), 4);
         },
         "before its IEND"},
        {"images share bytes",
         [=](std::vector<unsigned char> *f) { // the 256-pixel entry names the 32-pixel image
             std::copy(f->begin() + 6 + 16 + 8, f->begin() + 6 + 16 + 16, f->begin() + png + 8);
         },
         "together are larger"},
        {"png chunk long",
         [=](std::vector<unsigned char> *f) { (*f)[pngAt + 33] = 0x7F; }, // IDAT length
         "runs past"},
    };
    for (const Case &c : cases) {
        std::vector<unsigned char> file = sound;
        c.damage(&file);
        std::vector<IconImage> images;
        std::string problem;
        EXPECT_FALSE(IconFileParse(file.data(), file.size(), &images, &problem)) << c.what;
        EXPECT_NE(problem.find(c.reason), std::string::npos) << c.what << ": " << problem;
        EXPECT_TRUE(images.empty()) << c.what;
    }
}

TEST(VersionNumbers, ReadUpToFourNumbersBelow65536) {
    struct Case {
        std::u16string text;
        bool numeric;
        uint16_t parts[4];
    };
    const Case cases[] = {
        {u"3.14", true, {3, 14, 0, 0}},
        {u"1.2.3.4", true, {1, 2, 3, 4}},
        {u"65535.0.007.1", true, {65535, 0, 7, 1}},
        {u"7", true, {7, 0, 0, 0}},
        {u"65536", false, {0, 0, 0, 0}},
        {u"1.2.3.4.5", false, {0, 0, 0, 0}},
        {u"1..2", false, {0, 0, 0, 0}},
        {u"1.2.", false, {0, 0, 0, 0}},
        {u"1.2 beta", false, {0, 0, 0, 0}},
        {u"", false, {0, 0, 0, 0}},
        {u"-1", false, {0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        uint16_t parts[4] = {9, 9, 9, 9};
        EXPECT_EQ(VersionNumbersParse(c.text, parts), c.numeric);
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(parts[i], c.parts[i]) << i;
    }
}

TEST(StubBrand, WritesIconAndVersionKeepingEverythingElse) {
    const PackageBytes stub = StubWithResources();
    PeImage before;
    ASSERT_TRUE(PeImageRead(stub.data(), uint32_t(stub.size()), &before));
    StubBranding branding;
    branding.icon = IconOf(TestIcon());
    branding.version = {{"CompanyName", u"Vendor"}, {"FileVersion", u"3.14"}};
    PackageBytes image = stub;
    std::string error;
    ASSERT_TRUE(StubBrand(&image, branding, &error)) << error;
    EXPECT_EQ(StubImageProblem(image), "");
    // Nothing before the new section changed but the headers it needs.
    PeImage after;
    ASSERT_TRUE(PeImageRead(image.data(), uint32_t(image.size()), &after));
    ASSERT_EQ(after.sectionCount, before.sectionCount + 1);
    PeSection added;
    ASSERT_TRUE(PeSectionGet(&after, before.sectionCount, &added));
    EXPECT_EQ(added.rawOffset, stub.size());
    EXPECT_EQ(Field(image, after.optionalHeaderOffset + PE_SIZE_OF_IMAGE_FIELD),
              added.virtualAddress + (added.virtualSize + 0xFFF) / 0x1000 * 0x1000);
    PeDataDirectory resources;
    ASSERT_TRUE(PeDataDirectoryGet(&after, PE_DIRECTORY_RESOURCE, &resources));
    EXPECT_EQ(resources.address, added.virtualAddress);
    EXPECT_EQ(resources.size, added.virtualSize);
    EXPECT_TRUE(std::equal(stub.begin() + 0x200, stub.end(), image.begin() + 0x200));

    std::vector<Resource> kept = ResourcesOf(image);
    ASSERT_EQ(kept.size(), 7u);       // config, 3 icons, group, version, manifest
    const Resource &config = kept[3]; // in type order: 3 icons, 10, 14, 16, 24
    EXPECT_TRUE(config.type.id == 10 && config.name.named && config.name.name == u"Config");
    EXPECT_EQ(config.data, Text("named data"));
    EXPECT_EQ(config.codePage, 1252u);
    ASSERT_NE(Find(kept, PE_RESOURCE_MANIFEST, 1), nullptr);
    EXPECT_EQ(Find(kept, PE_RESOURCE_MANIFEST, 1)->data, Text("<assembly/>"));
    for (uint32_t i = 1; i <= 3; i++) {
        ASSERT_NE(Find(kept, PE_RESOURCE_ICON, i), nullptr);
        EXPECT_EQ(Find(kept, PE_RESOURCE_ICON, i)->data, branding.icon[i - 1].data);
    }
    const Resource *group = Find(kept, PE_RESOURCE_GROUP_ICON, 1);
    ASSERT_NE(group, nullptr);
    ASSERT_EQ(group->data.size(), 6u + 3 * 14);
    EXPECT_EQ(group->data[4], 3);               // images
    EXPECT_EQ(group->data[6 + 2 * 14], 0);      // 256 pixels
    EXPECT_EQ(group->data[6 + 2 * 14 + 12], 3); // RT_ICON 3
    const Resource *version = Find(kept, PE_RESOURCE_VERSION, 1);
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->language.id, 0x409u);
    EXPECT_EQ(version->data, VersionInfoResource(branding.version));
    EXPECT_EQ(Field(version->data, 0) & 0xFFFF, version->data.size());
    EXPECT_EQ(Field(version->data, 40), 0xFEEF04BDu);
    EXPECT_EQ(Field(version->data, 48), 0x0003000Eu); // FileVersion 3.14
    EXPECT_EQ(Field(version->data, 56), 0u);          // no ProductVersion

    // Branding again replaces what the first branding wrote.
    branding.icon = IconOf(TestIconFile({{48, 32, TestIconBitmap(48, 32)}}));
    branding.version.clear();
    ASSERT_TRUE(StubBrand(&image, branding, &error)) << error;
    kept = ResourcesOf(image);
    EXPECT_EQ(kept.size(), 5u);
    EXPECT_EQ(Find(kept, PE_RESOURCE_ICON, 2), nullptr);
    EXPECT_NE(Find(kept, PE_RESOURCE_VERSION, 1), nullptr);
}

TEST(StubBrand, RefusesImagesItCannotBrandLeavingThemUnchanged) {
    struct Case {
        const char *what;
        std::function<void(PackageBytes *)> damage;
        const char *reason;
    };
    const uint32_t o = kTestPeOptionalHeader;
    const uint32_t table = o + 224; // the first section header
    const Case cases[] = {
        {"not a PE", [](PackageBytes *i) { (*i)[0] = 'X'; }, "not a PE image"},
        {"file alignment", [=](PackageBytes *i) { PutLittleEndian(i, o + 36, 0x300, 4); },
         "file alignment"},
        {"section alignment", [=](PackageBytes *i) { PutLittleEndian(i, o + 32, 0x100, 4); },
         "section alignment"},
        {"size of image", [=](PackageBytes *i) { PutLittleEndian(i, o + 56, 0x5000, 4); },
         "SizeOfImage"},
        {"section outside", [=](PackageBytes *i) { PutLittleEndian(i, table + 16, 0x400, 4); },
         "leaves the file"},
        {"section address", [=](PackageBytes *i) { PutLittleEndian(i, table + 12, 0x1800, 4); },
         "aligned address"},
        {"no room", [=](PackageBytes *i) { (*i)[table + 2 * 40 + 39] = 1; }, "no unused room"},
        {"no resource entry", [=](PackageBytes *i) { PutLittleEndian(i, o + 92, 2, 4); },
         "no resource directory"},
        {"signed",
         [](PackageBytes *i) {
             PutLittleEndian(i, TestPeCertificateEntryOffset(), uint32_t(i->size()) - 16, 4);
             PutLittleEndian(i, TestPeCertificateEntryOffset() + 4, 16, 4);
         },
         "it is signed"},
        {"tree outside",
         [](PackageBytes *i) {
             PeImage image;
             PeDataDirectory directory;
             PeImageRead(i->data(), uint32_t(i->size()), &image);
             PeDataDirectoryGet(&image, PE_DIRECTORY_RESOURCE, &directory);
             PutLittleEndian(i, directory.entryOffset + 4, 0x10000, 4);
         },
         "resource directory does not lie"},
    };
    StubBranding branding;
    branding.version = {{"ProductName", u"Product"}};
    for (const Case &c : cases) {
        PackageBytes image = StubWithResources();
        c.damage(&image);
        const PackageBytes damaged = image;
        std::string error;
        EXPECT_FALSE(StubBrand(&image, branding, &error)) << c.what;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(image, damaged) << c.what;
    }
    PackageBytes image = StubWithResources();
    std::string error;
    branding.version = {{"Comments", u"x"}};
    EXPECT_FALSE(StubBrand(&image, branding, &error));
    EXPECT_NE(error.find("not a version string name"), std::string::npos) << error;
    branding.version = {{"ProductName", std::u16string(VERSION_STRING_MAX + 1, u'x')}};
    EXPECT_FALSE(StubBrand(&image, branding, &error));
    EXPECT_NE(error.find("longer than"), std::string::npos) << error;
}

} // namespace
