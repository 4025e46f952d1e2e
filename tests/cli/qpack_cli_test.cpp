// qpack's command line, tested from outside: every case runs the built
// program in a child process inside a fresh folder. Damaged installers are
// made with the writer library by changing parts before they are laid out.
#include "heap/region_heap.h"
#include "package/package.h"
#include "qpack/package_writer.h"
#include "qpack/stub_branding.h"
#include "pe/pe.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "icon_bytes.h"
#include "pe_bytes.h"
#include "signed_attack.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

std::string ShellQuoted(const std::string &text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::string ReadText(const fs::path &path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

PackageBytes ReadBytes(const fs::path &path) {
    std::string text = ReadText(path);
    return PackageBytes(text.begin(), text.end());
}

void WriteBytes(const fs::path &path, const PackageBytes &bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

void WriteText(const fs::path &path, const std::string &text) {
    WriteBytes(path, PackageBytes(text.begin(), text.end()));
}

PackageBytes Bytes(const std::string &text) {
    return PackageBytes(text.begin(), text.end());
}

void PutLittleEndian(PackageBytes *bytes, size_t at, uint32_t value, int size) {
    for (int i = 0; i < size; i++) {
        (*bytes)[at + static_cast<size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
    }
}

// A 2 by 2 Windows bitmap at 24 bits a pixel, uncompressed unless said
// otherwise; a negative height stores the rows top-down.
PackageBytes Bitmap(int32_t height = 2, uint32_t bitCount = 24, uint32_t compression = 0) {
    const uint32_t header = 14 + 40, table = bitCount <= 8 ? 4u << bitCount : 0, rows = 2 * 8;
    PackageBytes bytes(header + table + rows, 0);
    bytes[0] = 'B';
    bytes[1] = 'M';
    PutLittleEndian(&bytes, 2, static_cast<uint32_t>(bytes.size()), 4);
    PutLittleEndian(&bytes, 10, header + table, 4);
    PutLittleEndian(&bytes, 14, 40, 4);
    PutLittleEndian(&bytes, 18, 2, 4);
    PutLittleEndian(&bytes, 22, static_cast<uint32_t>(height), 4);
    PutLittleEndian(&bytes, 26, 1, 2);
    PutLittleEndian(&bytes, 28, bitCount, 2);
    PutLittleEndian(&bytes, 30, compression, 4);
    return bytes;
}

PackageBytes RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    PackageBytes bytes(size);
    for (unsigned char &byte : bytes) {
        byte = static_cast<unsigned char>(random() % 7 == 0 ? random() : 'a' + random() % 3);
    }
    return bytes;
}

// How often part occurs in text.
size_t Occurrences(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        count++;
    }
    return count;
}

// Every regular file below root, by "/"-separated relative path.
std::vector<std::string> FilesBelow(const fs::path &root) {
    std::vector<std::string> files;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            files.push_back(fs::relative(entry.path(), root).generic_string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// ---- qpack.exe under Wine -------------------------------------------------------------

// QPACK_EXE names the Win32 qpack.exe to run under Wine instead of the
// native qpack (scripts/wine-run.sh --host prepares the prefix and server).
const char *QpackExe(void) {
    return getenv("QPACK_EXE");
}

bool UnderWine(void) {
    return QpackExe() != nullptr;
}

// An argument as a Windows user types it: a path below root from Wine's
// drive Z:, any other path with "\" between its parts. Options and their
// NAME=VALUE texts stay as they are.
std::string WindowsArgument(const std::string &arg, const fs::path &root) {
    std::string windows = arg;
    if (arg.rfind(root.string(), 0) == 0) {
        windows = "Z:" + arg;
    } else if (arg.empty() || arg[0] == '-' || arg.find('=') != std::string::npos) {
        return arg;
    }
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

// Console text as qpack.exe writes it, with CRLF line ends, in the form the
// cases expect; a line end without CR (text written past the C runtime's
// text mode) fails the case.
std::string FromWindowsText(const std::string &text, const char *stream) {
    std::string plain;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        EXPECT_FALSE(text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            << "a bare LF in qpack.exe's " << stream << ":\n"
            << text;
        plain += text[i];
    }
    return plain;
}

// The first (names) or last (kinds) column of `qpack list` below its header.
std::vector<std::string> ListedColumn(const std::string &listing, bool last) {
    std::istringstream lines(listing);
    std::vector<std::string> column;
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
        column.push_back(last ? line.substr(line.rfind(' ') + 1) : line.substr(0, line.find(' ')));
    }
    return column;
}

class QpackCli : public ::testing::Test {
  protected:
    void SetUp() override {
        static int counter = 0;
        root = fs::temp_directory_path() /
               ("qpack_cli_test-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        fs::remove_all(root);
        fs::create_directories(root);
        WriteText(root / "stub.exe", "MZ a stub standing in for the real one");
        WriteText(root / "manifest.txt", "productname = \"Demo\"\r\ndirectory = \"Demo\"\r\n");
        WriteBytes(root / "brand.bmp", Bitmap());
        WriteBytes(root / "centre.bmp", Bitmap(1));
    }

    void TearDown() override { fs::remove_all(root); }

    std::string At(const std::string &relative) const { return (root / relative).string(); }

    // The program the cases run: qpack, or qpack.exe under Wine.
    static std::string Program(void) { return UnderWine() ? QpackExe() : QPACK_PATH; }

    // Runs qpack (or a copy of it at program) in root, so that relative
    // paths are relative to it.
    Outcome Qpack(const std::vector<std::string> &args, std::string program = "") const {
        if (program.empty()) {
            program = Program();
        }
        std::string command = "cd " + ShellQuoted(root.string()) + " && ";
        command += UnderWine() ? "wine " + ShellQuoted(program) : ShellQuoted(program);
        for (const std::string &arg : args) {
            command += " " + ShellQuoted(UnderWine() ? WindowsArgument(arg, root) : arg);
        }
        fs::path out = root / "run.out", err = root / "run.err";
        command += " >" + ShellQuoted(out.string()) + " 2>" + ShellQuoted(err.string());
        int status = std::system(command.c_str());
        Outcome run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(out), ReadText(err)};
        fs::remove(out);
        fs::remove(err);
        if (UnderWine()) {
            run.out = FromWindowsText(run.out, "stdout");
            run.err = FromWindowsText(run.err, "stderr");
        }
        return run;
    }

    // qpack build of payload into output with the fixture's stub, manifest
    // and bitmaps; extra arguments go before the payload folder.
    Outcome Build(const std::string &output, const std::string &payload,
                  std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {"build",        "-o",         At(output),        "--stub",
                                         At("stub.exe"), "--manifest", At("manifest.txt")};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(At(payload));
        return Qpack(args);
    }

    void WriteInstaller(const std::string &relative, PackageParts *parts, bool recomputeSum) {
        WriteBytes(root / relative, PackageAssemble(parts, recomputeSum));
    }

    fs::path root;
};

PackageParts PartsOf(const std::vector<PackageWriterEntry> &entries) {
    PackageParts parts;
    std::string error;
    EXPECT_TRUE(
        PackageBuildParts(Bytes("MZ stub"), entries, PackageWriterOptions(), &parts, &error))
        << error;
    return parts;
}

std::vector<PackageWriterEntry> SoundEntries(void) {
    return {{"\\a.txt", Bytes("alpha")},
            {"\\b.bin", RandomBytes(5000, 1)},
            {"\\c.txt", Bytes("gamma")},
            {"\\#Manifest", Bytes("Product = Demo\r\n")}};
}

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

// ---- Round trip ----------------------------------------------------------------------

TEST_F(QpackCli, BuildListVerifyExtractRoundTripsATree) {
    // Names chosen so that sorting by path with "/" would give another order
    // than byte-wise by entry name: "a0" < "a\x" but "a/x" < "a0".
    WriteText(root / "pay/a0", "zero");
    WriteText(root / "pay/a/x", "x in a");
    WriteText(root / "pay/B.txt", "upper case sorts first");
    WriteText(root / "pay/empty", "");
    WriteText(root / "pay/sub/#notes.txt", "installable, '#' is not second");
    for (int i = 0; i < 40; i++) { // enough files for every core to take several
        WriteBytes(root / ("pay/sub/deeper/f" + std::to_string(i)),
                   RandomBytes(1000 + 997 * static_cast<size_t>(i), static_cast<unsigned>(i)));
    }

    // Relative paths, resolved in the folder qpack runs in.
    Outcome build =
        Qpack({"build", "-o", "setup.exe", "--stub", "stub.exe", "--manifest", "manifest.txt",
               "--brand", "brand.bmp", "--centre", "centre.bmp", "pay"});
    ASSERT_EQ(build.status, 0) << build.err;
    for (const std::string &file : FilesBelow(root)) {
        EXPECT_EQ(file.find(".tmp"), std::string::npos) << file; // no temporary file left
    }

    Outcome list = Qpack({"list", "setup.exe"});
    ASSERT_EQ(list.status, 0) << list.err;
    std::vector<std::string> names = ListedColumn(list.out, false);
    std::vector<std::string> kinds = ListedColumn(list.out, true);
    ASSERT_EQ(names.size(), 48u);
    std::vector<std::string> expectedStart = {"\\B.txt",
                                              "\\a0",
                                              "\\a\\x",
                                              "\\empty",
                                              "\\sub\\#notes.txt",
                                              "\\sub\\deeper\\f0",
                                              "\\sub\\deeper\\f1",
                                              "\\sub\\deeper\\f10"};
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 8), expectedStart);
    std::vector<std::string> expectedEnd = {"\\#Manifest", "\\#brand.bmp", "\\#installingtext.bmp"};
    EXPECT_EQ(std::vector<std::string>(names.end() - 3, names.end()), expectedEnd);
    ASSERT_EQ(kinds.size(), names.size());
    for (size_t i = 0; i < names.size(); i++) {
        EXPECT_EQ(kinds[i], i < 45 ? "installable" : "internal") << names[i];
    }

    Outcome verify = Qpack({"verify", "setup.exe"});
    EXPECT_EQ(verify.status, 0) << verify.err;
    EXPECT_NE(verify.out.find("sound: 48 entries (45 installable, 3 internal)"), std::string::npos)
        << verify.out;

    Outcome extract = Qpack({"extract", "-o", "copy", "setup.exe"});
    ASSERT_EQ(extract.status, 0) << extract.err;
    ASSERT_EQ(FilesBelow(root / "copy"), FilesBelow(root / "pay"));
    for (const std::string &file : FilesBelow(root / "pay")) {
        EXPECT_EQ(ReadBytes(root / "copy" / file), ReadBytes(root / "pay" / file)) << file;
    }

    // The same inputs give the same bytes, however the threads ran.
    ASSERT_EQ(Build("again.exe", "pay", {"--brand", At("brand.bmp"), "--centre", At("centre.bmp")})
                  .status,
              0);
    EXPECT_EQ(ReadBytes(root / "again.exe"), ReadBytes(root / "setup.exe"));
}

TEST_F(QpackCli, BuildLaysThePackageOutWithoutGapsAtTheHighestLevel) {
    WriteBytes(root / "pay/one", RandomBytes(70000, 3));
    WriteText(root / "pay/two", "two");
    ASSERT_EQ(Build("setup.exe", "pay").status, 0);

    RegionHeapInit();
    ASSERT_EQ(PackageOpenFile(At("setup.exe").c_str()), 1);
    uint32_t stubSize = static_cast<uint32_t>(fs::file_size(root / "stub.exe"));
    EXPECT_EQ(packageReader.trailer.directoryOffset, stubSize);
    EXPECT_EQ(packageReader.view[stubSize], 0x78);
    EXPECT_EQ(packageReader.view[stubSize + 1], 0xDA);
    uint32_t expectedOffset = 0;
    for (const DirectoryRecord *record = PackageFirstRecord(); record != nullptr;
         record = PackageNextRecord(record)) {
        EXPECT_EQ(DirectoryRecordDataOffset(record), expectedOffset);
        EXPECT_EQ(PackageEntryStream(record)[0], 0x78);
        EXPECT_EQ(PackageEntryStream(record)[1], 0xDA);
        expectedOffset += DirectoryRecordCompressedSize(record);
    }
    EXPECT_EQ(packageReader.dataAreaSize, expectedOffset); // the trailer follows directly
    PackageClose();

    // zlib at level 9 stays to be had; libdeflate's streams are smaller.
    ASSERT_EQ(Build("zlib.exe", "pay", {"--zlib"}).status, 0);
    EXPECT_EQ(Qpack({"verify", "zlib.exe"}).status, 0);
    EXPECT_LT(fs::file_size(root / "setup.exe"), fs::file_size(root / "zlib.exe"));
}

TEST_F(QpackCli, ExtractAllWritesInternalEntriesToo) {
    WriteText(root / "pay/file", "payload");
    ASSERT_EQ(Build("setup.exe", "pay", {"--brand", At("brand.bmp")}).status, 0);
    Outcome extract = Qpack({"extract", "--all", "-o", At("all"), At("setup.exe")});
    ASSERT_EQ(extract.status, 0) << extract.err;
    EXPECT_EQ(FilesBelow(root / "all"),
              (std::vector<std::string>{"#Manifest", "#brand.bmp", "file"}));
    EXPECT_EQ(ReadText(root / "all/#Manifest"), ReadText(root / "manifest.txt"));
}

// ---- Build refusals ----------------------------------------------------------------------

// Each case prepares its inputs, and the build must fail with status 1, a
// message holding `expected`, and no output.
struct Refusal {
    const char *what;
    std::function<void(const fs::path &root)> prepare;
    std::vector<std::string> extra; // before the payload folder; "@x" means root/x
    const char *expected;
    const char *output = "out/setup.exe";
};

TEST_F(QpackCli, BuildRefusesWhatTheStubCouldNotInstall) {
    auto file = [](const char *relative) {
        return [relative](const fs::path &root) { WriteText(root / relative, "x"); };
    };
    auto sparse = [](const char *relative, uint64_t size, int count) {
        return [=](const fs::path &root) {
            for (int i = 0; i < count; i++) {
                fs::path path = root / (relative + std::to_string(i));
                fs::create_directories(path.parent_path());
                std::ofstream(path).close();
                fs::resize_file(path, size); // sparse: never read, so instant
            }
        };
    };
    const uint64_t mib = 1 << 20;
    std::vector<Refusal> refusals = {
        {"colon", file("pay/a:b"), {}, "':'"},
        {"question mark", file("pay/sub/a?b"), {}, "'?'"},
        {"backslash inside a name", file("pay/a\\b"), {}, "'\\'"},
        {"control character", file("pay/bell\a"), {}, "control character"},
        {"device name", file("pay/sub/con.txt"), {}, "reserved device name"},
        {"trailing dot", file("pay/name."), {}, "trailing dot"},
        {"top-level #", file("pay/#Manifest"), {}, "internal entry"},
        {"case collision",
         [](const fs::path &root) {
             WriteText(root / "pay/Dir/x", "x");
             WriteText(root / "pay/dir/y", "y");
         },
         {},
         "differ only in case"},
        {"name of 231 bytes",
         [](const fs::path &root) { // "\sub\" and 226 bytes
             WriteText(root / "pay/sub" / std::string(226, 'n'), "x");
         },
         {},
         "231 bytes long"},
        {"entry of 4 GiB", sparse("pay/big", 4096 * mib, 1), {}, "32-bit sizes hold"},
        {"payload of 4 GiB", sparse("pay/part", 256 * mib, 16), {}, "4 GiB or more"},
        {"stub leaving no room below 4 GiB",
         [=](const fs::path &root) {
             WriteText(root / "pay/x", "x");
             fs::resize_file(root / "stub.exe", 4096 * mib - 23);
         },
         {},
         "beyond its 32-bit offsets"},
        {"stub already packed",
         [](const fs::path &root) {
             PackageBytes installer;
             ASSERT_TRUE(PackageWrite(Bytes("MZ stub"), SoundEntries(), PackageWriterOptions(),
                                      &installer, nullptr));
             WriteBytes(root / "stub.exe", installer);
             WriteText(root / "pay/x", "x");
         },
         {},
         "already carries a package"},
        {"missing manifest",
         [](const fs::path &root) {
             WriteText(root / "pay/x", "x");
             fs::remove(root / "manifest.txt");
         },
         {},
         "manifest"},
        {"missing stub",
         [](const fs::path &root) {
             WriteText(root / "pay/x", "x");
             fs::remove(root / "stub.exe");
         },
         {},
         "stub"},
        {"missing bitmap", file("pay/x"), {"--brand", "@nothing.bmp"}, "nothing.bmp"},
        {"bitmap that is not one",
         file("pay/x"),
         {"--centre", "@manifest.txt"},
         "would not be shown by the installer: it is not a BMP file"},
        {"top-down brand bitmap",
         [](const fs::path &root) {
             WriteText(root / "pay/x", "x");
             WriteBytes(root / "top-down.bmp", Bitmap(-2));
         },
         {"--brand", "@top-down.bmp"},
         "top-down bitmaps are not drawn"},
        {"run-length centre bitmap",
         [](const fs::path &root) {
             WriteText(root / "pay/x", "x");
             WriteBytes(root / "rle8.bmp", Bitmap(2, 8, 1));
         },
         {"--centre", "@rle8.bmp"},
         "not run-length"},
        {"missing payload", [](const fs::path &) {}, {}, "does not exist"},
        {"output inside the payload", file("pay/x"), {}, "inside the payload", "pay/setup.exe"},
        {"output inside the payload through a link",
         [](const fs::path &root) {
             WriteText(root / "pay/x", "x");
             fs::create_directory_symlink(root / "pay", root / "link");
         },
         {},
         "inside the payload",
         "link/setup.exe"},
        {"output inside the payload named in another case",
         file("pay/x"),
         {},
         "inside the payload",
         "PAY/setup.exe"},
    };
    // Names a Windows file system cannot hold: no Windows vendor has such a
    // file, and Wine shows them to qpack.exe under other names.
    const std::vector<std::string> unixNames = {
        "colon",       "question mark", "backslash inside a name", "control character",
        "device name", "trailing dot"};
    for (const Refusal &refusal : refusals) {
        SCOPED_TRACE(refusal.what);
        if (UnderWine() && std::count(unixNames.begin(), unixNames.end(), refusal.what) != 0) {
            continue;
        }
        if (!UnderWine() &&
            strcmp(refusal.what, "output inside the payload named in another case") == 0) {
            continue; // another folder on Linux, which names apart by case
        }
        TearDown();
        SetUp();
        refusal.prepare(root);
        WriteText(root / "out/setup.exe", "an earlier build");
        std::vector<std::string> extra;
        for (const std::string &arg : refusal.extra) {
            extra.push_back(arg[0] == '@' ? At(arg.substr(1)) : arg);
        }
        Outcome run = Build(refusal.output, "pay", extra);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err.rfind("qpack: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(refusal.expected), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find(UnderWine() ? "pay/" : "pay\\"), std::string::npos) << run.err;
        EXPECT_EQ(ReadText(root / "out/setup.exe"), "an earlier build");
        EXPECT_EQ(FilesBelow(root / "out"), std::vector<std::string>{"setup.exe"});
        EXPECT_FALSE(fs::exists(root / "pay/setup.exe"));
    }
}

// The same stub, manifest, bitmaps and payload give the same bytes, whatever
// the files' times and the order they were made in (which is the order many
// file systems list them in).
TEST_F(QpackCli, BuildsTheSameBytesTwice) {
    std::vector<std::pair<std::string, PackageBytes>> files;
    for (int i = 0; i < 30; i++) {
        std::string folder = i % 3 == 0 ? "" : "sub" + std::to_string(i % 3) + "/";
        files.push_back({folder + "f" + std::to_string(i), RandomBytes(700 * i, i)});
    }
    files.push_back({"same-as-f1", files[1].second});
    const auto now = fs::file_time_type::clock::now();
    for (int copy = 0; copy < 2; copy++) {
        std::string tree = "tree" + std::to_string(copy) + "/";
        for (size_t k = 0; k < files.size(); k++) {
            const auto &file = files[copy == 0 ? k : files.size() - 1 - k];
            fs::path path = root / tree / "pay" / file.first;
            WriteBytes(path, file.second);
            fs::last_write_time(path, now - std::chrono::hours(24 * 400 * copy + k));
        }
        fs::copy_file(root / "manifest.txt", root / tree / "manifest.txt");
        fs::copy_file(root / "brand.bmp", root / tree / "brand.bmp");
        fs::last_write_time(root / tree / "manifest.txt", now - std::chrono::hours(99 * copy));
        Outcome build =
            Qpack({"build", "-o", tree + "setup.exe", "--stub", "stub.exe", "--manifest",
                   tree + "manifest.txt", "--brand", tree + "brand.bmp", tree + "pay"});
        ASSERT_EQ(build.status, 0) << build.err;
    }
    PackageBytes first = ReadBytes(root / "tree0/setup.exe");
    EXPECT_GT(first.size(), 20000u);
    EXPECT_TRUE(first == ReadBytes(root / "tree1/setup.exe"));
}

TEST_F(QpackCli, IdenticalFilesShareOneStream) {
    PackageBytes data = RandomBytes(20000, 7), twin = data;
    twin[100] ^= 1; // same size, other bytes
    for (const char *name : {"a.dll", "sub/a.dll", "sub/deeper/copy.dll"}) {
        WriteBytes(root / "pay" / name, data);
    }
    WriteBytes(root / "pay/twin.dll", twin);
    ASSERT_EQ(Build("setup.exe", "pay").status, 0);
    WriteBytes(root / "single/a.dll", data);
    WriteBytes(root / "single/twin.dll", twin);
    ASSERT_EQ(Build("single.exe", "single").status, 0);
    // Two more names cost their records, not their bytes.
    EXPECT_LT(fs::file_size(root / "setup.exe"), fs::file_size(root / "single.exe") + 100);

    Outcome list = Qpack({"list", "setup.exe"});
    EXPECT_EQ(Occurrences(list.out, "(stream of \"\\a.dll\")"), 2u) << list.out;
    EXPECT_EQ(Occurrences(list.out, "stream of"), 2u) << list.out;
    Outcome json = Qpack({"list", "--json", "setup.exe"});
    EXPECT_NE(json.out.find("\"name\": \"\\\\sub\\\\deeper\\\\copy.dll\", \"size\": 20000"),
              std::string::npos);
    EXPECT_EQ(Occurrences(json.out, "\"sharesStreamWith\": \"\\\\a.dll\""), 2u) << json.out;

    EXPECT_EQ(Qpack({"verify", "setup.exe"}).status, 0);
    ASSERT_EQ(Qpack({"extract", "-o", "out", "setup.exe"}).status, 0);
    for (const char *name : {"a.dll", "sub/a.dll", "sub/deeper/copy.dll"}) {
        EXPECT_TRUE(ReadBytes(root / "out" / name) == data) << name;
    }
    EXPECT_TRUE(ReadBytes(root / "out/twin.dll") == twin);
}

// A name beyond ASCII comes back as it went in. The stub reads names in the
// ANSI code page: qpack.exe packs them so (Wine's is 1252 under the C.UTF-8
// locale ctest sets), while qpack on Linux packs its bytes and says so.
TEST_F(QpackCli, NonAsciiNamesRoundTrip) {
    const std::string utf8 = "caf\xC3\xA9.txt", ansi = "caf\xE9.txt";
    WriteText(root / "pay" / utf8, "coffee");
    Outcome build = Build("setup.exe", "pay");
    ASSERT_EQ(build.status, 0) << build.err;
    EXPECT_EQ(build.err.find("non-ASCII") != std::string::npos, !UnderWine()) << build.err;
    std::vector<std::string> names = ListedColumn(Qpack({"list", "setup.exe"}).out, false);
    ASSERT_EQ(names.size(), 2u); // and the manifest
    EXPECT_EQ(names[0], "\\" + (UnderWine() ? ansi : utf8));
    ASSERT_EQ(Qpack({"extract", "-o", "out", "setup.exe"}).status, 0);
    EXPECT_EQ(FilesBelow(root / "out"), std::vector<std::string>{utf8});
}

// Entries above the streaming bound (lowered through qpack's test seam) are
// compressed as a stream and verified and extracted in pieces: byte for
// byte, shared when identical, and the same bytes on every build.
TEST_F(QpackCli, LargeEntriesTakeTheStreamedRoad) {
    PackageBytes big = RandomBytes(1500000, 11); // more than one 1 MiB piece
    WriteBytes(root / "pay/big.bin", big);
    WriteBytes(root / "pay/sub/big-copy.bin", big);
    WriteBytes(root / "pay/small.txt", Bytes("small"));
    ASSERT_EQ(Build("plain.exe", "pay").status, 0);
    setenv("QPACK_TEST_WHOLE_BUFFER_LIMIT", "65536", 1);
    Outcome build = Build("setup.exe", "pay");
    Outcome again = Build("again.exe", "pay");
    Outcome verify = Qpack({"verify", "setup.exe"});
    unsetenv("QPACK_TEST_WHOLE_BUFFER_LIMIT");
    ASSERT_EQ(build.status, 0) << build.err;
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(verify.status, 0) << verify.err;
    PackageBytes installer = ReadBytes(root / "setup.exe");
    EXPECT_TRUE(installer == ReadBytes(root / "again.exe"));
    EXPECT_FALSE(installer == ReadBytes(root / "plain.exe")); // zlib's stream, not libdeflate's
    EXPECT_LT(installer.size(), big.size());                  // the copy shares the stream
    EXPECT_EQ(Occurrences(Qpack({"list", "setup.exe"}).out, "(stream of"), 1u);

    ASSERT_EQ(Qpack({"extract", "-o", "out", "setup.exe"}).status, 0);
    EXPECT_TRUE(ReadBytes(root / "out/big.bin") == big);
    EXPECT_TRUE(ReadBytes(root / "out/sub/big-copy.bin") == big);
    EXPECT_EQ(ReadText(root / "out/small.txt"), "small");
}

TEST_F(QpackCli, BuildAcceptsTheLongestNameThatFits) {
    std::string name(229, 'n'); // "\" and 229 bytes: 230
    WriteText(root / "pay" / name, "fits");
    Outcome run = Build("setup.exe", "pay");
    EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(QpackCli, BuildRefusesAnUnreadableFile) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    WriteText(root / "pay/secret", "x");
    fs::permissions(root / "pay/secret", fs::perms::none);
    Outcome run = Build("setup.exe", "pay");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(UnderWine() ? "pay\\secret" : "pay/secret"), std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(root / "setup.exe"));
}

// ---- Verify ---------------------------------------------------------------------------

TEST_F(QpackCli, VerifyPassesASoundInstaller) {
    PackageParts parts = PartsOf(SoundEntries());
    WriteInstaller("setup.exe", &parts, true);
    Outcome run = Qpack({"verify", At("setup.exe")});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("sound: 4 entries (3 installable, 1 internal)"), std::string::npos);
    EXPECT_NE(run.out.find(Hex(parts.trailer.packageSum)), std::string::npos) << run.out;
}

TEST_F(QpackCli, VerifyNamesTheDamagedEntries) {
    PackageParts parts = PartsOf(SoundEntries());
    uint32_t sum = parts.records[1].dataSum;
    parts.records[1].dataSum += 3;
    parts.records[2].size += 1;
    PackageEncodeDirectory(&parts);
    WriteInstaller("setup.exe", &parts, true);

    Outcome run = Qpack({"verify", At("setup.exe")});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("entry \"\\b.bin\": its bytes sum to " + Hex(sum) +
                           ", but its recorded byte sum is " + Hex(sum + 3)),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("entry \"\\c.txt\": its stream inflates to 5 bytes, but its size is 6"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("2 of 4 entries damaged"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("a.txt"), std::string::npos) << run.err;
}

TEST_F(QpackCli, VerifySaysPreciselyWhyAnInstallerDoesNotOpen) {
    struct Damage {
        const char *what;
        std::function<PackageBytes(PackageParts *parts)> make;
        std::string expected;
        bool opens; // the reader accepts it: only verify sees the damage
    };
    PackageParts sound = PartsOf(SoundEntries());
    PackageBytes bytes = PackageAssemble(&sound, true);
    uint32_t packageSum = sound.trailer.packageSum;
    std::vector<Damage> damages = {
        {"one byte changed",
         [](PackageParts *parts) {
             PackageBytes changed = PackageAssemble(parts, true);
             changed[3] += 1; // a byte of the stub: 't' becomes 'u'
             return changed;
         },
         "package sum mismatch: the trailer says " + Hex(packageSum) + ", but the " +
             std::to_string(bytes.size() - 24) + " bytes before it sum to " + Hex(packageSum + 1),
         false},
        {"cut short",
         [](PackageParts *parts) {
             PackageBytes cut = PackageAssemble(parts, true);
             cut.pop_back();
             return cut;
         },
         "no package: its last 8 bytes are not \"InstPack\"", false},
        {"too short for a trailer", [](PackageParts *) { return Bytes("MZ tiny"); },
         "7 bytes long, too short", false},
        {"stream outside the data area",
         [](PackageParts *parts) {
             parts->records[2].dataOffset = 1u << 20;
             PackageEncodeDirectory(parts);
             return PackageAssemble(parts, true);
         },
         "directory record 3 (at offset 50): \"\\c.txt\": its stream (data offset 1048576", false},
        {"record length too small",
         [](PackageParts *parts) {
             parts->records[0].recordLength = 20;
             PackageEncodeDirectory(parts);
             return PackageAssemble(parts, true);
         },
         "directory record 1 (at offset 0): \"\\a.txt\": its record length 20 does not cover",
         false},
        {"directory size wrong",
         [](PackageParts *parts) {
             parts->trailer.directorySize += 1;
             return PackageAssemble(parts, true);
         },
         "the directory does not inflate as the trailer says", false},
        {"directory size 0",
         [](PackageParts *parts) {
             parts->trailer.directorySize = 0;
             return PackageAssemble(parts, true);
         },
         "the trailer gives the directory a size of 0", false},
        {"directory stream longer than its size",
         [](PackageParts *parts) {
             parts->trailer.directorySize -= 1;
             return PackageAssemble(parts, true);
         },
         "the directory does not inflate as the trailer says: its stream does not end within its"
         " size of " +
             std::to_string(sound.trailer.directorySize - 1) + " bytes",
         false},
        {"last name without its terminator",
         [](PackageParts *parts) {
             parts->directory.pop_back();
             PackageCompressDirectory(parts);
             return PackageAssemble(parts, true);
         },
         "directory record 4 (at offset 75): its name has no terminator inside the directory",
         false},
        {"entry size beyond what its stream can yield",
         [](PackageParts *parts) {
             parts->records[0].size = parts->records[0].compressedSize * INFLATE_MAX_RATIO + 1;
             PackageEncodeDirectory(parts);
             return PackageAssemble(parts, true);
         },
         "directory record 1 (at offset 0): \"\\a.txt\": its size of ", false},
        {"entry stream cut in half",
         [](PackageParts *parts) {
             PackageBytes &last = parts->streams.back();
             last.resize(last.size() / 2);
             parts->records.back().compressedSize = static_cast<uint32_t>(last.size());
             PackageEncodeDirectory(parts);
             return PackageAssemble(parts, true);
         },
         "entry \"\\#Manifest\": its stream ends early", true},
    };
    for (const Damage &damage : damages) {
        SCOPED_TRACE(damage.what);
        PackageParts parts = PartsOf(SoundEntries());
        WriteBytes(root / "setup.exe", damage.make(&parts));
        Outcome run = Qpack({"verify", At("setup.exe")});
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(damage.expected), std::string::npos) << run.err;
        EXPECT_EQ(Qpack({"list", At("setup.exe")}).status, damage.opens ? 0 : 1);
    }

    // Every record sound on its own, each stream claimed by three entries
    // whose sizes are as large as it may yield: 4 GiB or more in all.
    PackageBytes noise(1700000); // incompressible
    uint32_t state = 1;
    for (unsigned char &byte : noise) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<unsigned char>(state >> 24);
    }
    PackageParts parts =
        PartsOf({{"\\a.bin", noise}, {"\\b.txt", Bytes("beta")}, {"\\c.txt", Bytes("gamma")}});
    uint32_t dataArea = 0;
    for (const PackageBytes &stream : parts.streams) {
        dataArea += static_cast<uint32_t>(stream.size());
    }
    ASSERT_GE(static_cast<uint64_t>(dataArea) * INFLATE_MAX_RATIO, 0x60000000u);
    for (PackageWriterRecord &record : parts.records) {
        record.dataOffset = 0;
        record.compressedSize = dataArea;
        record.size = 0x60000000; // three of them: 4.5 GiB
    }
    PackageEncodeDirectory(&parts);
    WriteBytes(root / "setup.exe", PackageAssemble(&parts, true));
    Outcome run = Qpack({"verify", At("setup.exe")});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("its installable entries add up to 4 GiB or more"), std::string::npos)
        << run.err;
}

