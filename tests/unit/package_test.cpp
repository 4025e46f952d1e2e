// Package reader tests. Every package here is made by the writer library
// that qpack uses; damaged ones are made by changing its parts before they
// are laid out. The region heap is set up once per process by the test
// environment; each test leaves the heap and the reader as it found them.
#include "heap/region_heap.h"
#include "package/package.h"
#include "platform/platform.h"
#include "qpack/package_writer.h"
#include "payload_bytes.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#ifndef _WIN32
#include <dirent.h>
#endif

namespace fs = std::filesystem;

namespace {

PackageBytes Compressed(const PackageBytes &data) {
    PackageBytes stream;
    EXPECT_TRUE(PackageCompress(data.data(), data.size(), &stream));
    return stream;
}

std::string Lower(std::string text) {
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

PackageBytes Build(const std::vector<PackageWriterEntry> &entries,
                   const PackageWriterOptions &options = PackageWriterOptions()) {
    PackageBytes installer;
    std::string error;
    EXPECT_TRUE(PackageWrite(Bytes("MZ stub image"), entries, options, &installer, &error))
        << error;
    return installer;
}

int OpenBytes(const PackageBytes &bytes) {
    return PackageOpenMemory(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

PackageBytes ReadWhole(const DirectoryRecord *record) {
    PackageBytes data(DirectoryRecordSize(record));
    EXPECT_EQ(PackageReadEntryFull(data.data(), record), 1) << DirectoryRecordName(record);
    return data;
}

bool ReaderIsClear() {
    static const PackageReader clear = PackageReader();
    return memcmp(&packageReader, &clear, sizeof clear) == 0;
}

uint32_t UsedBlocks() {
    RegionHeapStats stats;
    RegionHeapReadStats(&stats);
    return stats.usedBlocks;
}

// Descriptors the process holds, where the system can tell.
int OpenDescriptors() {
#ifdef _WIN32
    return 0;
#else
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            count++;
        }
        closedir(dir);
    }
    return count;
#endif
}

// The views of the file at path the process has mapped; -1 where the
// system cannot tell.
int MappedViewsOf(const std::string &path) {
#ifdef _WIN32
    (void)path;
    return -1;
#else
    int count = 0;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        count += line.find(path) != std::string::npos;
    }
    return count;
#endif
}

// Files in a folder of their own below the system's temporary folder.
class PackageTest : public ::testing::Test {
  protected:
    static fs::path folder;

