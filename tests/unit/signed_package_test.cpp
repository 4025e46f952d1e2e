// Reading PE headers within bounds, and the package of a signed installer:
// found before its certificate table, which holds signatures and nothing
// else, summed with the fields that signing rewrites counted as zero. The
// signatures here are stand-ins of the right shape (the reader checks the
// table's records and DER headers, not the signatures); tests/cli signs
// with the real tool.
#include "package/package.h"
#include "pe/pe.h"
#include "qpack/package_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "pe_bytes.h"
#include "signed_attack.h"

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

// A WIN_CERTIFICATE record whose certificate is a DER SEQUENCE of content
// bytes, its length in lengthBytes long-form bytes (0: the short form),
// followed by after; dwLength covers it all.
PackageBytes CertificateRecord(uint32_t content, uint32_t lengthBytes,
                               const PackageBytes &after = {}) {
    PackageBytes record(8, 0);
    PutLittleEndian(&record, 4, 0x0200, 2); // revision 2.0
    PutLittleEndian(&record, 6, 2, 2);      // PKCS#7 SignedData
    record.push_back(0x30);
    record.push_back(static_cast<unsigned char>(lengthBytes == 0 ? content : 0x80 + lengthBytes));
    for (uint32_t i = lengthBytes; i > 0; i--)
        record.push_back(static_cast<unsigned char>(content >> (8 * (i - 1))));
    record.resize(record.size() + content, 0xA5);
    record.insert(record.end(), after.begin(), after.end());
    PutLittleEndian(&record, 0, Size(record), 4);
    return record;
}

// Records one after another, each followed by zeros to a multiple of 8.
PackageBytes CertificateTable(const std::vector<PackageBytes> &records) {
    PackageBytes table;
    for (const PackageBytes &record : records) {
        table.insert(table.end(), record.begin(), record.end());
        table.resize((table.size() + 7) / 8 * 8, 0);
    }
    return table;
}

// A table of one record of tableSize bytes (from 16, a multiple of 8), as
// signing tools write it: the DER object and its zero padding inside dwLength.
PackageBytes Signature(uint32_t tableSize) {
    return tableSize == 0 ? PackageBytes()
                          : CertificateTable({CertificateRecord(tableSize - 12, 2)});
}

// What a signing tool does: zero padding, a certificate table at the end,
// the directory entry pointing at it and a new CheckSum.
PackageBytes SignWith(PackageBytes installer, uint32_t padding, const PackageBytes &signatures,
                      uint32_t magic = 0x10B) {
    installer.resize(installer.size() + padding, 0);
    uint32_t table = Size(installer);
    installer.insert(installer.end(), signatures.begin(), signatures.end());
    PutLittleEndian(&installer, TestPeCertificateEntryOffset(magic), table, 4);
    PutLittleEndian(&installer, TestPeCertificateEntryOffset(magic) + 4, Size(signatures), 4);
    PutLittleEndian(&installer, TestPeCheckSumOffset(), 0x5EC0DE42, 4);
    return installer;
}

PackageBytes Sign(const PackageBytes &installer, uint32_t padding, uint32_t tableSize = 64,
                  uint32_t magic = 0x10B) {
    return SignWith(installer, padding, Signature(tableSize), magic);
}

// Opens from an exact-size copy, so that ASan sees any read beyond it, and
// closes again: what the reader recorded, a fault exactly when it refused.
PackageRefusal OpenExactRefusal(const PackageBytes &bytes) {
    std::vector<unsigned char> *copy = new std::vector<unsigned char>(bytes);
    int opened = PackageOpenMemory(copy->data(), Size(*copy));
    PackageRefusal refusal = packageReader.refusal;
    PackageClose();
    delete copy;
    EXPECT_EQ(opened, refusal.fault == PACKAGE_SOUND) << "fault " << refusal.fault;
    return refusal;
}

