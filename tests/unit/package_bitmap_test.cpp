// Package bitmaps: sound BMP entries load and point into their own file
// image; damaged ones are treated as missing, read nothing outside their
// bytes and leave nothing allocated. Packages are made by the writer library
// and opened from memory.
#include "heap/region_heap.h"
#include "package/package.h"
#include "platform/platform.h"
#include "qpack/package_writer.h"
#include "ui/package_bitmap.h"

#include "bitmap_bytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

const std::vector<uint32_t> kPalette = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};

PackageBytes Checkerboard(int32_t width, int32_t height) {
    return PalettizedBitmap(width, height, kPalette,
                            [](int32_t x, int32_t y) { return (x + y) % 4; });
}

uint32_t UsedBlocks() {
    RegionHeapStats stats;
    RegionHeapReadStats(&stats);
    return stats.usedBlocks;
}

class PackageBitmapTest : public ::testing::Test {
  protected:
    void SetUp() override { usedBlocks = UsedBlocks(); }
    void TearDown() override {
        PackageClose();
        PlatformPagesFailAt(0);
        EXPECT_EQ(UsedBlocks(), usedBlocks) << "heap blocks leaked";
        EXPECT_EQ(RegionHeapCheck(), 1);
    }

    // Opens a package holding the given internal entries.
    void Open(const std::vector<PackageWriterEntry> &entries) {
        std::string error;
        ASSERT_TRUE(PackageWrite(PackageBytes{'M', 'Z'}, entries, PackageWriterOptions(),
                                 &installer, &error))
            << error;
        ASSERT_EQ(PackageOpenMemory(installer.data(), static_cast<uint32_t>(installer.size())), 1);
    }

    void OpenOne(const PackageBytes &bitmap) { Open({{"\\#brand.bmp", bitmap}}); }

    uint32_t usedBlocks = 0;
    PackageBytes installer;
};

// One way of damaging a sound bitmap, and its name for the failure message.
struct Damage {
    const char *name;
    std::function<void(PackageBytes *)> apply;
};

void Put32(PackageBytes *bytes, size_t offset, uint32_t value) {
    PutLittleEndian(bytes, offset, value, 4);
}

std::vector<Damage> Damages() {
    return {
        {"empty entry", [](PackageBytes *b) { b->clear(); }},
        {"cut inside the file header", [](PackageBytes *b) { b->resize(13); }},
        {"cut inside the info header", [](PackageBytes *b) { b->resize(53); }},
        {"cut inside the colour table", [](PackageBytes *b) { b->resize(600); }},
        {"cut by one byte", [](PackageBytes *b) { b->pop_back(); }},
        {"signature BN", [](PackageBytes *b) { (*b)[1] = 'N'; }},
        {"signature MB", [](PackageBytes *b) { std::swap((*b)[0], (*b)[1]); }},
        {"core header (12 bytes)", [](PackageBytes *b) { Put32(b, 14, 12); }},
        {"info header past the end", [](PackageBytes *b) { Put32(b, 14, b->size()); }},
        {"info header size wraps", [](PackageBytes *b) { Put32(b, 14, 0xFFFFFFF8u); }},
        {"zero width", [](PackageBytes *b) { Put32(b, 18, 0); }},
        {"negative width", [](PackageBytes *b) { Put32(b, 18, 0xFFFFFFF9u); }},
        {"zero height", [](PackageBytes *b) { Put32(b, 22, 0); }},
        {"negative (top-down) height", [](PackageBytes *b) { Put32(b, 22, 0xFFFFFFFDu); }},
        {"one row too many", [](PackageBytes *b) { Put32(b, 22, 4); }},
        {"huge width", [](PackageBytes *b) { Put32(b, 18, 0x7FFFFFFF); }},
        {"huge height", [](PackageBytes *b) { Put32(b, 22, 0x7FFFFFFF); }},
        // 65536 rows of 65536 bytes: 2^32, which wraps to 0 in 32 bits.
        {"rows wrap to nothing",
         [](PackageBytes *b) {
             Put32(b, 18, 65536);
             Put32(b, 22, 65536);
         }},
        // Stride 0x40000004 times 4 rows wraps to 16 bytes.
        {"rows wrap to a little",
         [](PackageBytes *b) {
             Put32(b, 18, 0x40000001);
             Put32(b, 22, 4);
         }},
        {"pixel offset at the end", [](PackageBytes *b) { Put32(b, 10, b->size()); }},
        {"pixel offset far outside", [](PackageBytes *b) { Put32(b, 10, 0xFFFFFFF0u); }},
        {"pixel offset one byte late", [](PackageBytes *b) { Put32(b, 10, 1079); }},
        // 0x40000000 entries of 4 bytes wrap to 0 in 32 bits.
        {"colour count wraps", [](PackageBytes *b) { Put32(b, 46, 0x40000000); }},
        {"colour table past the end", [](PackageBytes *b) { Put32(b, 46, 4096); }},
        {"no bit count", [](PackageBytes *b) { PutLittleEndian(b, 28, 0, 2); }},
        {"bit count 7", [](PackageBytes *b) { PutLittleEndian(b, 28, 7, 2); }},
        {"run-length compressed", [](PackageBytes *b) { Put32(b, 30, 1); }},
        {"colour masks at 8 bits", [](PackageBytes *b) { Put32(b, 30, 3); }},
    };
}

} // namespace