    static void SetUpTestSuite() {
        std::random_device seed;
        folder = fs::temp_directory_path() / ("qunpack_package_test_" + std::to_string(seed()));
        fs::create_directories(folder);
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    void SetUp() override {
        usedBlocks = UsedBlocks();
        livePages = PlatformPagesLiveCount();
    }
    void TearDown() override {
        PackageClose();
        PlatformPagesFailAt(0);
        EXPECT_TRUE(ReaderIsClear());
        EXPECT_EQ(UsedBlocks(), usedBlocks) << "heap blocks leaked";
        EXPECT_EQ(PlatformPagesLiveCount(), livePages) << "heap regions leaked";
        EXPECT_EQ(RegionHeapCheck(), 1);
    }

    static std::string WriteTemp(const std::string &name, const PackageBytes &bytes) {
        std::string path = (folder / name).string();
        std::string error;
        EXPECT_TRUE(PackageWriteFile(path, bytes, &error)) << error;
        return path;
    }

    uint32_t usedBlocks = 0;
    uint32_t livePages = 0;
};

fs::path PackageTest::folder;

// ---- Byte sum ------------------------------------------------------------------

TEST(PackageByteSumTest, MatchesAPlainSumAtEveryAlignmentAndLength) {
    EXPECT_EQ(PackageByteSum("abc", 3), 0x126u);
    EXPECT_EQ(PackageByteSum(nullptr, 0), 0u);

    std::mt19937 random(7);
    PackageBytes bytes = RandomBytes(random, 600);
    for (uint32_t start = 0; start < 33; start++) {
        for (uint32_t length = 0; start + length <= bytes.size(); length += 1 + length / 8) {
            EXPECT_EQ(PackageByteSum(bytes.data() + start, length),
                      PackageWriterByteSum(bytes.data() + start, length))
                << "start " << start << " length " << length;
        }
    }
}

TEST(PackageByteSumTest, WrapsModulo32Bits) {
    // 0xFF * 17 Mi passes 2^32: the sum wraps instead of saturating.
    PackageBytes bytes(17u << 20, 0xFF);
    uint32_t expected = static_cast<uint32_t>(0xFFull * bytes.size());
    EXPECT_EQ(PackageByteSum(bytes.data() + 1, static_cast<uint32_t>(bytes.size() - 1)),
              expected - 0xFF);
}

// ---- Round trips ---------------------------------------------------------------

std::string RandomComponent(std::mt19937 &random) {
    static const char letters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-";
    std::string text;
    for (size_t n = 1 + random() % 10; n > 0; n--) {
        text += letters[random() % (sizeof letters - 1)];
    }
    return text;
}

// A random tree: nested names that differ beyond ASCII case, empty,
// incompressible and compressible files, and a few internal entries.
std::vector<PackageWriterEntry> RandomTree(std::mt19937 &random) {
    std::vector<PackageWriterEntry> entries;
    std::set<std::string> taken;
    size_t count = 1 + random() % 12;
    while (entries.size() < count) {
        std::string name;
        if (random() % 5 == 0) {
            name = "\\#" + RandomComponent(random);
        } else {
            for (size_t depth = random() % 3; depth > 0; depth--) {
                name += "\\" + RandomComponent(random);
            }
            name += "\\" + RandomComponent(random);
        }
        if (!taken.insert(Lower(name)).second) {
            continue;
        }
        size_t size = random() % 4 == 0 ? 0 : random() % 20000;
        entries.push_back(
            {name, random() % 2 ? RandomBytes(random, size) : CompressibleBytes(random, size)});
    }
    return entries;
}

TEST_F(PackageTest, RandomTreesRoundTrip) {
    for (uint32_t seed = 1; seed <= 25; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        std::vector<PackageWriterEntry> entries = RandomTree(random);
        PackageWriterOptions options;
        options.internalEntriesLast = random() % 2 == 0;
        PackageParts parts;
        std::string error;
        ASSERT_TRUE(PackageBuildParts(Bytes("MZ"), entries, options, &parts, &error)) << error;
        PackageBytes installer = PackageAssemble(&parts, true);
        ASSERT_EQ(OpenBytes(installer), 1);

        // The chain holds the records in the writer's order, last one included.
        size_t index = 0;
        for (const DirectoryRecord *record = PackageFirstRecord(); record != nullptr;
             record = PackageNextRecord(record), index++) {
            ASSERT_LT(index, parts.records.size());
            EXPECT_EQ(DirectoryRecordName(record), parts.records[index].name);
            EXPECT_EQ(DirectoryRecordIsInternal(record) != 0,
                      PackageWriterIsInternal(parts.records[index].name));
        }
        EXPECT_EQ(index, entries.size());

        for (const PackageWriterEntry &entry : entries) {
            const DirectoryRecord *record = PackageFindEntry(Lower(entry.name).c_str() + 1);
            ASSERT_NE(record, nullptr) << entry.name;
            EXPECT_EQ(DirectoryRecordName(record), entry.name);
            PackageBytes data = ReadWhole(record);
            EXPECT_EQ(data, entry.data) << entry.name;
            EXPECT_EQ(PackageByteSum(data.data(), static_cast<uint32_t>(data.size())),
                      DirectoryRecordDataSum(record));
        }
        PackageClose();
    }
}

TEST_F(PackageTest, OpensAMappedFileAndReleasesIt) {
    std::mt19937 random(11);
    std::vector<PackageWriterEntry> entries = {{"\\bin\\tool.exe", RandomBytes(random, 5000)},
                                               {"\\#Manifest", Bytes("name = x")}};
    std::string path = WriteTemp("mapped.exe", Build(entries));
    int descriptors = OpenDescriptors();

    ASSERT_EQ(PackageOpenFile(path.c_str()), 1);
    EXPECT_EQ(packageReader.view, packageReader.mapped.view);
    EXPECT_EQ(ReadWhole(PackageFindEntry("bin\\tool.exe")), entries[0].data);
#ifdef _WIN32
    // Shared for reading only: nobody may delete or rewrite the file meanwhile.
    std::error_code busy;
    EXPECT_FALSE(fs::remove(path, busy));
#endif
    PackageClose();
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_TRUE(fs::remove(path)) << "the file is released";
}

TEST_F(PackageTest, OwnExecutableWithoutPackageIsRejected) {
    EXPECT_EQ(PackageOpen(), 0);
    EXPECT_EQ(packageReader.refusal.fault, PACKAGE_NO_MAGIC);
    EXPECT_NE(packageReader.mapped.file, 0u) << "the test program itself was opened";
    EXPECT_EQ(packageReader.mapped.view, nullptr) << "and read in views";
    EXPECT_EQ(packageReader.directory, nullptr);
}

TEST_F(PackageTest, RecordsAreFollowedByRecordLengthAlone) {
    // Padding between records and bytes behind the last one are allowed: the
    // chain goes by recordLength, not by the names.
    PackageParts parts;
    std::vector<PackageWriterEntry> entries = {{"\\one", Bytes("1")}, {"\\two", Bytes("22")}};
    ASSERT_TRUE(PackageBuildParts(Bytes("MZ"), entries, PackageWriterOptions(), &parts, nullptr));
    parts.records[0].recordLength += 5;
    PackageEncodeDirectory(&parts);
    parts.directory.insert(parts.directory.begin() + 18 + 5, 5, '?');
    parts.directory.insert(parts.directory.end(), 3, 'x');
    PackageCompressDirectory(&parts);
    PackageBytes installer = PackageAssemble(&parts, true);
    ASSERT_EQ(OpenBytes(installer), 1);
    EXPECT_EQ(ReadWhole(PackageFindEntry("two")), Bytes("22"));
    EXPECT_EQ(ReadWhole(PackageFindEntry("one")), Bytes("1"));
}

// ---- Integrity -----------------------------------------------------------------

std::vector<PackageWriterEntry> SmallEntries() {
    return {{"\\a.txt", Bytes("hello, hello, hello")}, {"\\#Manifest", Bytes("k = v")}};
}

TEST_F(PackageTest, EverySingleByteChangeIsRejected) {
    PackageBytes installer = Build(SmallEntries());
    ASSERT_EQ(OpenBytes(installer), 1);
    EXPECT_EQ(packageReader.refusal.fault, PACKAGE_SOUND);
    // Everything before the trailer is covered by the package sum. The
    // trailer's first 16 bytes are not, but each of its fields is caught by
    // the magic, the bounds, the exact directory size or the sum itself.
    for (size_t position = 0; position < installer.size(); position++) {
        for (unsigned change : {0x01u, 0x80u, 0xFFu}) {
            PackageBytes damaged = installer;
            damaged[position] = static_cast<unsigned char>(damaged[position] ^ change);
            EXPECT_EQ(OpenBytes(damaged), 0) << "byte " << position << " ^ " << change;
            EXPECT_NE(packageReader.refusal.fault, PACKAGE_SOUND) << "byte " << position;
        }
    }
}

TEST_F(PackageTest, ExchangedBytesKeepTheSumButNotTheEntry) {
    PackageParts parts;
    ASSERT_TRUE(PackageBuildParts(Bytes("MZ stub image"), SmallEntries(), PackageWriterOptions(),
                                  &parts, nullptr));
    PackageBytes installer = PackageAssemble(&parts, true);
    // Two stub bytes exchanged: the byte sum cannot tell.
    std::swap(installer[0], installer[5]);
    ASSERT_NE(installer[0], installer[5]);
    EXPECT_EQ(OpenBytes(installer), 1);

    // A stub byte exchanged with one inside the first entry's stream passes
    // the open too; reading the entry finds the damage.
    size_t streamByte = parts.stub.size() + parts.directoryStream.size() + 4;
    ASSERT_NE(installer[1], installer[streamByte]);
    std::swap(installer[1], installer[streamByte]);
    ASSERT_EQ(OpenBytes(installer), 1);
    const DirectoryRecord *record = PackageFindEntry("a.txt");
    PackageBytes data(DirectoryRecordSize(record));
    bool whole = PackageReadEntryFull(data.data(), record) == 1;
    EXPECT_FALSE(whole && PackageByteSum(data.data(), static_cast<uint32_t>(data.size())) ==
                              DirectoryRecordDataSum(record));
}

TEST_F(PackageTest, TruncatedOrExtendedFilesAreRejected) {
    PackageBytes installer = Build(SmallEntries());
    PackageBytes trailer(installer.end() - 24, installer.end());
    for (size_t cut : {size_t(1), size_t(8), size_t(24), size_t(25), installer.size() - 23,
                       installer.size() - 1, installer.size()}) {
        PackageBytes shorter(installer.begin(), installer.end() - cut);
        EXPECT_EQ(OpenBytes(shorter), 0) << "cut " << cut;
    }
    PackageBytes longer = installer;
    longer.push_back(0);
    EXPECT_EQ(OpenBytes(longer), 0);
    longer = installer;
    longer.insert(longer.end(), trailer.begin(), trailer.end());
    EXPECT_EQ(OpenBytes(longer), 0) << "a second trailer";
}

// ---- Lookup --------------------------------------------------------------------

TEST_F(PackageTest, LookupFoldsAsciiCaseOnly) {
    std::vector<PackageWriterEntry> entries = {
        {"\\Readme.TXT", Bytes("readme")},
        {"\\bin\\Tool.exe", Bytes("tool")},
        {"\\dup.txt", Bytes("first")},
        {"\\DUP.TXT", Bytes("second")},
        {"\\\xC4rger.txt", Bytes("latin-1")}, // 0xC4 and 0xE4 differ by 0x20, as A and a do
        {"\\[x", Bytes("bracket")},           // [ and { differ by 0x20 too
        {"\\@home", Bytes("at")},             // and so do @ and `
        {"\\#Manifest", Bytes("manifest")},
        {"\\#brand.bmp", Bytes("brand")},
    };
    PackageBytes installer = Build(entries); // the reader reads from it until closed
    ASSERT_EQ(OpenBytes(installer), 1);
    auto found = [](const char *name) -> std::string {
        const DirectoryRecord *record = PackageFindEntry(name);
        return record != nullptr ? DirectoryRecordName(record) : "(none)";
    };
    EXPECT_EQ(found("Readme.TXT"), "\\Readme.TXT");
    EXPECT_EQ(found("readme.txt"), "\\Readme.TXT");
    EXPECT_EQ(found("README.TXT"), "\\Readme.TXT");
    EXPECT_EQ(found("bin\\tool.EXE"), "\\bin\\Tool.exe");
    EXPECT_EQ(found("#MANIFEST"), "\\#Manifest");
    EXPECT_EQ(found("\xC4RGER.TXT"), "\\\xC4rger.txt");
    EXPECT_EQ(found("[X"), "\\[x");
    EXPECT_EQ(found("@HOME"), "\\@home");

    const DirectoryRecord *last = PackageFindEntry("#brand.bmp");
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(DirectoryRecordLength(last), 0u) << "the last record is compared too";
    EXPECT_EQ(ReadWhole(PackageFindEntry("Dup.Txt")), Bytes("first"));

    for (const char *missing : {"\\Readme.TXT", "Readme.TX", "Readme.TXTx", "", "bin/Tool.exe",
                                "Tool.exe", "\xE4rger.txt", "{x", "`home", "#Manifest\\"}) {
        EXPECT_EQ(PackageFindEntry(missing), nullptr) << missing;
    }
    EXPECT_EQ(PackageFindEntry(nullptr), nullptr);
    PackageClose();
    EXPECT_EQ(PackageFindEntry("Readme.TXT"), nullptr) << "nothing is found after the close";
    EXPECT_EQ(PackageFirstRecord(), nullptr);
}

// ---- Inflation -----------------------------------------------------------------

TEST_F(PackageTest, InflateLeavesWhatTheStreamDoesNotReach) {
    std::mt19937 random(5);
    PackageBytes data = CompressibleBytes(random, 100);
    PackageBytes stream = Compressed(data);
    const uint32_t streamSize = static_cast<uint32_t>(stream.size());
    uint32_t produced = 0;

    // Shorter than the destination: Z_OK, the rest untouched, the count tells.
    PackageBytes destination(160, 0xA5);
    EXPECT_EQ(InflateBuffer(destination.data(), 160, stream.data(), streamSize), Z_OK);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), destination.begin()));
    EXPECT_EQ(std::count(destination.begin() + 100, destination.end(), 0xA5), 60);
    EXPECT_EQ(InflateBufferCount(destination.data(), 160, stream.data(), streamSize, &produced), 1);
    EXPECT_EQ(produced, 100u);

    // Cut short: still Z_OK, but the count says the stream did not end.
    destination.assign(160, 0xA5);
    EXPECT_EQ(InflateBuffer(destination.data(), 160, stream.data(), streamSize - 10), Z_OK);
    EXPECT_EQ(destination[159], 0xA5);
    EXPECT_EQ(
        InflateBufferCount(destination.data(), 160, stream.data(), streamSize - 10, &produced), 0);
    EXPECT_LT(produced, 100u);

    // Longer than the destination: it stops when full and says so.
    destination.assign(60, 0x5A);
    EXPECT_EQ(InflateBufferCount(destination.data(), 50, stream.data(), streamSize, &produced), 0);
    EXPECT_EQ(produced, 50u);
    EXPECT_EQ(std::count(destination.begin() + 50, destination.end(), 0x5A), 10);

    // A damaged Adler-32 is a stream that did not end cleanly.
    PackageBytes damaged = stream;
    damaged.back() ^= 1;
    destination.assign(100, 0);
    EXPECT_EQ(InflateBuffer(destination.data(), 100, damaged.data(), streamSize), Z_OK);
    EXPECT_EQ(InflateBufferCount(destination.data(), 100, damaged.data(), streamSize, nullptr), 0);

    // A stream that asks for a preset dictionary has not ended.
    z_stream z = z_stream();
    ASSERT_EQ(deflateInit(&z, 9), Z_OK);
    ASSERT_EQ(deflateSetDictionary(&z, data.data(), 32), Z_OK);
    PackageBytes dictionaryStream(256);
    z.next_in = data.data();
    z.avail_in = 100;
    z.next_out = dictionaryStream.data();
    z.avail_out = 256;
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(InflateBufferCount(destination.data(), 100, dictionaryStream.data(), z.total_out,
                                 &produced),
              0);
    EXPECT_EQ(produced, 0u);
    deflateEnd(&z);

    // Nothing to produce: an empty destination is fine.
    PackageBytes empty = Compressed({});
    EXPECT_EQ(InflateBufferCount(nullptr, 0, empty.data(), static_cast<uint32_t>(empty.size()),
                                 &produced),
              1);
    EXPECT_EQ(produced, 0u);
}