int OpenExact(const PackageBytes &bytes) {
    return OpenExactRefusal(bytes).fault == PACKAGE_SOUND;
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
            uint32_t fieldsSum = 0;
            for (uint32_t i = 0; i < 12; i++) {
                fieldsSum += installer[i < 4 ? TestPeCheckSumOffset() + i
                                             : TestPeCertificateEntryOffset(magic) + i - 4];
            }
            EXPECT_EQ(location.signingFieldsSum, fieldsSum) << "the bytes signing rewrote";
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
        PackageFault fault;
    };
    const Placement cases[] = {
        {"16 bytes behind the table", 4, 64, [](PackageBytes *b) { b->resize(b->size() + 16); },
         PACKAGE_TABLE_NOT_AT_END},
        {"a table that runs past the end", 4, 64,
         [&](PackageBytes *b) { PutLittleEndian(b, entry + 4, 64 + 8, 4); },
         PACKAGE_TABLE_OUTSIDE_FILE},
        {"a table whose end wraps around", 4, 64,
         [&](PackageBytes *b) {
             PutLittleEndian(b, entry, 0xFFFFFFF0, 4);
             PutLittleEndian(b, entry + 4, 0x10 + Size(*b), 4);
         },
         PACKAGE_TABLE_OUTSIDE_FILE},
        {"a table that ends early", 4, 64,
         [&](PackageBytes *b) { PutLittleEndian(b, entry + 4, 60, 4); }, PACKAGE_TABLE_NOT_AT_END},
        {"an empty table at the end", 0, 0, [](PackageBytes *b) { b->resize(b->size() + 8); },
         PACKAGE_TABLE_NOT_AT_END},
        {"an empty table", 0, 0, [](PackageBytes *) {}, PACKAGE_TABLE_REFUSED},
        {"a table beyond the file", 4, 64,
         [&](PackageBytes *b) { PutLittleEndian(b, entry, Size(*b) + 8, 4); },
         PACKAGE_TABLE_OUTSIDE_FILE},
        {"padding that is not zero", 4, 64, [&](PackageBytes *b) { (*b)[packageEnd + 1] = 1; },
         PACKAGE_NO_TRAILER_BEFORE_TABLE},
        {"8 bytes of padding", 8, 64, [](PackageBytes *) {}, PACKAGE_NO_TRAILER_BEFORE_TABLE},
        {"no magic before the table", 2, 64, [&](PackageBytes *b) { (*b)[packageEnd - 1] ^= 0x20; },
         PACKAGE_NO_TRAILER_BEFORE_TABLE},
        {"a trailer over the signing fields", 0, 128,
         [&](PackageBytes *b) {
             // The magic among the data directories, the table right behind it.
             uint32_t table = entry + 24;
             PackageBytes signature(b->end() - 128, b->end());
             b->resize(table);
             std::copy(PACKAGE_MAGIC, PACKAGE_MAGIC + 8, b->end() - 8);
             b->insert(b->end(), signature.begin(), signature.end());
             PutLittleEndian(b, entry, table, 4);
         },
         PACKAGE_TRAILER_IN_HEADERS},
        {"no certificate entry", 4, 64,
         [](PackageBytes *b) { PutLittleEndian(b, kTestPeOptionalHeader + 92, 4, 4); },
         PACKAGE_NO_MAGIC},
        {"no PE image", 4, 64, [](PackageBytes *b) { (*b)[kTestPeHeaders] = 'X'; },
         PACKAGE_NO_MAGIC},
    };
    for (const Placement &placement : cases) {
        PackageBytes bytes = Sign(plain, placement.padding, placement.tableSize);
        placement.change(&bytes);
        PackageLocation location;
        EXPECT_EQ(PackageLocate(bytes.data(), Size(bytes), &location), 0) << placement.what;
        EXPECT_EQ(OpenExactRefusal(bytes).fault, placement.fault) << placement.what;
    }
}