TEST_F(PackageBitmapTest, SoundPalettizedBitmapsLoadAndPointIntoTheirFile) {
    PackageBytes brand = Checkerboard(7, 3); // rows padded from 7 to 8 bytes
    PackageBytes centre = Checkerboard(200, 50);
    Open({{"\\#brand.bmp", brand}, {"\\#installingtext.bmp", centre}});

    PackageBitmap *loaded = BitmapLoad("#brand.bmp");
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->width, 7);
    EXPECT_EQ(loaded->height, 3);
    EXPECT_EQ(loaded->info, loaded->buffer + 14);
    EXPECT_EQ(loaded->bits, loaded->buffer + 1078);
    EXPECT_EQ(0, memcmp(loaded->buffer, brand.data(), brand.size()));
    // The first stored row is the bottom one: pixel (0, 2) is index 2.
    EXPECT_EQ(loaded->bits[0], 2);
    BitmapFree(loaded);

    loaded = BitmapLoad("#INSTALLINGTEXT.BMP");
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->width, 200);
    EXPECT_EQ(loaded->height, 50);
    BitmapFree(loaded);
    BitmapFree(nullptr);
}

TEST_F(PackageBitmapTest, AMissingEntryLoadsNothing) {
    OpenOne(Checkerboard(4, 4));
    EXPECT_EQ(BitmapLoad("#installingtext.bmp"), nullptr);
    EXPECT_EQ(BitmapLoad("brand.bmp"), nullptr); // the "#" belongs to the name
    PackageClose();
    EXPECT_EQ(BitmapLoad("#brand.bmp"), nullptr); // no package open
}

TEST_F(PackageBitmapTest, DamagedBitmapsAreTreatedAsMissing) {
    const PackageBytes sound = Checkerboard(7, 3);
    for (const Damage &damage : Damages()) {
        PackageBytes bytes = sound;
        damage.apply(&bytes);
        // The pure check sees exactly the damaged bytes, in a block of their
        // own size, so that any read beyond them trips the sanitizer.
        std::vector<unsigned char> exact(bytes.begin(), bytes.end());
        EXPECT_EQ(BitmapValidate(exact.empty() ? nullptr : exact.data(),
                                 static_cast<uint32_t>(exact.size())),
                  0)
            << damage.name;
        OpenOne(bytes);
        EXPECT_EQ(BitmapLoad("#brand.bmp"), nullptr) << damage.name;
        PackageClose();
    }
}

TEST_F(PackageBitmapTest, AStreamShorterThanItsRecordIsTreatedAsMissing) {
    PackageParts parts;
    std::string error;
    ASSERT_TRUE(PackageBuildParts(PackageBytes{'M', 'Z'}, {{"\\#brand.bmp", Checkerboard(8, 8)}},
                                  PackageWriterOptions(), &parts, &error))
        << error;
    parts.records[0].size += 16; // the stream yields 16 bytes less than claimed
    PackageEncodeDirectory(&parts);
    installer = PackageAssemble(&parts, true);
    ASSERT_EQ(PackageOpenMemory(installer.data(), static_cast<uint32_t>(installer.size())), 1);
    EXPECT_EQ(BitmapLoad("#brand.bmp"), nullptr);
}

TEST_F(PackageBitmapTest, AHeapThatRunsOutLeavesTheBitmapMissingAndNothingAllocated) {
    // Larger than a standard region: its buffer needs pages of its own.
    OpenOne(Checkerboard(1000, 1000));
    PackageBitmap *loaded = nullptr;
    uint32_t failAt = 1;
    for (; failAt < 20 && !loaded; failAt++) {
        uint32_t before = UsedBlocks();
        PlatformPagesFailAt(failAt);
        loaded = BitmapLoad("#brand.bmp");
        PlatformPagesFailAt(0);
        if (!loaded) {
            EXPECT_EQ(UsedBlocks(), before) << "fail at " << failAt;
        }
    }
    ASSERT_NE(loaded, nullptr);
    EXPECT_GT(failAt, 2u); // at least one run did fail
    EXPECT_EQ(loaded->width, 1000);
    BitmapFree(loaded);
}