TEST_F(PackageTest, ReadEntryFullTellsAShortEntry) {
    // A record that claims one byte more than its stream holds opens (the sum
    // is right) and reads with Z_OK, but not in full.
    PackageParts parts;
    ASSERT_TRUE(
        PackageBuildParts(Bytes("MZ"), SmallEntries(), PackageWriterOptions(), &parts, nullptr));
    parts.records[0].size += 1;
    PackageEncodeDirectory(&parts);
    PackageBytes installer = PackageAssemble(&parts, true);
    ASSERT_EQ(OpenBytes(installer), 1);
    const DirectoryRecord *record = PackageFindEntry("a.txt");
    PackageBytes data(DirectoryRecordSize(record), 0);
    EXPECT_EQ(PackageReadEntry(data.data(), record), Z_OK);
    EXPECT_EQ(PackageReadEntryFull(data.data(), record), 0);
    EXPECT_EQ(PackageReadEntryFull(data.data(), nullptr), 0);
    EXPECT_EQ(PackageReadEntry(data.data(), nullptr), Z_STREAM_ERROR);
}

TEST_F(PackageTest, InflateAllocClearsAndRefusesOverflow) {
    EXPECT_EQ(InflateAlloc(nullptr, 0x10001, 0x10000), nullptr) << "would wrap to 64 KiB";
    EXPECT_EQ(InflateAlloc(nullptr, 0xFFFFFFFFu, 2), nullptr);
    // A block that held data before comes back cleared.
    void *keep = RegionHeapAlloc(64); // keeps the region alive across the release
    unsigned char *dirty = static_cast<unsigned char *>(RegionHeapAlloc(4096));
    memset(dirty, 0xEE, 4096);
    RegionHeapFree(dirty);
    unsigned char *block = static_cast<unsigned char *>(InflateAlloc(nullptr, 64, 64));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::count(block, block + 4096, 0), 4096);
    InflateFree(nullptr, block);
    RegionHeapFree(keep);
}