// qpack reads installers through views of the file (lowered through its
// test seam so that every stream crosses many of them): verify, list,
// extract and diff say and write exactly what they do with the default
// views, for sound entries, entries damaged across a view's edge and an
// installer the reader refuses.
TEST_F(QpackCli, ViewsOfAnySizeGiveTheSameResults) {
    std::vector<PackageWriterEntry> entries = {{"\\#Manifest", Bytes("Product = Demo\r\n")}};
    for (char name = 'a'; name <= 'f'; name++) {
        entries.push_back({std::string("\\") + name + ".bin", RandomBytes(300000, name)});
    }
    PackageParts parts = PartsOf(entries);
    WriteInstaller("sound.exe", &parts, true);
    auto index = [&parts](const char *name) {
        size_t i = 0;
        while (i < parts.records.size() && parts.records[i].name != name) {
            i++;
        }
        return i;
    };
    PackageBytes &b = parts.streams[index("\\b.bin")];
    ASSERT_GT(b.size(), 20000u); // many views of 4099 bytes
    b[b.size() / 2] ^= 0x5a;     // damage mid-stream
    parts.records[index("\\c.bin")].size += 1;
    parts.records[index("\\d.bin")].dataSum += 1;
    parts.records[index("\\e.bin")].size -= 1;
    parts.records[index("\\f.bin")].compressedSize /= 2; // the rest lies unread
    PackageEncodeDirectory(&parts);
    WriteInstaller("damaged.exe", &parts, true);
    PackageBytes refused = ReadBytes(root / "damaged.exe");
    refused[refused.size() / 2] ^= 1; // the package sum no longer holds
    WriteBytes(root / "refused.exe", refused);

    const std::vector<std::vector<std::string>> runs = {
        {"verify", "sound.exe"},   {"list", "sound.exe"},
        {"verify", "damaged.exe"}, {"diff", "sound.exe", "damaged.exe"},
        {"verify", "refused.exe"}, {"extract", "-o", "out", "damaged.exe"}};
    std::vector<Outcome> whole;
    std::vector<std::string> extracted[2];
    for (int viewed = 0; viewed < 2; viewed++) {
        if (viewed) {
            setenv("QPACK_TEST_VIEW_SIZE", "4099", 1);
        }
        for (size_t i = 0; i < runs.size(); i++) {
            SCOPED_TRACE(runs[i][0] + " " + runs[i].back() + (viewed ? " in views" : ""));
            Outcome run = Qpack(runs[i]);
            if (!viewed) {
                whole.push_back(run);
                continue;
            }
            EXPECT_EQ(run.status, whole[i].status);
            EXPECT_EQ(run.out, whole[i].out);
            EXPECT_EQ(run.err, whole[i].err);
        }
        unsetenv("QPACK_TEST_VIEW_SIZE");
        for (const std::string &file : FilesBelow(root / "out")) {
            extracted[viewed].push_back(file + ":" + ReadText(root / "out" / file));
        }
        fs::remove_all(root / "out");
    }
    EXPECT_EQ(extracted[0], extracted[1]);
    EXPECT_EQ(whole[0].status, 0) << whole[0].err;
    const std::string &damage = whole[2].err;
    EXPECT_NE(damage.find("entry \"\\b.bin\": its "), std::string::npos) << damage;
    EXPECT_NE(damage.find("entry \"\\c.bin\": its stream inflates to 300000 bytes, but its size"),
              std::string::npos)
        << damage;
    EXPECT_NE(damage.find("entry \"\\d.bin\": its bytes sum to"), std::string::npos) << damage;
    EXPECT_NE(damage.find("entry \"\\e.bin\": its stream inflates to more than"), std::string::npos)
        << damage;
    EXPECT_NE(damage.find("entry \"\\f.bin\": its stream ends early"), std::string::npos) << damage;
    EXPECT_NE(damage.find("5 of 7 entries damaged"), std::string::npos) << damage;
    EXPECT_NE(whole[4].err.find("package sum mismatch"), std::string::npos) << whole[4].err;
    EXPECT_EQ(extracted[0].size(), 1u); // a.bin alone is sound
}

