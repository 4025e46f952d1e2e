// The package writer. The one-buffer writer lays the format out with no
// gaps, read back here with zlib alone. The streamed writer (files read in
// pieces, large entries compressed as a stream, the installer written as it
// goes) must make the very bytes the one-buffer writer makes, on one thread
// or several, and must refuse what the format's 32-bit fields cannot hold.
// The limits are lowered so that small entries take the large entries' road.
#include "qpack/package_writer.h"
#include "payload_bytes.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

PackageBytes Noise(size_t size, unsigned seed, bool compressible = true) {
    std::mt19937 random(seed);
    PackageBytes bytes(size);
    for (unsigned char &byte : bytes) {
        byte = static_cast<unsigned char>(compressible && random() % 5 != 0 ? 'a' + random() % 4
                                                                            : random());
    }
    return bytes;
}

// Several threads taking tasks in index order, as qpack's workers do.
void RunOnThreads(size_t count, const std::function<void(size_t)> &task) {
    std::atomic<size_t> next{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; i++) {
        threads.emplace_back([&] {
            for (size_t index = next++; index < count; index = next++) {
                task(index);
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
}

// ---- Writer layout -------------------------------------------------------------

uint32_t U32At(const PackageBytes &bytes, size_t offset) {
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
           static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

// Parses a built installer with zlib alone, independently of the reader.
TEST(PackageWriterTest, LaysOutTheFormatWithoutGaps) {
    std::mt19937 random(3);
    std::vector<PackageWriterEntry> entries = {
        {"\\#Manifest", Bytes("product = Demo\r\n")},
        {"\\a.txt", CompressibleBytes(random, 3000)},
        {"\\#brand.bmp", RandomBytes(random, 100)},
        {"\\sub\\empty", {}},
    };
    PackageBytes stub = RandomBytes(random, 77);
    PackageBytes out;
    std::string error;
    ASSERT_TRUE(PackageWrite(stub, entries, PackageWriterOptions(), &out, &error)) << error;

    size_t end = out.size() - 24;
    EXPECT_EQ(memcmp(out.data() + end + 16, "InstPack", 8), 0);
    EXPECT_EQ(U32At(out, end + 12), PackageWriterByteSum(out.data(), end));
    EXPECT_TRUE(std::equal(stub.begin(), stub.end(), out.begin()));
    uint32_t directoryOffset = U32At(out, end), directoryCompressed = U32At(out, end + 4);
    EXPECT_EQ(directoryOffset, stub.size());

    PackageBytes directory(U32At(out, end + 8));
    uLongf directoryLength = static_cast<uLongf>(directory.size());
    ASSERT_EQ(uncompress(directory.data(), &directoryLength, out.data() + directoryOffset,
                         directoryCompressed),
              Z_OK);
    ASSERT_EQ(directoryLength, directory.size());
    EXPECT_EQ(out[directoryOffset], 0x78);
    EXPECT_EQ(out[directoryOffset + 1], 0xDA);

    // Installable entries first, internal ones behind them, each in the order given.
    const char *expectedNames[] = {"\\a.txt", "\\sub\\empty", "\\#Manifest", "\\#brand.bmp"};
    size_t dataStart = directoryOffset + directoryCompressed, offset = 0, nextData = 0;
    for (int i = 0; i < 4; i++) {
        std::string name(reinterpret_cast<const char *>(directory.data() + offset + 18));
        EXPECT_EQ(name, expectedNames[i]);
        uint32_t recordLength = directory[offset] | directory[offset + 1] << 8;
        EXPECT_EQ(recordLength, i == 3 ? 0u : 18 + name.size() + 1);
        uint32_t size = U32At(directory, offset + 2), compressed = U32At(directory, offset + 6);
        EXPECT_EQ(U32At(directory, offset + 14), nextData) << "streams follow without gaps";
        const unsigned char *stream = out.data() + dataStart + nextData;
        EXPECT_EQ(stream[0], 0x78);
        EXPECT_EQ(stream[1], 0xDA);
        PackageBytes data(size + 1);
        uLongf length = static_cast<uLongf>(data.size());
        ASSERT_EQ(uncompress(data.data(), &length, stream, compressed), Z_OK);
        EXPECT_EQ(length, size);
        EXPECT_EQ(U32At(directory, offset + 10), PackageWriterByteSum(data.data(), size));
        nextData += compressed;
        offset += i == 3 ? 18 + name.size() + 1 : recordLength;
    }
    EXPECT_EQ(offset, directory.size()) << "the last record ends the directory";
    EXPECT_EQ(dataStart + nextData, end) << "the trailer follows the last stream";
}

TEST(PackageWriterTest, RefusesWhatARecordCannotHold) {
    PackageBytes out;
    std::string error;
    std::vector<std::vector<PackageWriterEntry>> refused = {
        {},
        {{"a.txt", Bytes("x")}},
        {{"", Bytes("x")}},
        {{std::string("\\a\0b", 4), Bytes("x")}},
        {{"\\" + std::string(65600, 'n'), Bytes("x")}},
    };
    for (const auto &entries : refused) {
        error.clear();
        EXPECT_FALSE(PackageWrite(Bytes("MZ"), entries, PackageWriterOptions(), &out, &error));
        EXPECT_FALSE(error.empty());
    }
}

class PackageWriterStream : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 (std::string("writer_stream-") +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override {
        packageFormatLimit = UINT32_MAX;
        packageWholeBufferLimit = uint64_t(64) << 20;
        fs::remove_all(folder);
    }

    // An entry read from a file of these bytes.
    PackageWriterEntry FileEntry(const std::string &name, const PackageBytes &bytes) {
        fs::path path = folder / ("file" + std::to_string(fileCount++));
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        PackageWriterEntry entry;
        entry.name = name;
        entry.path = path;
        entry.size = bytes.size();
        return entry;
    }

    bool Streamed(const std::vector<PackageWriterEntry> &entries, PackageRunFunction run,
                  PackageBytes *installer, std::string *error, const PackageBytes &stub = {'M'}) {
        PackageWriterOptions options;
        options.shareIdenticalStreams = true;
        options.runTasks = run;
        std::ostringstream out;
        uint64_t length = 0;
        bool written =
            PackageWriteStreamed(stub, entries, options, folder / "scratch", out, &length, error);
        std::string text = out.str();
        installer->assign(text.begin(), text.end());
        EXPECT_FALSE(fs::exists(folder / "scratch"));
        EXPECT_TRUE(!written || length == installer->size());
        return written;
    }

    fs::path folder;
    int fileCount = 0;
};

TEST_F(PackageWriterStream, MakesTheOneBufferWritersBytes) {
    struct Case {
        const char *what;
        uint64_t wholeLimit;
        bool fromFiles;
        size_t bigSize;
    };
    const Case cases[] = {
        {"small entries in memory", uint64_t(64) << 20, false, 50000},
        {"small entries from files", uint64_t(64) << 20, true, 50000},
        {"large entries in memory", 4096, false, 1100000},
        // Larger than the 1 MiB pieces files are read in.
        {"large entries from files", 4096, true, 1100000},
    };
    const PackageBytes other = Noise(9000, 2);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const PackageBytes big = Noise(c.bigSize, 1);
        packageWholeBufferLimit = c.wholeLimit;
        std::vector<PackageWriterEntry> held = {{"\\#Manifest", {'M'}}, {"\\big", big},
                                                {"\\empty", {}},        {"\\other", other},
                                                {"\\same-as-big", big}, {"\\same-as-other", other}};
        std::vector<PackageWriterEntry> given = held;
        for (size_t i = 1; c.fromFiles && i < given.size(); i++) {
            given[i] = FileEntry(held[i].name, held[i].data);
        }
        PackageWriterOptions options;
        options.shareIdenticalStreams = true;
        PackageBytes expected, serial, threaded;
        std::string error;
        ASSERT_TRUE(PackageWrite({'M'}, held, options, &expected, &error)) << error;
        ASSERT_TRUE(Streamed(given, nullptr, &serial, &error)) << error;
        ASSERT_TRUE(Streamed(given, RunOnThreads, &threaded, &error)) << error;
        EXPECT_TRUE(serial == expected);
        EXPECT_TRUE(threaded == expected);
        // Shared streams: the copies cost records only.
        EXPECT_LT(expected.size(), big.size());
    }
}

// Two different entries of one size, CRC-32 and byte sum (b is a with the
// CRC-32 polynomial xor-ed in, the byte sum kept) must not share a stream:
// the content key only says which entries to compare.
TEST_F(PackageWriterStream, SharesStreamsOfEqualBytesOnly) {
    const PackageBytes a = {0x43, 0x76, 0xfc, 0x32, 0x97, 0xdf, 0x66, 0xaa};
    const PackageBytes b = {0x02, 0x70, 0x8d, 0xe9, 0x96, 0xdf, 0x66, 0xaa};
    PackageContentKey keyA, keyB;
    keyA.size = keyB.size = a.size();
    PackageContentKeyAdd(&keyA, a.data(), 3);
    PackageContentKeyAdd(&keyA, a.data() + 3, a.size() - 3);
    PackageContentKeyAdd(&keyB, b.data(), b.size());
    ASSERT_TRUE(keyA == keyB) << "the two entries must collide for this test to mean anything";

    const std::vector<PackageWriterEntry> held = {{"\\a", a}, {"\\b", b}, {"\\copy-of-a", a}};
    PackageWriterOptions options;
    options.shareIdenticalStreams = true;
    std::string error;
    for (uint64_t wholeLimit : {uint64_t(64) << 20, uint64_t(4)}) {
        packageWholeBufferLimit = wholeLimit;
        PackageParts parts;
        ASSERT_TRUE(PackageBuildParts({'M'}, held, options, &parts, &error)) << error;
        ASSERT_EQ(parts.streams.size(), 2u);
        EXPECT_NE(parts.records[1].dataOffset, parts.records[0].dataOffset);
        EXPECT_EQ(parts.records[2].dataOffset, parts.records[0].dataOffset);
        PackageBytes expected = PackageAssemble(&parts, true);
        for (bool fromFiles : {false, true}) {
            SCOPED_TRACE(std::string(wholeLimit == 4 ? "large" : "small") + " entries " +
                         (fromFiles ? "from files" : "in memory"));
            std::vector<PackageWriterEntry> given = held;
            for (size_t i = 0; fromFiles && i < given.size(); i++) {
                given[i] = FileEntry(held[i].name, held[i].data);
            }
            PackageBytes serial, threaded;
            ASSERT_TRUE(Streamed(given, nullptr, &serial, &error)) << error;
            ASSERT_TRUE(Streamed(given, RunOnThreads, &threaded, &error)) << error;
            EXPECT_TRUE(serial == expected);
            EXPECT_TRUE(threaded == expected);
        }
    }
}

TEST_F(PackageWriterStream, RefusesWhatTheFormatCannotHold) {
    struct Refusal {
        const char *what;
        std::vector<PackageWriterEntry> entries;
        PackageBytes stub;
        const char *expected;
    };
    packageFormatLimit = 20000;
    packageWholeBufferLimit = 4096;
    PackageWriterEntry changed = FileEntry("\\changed", Noise(120, 3));
    changed.size = 100;
    const Refusal refusals[] = {
        {"an entry past the limit", {{"\\big", Noise(20001, 4)}}, {'M'}, "32-bit sizes hold"},
        {"installable entries past the limit",
         {{"\\a", Noise(12000, 5)}, {"\\b", Noise(12000, 6)}},
         {'M'},
         "counts them in 32 bits"},
        // Internal entries are not counted, but their streams take room:
        // stopped while the streams are written, the large one included.
        {"an installer past the limit",
         {{"\\#noise", Noise(15000, 7, false)}, {"\\a", Noise(8000, 8, false)}},
         {'M'},
         "would be more than 20000 bytes (4 GiB or more) once \"\\#noise\""},
        {"a stub leaving no room", {{"\\a", {'a'}}}, PackageBytes(19980, 'M'), "the stub is"},
        {"a file that changed", {changed}, {'M'}, "did it change"},
    };
    for (const Refusal &refusal : refusals) {
        SCOPED_TRACE(refusal.what);
        PackageBytes installer;
        std::string error;
        EXPECT_FALSE(Streamed(refusal.entries, RunOnThreads, &installer, &error, refusal.stub));
        EXPECT_NE(error.find(refusal.expected), std::string::npos) << error;
    }
    // Just within the limit is accepted.
    PackageBytes installer;
    std::string error;
    const std::vector<PackageWriterEntry> entries = {{"\\a", Noise(3000, 9, false)}};
    ASSERT_TRUE(Streamed(entries, nullptr, &installer, &error)) << error;
    packageFormatLimit = installer.size();
    EXPECT_TRUE(Streamed(entries, nullptr, &installer, &error)) << error;
    packageFormatLimit = installer.size() - 1;
    EXPECT_FALSE(Streamed(entries, nullptr, &installer, &error));
    EXPECT_NE(error.find("4 GiB or more"), std::string::npos) << error;
}

} // namespace