TEST_F(PackageTest, InflateWithoutHeapMemoryReportsASetUpFailure) {
    ASSERT_EQ(UsedBlocks(), 0u) << "needs an empty heap, so that the state needs new pages";
    PackageBytes stream = Compressed(Bytes("some text"));
    PackageBytes destination(9, 0x33);
    PlatformPagesFailAt(1);
    EXPECT_EQ(
        InflateBuffer(destination.data(), 9, stream.data(), static_cast<uint32_t>(stream.size())),
        Z_STREAM_ERROR);
    EXPECT_EQ(std::count(destination.begin(), destination.end(), 0x33), 9);
}

// ---- Crafted packages ----------------------------------------------------------

uint32_t PackageEnd(const PackageParts &parts) {
    size_t end = parts.stub.size() + parts.directoryStream.size();
    for (const PackageBytes &stream : parts.streams) {
        end += stream.size();
    }
    return static_cast<uint32_t>(end);
}

uint32_t DataAreaSize(const PackageParts &parts) {
    return PackageEnd(parts) - parts.trailer.directoryOffset -
           parts.trailer.directoryCompressedSize;
}

void FixRecordLengths(PackageParts *parts) {
    for (size_t i = 0; i + 1 < parts->records.size(); i++) {
        parts->records[i].recordLength =
            static_cast<uint16_t>(18 + parts->records[i].name.size() + 1);
    }
    PackageEncodeDirectory(parts);
}

// Where a crafted package is refused: on the trailer alone, before anything
// is allocated; while the directory inflates; or on the record chain.
enum CraftedStage { kTrailer, kInflate, kChain };