TEST_F(QpackCli, VerifyAndListReportAMissingFile) {
    for (const char *command : {"verify", "list"}) {
        Outcome run = Qpack({command, At("absent.exe")});
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("absent.exe: cannot open"), std::string::npos) << run.err;
    }
}

// ---- Extract ---------------------------------------------------------------------------

TEST_F(QpackCli, ExtractRefusesNamesThatLeaveTheFolder) {
    std::vector<PackageWriterEntry> entries = {
        {"\\good\\kept.txt", Bytes("kept")},
        {"\\..\\escaped1", Bytes("x")},
        {"\\good\\..\\..\\escaped2", Bytes("x")},
        {"\\C:\\escaped3", Bytes("x")},
        {"\\good/escaped4", Bytes("x")},
        {"\\\\server\\escaped5", Bytes("x")},
        {"\\", Bytes("x")},
        {"\\good\\.\\dot", Bytes("x")},
        {"\\damaged.txt", Bytes("damaged")},
        {"\\link\\escaped6", Bytes("x")},
    };
    PackageParts parts = PartsOf(entries);
    parts.records[8].dataSum += 1;
    PackageEncodeDirectory(&parts);
    WriteInstaller("setup.exe", &parts, true);
    fs::create_directories(root / "out/deep/dir");
    fs::create_directories(root / "elsewhere");
    fs::create_directory_symlink(root / "elsewhere", root / "out/deep/dir/link");
    WriteText(root / "out/deep/dir/damaged.txt", "the old file");

    Outcome run = Qpack({"extract", "-o", At("out/deep/dir"), At("setup.exe")});
    EXPECT_EQ(run.status, 1);
    std::vector<std::string> expectedFiles = {"brand.bmp",
                                              "centre.bmp",
                                              "manifest.txt",
                                              "out/deep/dir/damaged.txt",
                                              "out/deep/dir/good/kept.txt",
                                              "setup.exe",
                                              "stub.exe"};
    EXPECT_EQ(FilesBelow(root), expectedFiles);
    EXPECT_EQ(ReadText(root / "out/deep/dir/good/kept.txt"), "kept");
    EXPECT_EQ(ReadText(root / "out/deep/dir/damaged.txt"), "the old file");
    for (const char *name :
         {"\"\\..\\escaped1\" refused: a \"..\"", "\"\\good\\..\\..\\escaped2\" refused: a \"..\"",
          "\"\\C:\\escaped3\" refused: it holds a colon", "\"\\good/escaped4\" refused",
          "\"\\\\server\\escaped5\" refused: it starts with two", "\"\\\" refused: it is empty",
          "\"\\good\\.\\dot\" refused", "\"\\damaged.txt\" not written: its bytes sum to",
          "\"\\link\\escaped6\" refused: its folder leads out"}) {
        EXPECT_NE(run.err.find(name), std::string::npos) << name << "\n" << run.err;
    }
    EXPECT_NE(run.err.find("9 entries not extracted"), std::string::npos) << run.err;
}