// The certificate table holds signatures and nothing else: each shape is
// judged by the PE reader's check, and a signed installer with that table
// opens exactly when the check passes.
TEST(SignedPackageTest, CertificateTableHoldsSignaturesAndNothingElse) {
    struct Shape {
        std::string what;
        PackageBytes table;
        uint32_t problem;
        uint32_t at; // the record at fault; ignored when sound
    };
    auto zeros = [](size_t count) { return PackageBytes(count, 0); };
    auto changed = [](PackageBytes table, size_t at, uint32_t value, int width) {
        PutLittleEndian(&table, at, value, width);
        return table;
    };
    const PackageBytes one = CertificateTable({CertificateRecord(40, 0)}); // 50 bytes + 6
    std::vector<Shape> shapes = {
        {"one record", one, PE_CERTIFICATES_SOUND, 0},
        {"one record, its padding in dwLength",
         CertificateTable({CertificateRecord(40, 0, zeros(6))}), PE_CERTIFICATES_SOUND, 0},
        {"two records",
         CertificateTable({CertificateRecord(100, 1), CertificateRecord(1500, 2, zeros(4))}),
         PE_CERTIFICATES_SOUND, 0},
        {"a non-zero byte after the DER object",
         CertificateTable({CertificateRecord(40, 0, {0, 0, 1})}),
         PE_CERTIFICATES_MORE_THAN_SIGNATURE, 0},
        {"a non-zero byte behind dwLength", changed(one, 53, 1, 1),
         PE_CERTIFICATES_MORE_THAN_SIGNATURE, 0},
        {"8 zero bytes after the DER object",
         CertificateTable({CertificateRecord(40, 0, zeros(8))}),
         PE_CERTIFICATES_MORE_THAN_SIGNATURE, 0},
        {"a second record with 9 bytes after it",
         CertificateTable({CertificateRecord(40, 0), CertificateRecord(40, 0, zeros(9))}),
         PE_CERTIFICATES_MORE_THAN_SIGNATURE, 56},
        {"a dwLength past the table", changed(one, 0, 64, 4), PE_CERTIFICATES_RECORD_LENGTH, 0},
        {"a dwLength of 0", changed(one, 0, 0, 4), PE_CERTIFICATES_RECORD_LENGTH, 0},
        {"a dwLength too short for a DER header", changed(one, 0, 13, 4),
         PE_CERTIFICATES_RECORD_LENGTH, 0},
        {"a second record's dwLength past the table",
         changed(CertificateTable({CertificateRecord(40, 0), CertificateRecord(40, 0)}), 56, 57, 4),
         PE_CERTIFICATES_RECORD_LENGTH, 56},
        {"a DER length past its record", changed(one, 9, 41, 1), PE_CERTIFICATES_DER_PAST_RECORD,
         0},
        {"a DER length of 2^32 - 1",
         changed(CertificateTable({CertificateRecord(200, 4)}), 10, 0xFFFFFFFF, 4),
         PE_CERTIFICATES_DER_PAST_RECORD, 0},
        {"an indefinite DER length", changed(one, 9, 0x80, 1), PE_CERTIFICATES_NOT_DER, 0},
        {"a DER length in 5 bytes", changed(one, 9, 0x85, 1), PE_CERTIFICATES_NOT_DER, 0},
        {"a certificate that is no SEQUENCE", changed(one, 8, 0x31, 1), PE_CERTIFICATES_NOT_DER, 0},
        {"a table of 52 bytes", PackageBytes(one.begin(), one.end() - 4), PE_CERTIFICATES_SIZE, 0},
        {"an empty table", {}, PE_CERTIFICATES_SIZE, 0},
    };
    for (uint32_t count = 1; count <= 7; count++)
        shapes.push_back({std::to_string(count) + " zero bytes after the DER object",
                          CertificateTable({CertificateRecord(40, 0, zeros(count))}),
                          PE_CERTIFICATES_SOUND, 0});
    for (uint32_t lengthBytes = 1; lengthBytes <= 4; lengthBytes++)
        shapes.push_back({"a DER length in " + std::to_string(lengthBytes) + " long-form bytes",
                          CertificateTable({CertificateRecord(200, lengthBytes)}),
                          PE_CERTIFICATES_SOUND, 0});
    const PackageBytes plain = Unsigned();
    for (const Shape &shape : shapes) {
        SCOPED_TRACE(shape.what);
        std::vector<unsigned char> *exact = new std::vector<unsigned char>(shape.table);
        PeCertificateFault fault;
        EXPECT_EQ(PeCertificateTableCheck(exact->data(), Size(*exact), &fault),
                  shape.problem == PE_CERTIFICATES_SOUND);
        delete exact;
        EXPECT_EQ(fault.problem, shape.problem);
        EXPECT_EQ(fault.recordOffset,
                  shape.problem == PE_CERTIFICATES_SOUND ? Size(shape.table) : shape.at);
        // The reader refuses the installer for the check's fault, and keeps it.
        PackageRefusal refusal = OpenExactRefusal(SignWith(plain, 2, shape.table));
        if (shape.problem == PE_CERTIFICATES_SOUND) {
            EXPECT_EQ(refusal.fault, PACKAGE_SOUND);
        } else {
            EXPECT_EQ(refusal.fault, PACKAGE_TABLE_REFUSED);
            EXPECT_EQ(refusal.certificate.problem, shape.problem);
            EXPECT_EQ(refusal.certificate.recordOffset, shape.at);
        }
    }
}