TEST(PackageBitmapValidate, OtherDrawableFormatsPass) {
    // 24 bits, 3 x 2: rows of 9 bytes padded to 12, no colour table.
    PackageBytes rgb(54 + 24, 0);
    rgb[0] = 'B';
    rgb[1] = 'M';
    Put32(&rgb, 10, 54);
    Put32(&rgb, 14, 40);
    Put32(&rgb, 18, 3);
    Put32(&rgb, 22, 2);
    PutLittleEndian(&rgb, 28, 24, 2);
    EXPECT_EQ(BitmapValidate(rgb.data(), static_cast<uint32_t>(rgb.size())), 1);
    EXPECT_EQ(BitmapValidate(rgb.data(), static_cast<uint32_t>(rgb.size() - 1)), 0);

    // 32 bits with colour masks after a 40-byte header.
    PackageBytes masked(54 + 12 + 8, 0);
    std::copy(rgb.begin(), rgb.begin() + 54, masked.begin());
    Put32(&masked, 10, 66);
    Put32(&masked, 18, 1);
    PutLittleEndian(&masked, 28, 32, 2);
    Put32(&masked, 30, 3);
    EXPECT_EQ(BitmapValidate(masked.data(), static_cast<uint32_t>(masked.size())), 1);
    masked.resize(60); // the masks no longer fit
    Put32(&masked, 10, 54);
    EXPECT_EQ(BitmapValidate(masked.data(), static_cast<uint32_t>(masked.size())), 0);

    // 1 bit, 33 x 1: two colours and a row of 8 bytes.
    PackageBytes mono(54 + 8 + 8, 0);
    std::copy(rgb.begin(), rgb.begin() + 54, mono.begin());
    Put32(&mono, 10, 62);
    Put32(&mono, 18, 33);
    Put32(&mono, 22, 1);
    PutLittleEndian(&mono, 28, 1, 2);
    EXPECT_EQ(BitmapValidate(mono.data(), static_cast<uint32_t>(mono.size())), 1);
    EXPECT_EQ(BitmapValidate(mono.data(), static_cast<uint32_t>(mono.size() - 1)), 0);
    EXPECT_EQ(BitmapStride(33, 1), 8u);
    EXPECT_EQ(BitmapStride(7, 8), 8u);
    EXPECT_EQ(BitmapStride(0xFFFFFFFFu, 32), 0x3FFFFFFFCull);
}

// Random changes to the headers of a small bitmap: whatever the check
// accepts, a reader that walks the header, the colour table and every pixel
// row as GDI would stays inside the block (the sanitizer watches it).
TEST(PackageBitmapValidate, AcceptedBitmapsKeepEveryReadInside) {
    const PackageBytes sound = Checkerboard(5, 4);
    std::mt19937 random(12345);
    int accepted = 0;
    for (int round = 0; round < 20000; round++) {
        std::vector<unsigned char> bytes(sound.begin(), sound.end());
        int changes = 1 + static_cast<int>(random() % 3);
        for (int i = 0; i < changes; i++)
            bytes[random() % 60] = static_cast<unsigned char>(random());
        if (random() % 4 == 0)
            bytes.resize(random() % bytes.size());
        if (!BitmapValidate(bytes.empty() ? nullptr : bytes.data(),
                            static_cast<uint32_t>(bytes.size())))
            continue;
        accepted++;
        // Exactly the accepted bytes, so that the sanitizer sees a read past them.
        std::vector<unsigned char> exact(bytes);
        exact.shrink_to_fit();
        BitmapReadAsGdiDoes(exact.data());
    }
    EXPECT_GT(accepted, 100); // the sweep did reach the readers
}