TEST_F(QpackCli, ExtractWritesWhatTheInstallerWould) {
    // All installable entries empty: the installer writes nothing, and so
    // does extract, saying why.
    PackageParts empties = PartsOf({{"\\a", {}}, {"\\b\\c", {}}});
    WriteInstaller("empty.exe", &empties, true);
    Outcome empty = Qpack({"extract", "-o", "none", "empty.exe"});
    EXPECT_EQ(empty.status, 0) << empty.err;
    EXPECT_NE(empty.err.find("all empty"), std::string::npos) << empty.err;
    EXPECT_TRUE(FilesBelow(root / "none").empty());

    // A file that cannot be replaced keeps its content; the others are written.
    PackageParts parts = PartsOf({{"\\locked", Bytes("new")}, {"\\free", Bytes("free")}});
    WriteInstaller("setup.exe", &parts, true);
    WriteText(root / "out/locked", "old");
    fs::permissions(root / "out/locked", fs::perms::all, fs::perm_options::remove);
    Outcome run = Qpack({"extract", "-o", "out", "setup.exe"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("\"\\locked\" not written: cannot replace"), std::string::npos)
        << run.err;
    EXPECT_EQ(ReadText(root / "out/free"), "free");
    fs::permissions(root / "out/locked", fs::perms::owner_read, fs::perm_options::add);
    EXPECT_EQ(ReadText(root / "out/locked"), "old");
    EXPECT_EQ(FilesBelow(root / "out"), (std::vector<std::string>{"free", "locked"}));
}

// ---- Usage -------------------------------------------------------------------------------

TEST_F(QpackCli, BadUsageExitsWithTwo) {
    std::vector<std::vector<std::string>> usages = {
        {},
        {"frob"},
        {"--frob"},
        {"build"},
        {"build", "-o"},
        {"build", "-o", "x.exe", "--stub", "s.exe", "pay"},
        {"build", "-o", "x.exe", "--stub", "s.exe", "--manifest", "m.txt"},
        {"build", "-o", "x.exe", "-o", "y.exe", "--stub", "s", "--manifest", "m", "pay"},
        {"list"},
        {"list", "a.exe", "b.exe"},
        {"list", "--bogus", "a.exe"},
        {"verify", "--json", "a.exe"},
        {"extract", "a.exe"},
        {"extract", "--all=yes", "-o", "dir", "a.exe"},
        {"show"},
        {"show", "--strict", "a.exe"},
        {"check"},
        {"check", "--json", "m.txt"},
        {"check", "a.txt", "b.txt"},
    };
    for (const std::vector<std::string> &args : usages) {
        Outcome run = Qpack(args);
        std::string shown;
        for (const std::string &arg : args) {
            shown += arg + " ";
        }
        EXPECT_EQ(run.status, 2) << shown;
        EXPECT_EQ(run.err.rfind("qpack: ", 0), 0u) << shown << run.err;
        EXPECT_TRUE(run.out.empty()) << shown;
    }
}

TEST_F(QpackCli, HelpAndVersion) {
    for (const char *help : {"--help", "-h"}) {
        Outcome run = Qpack({help});
        EXPECT_EQ(run.status, 0);
        for (const char *command : {"qpack build", "qpack list", "qpack verify", "qpack extract",
                                    "qpack show", "qpack check", "--strict"}) {
            EXPECT_NE(run.out.find(command), std::string::npos) << command;
        }
    }
    EXPECT_EQ(Qpack({"extract", "--help"}).status, 0);
    EXPECT_EQ(Qpack({"check", "--help"}).status, 0);
    Outcome version = Qpack({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("qpack ", 0), 0u) << version.out;
}

// ---- The programs installed with qpack ------------------------------------------------------

TEST_F(QpackCli, BuildTakesTheStubInstalledWithQpackUnlessToldOtherwise) {
    // A stub whose image version says 3.7, where an installed layout (the
    // Debian package, make install) and the Windows zip put it.
    PackageBytes stub = TestPeImage();
    PutLittleEndian(&stub, kTestPeOptionalHeader + 44, 3, 2);
    PutLittleEndian(&stub, kTestPeOptionalHeader + 46, 7, 2);
    const std::string qpack = UnderWine() ? "qpack.exe" : "qpack";
    struct Layout {
        std::string program; // below root
        std::string stub;    // "": none installed
    };
    const Layout layouts[] = {
        {"usr/bin/" + qpack, "usr/share/qunpack/qunpack.exe"},
        {"zip/" + qpack, "zip/qunpack.exe"},
        {"lonely/bin/" + qpack, ""},
    };
    WriteText(root / "pay/a.txt", "alpha");
    for (const Layout &layout : layouts) {
        SCOPED_TRACE(layout.program);
        fs::create_directories((root / layout.program).parent_path());
        fs::copy_file(Program(), root / layout.program);
        std::string shownStub =
            UnderWine() ? WindowsArgument(At(layout.stub), root) : At(layout.stub);
        if (!layout.stub.empty()) {
            WriteBytes(root / layout.stub, stub);
        }
        Outcome build = Qpack({"build", "-o", "setup.exe", "--manifest", "manifest.txt", "pay"},
                              At(layout.program));
        Outcome version = Qpack({"--version"}, At(layout.program));
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out.rfind("qpack ", 0), 0u) << version.out;
        if (layout.stub.empty()) {
            // Where it looked: share/qunpack beside its folder, then its folder.
            EXPECT_EQ(build.status, 1);
            for (const char *place : {"/share/qunpack/qunpack.exe", "/bin/qunpack.exe"}) {
                std::string shown = UnderWine() ? WindowsArgument(place, root) : place;
                EXPECT_NE(build.err.find("lonely" + shown), std::string::npos) << build.err;
            }
            EXPECT_NE(build.err.find("--stub"), std::string::npos) << build.err;
            EXPECT_NE(version.out.find("no qunpack.exe found"), std::string::npos) << version.out;
            EXPECT_FALSE(fs::exists(root / "setup.exe"));
            continue;
        }
        ASSERT_EQ(build.status, 0) << build.err;
        EXPECT_EQ(build.out.rfind("stub: " + shownStub + " (installed with qpack)\n", 0), 0u)
            << build.out;
        PackageBytes installer = ReadBytes(root / "setup.exe");
        EXPECT_TRUE(std::equal(stub.begin(), stub.end(), installer.begin()));
        EXPECT_NE(version.out.find("qunpack.exe 3.7: " + shownStub + "\n"), std::string::npos)
            << version.out;
        EXPECT_NE(version.out.find("no qunpack-uninstall.exe found"), std::string::npos)
            << version.out;
        fs::remove(root / "setup.exe");

        // --stub still decides, and then nothing is said about it.
        Outcome named = Qpack(
            {"build", "-o", "setup.exe", "--stub", "stub.exe", "--manifest", "manifest.txt", "pay"},
            At(layout.program));
        ASSERT_EQ(named.status, 0) << named.err;
        EXPECT_EQ(named.out.find("stub:"), std::string::npos) << named.out;
        EXPECT_EQ(ReadText(root / "setup.exe").rfind("MZ a stub standing in", 0), 0u);
        fs::remove(root / "setup.exe");
    }
}

// ---- Manifests -----------------------------------------------------------------------------

const char SOUND_MANIFEST[] = "productname = \"Demo\"\r\ndirectory = \"Vendor\\Demo\"\r\n";

TEST_F(QpackCli, ShowJsonPrintsTheRecordTheStubReads) {
    // Every key, lists of two (the head is the later line), a string given
    // twice, LF-less CR line ends, and bytes that JSON must escape.
    WriteText(root / "manifest.txt", "ProductName = \"First\"\r"
                                     "productname=\"Demo \xe9\"\r\n"
                                     "directory = \"Vendor\\Demo\"\r\n"
                                     "origin = \"web\\x\ttab\"\r\n"
                                     "mutexname = \"DemoMutex\"\r\n"
                                     "mainwindowname = \"Demo Main\"\r\n"
                                     "BKColour = #FF0000\r\n"
                                     "ProgressBarColour = #00ff00\r\n"
                                     "progressbordercolour = #FF\r\n"
                                     "StatusTextColour = #123456\r\n"
                                     "shortcut = \"Demo\", \"demo.exe\", 0\r\n"
                                     "shortcut = \"Tools\\Setup\", \"bin\\setup.exe\", -3\r\n"
                                     "delfile = \"old.dll\"\r\n"
                                     "delfile = \"stale\\cache.db\"\r\n"
                                     "uninstaller = \"uninst.exe\"\r\n");
    WriteText(root / "pay/demo.exe", "MZ");
    // The stand-in stub has no uninstaller beside it to generate one from.
    ASSERT_EQ(Build("setup.exe", "pay", {"--no-uninstaller"}).status, 0);
    Outcome run = Qpack({"show", "--json", "setup.exe"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "{\n"
                       "  \"productName\": \"Demo \\u00e9\",\n"
                       "  \"directoryName\": \"Vendor\\\\Demo\",\n"
                       "  \"origin\": \"web\\\\x\\u0009tab\",\n"
                       "  \"mutexName\": \"DemoMutex\",\n"
                       "  \"mainWindowName\": \"Demo Main\",\n"
                       "  \"backgroundColour\": 255,\n"
                       "  \"progressBarColour\": 65280,\n"
                       "  \"progressBorderColour\": 16711680,\n"
                       "  \"statusTextColour\": 5649426,\n"
                       "  \"shortcuts\": [\n"
                       "    {\"shortcutName\": \"Tools\\\\Setup\", \"targetPath\": "
                       "\"bin\\\\setup.exe\", \"iconIndex\": -3},\n"
                       "    {\"shortcutName\": \"Demo\", \"targetPath\": \"demo.exe\", "
                       "\"iconIndex\": 0}\n"
                       "  ],\n"
                       "  \"deleteFiles\": [\"stale\\\\cache.db\", \"old.dll\"],\n"
                       "  \"uninstaller\": \"uninst.exe\",\n"
                       "  \"warnings\": [],\n"
                       "  \"usable\": true\n"
                       "}\n");
    Outcome text = Qpack({"show", "setup.exe"});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("statusTextColour:     0x00563412 (#123456)"), std::string::npos)
        << text.out;
    EXPECT_LT(text.out.find("\"Tools\\Setup\""), text.out.find("\"Demo\" -> \"demo.exe\""));
    EXPECT_NE(text.out.find("usable: yes\n"), std::string::npos) << text.out;
}

TEST_F(QpackCli, ShowSaysWhyTheStubWouldRefuse) {
    // Made with the writer: qpack build refuses such manifests.
    PackageParts parts = PartsOf(
        {{"\\a.txt", Bytes("alpha")}, {"\\#Manifest", Bytes("productname = \"Demo\"\r\n")}});
    WriteInstaller("nodir.exe", &parts, true);
    Outcome run = Qpack({"show", "--json", "nodir.exe"});
    EXPECT_EQ(run.status, 0) << run.err;
    for (const char *field : {"\"directoryName\": null", "\"origin\": null", "\"mutexName\": null",
                              "\"mainWindowName\": null", "\"uninstaller\": null",
                              "\"shortcuts\": []", "\"deleteFiles\": []", "\"usable\": false"}) {
        EXPECT_NE(run.out.find(field), std::string::npos) << field << "\n" << run.out;
    }
    EXPECT_NE(Qpack({"show", "nodir.exe"}).out.find("usable: no (no install directory)"),
              std::string::npos);

    // Built before the product-name rule refused a stream: said, not installed.
    parts =
        PartsOf({{"\\a.txt", Bytes("alpha")},
                 {"\\#Manifest", Bytes("productname = \"Demo: Pro\"\r\ndirectory = \"D\"\r\n")}});
    WriteInstaller("stream.exe", &parts, true);
    Outcome stream = Qpack({"show", "stream.exe"});
    EXPECT_NE(stream.out.find("usable: no (the product name cannot name a folder: it holds the "
                              "character ':', which on Windows names a stream"),
              std::string::npos)
        << stream.out;

    parts = PartsOf({{"\\a.txt", Bytes("alpha")}});
    WriteInstaller("bare.exe", &parts, true);
    Outcome bare = Qpack({"show", "bare.exe"});
    EXPECT_EQ(bare.status, 0);
    EXPECT_NE(bare.out.find("productName:          (absent)"), std::string::npos) << bare.out;
    EXPECT_NE(bare.out.find("usable: no (the installer has no manifest)"), std::string::npos);

    WriteText(root / "plain.exe", "MZ no package");
    EXPECT_EQ(Qpack({"show", "plain.exe"}).status, 1);
}

TEST_F(QpackCli, ShowWarnsAboutEntriesTheInstallerSkips) {
    WriteText(root / "manifest.txt",
              std::string(SOUND_MANIFEST) +
                  "shortcut = \"..\\..\\Startup\\evil\", \"a.exe\", 0\r\n"
                  "shortcut = \"Writer\", \"C:\\Windows\\notepad.exe\", 0\r\n"
                  "shortcut = \"Fine\", \"a.exe\", 0\r\n"
                  "delfile = \"..\\..\\Windows\\win.ini\"\r\n");
    WriteText(root / "pay/a.exe", "MZ");
    ASSERT_EQ(Build("setup.exe", "pay").status, 0);
    Outcome json = Qpack({"show", "--json", "setup.exe"});
    EXPECT_EQ(json.status, 0);
    EXPECT_NE(
        json.out.find("\"warnings\": [\"the shortcut \\\"Writer\\\" is skipped: its target "
                      "\\\"C:\\\\Windows\\\\notepad.exe\\\" it names a drive\", "
                      "\"the shortcut \\\"..\\\\..\\\\Startup\\\\evil\\\" is skipped: its name "
                      "it holds a \\\"..\\\" component\", "
                      "\"the delfile \\\"..\\\\..\\\\Windows\\\\win.ini\\\" is skipped: it "
                      "holds a \\\"..\\\" component\"],\n"),
        std::string::npos)
        << json.out;
    Outcome text = Qpack({"show", "setup.exe"});
    EXPECT_EQ(Occurrences(text.out, "\nwarning: "), 3u) << text.out;
}

struct ManifestTrap {
    const char *what;
    std::string text;
    uint32_t line;
    const char *message; // part of the warning
    bool build = false;  // found only by qpack build, which knows the payload
};

// Each trap once in `qpack check` (or `qpack build` with a payload of
// demo.exe), warned about on its line, and an error under --strict.
TEST_F(QpackCli, CheckWarnsOnceAboutEachTrap) {
    std::string sound = SOUND_MANIFEST;
    std::string longName(300, 'n'), longText(1100, 't');
    std::vector<ManifestTrap> traps = {
        {"LF line ends", "productname = \"Demo\"\r\ndirectory = \"Demo\"\nBKColour = #ffffff\r\n",
         2, "LF alone"},
        {"byte-order mark", "\xEF\xBB\xBForigin = \"web\"\r\n" + sound, 1, "byte-order mark"},
        {"unknown key", sound + "icon = \"a.ico\"\r\n", 3, "unrecognised key \"icon\""},
        {"key with a space", sound + "mutex name = \"M\"\r\n", 3, "\"mutexname\"?"},
        {"word form splits at a later =", sound + "origin=\"a =b\"\r\n", 3,
         "split at a later \"=\""},
        {"empty quotes", sound + "origin = \"\"\r\n", 3, "empty quotes"},
        {"string not quoted", sound + "origin = web\r\n", 3, "not in double quotes"},
        {"unclosed quote", sound + "origin = \"web  \r\n", 3, "no closing quote"},
        {"colour in quotes", sound + "BKColour = \"#ffffff\"\r\n", 3, "without \"#\""},
        {"colour without digits", sound + "BKColour = #xyz\r\n", 3, "hexadecimal digit"},
        {"string cut", sound + "origin = \"" + longText + "\"\r\n", 3, "cut to 1023"},
        {"file name cut", sound + "delfile = \"" + longName + "\"\r\n", 3, "cut to 256"},
        {"shortcut name too long", sound + "shortcut = \"" + longName + "\", \"a.exe\", 0\r\n", 3,
         "name does not close within 256"},
        {"shortcut without index", sound + "shortcut = \"A\", \"a.exe\"\r\n", 3,
         "no comma after the target"},
        {"shortcut with empty target", sound + "shortcut = \"A\", \"\", 1\r\n", 3,
         "target is empty"},
        {"colour value cut", sound + "BKColour = #ff" + longText + "\r\n", 3, "cut to 1024"},
        {"delfile empty", sound + "delfile = \"\"\r\n", 3, "delfile line adds nothing"},
        {"key given twice", sound + "productname = \"Other\"\r\n", 3, "first on line 1"},
        {"key too long", sound + longName + " = \"x\"\r\n", 3, "longer than 256"},
        {"no equals sign", sound + "productname \"Demo\"\r\n", 3, "no \"=\""},
        {"NUL inside a line", sound + std::string("origin = \"a\"\0 tail\r\n", 19), 3, "NUL byte"},
        {"near-miss key", sound + "BKColor = #ffffff\r\n", 3, "(\"BKColour\"?)"},
        {"text after the closing quote", sound + "mainwindowname = \"Acme \"Pro\" Writer\"\r\n", 3,
         "text after the closing quote (Pro\" Writer\") is ignored"},
        {"text after a delfile's quote", sound + "delfile = \"a.txt\" b.txt\r\n", 3,
         "after the closing quote"},
        {"three-digit colour", sound + "BKColour = #FFF\r\n", 3, "3 hexadecimal digits, not 6"},
        {"eight-digit colour", sound + "BKColour = #FF0000FF\r\n", 3, "8 hexadecimal digits"},
        {"colour with letters after", sound + "BKColour = #12zz\r\n", 3, "2 hexadecimal digits"},
        {"colour with text after", sound + "BKColour = #123456 red\r\n", 3,
         "after the colour's digits, \" red\""},
        {"colour given twice",
         sound + "StatusTextColour = #000000\r\nstatustextcolour = #ffffff\r\n", 4,
         "first on line 3"},
        {"shortcut name climbing out",
         sound + "shortcut = \"..\\..\\Startup\\evil\", \"demo.exe\", 0\r\n", 3,
         "skips this shortcut: its name \"..\\..\\Startup\\evil\" it holds a \"..\" component"},
        {"shortcut target on a drive",
         sound + "shortcut = \"Demo\", \"C:\\Windows\\notepad.exe\", 0\r\n", 3,
         "its target \"C:\\Windows\\notepad.exe\" it names a drive"},
        {"delfile climbing out", sound + "delfile = \"..\\..\\Windows\\win.ini\"\r\n", 3,
         "skips this delfile line"},
        {"delfile naming a device", sound + "delfile = \"logs/aux.txt\"\r\n", 3,
         "reserved device name"},
        {"shortcut target not in the payload",
         sound + "shortcut = \"Writer\", \"bin\\writer.exe\", 0\r\n", 3,
         "\"bin\\writer.exe\" is not in the payload", true},
        {"uninstaller not in the payload, none generated",
         sound + "uninstaller = \"uninst.exe\"\r\n", 3,
         "uninstaller \"uninst.exe\" is not in the payload", true},
    };
    WriteText(root / "pay/Demo.exe", "MZ");
    for (const ManifestTrap &trap : traps) {
        SCOPED_TRACE(trap.what);
        WriteText(root / "manifest.txt", trap.text);
        auto run = [&](bool strict) {
            std::vector<std::string> extra;
            if (strict) {
                extra.push_back("--strict");
            }
            if (trap.build) {
                extra.push_back("--no-uninstaller"); // a generated one is in the payload
                return Build("setup.exe", "pay", extra);
            }
            extra.insert(extra.begin(), "check");
            extra.push_back("manifest.txt");
            return Qpack(extra);
        };
        std::string where = "manifest.txt:" + std::to_string(trap.line) + ": ";
        Outcome warned = run(false);
        EXPECT_EQ(warned.status, 0) << warned.err;
        EXPECT_NE(warned.err.find(where + "warning: "), std::string::npos) << warned.err;
        EXPECT_NE(warned.err.find(trap.message), std::string::npos) << warned.err;
        EXPECT_EQ(Occurrences(warned.err, "warning:"), 1u) << warned.err;
        Outcome strict = run(true);
        EXPECT_EQ(strict.status, 1);
        EXPECT_NE(strict.err.find(where + "error: "), std::string::npos) << strict.err;
    }
    // The payload holds what the manifest names, in any case and with either
    // separator.
    WriteText(root / "pay/bin/Writer.exe", "MZ");
    WriteText(root / "manifest.txt", sound + "shortcut = \"Writer\", \"BIN/writer.exe\", 0\r\n" +
                                         "uninstaller = \"bin\\writer.exe\"\r\n");
    Outcome quiet = Build("setup.exe", "pay", {"--strict"});
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.err, "");
}

