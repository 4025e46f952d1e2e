// Reading PE headers within bounds, and the package of a signed installer:
// found behind its certificate table, summed with the fields that signing
// rewrites counted as zero. The signatures here are stand-ins (the reader
// never looks inside the table); tests/cli signs with the real tool.
#include "package/package.h"
#include "pe/pe.h"
#include "qpack/package_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "pe_bytes.h"

namespace {

uint32_t Size(const PackageBytes &bytes) {
    return static_cast<uint32_t>(bytes.size());
}

std::vector<PackageWriterEntry> Entries(void) {
    std::string text = "signed installers keep their package\r\n";
    return {{"\\readme.txt", PackageBytes(text.begin(), text.end())},
            {"\\#Manifest", PackageBytes(5, 'm')}};
}

PackageBytes Unsigned(uint32_t magic = 0x10B) {
    PackageBytes installer;
    std::string error;
    EXPECT_TRUE(
        PackageWrite(TestPeImage(magic), Entries(), PackageWriterOptions(), &installer, &error))
        << error;
    return installer;
}

// What a signing tool does: zero padding, a certificate table at the end,
// the directory entry pointing at it and a new CheckSum.
PackageBytes Sign(PackageBytes installer, uint32_t padding, uint32_t tableSize = 64,
                  uint32_t magic = 0x10B) {
    installer.resize(installer.size() + padding, 0);
    uint32_t table = Size(installer);
    installer.resize(installer.size() + tableSize, 0x30);
    PutLittleEndian(&installer, TestPeCertificateEntryOffset(magic), table, 4);
    PutLittleEndian(&installer, TestPeCertificateEntryOffset(magic) + 4, tableSize, 4);
    PutLittleEndian(&installer, TestPeCheckSumOffset(), 0x5EC0DE42, 4);
    return installer;
}

// Opens from an exact-size copy, so that ASan sees any read beyond it.
int OpenExact(const PackageBytes &bytes) {
    std::vector<unsigned char> *copy = new std::vector<unsigned char>(bytes);
    int opened = PackageOpenMemory(copy->data(), Size(*copy));
    PackageClose();
    delete copy;
    return opened;
}

TEST(PeImageTest, ReadsTheHeadersOfBothFormats) {
    for (uint32_t magic : {0x10Bu, 0x20Bu}) {
        PackageBytes bytes = TestPeImage(magic);
        PeImage image;
        ASSERT_EQ(PeImageRead(bytes.data(), Size(bytes), &image), 1) << magic;
        EXPECT_EQ(image.magic, magic);
        EXPECT_EQ(image.directoryCount, 16u);
        EXPECT_EQ(image.sectionCount, 1u);
        PeSection section;
        ASSERT_EQ(PeSectionGet(&image, 0, &section), 1);
        EXPECT_STREQ(section.name, ".text");
        EXPECT_EQ(PeSectionGet(&image, 1, &section), 0);
        uint32_t offset = 0;
        EXPECT_EQ(PeRvaToOffset(&image, 0x1004, 4, &offset), 1);
        EXPECT_EQ(offset, 0x204u);
        EXPECT_EQ(PeRvaToOffset(&image, 0x100E, 4, &offset), 0) << "past the virtual size";
        EXPECT_EQ(PeRvaToOffset(&image, 0x0FFF, 1, &offset), 0);
        PeSpan fields[2];
        ASSERT_EQ(PeSigningFields(&image, fields), 1);
        EXPECT_EQ(fields[0].offset, TestPeCheckSumOffset());
        EXPECT_EQ(fields[1].offset, TestPeCertificateEntryOffset(magic));
        PeSpan table;
        EXPECT_EQ(PeCertificateTableGet(&image, &table), 0) << "unsigned";
    }
}

TEST(PeImageTest, RefusesHeadersThatLeaveTheFile) {
    PackageBytes whole = TestPeImage();
    const uint32_t sectionTableEnd = kTestPeOptionalHeader + 224 + 40;
    for (uint32_t cut = 0; cut <= sectionTableEnd + 1; cut++) {
        std::vector<unsigned char> *head =
            new std::vector<unsigned char>(whole.begin(), whole.begin() + cut);
        PeImage image;
        EXPECT_EQ(PeImageRead(head->data(), cut, &image), cut >= sectionTableEnd ? 1 : 0) << cut;
        delete head;
    }
    struct Crafted {
        const char *what;
        uint32_t offset, value, width;
        int accepted;
        uint32_t directories;
    };
    const uint32_t o = kTestPeOptionalHeader;
    const Crafted cases[] = {
        {"PE headers beyond the file", 0x3C, 0xFFFFFFFC, 4, 0, 0},
        {"PE headers at the last bytes", 0x3C, 0x3FC, 4, 0, 0},
        {"no PE signature", kTestPeHeaders, 0x4551, 4, 0, 0},
        {"optional header beyond the file", kTestPeHeaders + 20, 0xFFFF, 2, 0, 0},
        {"optional header too small for directories", kTestPeHeaders + 20, 95, 2, 0, 0},
        {"unknown magic", o, 0x107, 2, 0, 0},
        {"section table beyond the file", kTestPeHeaders + 6, 0xFFFF, 2, 0, 0},
        {"directory count beyond the header", o + 92, 0xFFFFFFFF, 4, 1, 16},
        {"no certificate entry", o + 92, 4, 4, 1, 4},
        {"room for 2 directories", kTestPeHeaders + 20, 96 + 16, 2, 1, 2},
    };
    for (const Crafted &crafted : cases) {
        PackageBytes bytes = whole;
        PutLittleEndian(&bytes, crafted.offset, crafted.value, crafted.width);
        PeImage image;
        ASSERT_EQ(PeImageRead(bytes.data(), Size(bytes), &image), crafted.accepted) << crafted.what;
        if (crafted.accepted) {
            EXPECT_EQ(image.directoryCount, crafted.directories) << crafted.what;
            PeSpan fields[2];
            EXPECT_EQ(PeSigningFields(&image, fields), crafted.directories > 4) << crafted.what;
        }
    }
}

TEST(PackageByteSumAroundTest, CountsTheHolesAsZero) {
    PackageBytes bytes(300);
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    struct Holes {
        std::vector<PeSpan> holes;
    };
    const Holes cases[] = {{{}},
                           {{{0, 4}}},
                           {{{0, 4}, {4, 8}}},
                           {{{100, 4}, {160, 8}}},
                           {{{296, 4}}},
                           {{{290, 8}, {298, 100}}},
                           {{{400, 8}}}};
    for (const Holes &test : cases) {
        PackageBytes zeroed = bytes;
        for (const PeSpan &hole : test.holes)
            for (uint32_t i = hole.offset; i < hole.offset + hole.length && i < zeroed.size(); i++)
                zeroed[i] = 0;
        EXPECT_EQ(PackageByteSumAround(bytes.data(), Size(bytes), test.holes.data(),
                                       static_cast<uint32_t>(test.holes.size())),
                  PackageWriterByteSum(zeroed.data(), zeroed.size()))
            << test.holes.size() << " holes";
    }
}

TEST(SignedPackageTest, FindsThePackageBehindTheTableAndItsPadding) {
    for (uint32_t magic : {0x10Bu, 0x20Bu}) {
        PackageBytes plain = Unsigned(magic);
        for (uint32_t padding = 0; padding <= 7; padding++) {
            PackageBytes installer = Sign(plain, padding, 72, magic);
            PackageLocation location;
            ASSERT_EQ(PackageLocate(installer.data(), Size(installer), &location), 1) << padding;
            EXPECT_EQ(location.trailerOffset, Size(plain) - PACKAGE_TRAILER_SIZE);
            EXPECT_EQ(location.certificateTable.offset, Size(plain) + padding);
            EXPECT_EQ(location.certificateTable.length, 72u);
            EXPECT_EQ(OpenExact(installer), 1) << magic << " padding " << padding;
        }
    }
}

TEST(SignedPackageTest, RefusesEveryOtherPlacement) {
    const PackageBytes plain = Unsigned();
    const uint32_t entry = TestPeCertificateEntryOffset();
    const size_t packageEnd = plain.size();
    // Each case signs with padding and a table of tableSize bytes, then
    // changes the result.
    struct Placement {
        const char *what;
        uint32_t padding, tableSize;
        std::function<void(PackageBytes *)> change;
    };
    const Placement cases[] = {
        {"16 bytes behind the table", 4, 64, [](PackageBytes *b) { b->resize(b->size() + 16); }},
        {"a table that runs past the end", 4, 64,
         [&](PackageBytes *b) { PutLittleEndian(b, entry + 4, 64 + 8, 4); }},
        {"a table whose end wraps around", 4, 64,
         [&](PackageBytes *b) {
             PutLittleEndian(b, entry, 0xFFFFFFF0, 4);
             PutLittleEndian(b, entry + 4, 0x10 + Size(*b), 4);
         }},
        {"a table that ends early", 4, 64,
         [&](PackageBytes *b) { PutLittleEndian(b, entry + 4, 60, 4); }},
        {"an empty table at the end", 0, 0, [](PackageBytes *b) { b->resize(b->size() + 8); }},
        {"padding that is not zero", 4, 64, [&](PackageBytes *b) { (*b)[packageEnd + 1] = 1; }},
        {"8 bytes of padding", 8, 64, [](PackageBytes *) {}},
        {"no magic before the table", 2, 64,
         [&](PackageBytes *b) { (*b)[packageEnd - 1] ^= 0x20; }},
        {"no certificate entry", 4, 64,
         [](PackageBytes *b) { PutLittleEndian(b, kTestPeOptionalHeader + 92, 4, 4); }},
        {"no PE image", 4, 64, [](PackageBytes *b) { (*b)[kTestPeHeaders] = 'X'; }},
    };
    for (const Placement &placement : cases) {
        PackageBytes bytes = Sign(plain, placement.padding, placement.tableSize);
        placement.change(&bytes);
        PackageLocation location;
        EXPECT_EQ(PackageLocate(bytes.data(), Size(bytes), &location), 0) << placement.what;
        EXPECT_EQ(OpenExact(bytes), 0) << placement.what;
    }
}

TEST(SignedPackageTest, SigningFieldsCountAsZeroOnlyWhenSigned) {
    PackageBytes stub = TestPeImage();
    PutLittleEndian(&stub, TestPeCheckSumOffset(), 0x1234, 4);
    PutLittleEndian(&stub, TestPeCertificateEntryOffset(), 0x99, 4);
    PackageParts parts;
    std::string error;
    ASSERT_TRUE(PackageBuildParts(stub, Entries(), PackageWriterOptions(), &parts, &error));
    EXPECT_EQ(parts.stub.size(), stub.size());
    for (uint32_t i = 0; i < 12; i++) {
        uint32_t at = i < 4 ? TestPeCheckSumOffset() : TestPeCertificateEntryOffset() + i - 4;
        EXPECT_EQ(parts.stub[at], 0) << "the writer clears byte " << at;
    }
    const PackageBytes built = PackageAssemble(&parts, true);
    EXPECT_EQ(OpenExact(Sign(built, 3)), 1) << "signed after the build";

    // Built by a tool that left a CheckSum in place: unsigned it opens as
    // before, signed its sum no longer matches.
    PutLittleEndian(&parts.stub, TestPeCheckSumOffset(), 0x1234, 4);
    const PackageBytes withCheckSum = PackageAssemble(&parts, true);
    EXPECT_EQ(OpenExact(withCheckSum), 1);
    EXPECT_EQ(OpenExact(Sign(withCheckSum, 3)), 0);
    // Unsigned, a CheckSum changed after the build is a changed byte.
    PackageBytes changed = built;
    changed[TestPeCheckSumOffset()] = 7;
    EXPECT_EQ(OpenExact(changed), 0);
}

TEST(SignedPackageTest, EveryOtherChangedByteIsRefused) {
    const PackageBytes plain = Unsigned();
    const PackageBytes installer = Sign(plain, 5);
    ASSERT_EQ(OpenExact(installer), 1);
    const uint32_t checkSum = TestPeCheckSumOffset(), entry = TestPeCertificateEntryOffset();
    for (uint32_t at = 0; at < plain.size(); at++) {
        PackageBytes damaged = installer;
        damaged[at] ^= 0x01;
        bool rewritable = (at >= checkSum && at < checkSum + 4) || (at >= entry && at < entry + 8);
        bool trailerHead = at >= plain.size() - PACKAGE_TRAILER_SIZE &&
                           at < plain.size() - PACKAGE_TRAILER_SIZE + 12; // not summed
        if (rewritable && at < checkSum + 4) {
            EXPECT_EQ(OpenExact(damaged), 1) << "the CheckSum is not covered: byte " << at;
        } else if (!rewritable && !trailerHead) {
            EXPECT_EQ(PackageOpenMemory(damaged.data(), Size(damaged)), 0) << "byte " << at;
            PackageClose();
        }
    }
}

// The fields counted as zero may be cut by a view's end anywhere: views
// of every size from one byte to the whole file sum alike, and the bytes
// around the fields stay counted. The file itself is read in views too.
TEST(SignedPackageTest, FieldsCutByViewBoundariesStillCountAsZero) {
    const PackageBytes installer = Sign(Unsigned(), 5);
    const uint32_t checkSum = TestPeCheckSumOffset(), entry = TestPeCertificateEntryOffset();
    for (uint32_t size = 1; size <= installer.size(); size++) {
        packageViewSize = size;
        EXPECT_EQ(OpenExact(installer), 1) << "view size " << size;
        for (uint32_t at : {checkSum - 1, checkSum + 4, entry - 1, entry + 8}) {
            PackageBytes damaged = installer;
            damaged[at] ^= 0x01;
            EXPECT_EQ(OpenExact(damaged), 0) << "view size " << size << ", byte " << at;
        }
    }
    packageViewSize = PACKAGE_VIEW_SIZE;
    std::string path =
        (std::filesystem::temp_directory_path() / "qunpack_signed_views.exe").string();
    std::string error;
    ASSERT_TRUE(PackageWriteFile(path, installer, &error)) << error;
    EXPECT_EQ(PackageOpenFileInViews(path.c_str()), 1);
    EXPECT_NE(PackageFindEntry("readme.txt"), nullptr);
    PackageClose();
    std::filesystem::remove(path);
}

} // namespace