struct CraftedCase {
    CraftedStage stage;
    const char *what;
    std::function<void(PackageParts *)> craft;
    PackageFault fault; // the reason the reader records
    int record;         // the record at fault, counting from 0; -1 for none
};

// One case per check of the open; the package sum is always made right, so
// that only the check under test can refuse it.
const CraftedCase craftedCases[] = {
    {kTrailer, "directory offset past the trailer's start",
     [](PackageParts *p) { p->trailer.directoryOffset = PackageEnd(*p) + 1; },
     PACKAGE_DIRECTORY_OUTSIDE, -1},
    {kTrailer, "directory stream running into the trailer",
     [](PackageParts *p) { p->trailer.directoryCompressedSize += DataAreaSize(*p) + 1; },
     PACKAGE_DIRECTORY_OUTSIDE, -1},
    {kTrailer, "directory offset and size wrapping past 2^32",
     [](PackageParts *p) { p->trailer.directoryCompressedSize = 0xFFFFFFFFu; },
     PACKAGE_DIRECTORY_OUTSIDE, -1},
    {kTrailer, "directory size 0", [](PackageParts *p) { p->trailer.directorySize = 0; },
     PACKAGE_DIRECTORY_EMPTY, -1},
    {kTrailer, "directory size beyond what its stream can yield",
     [](PackageParts *p) {
         p->trailer.directorySize = p->trailer.directoryCompressedSize * INFLATE_MAX_RATIO + 1;
     },
     PACKAGE_DIRECTORY_TOO_LARGE, -1},
    {kInflate, "directory inflating to less than its size",
     [](PackageParts *p) { p->trailer.directorySize += 1; }, PACKAGE_DIRECTORY_NOT_INFLATED, -1},
    {kInflate, "directory inflating to more than its size",
     [](PackageParts *p) { p->trailer.directorySize -= 1; }, PACKAGE_DIRECTORY_NOT_INFLATED, -1},
    {kInflate, "directory stream cut short",
     [](PackageParts *p) {
         p->directoryStream.pop_back();
         p->trailer.directoryCompressedSize -= 1;
     },
     PACKAGE_DIRECTORY_NOT_INFLATED, -1},
    {kInflate, "directory stream damaged",
     [](PackageParts *p) { p->directoryStream[p->directoryStream.size() / 2] ^= 0x55; },
     PACKAGE_DIRECTORY_NOT_INFLATED, -1},
    {kChain, "directory ending inside the first record's header",
     [](PackageParts *p) {
         p->directory.resize(10);
         PackageCompressDirectory(p);
     },
     PACKAGE_RECORD_HEADER_CUT, 0},
    {kChain, "last name without its terminator",
     [](PackageParts *p) {
         p->directory.pop_back();
         PackageCompressDirectory(p);
     },
     PACKAGE_RECORD_NAME_UNTERMINATED, 2},
    {kChain, "record length leaving the directory",
     [](PackageParts *p) {
         p->records[0].recordLength = 0xFFFF;
         PackageEncodeDirectory(p);
     },
     PACKAGE_RECORD_LENGTH_PAST_END, 0},
    {kChain, "record length ending exactly at the directory's end",
     [](PackageParts *p) {
         p->records[1].recordLength =
             static_cast<uint16_t>(p->directory.size() - p->records[0].recordLength);
         PackageEncodeDirectory(p);
     },
     PACKAGE_RECORD_HEADER_CUT, 2},
    {kChain, "record length one past the directory's end",
     [](PackageParts *p) {
         p->records[1].recordLength =
             static_cast<uint16_t>(p->directory.size() - p->records[0].recordLength + 1);
         PackageEncodeDirectory(p);
     },
     PACKAGE_RECORD_LENGTH_PAST_END, 1},
    {kChain, "record length inside the record's own name",
     [](PackageParts *p) {
         p->records[0].recordLength = 18 + 3;
         PackageEncodeDirectory(p);
     },
     PACKAGE_RECORD_LENGTH_SHORT, 0},
    {kChain, "record length overlapping the record's own terminator",
     [](PackageParts *p) {
         // The next record starts one byte early, so that this record's
         // terminator doubles as the low byte of its recordLength.
         p->records[0].recordLength -= 1;
         PackageEncodeDirectory(p);
         p->directory.erase(p->directory.begin() + p->records[0].recordLength + 1);
         PackageCompressDirectory(p);
     },
     PACKAGE_RECORD_LENGTH_SHORT, 0},
    {kChain, "name without its leading backslash",
     [](PackageParts *p) {
         p->records[1].name = "dir\\two.bin";
         FixRecordLengths(p);
     },
     PACKAGE_RECORD_NAME_UNROOTED, 1},
    {kChain, "empty name on the last record",
     [](PackageParts *p) {
         p->records[2].name = "";
         FixRecordLengths(p);
     },
     PACKAGE_RECORD_NAME_UNROOTED, 2},
    {kChain, "data offset past the data area",
     [](PackageParts *p) {
         p->records[0].dataOffset = DataAreaSize(*p) + 1;
         PackageEncodeDirectory(p);
     },
     PACKAGE_RECORD_STREAM_OUTSIDE, 0},
    {kChain, "stream running into the trailer",
     [](PackageParts *p) {
         p->records[2].compressedSize += 1;
         PackageEncodeDirectory(p);
     },
     PACKAGE_RECORD_STREAM_OUTSIDE, 2},
    {kChain, "data offset and size wrapping past 2^32",
     [](PackageParts *p) {
         p->records[1].dataOffset = 0xFFFFFFFFu;
         p->records[1].compressedSize = 2;
         PackageEncodeDirectory(p);
     },
     PACKAGE_RECORD_STREAM_OUTSIDE, 1},
    {kChain, "entry size beyond what its stream can yield",
     [](PackageParts *p) {
         p->records[0].size = p->records[0].compressedSize * INFLATE_MAX_RATIO + 1;
         PackageEncodeDirectory(p);
     },
     PACKAGE_RECORD_SIZE_TOO_LARGE, 0},
};

