// Writes the packages that extract_wine_bench.exe installs under Wine, one
// file per payload shape, packed by the writer a vendor uses (zlib level 9).
// Made natively, since packing 300 MB under an emulated 32-bit Wine takes
// minutes. Each package carries the demo's manifest and bitmaps, so that the
// benchmark sets up the progress window the way the stub does.
//   make_corpus DEMO_FOLDER OUTPUT_FOLDER
// A package already there is kept: the contents come from a fixed seed.
#include "qpack/package_writer.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kStamp[] = "v1"; // change when a recipe changes

// Text-like bytes (words, spaces and line breaks) with a share of random
// bytes, so that the streams inflate at a realistic pace.
PackageBytes Content(std::mt19937 &random, size_t size, unsigned randomPercent) {
    static const char *const words[] = {"the ",   "install ",  "package ", "window ", "of ",
                                        "and ",   "file ",     "data ",    "\r\n",    "setup ",
                                        "value ", "registry ", "error ",   "0x1f3a ", "shell "};
    PackageBytes bytes(size);
    size_t at = 0;
    while (at < size) {
        if (random() % 100 < randomPercent) {
            for (int i = 0; i < 64 && at < size; i++) {
                bytes[at++] = static_cast<unsigned char>(random());
            }
            continue;
        }
        for (const char *word = words[random() % 15]; *word != 0 && at < size; word++) {
            bytes[at++] = static_cast<unsigned char>(*word);
        }
    }
    return bytes;
}

std::vector<PackageWriterEntry> TinyFiles(std::mt19937 &random) {
    std::vector<PackageWriterEntry> entries;
    for (int i = 0; i < 1000; i++) {
        entries.push_back({"\\file" + std::to_string(i) + ".txt", Content(random, 1024, 10)});
    }
    return entries;
}

std::vector<PackageWriterEntry> LargeFiles(std::mt19937 &random) {
    std::vector<PackageWriterEntry> entries;
    for (int i = 0; i < 10; i++) {
        entries.push_back({"\\large" + std::to_string(i) + ".bin", Content(random, 16u << 20, 30)});
    }
    return entries;
}

// About 2,000 files in 40 folders two levels deep, sizes spread
// logarithmically from 0 to 1 MiB (most small, a few large), as a program's
// files are.
std::vector<PackageWriterEntry> MixedFiles(std::mt19937 &random) {
    std::vector<PackageWriterEntry> entries;
    std::uniform_real_distribution<double> exponent(0.0, 20.0);
    for (int i = 0; i < 2000; i++) {
        int folder = i / 50;
        std::string name = "\\lib" + std::to_string(folder / 8) + "\\part" +
                           std::to_string(folder) + "\\f" + std::to_string(i) + ".dat";
        size_t size = static_cast<size_t>(std::pow(2.0, exponent(random))) - 1;
        entries.push_back({name, Content(random, size, 20 + i % 50)});
    }
    return entries;
}

PackageBytes ReadFile(const fs::path &path) {
    std::ifstream file(path, std::ios::binary);
    return PackageBytes(std::istreambuf_iterator<char>(file), {});
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: make_corpus DEMO_FOLDER OUTPUT_FOLDER\n");
        return 2;
    }
    fs::path demo = argv[1], output = argv[2];
    fs::create_directories(output);
    const struct {
        const char *name;
        std::vector<PackageWriterEntry> (*make)(std::mt19937 &);
    } shapes[] = {{"tiny", TinyFiles}, {"large", LargeFiles}, {"mixed", MixedFiles}};
    for (const auto &shape : shapes) {
        fs::path path = output / (std::string(shape.name) + "-" + kStamp + ".pkg");
        if (fs::exists(path)) {
            continue;
        }
        std::mt19937 random(20261209);
        std::vector<PackageWriterEntry> entries = shape.make(random);
        entries.push_back({"\\#Manifest", ReadFile(demo / "manifest.txt")});
        entries.push_back({"\\#brand.bmp", ReadFile(demo / "brand.bmp")});
        entries.push_back({"\\#installingtext.bmp", ReadFile(demo / "installingtext.bmp")});
        PackageBytes package;
        std::string error;
        if (!PackageWrite(PackageBytes(2, 'M'), entries, PackageWriterOptions(), &package,
                          &error)) {
            fprintf(stderr, "make_corpus: %s: %s\n", shape.name, error.c_str());
            return 1;
        }
        fs::path partial = path;
        partial += ".part";
        std::ofstream(partial, std::ios::binary)
            .write(reinterpret_cast<const char *>(package.data()),
                   static_cast<std::streamsize>(package.size()));
        fs::rename(partial, path);
        printf("make_corpus: %s, %zu entries, %zu bytes\n", path.c_str(), entries.size(),
               package.size());
    }
    return 0;
}