// Each header size Windows defines, and those it does not: GDI reads colour
// masks at info + 40 for every header shorter than 52 bytes, so a 41-byte
// header would have it read past a file that holds the pixels alone.
TEST(PackageBitmapValidate, HeaderSizesAreTakenAsGdiTakesThem) {
    // 16 bits, 1 x 1, colour masks; infoSize bytes of header.
    auto masked = [](uint32_t infoSize, size_t masksAfter) {
        PackageBytes bytes(14 + infoSize + masksAfter + 4, 0);
        bytes[0] = 'B';
        bytes[1] = 'M';
        Put32(&bytes, 10, static_cast<uint32_t>(14 + infoSize + masksAfter));
        Put32(&bytes, 14, infoSize);
        Put32(&bytes, 18, 1);
        Put32(&bytes, 22, 1);
        PutLittleEndian(&bytes, 28, 16, 2);
        Put32(&bytes, 30, BITMAP_BITFIELDS);
        return bytes;
    };
    struct Case {
        uint32_t infoSize;
        size_t masksAfter;
        BitmapProblem expected;
    } cases[] = {
        {40, 12, BITMAP_SOUND},          {40, 0, BITMAP_TABLE_OUTSIDE},
        {41, 0, BITMAP_HEADER_UNKNOWN},  {41, 11, BITMAP_HEADER_UNKNOWN},
        {51, 1, BITMAP_HEADER_UNKNOWN},  {52, 0, BITMAP_SOUND},
        {56, 0, BITMAP_SOUND},           {64, 0, BITMAP_HEADER_UNKNOWN},
        {108, 0, BITMAP_SOUND},          {124, 0, BITMAP_SOUND},
        {125, 0, BITMAP_HEADER_UNKNOWN}, {39, 13, BITMAP_HEADER_UNKNOWN},
    };
    for (const Case &c : cases) {
        PackageBytes bytes = masked(c.infoSize, c.masksAfter);
        EXPECT_EQ(BitmapCheck(bytes.data(), static_cast<uint32_t>(bytes.size())), c.expected)
            << "header of " << c.infoSize << " bytes, " << c.masksAfter << " after it";
    }

    // The core header: 16-bit width and height, 3-byte colour table entries.
    PackageBytes core(14 + 12 + 2 * 3 + 2 * 4, 0);
    core[0] = 'B';
    core[1] = 'M';
    Put32(&core, 10, 14 + 12 + 6);
    Put32(&core, 14, 12);
    PutLittleEndian(&core, 18, 9, 2); // width
    PutLittleEndian(&core, 20, 2, 2); // height
    PutLittleEndian(&core, 22, 1, 2); // planes
    PutLittleEndian(&core, 24, 1, 2); // 1 bit: two 3-byte colours, rows of 4 bytes
    EXPECT_EQ(BitmapCheck(core.data(), static_cast<uint32_t>(core.size())), BITMAP_SOUND);
    int32_t width = 0, height = 0;
    BitmapDimensions(core.data(), &width, &height);
    EXPECT_EQ(width, 9);
    EXPECT_EQ(height, 2);
    EXPECT_EQ(BitmapCheck(core.data(), static_cast<uint32_t>(core.size() - 1)),
              BITMAP_PIXELS_OUTSIDE);
    PutLittleEndian(&core, 24, 16, 2); // the core header has no 16-bit form
    EXPECT_EQ(BitmapCheck(core.data(), static_cast<uint32_t>(core.size())),
              BITMAP_FORMAT_UNSUPPORTED);
    for (int problem = BITMAP_NOT_BMP; problem <= BITMAP_PIXELS_OUTSIDE; problem++)
        EXPECT_STRNE(BitmapProblemText(static_cast<BitmapProblem>(problem)), "");
}

#ifndef _WIN32
// The demo product's bitmaps, as committed, are what the packages carry and
// what the window accepts.
TEST_F(PackageBitmapTest, TheDemoBitmapsLoad) {
    std::string demo = std::string(__FILE__);
    demo = demo.substr(0, demo.rfind("/tests/")) + "/examples/demo/";
    for (const char *name : {"brand.bmp", "installingtext.bmp"}) {
        PackageBytes bytes;
        std::string error;
        ASSERT_TRUE(PackageReadFile(demo + name, &bytes, &error)) << error;
        ASSERT_GT(bytes.size(), 1078u);
        EXPECT_EQ(bytes[28], 8) << name << ": 8 bits a pixel";
        EXPECT_EQ(bytes[10] | bytes[11] << 8, 1078) << name << ": pixels after a full table";
        EXPECT_EQ(bytes[46] | bytes[47] << 8, 0) << name << ": biClrUsed 0";
        Open({{std::string("\\#") + name, bytes}});
        PackageBitmap *loaded = BitmapLoad((std::string("#") + name).c_str());
        EXPECT_NE(loaded, nullptr) << name;
        BitmapFree(loaded);
        PackageClose();
    }
}
#endif