PackageParts CraftingBase() {
    std::mt19937 random(9);
    std::vector<PackageWriterEntry> entries = {{"\\one.txt", CompressibleBytes(random, 200)},
                                               {"\\dir\\two.bin", RandomBytes(random, 50)},
                                               {"\\#Manifest", Bytes("k = v")}};
    PackageParts parts;
    EXPECT_TRUE(PackageBuildParts(Bytes("MZ stub image"), entries, PackageWriterOptions(), &parts,
                                  nullptr));
    return parts;
}

TEST_F(PackageTest, CraftedBoundsAreRejected) {
    PackageParts base = CraftingBase();
    ASSERT_EQ(OpenBytes(PackageAssemble(&base, true)), 1) << "the unaltered package opens";
    PackageClose();
    for (const CraftedCase &crafted : craftedCases) {
        PackageParts parts = base;
        crafted.craft(&parts);
        // Exactly sized, so that AddressSanitizer sees any read beyond the file.
        PackageBytes installer = PackageAssemble(&parts, true);
        uint32_t pageCalls = PlatformPagesAllocCount();
        EXPECT_EQ(OpenBytes(installer), 0) << crafted.what;
        EXPECT_EQ(PackageFirstRecord(), nullptr) << crafted.what;
        EXPECT_EQ(packageReader.refusal.fault, crafted.fault) << crafted.what;
        uint32_t recordOffset = 0;
        for (int i = 0; i < crafted.record; i++) {
            recordOffset += parts.records[i].recordLength;
        }
        if (crafted.record >= 0) {
            EXPECT_EQ(packageReader.refusal.recordOffset, recordOffset) << crafted.what;
        }
        if (crafted.stage == kTrailer) {
            EXPECT_EQ(packageReader.directory, nullptr) << crafted.what;
            EXPECT_EQ(PlatformPagesAllocCount(), pageCalls) << crafted.what << ": allocated";
        }
        PackageClose();
        if (crafted.stage == kChain) {
            // The chain check alone, on a directory of exactly its size: the
            // directory in the heap has addressable neighbours, this one has none.
            PackageBytes directory = parts.directory;
            uint32_t size = static_cast<uint32_t>(directory.size());
            uint32_t at = 0;
            EXPECT_EQ(PackageDirectoryFaultFind(directory.data(), size, DataAreaSize(parts), &at),
                      crafted.fault)
                << crafted.what;
            EXPECT_EQ(at, recordOffset) << crafted.what;
            EXPECT_EQ(PackageValidateDirectory(directory.data(), size, DataAreaSize(parts)), 0)
                << crafted.what;
        }
    }

    // A bare trailer, nothing in front of it.
    PackageParts bare;
    PackageBytes trailerOnly = PackageAssemble(&bare, true);
    ASSERT_EQ(trailerOnly.size(), 24u);
    EXPECT_EQ(OpenBytes(trailerOnly), 0);
    EXPECT_NE(packageReader.refusal.fault, PACKAGE_SOUND);
}

// ---- Release after every failure -----------------------------------------------

// Two records sharing one stream of 2.2 MB claim sizes that, with a real
// 16-byte file, add up to 4 GiB: each passes the sum and the ratio checks,
// but a 32-bit Total would wrap to 0 and the extraction would write nothing
// and call it success. The open refuses it; one byte less opens.
TEST_F(PackageTest, InstallableSizesReaching4GiBAreRefused) {
    std::mt19937 random(4);
    PackageParts parts;
    ASSERT_TRUE(PackageBuildParts(Bytes("MZ"),
                                  {{"\\big", RandomBytes(random, 2200000)},
                                   {"\\small", RandomBytes(random, 16)},
                                   {"\\#Manifest", Bytes("k = v")}},
                                  PackageWriterOptions(), &parts, nullptr));
    PackageWriterRecord twin = parts.records[0];
    twin.name = "\\twin";
    parts.records.insert(parts.records.begin() + 1, twin);
    struct {
        uint32_t big, twin;
        PackageFault fault;
    } cases[] = {{0x80000000u, 0x7FFFFFF0u, PACKAGE_INSTALLABLE_TOO_LARGE},
                 {0x80000000u, 0x7FFFFFEFu, PACKAGE_SOUND}};
    for (const auto &c : cases) {
        parts.records[0].size = c.big;
        parts.records[1].size = c.twin;
        FixRecordLengths(&parts);
        EXPECT_EQ(OpenBytes(PackageAssemble(&parts, true)), c.fault == PACKAGE_SOUND)
            << std::hex << c.twin;
        EXPECT_EQ(packageReader.refusal.fault, c.fault) << std::hex << c.twin;
        PackageClose();
    }
}