// A stranger's package added to a signed installer without changing a byte
// its signature covers: behind the table, or inside it with the table
// enlarged. Read as an unsigned file the same bytes hold a sound package, so
// only the signed installer's rules refuse them.
TEST(SignedPackageTest, AStrangersPackageBehindOrInsideTheTableIsRefused) {
    const PackageBytes vendor = Sign(Unsigned(), 5);
    ASSERT_EQ(OpenExact(vendor), 1);
    PackageBytes stranger;
    std::string error;
    ASSERT_TRUE(PackageWrite(TestPeImage(), {{"\\evil.txt", PackageBytes(300, 'e')}},
                             PackageWriterOptions(), &stranger, &error))
        << error;
    const uint32_t entry = TestPeCertificateEntryOffset();
    for (bool insideTable : {false, true}) {
        SCOPED_TRACE(insideTable ? "inside the table" : "behind the table");
        PackageBytes attack;
        ASSERT_TRUE(SignedAttackMake(vendor, stranger, insideTable, &attack));
        PackageLocation location;
        EXPECT_EQ(PackageLocate(attack.data(), Size(attack), &location), 0);
        EXPECT_EQ(OpenExactRefusal(attack).fault,
                  insideTable ? PACKAGE_TABLE_REFUSED : PACKAGE_TABLE_NOT_AT_END);
        if (insideTable) {
            uint32_t table = Size(vendor) - 64;
            PeCertificateFault fault;
            EXPECT_EQ(PeCertificateTableCheck(attack.data() + table, Size(attack) - table, &fault),
                      0);
            EXPECT_EQ(fault.problem, PE_CERTIFICATES_MORE_THAN_SIGNATURE);
        }
        PackageBytes asUnsigned = attack;
        PutLittleEndian(&asUnsigned, entry, 0, 4);
        PutLittleEndian(&asUnsigned, entry + 4, 0, 4);
        uint32_t trailer = Size(asUnsigned) - PACKAGE_TRAILER_SIZE;
        PutLittleEndian(&asUnsigned, trailer + 12, PackageWriterByteSum(asUnsigned.data(), trailer),
                        4);
        ASSERT_EQ(PackageOpenMemory(asUnsigned.data(), Size(asUnsigned)), 1);
        EXPECT_NE(PackageFindEntry("evil.txt"), nullptr);
        PackageClose();
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
    PackageRefusal refusal = OpenExactRefusal(Sign(withCheckSum, 3));
    EXPECT_EQ(refusal.fault, PACKAGE_SUM_MISMATCH);
    EXPECT_EQ(refusal.sum, parts.trailer.packageSum - 0x12 - 0x34) << "the CheckSum counted";
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