TEST_F(QpackCli, CheckPassesWhatTheStubReadsAsMeant) {
    // Both forms, any case, CR alone, a blank line, the limits exactly.
    WriteText(root / "m.txt", "  ProductName=\"Demo\"\r\n"
                              "\r\n"
                              "DIRECTORY\t=  \"Vendor\\Demo\"\r"
                              "origin = \"" +
                                  std::string(1023, 'o') +
                                  "\"\r\n"
                                  "delfile = \"" +
                                  std::string(256, 'd') +
                                  "\"\r\n"
                                  "shortcut = \"" +
                                  std::string(256, 's') +
                                  "\" , \"a.exe\" , +2\r\n"
                                  "BKColour = #0x00ff00\r\n");
    Outcome run = Qpack({"check", "--strict", "m.txt"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
}

TEST_F(QpackCli, CheckRefusesWhatTheStubCannotInstall) {
    std::vector<ManifestTrap> faults = {
        {"no product name", "directory = \"Demo\"\r\n", 0, "no \"productname\""},
        {"no directory", "productname = \"Demo\"\r\n", 0, "no \"directory\""},
        {"empty manifest", "", 0, "no \"productname\""},
        {"absolute directory", "productname = \"Demo\"\r\ndirectory = \"\\Windows\"\r\n", 2,
         "absolute"},
        {"drive in directory", "productname = \"Demo\"\r\ndirectory = \"C:x\"\r\n", 2, "drive"},
        {"device in directory", "productname = \"Demo\"\r\ndirectory = \"Acme\\CON\"\r\n", 2,
         "\"CON\", a reserved device name"},
        {"trailing space in directory", "productname = \"Demo\"\r\ndirectory = \"Acme \\x.\"\r\n",
         2, "\"Acme \", whose trailing dot or space"},
        {"reserved character in directory",
         "productname = \"Demo\"\r\ndirectory = \"Acme|Pro<1>\"\r\n", 2, "'|'"},
        {"directory climbing out", "productname = \"Demo\"\r\ndirectory = \"a\\..\\..\"\r\n", 2,
         "\"..\""},
        {"colon in product name", "productname = \"a:b\"\r\ndirectory = \"Demo\"\r\n", 1, "':'"},
        {"stream in product name", "productname = \"Demo: Pro\"\r\ndirectory = \"Demo\"\r\n", 1,
         "names a stream"},
        {"DEL in product name", "productname = \"Demo\x7f\"\r\ndirectory = \"Demo\"\r\n", 1,
         "code 127"},
        {"dots and spaces product name", "productname = \". .\"\r\ndirectory = \"Demo\"\r\n", 1,
         "only dots and spaces"},
        {"backslash in product name", "productname = \"a\\b\"\r\ndirectory = \"Demo\"\r\n", 1,
         "'\\'"},
        {"control character in product name", "productname = \"a\tb\"\r\ndirectory = \"Demo\"\r\n",
         1, "control character"},
        {"trailing dot", "directory = \"Demo\"\r\nproductname = \"Demo.\"\r\n", 2, "trailing dot"},
        {"trailing space", "productname = \"Demo \r\ndirectory = \"Demo\"\r\n", 1,
         "trailing dot or space"},
    };
    for (const ManifestTrap &fault : faults) {
        WriteText(root / "m.txt", fault.text);
        Outcome run = Qpack({"check", "m.txt"});
        std::string where = fault.line == 0 ? "m.txt: error: "
                                            : "m.txt:" + std::to_string(fault.line) + ": error: ";
        EXPECT_EQ(run.status, 1) << fault.what;
        EXPECT_NE(run.err.find(where), std::string::npos) << fault.what << "\n" << run.err;
        EXPECT_NE(run.err.find(fault.message), std::string::npos) << fault.what << "\n" << run.err;
    }
}

TEST_F(QpackCli, BuildChecksItsManifest) {
    WriteText(root / "pay/a.txt", "alpha");
    WriteText(root / "manifest.txt", "productname = \"Demo\"\r\n");
    Outcome refused = Build("setup.exe", "pay");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("manifest.txt: error: no \"directory\""), std::string::npos)
        << refused.err;
    EXPECT_FALSE(fs::exists(root / "setup.exe"));

    WriteText(root / "manifest.txt", std::string(SOUND_MANIFEST) + "icon = \"a.ico\"\r\n");
    Outcome strict = Build("setup.exe", "pay", {"--strict"});
    EXPECT_EQ(strict.status, 1);
    EXPECT_NE(strict.err.find("manifest.txt:3: error: unrecognised key"), std::string::npos)
        << strict.err;
    EXPECT_FALSE(fs::exists(root / "setup.exe"));

    Outcome warned = Build("setup.exe", "pay");
    EXPECT_EQ(warned.status, 0) << warned.err;
    EXPECT_NE(warned.err.find("manifest.txt:3: warning: unrecognised key"), std::string::npos);
    EXPECT_TRUE(fs::exists(root / "setup.exe"));
}

// ---- Signed installers ------------------------------------------------------------

// Signs in with osslsigncode and a certificate made in root; extra options
// (-nest) go first. Returns osslsigncode's exit status.
int Sign(const fs::path &root, const std::string &in, const std::string &out,
         const std::string &extra = "") {
    std::string at = "cd " + ShellQuoted(root.string()) + " && ";
    if (!fs::exists(root / "cert.pem")) {
        std::system((at + "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Vendor"
                          " -keyout key.pem -out cert.pem >/dev/null 2>&1")
                        .c_str());
    }
    std::string command = at + "osslsigncode sign " + extra +
                          " -certs cert.pem -key key.pem -n Demo -in " + ShellQuoted(in) +
                          " -out " + ShellQuoted(out) + " >/dev/null 2>&1";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool SignatureVerifies(const fs::path &root, const std::string &installer) {
    std::string command = "cd " + ShellQuoted(root.string()) +
                          " && osslsigncode verify -CAfile cert.pem -in " + ShellQuoted(installer) +
                          " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

TEST_F(QpackCli, SignedInstallersReadAsBuiltAndRefuseChanges) {
    if (std::system("command -v osslsigncode >/dev/null && command -v openssl >/dev/null") != 0) {
        GTEST_SKIP() << "osslsigncode or openssl missing (scripts/install-deps.sh installs them)";
    }
    PackageBytes stub = TestPeImage();
    PutLittleEndian(&stub, TestPeCheckSumOffset(), 0xC0FFEE, 4); // cleared by the build
    WriteBytes(root / "stub.exe", stub);
    WriteBytes(root / "pay/bin/tool.dat", RandomBytes(30000, 7));
    WriteText(root / "pay/readme.txt", "read me");
    ASSERT_EQ(Build("setup.exe", "pay").status, 0);
    ASSERT_EQ(Sign(root, "setup.exe", "signed.exe"), 0);
    ASSERT_EQ(Sign(root, "signed.exe", "nested.exe", "-nest -h sha512"), 0);
    const PackageBytes built = ReadBytes(root / "setup.exe");

    for (const char *installer : {"signed.exe", "nested.exe"}) {
        EXPECT_TRUE(SignatureVerifies(root, installer)) << installer;
        Outcome verify = Qpack({"verify", installer});
        EXPECT_EQ(verify.status, 0) << verify.err;
        size_t table = fs::file_size(root / installer) - ((built.size() + 7) / 8 * 8);
        EXPECT_NE(
            verify.out.find("signed: a certificate table of " + std::to_string(table) + " bytes"),
            std::string::npos)
            << verify.out;
        EXPECT_EQ(Qpack({"list", installer}).status, 0);
        EXPECT_EQ(Qpack({"show", installer}).status, 0);
        std::string folder = std::string("out-") + installer;
        ASSERT_EQ(Qpack({"extract", "-o", folder, installer}).status, 0);
        EXPECT_EQ(ReadBytes(root / folder / "bin/tool.dat"), RandomBytes(30000, 7));
    }
    EXPECT_EQ(Qpack({"verify", "setup.exe"}).out.find("signed"), std::string::npos);

    // A changed byte of the image, the directory or the data; bytes behind
    // the signature.
    const PackageBytes signedBytes = ReadBytes(root / "signed.exe");
    struct Damage {
        const char *what;
        size_t at; // SIZE_MAX: 16 bytes appended
        const char *message;
    };
    const Damage damages[] = {
        {"image", 0x201, "package sum mismatch"},
        {"directory", stub.size() + 3, ""},
        {"data", built.size() - PACKAGE_TRAILER_SIZE - 2, ""},
        {"appended", SIZE_MAX, "16 bytes follow it"},
    };
    for (const Damage &damage : damages) {
        PackageBytes bytes = signedBytes;
        if (damage.at == SIZE_MAX) {
            bytes.resize(bytes.size() + 16, 0);
        } else {
            bytes[damage.at] ^= 0x01;
        }
        WriteBytes(root / "damaged.exe", bytes);
        EXPECT_FALSE(SignatureVerifies(root, "damaged.exe")) << damage.what;
        Outcome verify = Qpack({"verify", "damaged.exe"});
        EXPECT_EQ(verify.status, 1) << damage.what;
        EXPECT_NE(verify.err.find(damage.message), std::string::npos) << verify.err;
    }

    // Signing comes last: a signed stub, or an installer as a stub, is refused.
    ASSERT_EQ(Sign(root, "stub.exe", "signed-stub.exe"), 0);
    for (auto [stubFile, message] :
         {std::pair<const char *, const char *>{"signed-stub.exe", "is signed"},
          {"nested.exe", "already carries a package"}}) {
        Outcome refused = Qpack(
            {"build", "-o", "again.exe", "--stub", stubFile, "--manifest", "manifest.txt", "pay"});
        EXPECT_EQ(refused.status, 1) << stubFile;
        EXPECT_NE(refused.err.find(message), std::string::npos) << refused.err;
    }
}

// A stranger's package added to a really signed installer, behind its
// certificate table or inside it with the table enlarged: the signature
// still verifies for the second (Authenticode does not hash the table), and
// qpack refuses both, saying why.
TEST_F(QpackCli, AStrangersPackageAddedToASignedInstallerIsRefused) {
    if (std::system("command -v osslsigncode >/dev/null && command -v openssl >/dev/null") != 0) {
        GTEST_SKIP() << "osslsigncode or openssl missing (scripts/install-deps.sh installs them)";
    }
    WriteBytes(root / "stub.exe", TestPeImage());
    WriteText(root / "pay/readme.txt", "the vendor's");
    WriteText(root / "theirs/evil.txt", "a stranger's");
    ASSERT_EQ(Build("setup.exe", "pay").status, 0);
    ASSERT_EQ(Build("stranger.exe", "theirs").status, 0);
    ASSERT_EQ(Sign(root, "setup.exe", "signed.exe"), 0);
    const PackageBytes signedBytes = ReadBytes(root / "signed.exe");
    struct Attack {
        const char *file;
        bool insideTable;
        bool signatureVerifies;
        const char *message;
    };
    const Attack attacks[] = {
        {"appended.exe", false, false, "the table does not end at the end of the file"},
        {"inside.exe", true, true, "the certificate table holds more than its signatures"},
    };
    for (const Attack &attack : attacks) {
        SCOPED_TRACE(attack.file);
        PackageBytes bytes;
        ASSERT_TRUE(SignedAttackMake(signedBytes, ReadBytes(root / "stranger.exe"),
                                     attack.insideTable, &bytes));
        WriteBytes(root / attack.file, bytes);
        if (attack.signatureVerifies) {
            EXPECT_TRUE(SignatureVerifies(root, attack.file));
        }
        Outcome verify = Qpack({"verify", attack.file});
        EXPECT_EQ(verify.status, 1);
        EXPECT_NE(verify.err.find(attack.message), std::string::npos) << verify.err;
        EXPECT_EQ(Qpack({"list", attack.file}).status, 1);
        EXPECT_EQ(Qpack({"extract", "-o", "out", attack.file}).status, 1);
        EXPECT_FALSE(fs::exists(root / "out" / "evil.txt"));
    }

    // Every other way a table can hold more than signatures, in verify's words.
    PeImage image;
    PeDataDirectory entry;
    ASSERT_TRUE(PeImageRead(signedBytes.data(), static_cast<uint32_t>(signedBytes.size()), &image));
    ASSERT_TRUE(PeDataDirectoryGet(&image, PE_DIRECTORY_CERTIFICATE, &entry));
    const uint32_t table = entry.address, end = static_cast<uint32_t>(signedBytes.size());
    struct Shape {
        const char *what;
        std::function<void(PackageBytes *)> change;
        const char *message;
    };
    const Shape shapes[] = {
        {"a table beyond the file",
         [&](PackageBytes *b) { PutLittleEndian(b, entry.entryOffset, end + 8, 4); },
         "the table does not lie inside the"},
        {"a table of 4 bytes less",
         [&](PackageBytes *b) {
             b->resize(end - 4);
             PutLittleEndian(b, entry.entryOffset + 4, entry.size - 4, 4);
         },
         "size is not a positive multiple of 8"},
        {"a dwLength past the table",
         [&](PackageBytes *b) { PutLittleEndian(b, table, entry.size + 8, 4); },
         "too short for a signature or past the table's end"},
        {"no DER SEQUENCE", [&](PackageBytes *b) { (*b)[table + 8] = 0x31; },
         "does not hold a DER SEQUENCE"},
        {"a DER length past the record", [&](PackageBytes *b) { (*b)[table + 9] = 0x84; },
         "runs past the record's length"},
    };
    for (const Shape &shape : shapes) {
        PackageBytes bytes = signedBytes;
        shape.change(&bytes);
        WriteBytes(root / "shape.exe", bytes);
        Outcome verify = Qpack({"verify", "shape.exe"});
        EXPECT_EQ(verify.status, 1) << shape.what;
        EXPECT_NE(verify.err.find(shape.message), std::string::npos) << verify.err;
    }
}

// ---- Releases ------------------------------------------------------------------------------

TEST_F(QpackCli, DiffAndPreviousListWhatAnUpgradeChanges) {
    for (const char *name : {"same.txt", "changed.txt", "gone.txt", "deleted.txt", "Data/X.txt"}) {
        WriteText(root / "v1" / name, name);
    }
    ASSERT_EQ(Build("v1.exe", "v1").status, 0);
    for (const char *name : {"same.txt", "added.txt", "data/x.txt"}) { // case alone: no change
        WriteText(root / "v2" / name, name == std::string("data/x.txt") ? "Data/X.txt" : name);
    }
    WriteText(root / "v2/changed.txt", "changed.tx!"); // same size, other bytes
    WriteText(root / "manifest.txt", std::string(SOUND_MANIFEST) + "delfile = \"deleted.txt\"\r\n");
    ASSERT_EQ(Build("v2.exe", "v2").status, 0);

    const std::string expected = "changed \"\\changed.txt\"\n"
                                 "removed \"\\deleted.txt\" (a delfile line deletes it)\n"
                                 "removed \"\\gone.txt\" (left behind on an upgrade)\n"
                                 "added   \"\\added.txt\"\n";
    Outcome diff = Qpack({"diff", "v1.exe", "v2.exe"});
    EXPECT_EQ(diff.status, 0) << diff.err;
    EXPECT_EQ(diff.out, expected);
    EXPECT_EQ(Occurrences(diff.err, "warning: \"\\gone.txt\" was in the previous installer"), 1u)
        << diff.err;
    EXPECT_EQ(Qpack({"diff", "--strict", "v1.exe", "v2.exe"}).status, 1);
    EXPECT_EQ(Qpack({"diff", "v2.exe", "v2.exe"}).out, "");

    Outcome previous = Build("v3.exe", "v2", {"--previous", At("v1.exe")});
    EXPECT_EQ(previous.status, 0) << previous.err;
    EXPECT_EQ(previous.out.rfind(expected, 0), 0u) << previous.out;
    EXPECT_NE(previous.err.find("\"\\gone.txt\""), std::string::npos);
    Outcome strict = Build("v4.exe", "v2", {"--previous", At("v1.exe"), "--strict"});
    EXPECT_EQ(strict.status, 1);
    EXPECT_NE(strict.err.find("1 file of the previous installer left behind"), std::string::npos)
        << strict.err;
    EXPECT_FALSE(fs::exists(root / "v4.exe"));
    EXPECT_EQ(Build("v5.exe", "v2", {"--previous", At("nothing.exe")}).status, 1);
}

// ---- Branding ----------------------------------------------------------------------

// The test image with an application manifest, as the real stub has one.
PackageBytes StubWithManifest(void) {
    PackageBytes stub = TestPeImage();
    Resource manifest;
    manifest.type.id = PE_RESOURCE_MANIFEST;
    manifest.name.id = 1;
    manifest.language.id = 0x409;
    manifest.data = Bytes("<assembly>stub manifest</assembly>");
    std::string error;
    EXPECT_TRUE(StubResourcesWrite(&stub, {manifest}, &error)) << error;
    return stub;
}

// What wrestool (an independent resource reader) prints or extracts.
std::string Wrestool(const fs::path &root, const std::string &arguments) {
    fs::path out = root / "wrestool.out";
    std::string command = "cd " + ShellQuoted(root.string()) + " && wrestool " + arguments + " >" +
                          ShellQuoted(out.string()) + " 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::string text = ReadText(out);
    fs::remove(out);
    return text;
}

std::string Utf16(const std::string &latin1) {
    std::string wide;
    for (char c : latin1) {
        wide += c;
        wide += '\0';
    }
    return wide;
}

TEST_F(QpackCli, BuildBrandsTheInstallerAsAnIndependentReaderSees) {
    if (std::system("command -v wrestool >/dev/null") != 0) {
        GTEST_SKIP() << "wrestool missing (scripts/install-deps.sh installs icoutils)";
    }
    WriteBytes(root / "stub.exe", StubWithManifest());
    WriteBytes(root / "icon.ico", TestIcon());
    WriteText(root / "pay/readme.txt", "read me");
    Outcome build = Build("setup.exe", "pay",
                          {"--icon", At("icon.ico"), "--version-info", "CompanyName=Vendor",
                           "--version-info=FileVersion=1.2.3", "--version-info",
                           "LegalCopyright=\xC2\xA9 Vendor"});
    ASSERT_EQ(build.status, 0) << build.err;
    EXPECT_EQ(Qpack({"verify", "setup.exe"}).status, 0);

    std::string listing = Wrestool(root, "-l setup.exe");
    for (const char *resource :
         {"--type=3 --name=1 ", "--type=3 --name=2 ", "--type=3 --name=3 ", "--type=14 --name=1 ",
          "--type=16 --name=1 --language=1033", "--type=24 --name=1 "}) {
        EXPECT_NE(listing.find(resource), std::string::npos) << resource << "\n" << listing;
    }
    EXPECT_EQ(listing.find("--name=4 "), std::string::npos) << listing;
    // wrestool rebuilds the .ico from the group and its images (padding it).
    std::string icon = Wrestool(root, "-x -t14 -n1 setup.exe");
    std::vector<unsigned char> original = TestIcon();
    EXPECT_EQ(icon.substr(0, original.size()), std::string(original.begin(), original.end()));
    EXPECT_EQ(Wrestool(root, "-x --raw -t24 setup.exe"), "<assembly>stub manifest</assembly>");
    std::string version = Wrestool(root, "-x --raw -t16 setup.exe");
    for (const char *text : {"CompanyName", "Vendor", "1.2.3", "\xA9 Vendor", "ProductName", "Demo",
                             "FileDescription", "Demo Setup", "040904B0"}) {
        EXPECT_NE(version.find(Utf16(text)), std::string::npos) << text;
    }
    EXPECT_EQ(version.find(Utf16("ProductVersion")), std::string::npos);

    // A generated uninstaller carries the same icon and version information.
    WriteBytes(root / "qunpack-uninstall.exe", StubWithManifest());
    WriteText(root / "manifest.txt",
              std::string(SOUND_MANIFEST) + "uninstaller = \"uninstall.exe\"\r\n");
    ASSERT_EQ(Build("with-uninstaller.exe", "pay",
                    {"--icon", At("icon.ico"), "--version-info", "CompanyName=Vendor"})
                  .status,
              0);
    ASSERT_EQ(Qpack({"extract", "-o", "out", "with-uninstaller.exe"}).status, 0);
    std::string uninstaller = Wrestool(root, "-l out/uninstall.exe");
    for (const char *resource :
         {"--type=14 --name=1 ", "--type=16 --name=1 ", "--type=24 --name=1 "}) {
        EXPECT_NE(uninstaller.find(resource), std::string::npos) << resource << "\n" << uninstaller;
    }
    EXPECT_EQ(Wrestool(root, "-x -t14 -n1 out/uninstall.exe"), icon);

    // Signing comes after branding and keeps both.
    if (std::system("command -v osslsigncode >/dev/null && command -v openssl >/dev/null") == 0) {
        ASSERT_EQ(Sign(root, "setup.exe", "signed.exe"), 0);
        EXPECT_TRUE(SignatureVerifies(root, "signed.exe"));
        EXPECT_EQ(Qpack({"verify", "signed.exe"}).status, 0);
        EXPECT_EQ(Wrestool(root, "-x -t14 -n1 signed.exe"), icon);
    }
}

TEST_F(QpackCli, BuildRefusesABrokenIconOrVersionStringLeavingNoInstaller) {
    WriteBytes(root / "real-stub.exe", StubWithManifest());
    WriteBytes(root / "icon.ico", TestIcon());
    std::vector<unsigned char> cut = TestIcon();
    cut.resize(cut.size() - 1);
    WriteBytes(root / "cut.ico", PackageBytes(cut.begin(), cut.end()));
    WriteText(root / "pay/readme.txt", "read me");
    struct Case {
        std::vector<std::string> options;
        const char *message;
    };
    const Case cases[] = {
        {{"--icon", "brand.bmp"},
         "icon \"brand.bmp\" is not a well-formed .ico file: it does not start with an icon"},
        {{"--icon", "cut.ico"},
         "icon \"cut.ico\" is not a well-formed .ico file: image 3 of 3 does not lie inside"},
        {{"--icon", "missing.ico"}, "missing.ico"},
        {{"--version-info", "Comments=hello"},
         "\"Comments\" is not a version string name; the names are CompanyName, FileDescription,"
         " FileVersion, ProductName, ProductVersion, LegalCopyright"},
        {{"--version-info", "FileVersion"}, "is not NAME=VALUE with a value"},
        {{"--version-info", "FileVersion="}, "is not NAME=VALUE with a value"},
        {{"--version-info", "ProductName=A", "--version-info", "ProductName=B"},
         "ProductName is given twice"},
        {{"--version-info", "ProductName=" + std::string(4001, 'x')}, "longer than 4000"},
        {{"--icon", "icon.ico"}, // with the fixture's stub: "MZ" and text
         "cannot write the icon and version information into the stub \"stub.exe\": it is not a"
         " PE image"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = {"build",
                                         "-o",
                                         "setup.exe",
                                         "--stub",
                                         c.options[1] == "icon.ico" ? "stub.exe" : "real-stub.exe",
                                         "--manifest",
                                         "manifest.txt"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back("pay");
        Outcome refused = Qpack(args);
        EXPECT_EQ(refused.status, 1) << c.message;
        EXPECT_NE(refused.err.find(c.message), std::string::npos) << refused.err;
        EXPECT_FALSE(fs::exists(root / "setup.exe")) << c.message;
    }
}

} // namespace

// ---- The generated uninstaller -------------------------------------------------------

// The entries of the package inside the program at path, name -> text.
std::map<std::string, std::string> EntriesOfProgram(const fs::path &path) {
    std::map<std::string, std::string> entries;
    RegionHeapInit();
    if (!PackageOpenFile(path.string().c_str())) {
        ADD_FAILURE() << "cannot open " << path;
        PackageClose();
        return entries;
    }
    for (const DirectoryRecord *record = PackageFirstRecord(); record != nullptr;
         record = PackageNextRecord(record)) {
        std::string data(DirectoryRecordSize(record), '\0');
        EXPECT_TRUE(PackageReadEntryFull(&data[0], record));
        entries[DirectoryRecordName(record)] = data;
    }
    PackageClose();
    return entries;
}

TEST_F(QpackCli, BuildGeneratesTheUninstallerThePayloadLacks) {
    const std::string manifest =
        "productname = \"Demo\"\r\ndirectory = \"Demo\"\r\nuninstaller = \"bin/remove.exe\"\r\n";
    WriteText(root / "manifest.txt", manifest);
    WriteText(root / "qunpack-uninstall.exe", "MZ the uninstaller stub");
    WriteText(root / "pay/a.txt", "alpha");
    WriteText(root / "pay/bin/tool.exe", "a tool");

    ASSERT_EQ(Build("setup.exe", "pay").status, 0);
    Outcome list = Qpack({"list", "setup.exe"});
    EXPECT_EQ(ListedColumn(list.out, false),
              (std::vector<std::string>{"\\a.txt", "\\bin\\remove.exe", "\\bin\\tool.exe",
                                        "\\#Manifest"}));
    EXPECT_EQ(ListedColumn(list.out, true),
              (std::vector<std::string>{"installable", "uninstaller", "installable", "internal"}));
    Outcome verify = Qpack({"verify", "setup.exe"});
    EXPECT_EQ(verify.status, 0) << verify.err;
    EXPECT_NE(verify.out.find(":\\bin\\remove.exe: sound: 2 entries"), std::string::npos)
        << verify.out;

    // The uninstaller carries the manifest and every installed name, itself
    // included, in directory order.
    ASSERT_EQ(Qpack({"extract", "-o", "copy", "setup.exe"}).status, 0);
    PackageBytes program = ReadBytes(root / "copy/bin/remove.exe");
    std::string stubPart(program.begin(), program.begin() + 23);
    EXPECT_EQ(stubPart, "MZ the uninstaller stub");
    EXPECT_EQ(EntriesOfProgram(root / "copy/bin/remove.exe"),
              (std::map<std::string, std::string>{
                  {"\\#Manifest", manifest},
                  {"\\#Files", "\\a.txt\n\\bin\\remove.exe\n\\bin\\tool.exe\n"}}));

    ASSERT_EQ(Build("again.exe", "pay").status, 0);
    EXPECT_EQ(ReadBytes(root / "again.exe"), ReadBytes(root / "setup.exe"));

    // Another uninstaller stub by name; none at all; none where it should be.
    fs::rename(root / "qunpack-uninstall.exe", root / "other.exe");
    Outcome missing = Build("missing.exe", "pay");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("--uninstaller-stub"), std::string::npos) << missing.err;
    EXPECT_FALSE(fs::exists(root / "missing.exe"));
    ASSERT_EQ(Build("named.exe", "pay", {"--uninstaller-stub", At("other.exe")}).status, 0);
    EXPECT_EQ(ReadBytes(root / "named.exe"), ReadBytes(root / "setup.exe"));
    ASSERT_EQ(Build("none.exe", "pay", {"--no-uninstaller"}).status, 0);
    EXPECT_EQ(ListedColumn(Qpack({"list", "none.exe"}).out, false).size(), 3u);

    // The vendor's own uninstaller is packed as it is.
    WriteText(root / "pay/bin/Remove.exe", "the vendor's own");
    ASSERT_EQ(Build("vendor.exe", "pay").status, 0);
    EXPECT_EQ(ListedColumn(Qpack({"list", "vendor.exe"}).out, true),
              (std::vector<std::string>{"installable", "installable", "installable", "internal"}));
}

// The key's name goes into the installer and its generated uninstaller
// alike; a name Windows cannot use as a key is refused.
TEST_F(QpackCli, BuildWritesTheUninstallKeyIntoBothPrograms) {
    WriteText(root / "manifest.txt",
              std::string(SOUND_MANIFEST) + "uninstaller = \"remove.exe\"\r\n");
    WriteText(root / "qunpack-uninstall.exe", "MZ the uninstaller stub");
    WriteText(root / "pay/a.txt", "alpha");

    Outcome named = Build("named.exe", "pay", {"--uninstall-key", "Vendor Product 2"});
    ASSERT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(EntriesOfProgram(root / "named.exe")["\\#UninstallKey"], "Vendor Product 2");
    ASSERT_EQ(Qpack({"extract", "-o", "out", "named.exe"}).status, 0);
    EXPECT_EQ(EntriesOfProgram(root / "out/remove.exe")["\\#UninstallKey"], "Vendor Product 2");
    EXPECT_EQ(Qpack({"verify", "named.exe"}).status, 0);

    // Without the option nothing is added, and a branded build is told why
    // it should give one.
    Outcome plain = Build("plain.exe", "pay");
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(EntriesOfProgram(root / "plain.exe").count("\\#UninstallKey"), 0u);
    EXPECT_EQ(plain.err.find("--uninstall-key"), std::string::npos) << plain.err;
    WriteBytes(root / "stub.exe", StubWithManifest());
    WriteBytes(root / "qunpack-uninstall.exe", StubWithManifest());
    Outcome branded = Build("branded.exe", "pay", {"--version-info", "CompanyName=Vendor"});
    ASSERT_EQ(branded.status, 0) << branded.err;
    EXPECT_NE(branded.err.find("warning: no --uninstall-key"), std::string::npos) << branded.err;

    for (const std::string &bad :
         {std::string("Vendor\\Product"), std::string(256, 'k'), std::string("tab\there")}) {
        Outcome refused = Build("refused.exe", "pay", {"--uninstall-key", bad});
        EXPECT_EQ(refused.status, 1) << bad;
        EXPECT_NE(refused.err.find("cannot name a registry key"), std::string::npos) << refused.err;
        EXPECT_FALSE(fs::exists(root / "refused.exe"));
    }
    EXPECT_EQ(Build("longest.exe", "pay", {"--uninstall-key", std::string(255, 'k')}).status, 0);
}