TEST_F(PackageTest, CloseReleasesEveryFailureStage) {
    PackageBytes good = Build(SmallEntries());
    PackageBytes noMagic = good;
    noMagic.back() = 'X';
    PackageBytes badSum = good;
    badSum[0] ^= 1;
    PackageParts parts = CraftingBase();
    parts.trailer.directorySize += 1;
    PackageBytes badDirectory = PackageAssemble(&parts, true);
    parts = CraftingBase();
    parts.records[0].recordLength = 0xFFFF;
    PackageEncodeDirectory(&parts);
    PackageBytes badChain = PackageAssemble(&parts, true);

    struct Stage {
        const char *what;
        std::string path;
        bool heapFails;
        PackageFault fault;
    };
    const Stage stages[] = {
        {"no file", (folder / "absent").string(), false, PACKAGE_NOT_OPENED},
        {"empty file", WriteTemp("empty", {}), false, PACKAGE_TOO_SHORT},
        {"no magic", WriteTemp("nomagic", noMagic), false, PACKAGE_NO_MAGIC},
        {"wrong sum", WriteTemp("badsum", badSum), false, PACKAGE_SUM_MISMATCH},
        {"no heap block for the directory", WriteTemp("good", good), true, PACKAGE_OUT_OF_MEMORY},
        {"directory not of its size", WriteTemp("baddir", badDirectory), false,
         PACKAGE_DIRECTORY_NOT_INFLATED},
        {"chain leaving the directory", WriteTemp("badchain", badChain), false,
         PACKAGE_RECORD_LENGTH_PAST_END},
    };
    int descriptors = OpenDescriptors();
    for (const Stage &stage : stages) {
        ASSERT_EQ(UsedBlocks(), 0u);
        PlatformPagesFailAt(stage.heapFails ? 1 : 0);
        EXPECT_EQ(PackageOpenFile(stage.path.c_str()), 0) << stage.what;
        PlatformPagesFailAt(0);
        EXPECT_EQ(packageReader.refusal.fault, stage.fault) << stage.what;
        PackageClose();
        EXPECT_TRUE(ReaderIsClear()) << stage.what;
        EXPECT_EQ(UsedBlocks(), 0u) << stage.what;
        EXPECT_EQ(OpenDescriptors(), descriptors) << stage.what;
        PackageClose(); // a second close does nothing
        // The reader is ready for another open.
        EXPECT_EQ(PackageOpenFile(WriteTemp("again", good).c_str()), 1) << stage.what;
        PackageClose();
        std::error_code error;
        EXPECT_TRUE(stage.path == (folder / "absent").string() || fs::remove(stage.path, error))
            << stage.what << ": the file is still held";
    }
}

TEST_F(PackageTest, OpenFailsCleanlyAtEveryPageFailure) {
    // A directory larger than a standard region: its block needs a region of
    // its own, and the inflate library's state another one.
    std::vector<PackageWriterEntry> entries;
    for (int i = 0; i < 12; i++) {
        entries.push_back({"\\" + std::string(60000, 'd') + std::to_string(i), {}});
    }
    PackageBytes installer = Build(entries);
    ASSERT_EQ(UsedBlocks(), 0u);
    uint32_t failAt = 1;
    for (; failAt < 10; failAt++) {
        PlatformPagesFailAt(failAt);
        int opened = OpenBytes(installer);
        PlatformPagesFailAt(0);
        if (opened) {
            break;
        }
        EXPECT_EQ(packageReader.refusal.fault, PACKAGE_OUT_OF_MEMORY) << "fail at " << failAt;
        PackageClose();
        EXPECT_EQ(UsedBlocks(), 0u) << "fail at " << failAt;
        EXPECT_EQ(PlatformPagesLiveCount(), livePages) << "fail at " << failAt;
    }
    EXPECT_GE(failAt, 3u) << "both the directory and the inflate state met a failure";
    ASSERT_LT(failAt, 10u);
    EXPECT_NE(PackageFindEntry((std::string(60000, 'D') + "11").c_str()), nullptr);
}

} // namespace

// ---- Views ---------------------------------------------------------------------------

// Sets packageViewSize for the life of a test.
struct ViewSize {
    explicit ViewSize(uint32_t size) { packageViewSize = size; }
    ~ViewSize() { packageViewSize = PACKAGE_VIEW_SIZE; }
};

// Every entry's content, read through the open package, in the order given.
std::vector<PackageBytes> ReadAll(const std::vector<PackageWriterEntry> &entries) {
    std::vector<PackageBytes> contents;
    for (const PackageWriterEntry &entry : entries) {
        const DirectoryRecord *record = PackageFindEntry(entry.name.c_str() + 1);
        contents.push_back(record != nullptr ? ReadWhole(record) : PackageBytes());
    }
    return contents;
}

// Views of every size from one byte to the whole package: each size puts
// its boundaries at other places, in the image, the directory stream, the
// entry streams and before the trailer. The sum over views must be the
// one-pass sum every time, and a changed byte must be seen every time.
TEST_F(PackageTest, TheSumOverViewsIsTheOnePassSumAtEveryBoundary) {
    std::mt19937 random(5);
    std::vector<PackageWriterEntry> entries = {{"\\a.bin", RandomBytes(random, 90)},
                                               {"\\#Manifest", Bytes("name = views")},
                                               {"\\b.txt", Bytes("bbbbbbbbbbbbbbbbbbbbbbbb")}};
    PackageBytes installer = Build(entries);
    std::vector<PackageBytes> expected;
    for (const PackageWriterEntry &entry : entries) {
        expected.push_back(entry.data);
    }
    uint32_t length = static_cast<uint32_t>(installer.size());
    for (uint32_t size = 1; size <= length; size++) {
        ViewSize views(size);
        ASSERT_EQ(OpenBytes(installer), 1) << "view size " << size;
        EXPECT_EQ(ReadAll(entries), expected) << "view size " << size;
        PackageBytes damaged = installer;
        damaged[(size * 7) % (length - PACKAGE_TRAILER_SIZE)] ^= 0x01;
        EXPECT_EQ(OpenBytes(damaged), 0) << "view size " << size;
    }
}

// A file opened in views: the system maps each view from a granularity
// boundary. The image's length puts the first boundary after the image
// (64 KiB) inside the trailer, the directory stream, an entry's stream, or
// right at the trailer; views of one granule, and of the default size.
TEST_F(PackageTest, AFileOpenedInViewsReadsAcrossEveryKindOfBoundary) {
    const uint32_t granule = PlatformAllocationGranularity();
    std::mt19937 random(6);
    std::vector<PackageWriterEntry> entries = {{"\\one", RandomBytes(random, 3000)},
                                               {"\\#Manifest", Bytes("name = views")},
                                               {"\\two", RandomBytes(random, 40000)}};
    PackageParts parts;
    std::string error;
    ASSERT_TRUE(PackageBuildParts(Bytes("MZ"), entries, PackageWriterOptions(), &parts, &error))
        << error;
    uint32_t directory = static_cast<uint32_t>(parts.directoryStream.size());
    uint32_t first = static_cast<uint32_t>(parts.streams[0].size());
    uint32_t streams = 0;
    for (const PackageBytes &stream : parts.streams) {
        streams += static_cast<uint32_t>(stream.size());
    }
    const struct {
        const char *where;
        uint32_t beforeBoundary; // package bytes before the boundary
    } cases[] = {
        {"in the directory stream", directory / 2},
        {"at the first stream", directory},
        {"in the first stream", directory + first / 2},
        {"in the last stream", directory + streams - 5},
        {"at the trailer", directory + streams},
        {"in the trailer", directory + streams + 10},
    };
    for (const auto &c : cases) {
        parts.stub = Bytes("MZ");
        parts.stub.resize(granule - c.beforeBoundary, 0x5A);
        parts.trailer.directoryOffset = static_cast<uint32_t>(parts.stub.size());
        PackageBytes installer = PackageAssemble(&parts, true);
        std::string path = WriteTemp("views.exe", installer);
        for (uint32_t size : {granule, PACKAGE_VIEW_SIZE}) {
            ViewSize views(size);
            int descriptors = OpenDescriptors();
            ASSERT_EQ(PackageOpenFileInViews(path.c_str()), 1) << c.where;
            EXPECT_EQ(packageReader.view, nullptr);
            EXPECT_EQ(ReadWhole(PackageFindEntry("one")), entries[0].data) << c.where;
            EXPECT_EQ(ReadWhole(PackageFindEntry("two")), entries[2].data) << c.where;
            PackageClose();
            EXPECT_EQ(OpenDescriptors(), descriptors) << c.where;
        }
        installer[granule - 1] ^= 0x80;
        path = WriteTemp("views.exe", installer);
        ViewSize views(granule);
        EXPECT_EQ(PackageOpenFileInViews(path.c_str()), 0) << c.where;
        PackageClose();
    }
}

// Entries' streams are read through one view kept from one entry to the
// next: read forwards, backwards and again, from a file opened in views,
// every entry comes out whole whatever the view's size, and closing the
// package releases the kept view.
TEST_F(PackageTest, EntriesReadInAnyOrderThroughTheKeptView) {
    std::mt19937 random(8);
    std::vector<PackageWriterEntry> entries;
    for (int i = 0; i < 6; i++) {
        entries.push_back({"\\f" + std::to_string(i), RandomBytes(random, 700 * i * i + 1)});
    }
    std::string path = WriteTemp("kept.exe", Build(entries));
    const std::vector<int> orders[] = {{0, 1, 2, 3, 4, 5}, {5, 4, 3, 2, 1, 0}, {2, 2, 0, 5, 1, 5}};
    for (uint32_t size : {333u, PlatformAllocationGranularity(), PACKAGE_VIEW_SIZE}) {
        ViewSize views(size);
        int descriptors = OpenDescriptors();
        ASSERT_EQ(PackageOpenFileInViews(path.c_str()), 1) << size;
        for (const std::vector<int> &order : orders) {
            for (int i : order) {
                const DirectoryRecord *record = PackageFindEntry(entries[i].name.c_str() + 1);
                PackageBytes out(DirectoryRecordSize(record));
                PackageInflation inflation;
                ASSERT_EQ(PackageEntryInflate(record, out.data(), DirectoryRecordSize(record),
                                              nullptr, nullptr, &inflation),
                          1);
                EXPECT_EQ(out, entries[i].data) << "view size " << size << ", entry " << i;
            }
        }
        EXPECT_NE(MappedViewsOf(path), 0) << size;
        PackageClose();
        EXPECT_EQ(OpenDescriptors(), descriptors) << size;
        EXPECT_LE(MappedViewsOf(path), 0) << size;
    }
}

// PackageEntryInflate hands out the bytes in pieces of the buffer's size
// and sums them; it never produces more than the record's size.
TEST_F(PackageTest, EntryInflationInPiecesGivesEveryByteOnce) {
    std::mt19937 random(7);
    PackageBytes data = RandomBytes(random, 100000);
    PackageBytes installer = Build({{"\\data", data}});
    ViewSize views(333);
    ASSERT_EQ(OpenBytes(installer), 1);
    const DirectoryRecord *record = PackageFindEntry("data");
    for (uint32_t capacity : {1u, 999u, 4096u, 100000u, 300000u}) {
        PackageBytes buffer(capacity), out;
        PackageInflation inflation;
        auto gather = [](void *context, const unsigned char *bytes, uint32_t count) {
            static_cast<PackageBytes *>(context)->insert(
                static_cast<PackageBytes *>(context)->end(), bytes, bytes + count);
            return 1;
        };
        ASSERT_EQ(PackageEntryInflate(record, buffer.data(), capacity, gather, &out, &inflation),
                  1);
        EXPECT_EQ(out, data) << capacity;
        EXPECT_EQ(inflation.produced, data.size());
        EXPECT_EQ(inflation.sum, DirectoryRecordDataSum(record));
    }
    auto refuse = [](void *, const unsigned char *, uint32_t) { return 0; };
    PackageBytes buffer(1000);
    PackageInflation inflation;
    EXPECT_EQ(PackageEntryInflate(record, buffer.data(), 1000, refuse, nullptr, &inflation), 0);
}
