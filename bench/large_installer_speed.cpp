// Installers near the format's 4 GiB, natively (the stub's engine is the
// same code; qpack extract runs it too). A plain program, not a test:
//
//   large_installer_speed FOLDER [ROUNDS] [verify|extract|both]
//
// Verification: a 3.5 GiB installer (one entry of random bytes in stored
// deflate blocks) opened in views, its package sum taken over 16 MiB views
// one after the other, against the best SSE2 pass over the same bytes of the
// same file mapped whole (the SSE2 byte sum in one pass), interleaved,
// medians of ROUNDS (default 3). The goal is at least 0.90 of its speed.
//
// Extraction: an installer of one 3 GiB entry of zeros, extracted by
// ExtractAllFiles from a package opened in views, against a floor that
// inflates the same stream with plain zlib into a buffer of the engine's
// piece size and writes each piece with write(): goal at most 1.10x the
// floor's time. The engine's peak memory (VmHWM after clearing it, less the
// resident set before) should stay within the piece size plus a few MiB.
//
// Files are made in FOLDER (about 7 GB at the most) and removed at the end.
#include "heap/region_heap.h"
#include "package/byte_sum.h"
#include "package/extract.h"
#include "package/package.h"
#include "platform/platform.h"

#include <zlib.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const uint64_t kVerifyBytes = 3584ull << 20; // 3.5 GiB of entry data
const uint64_t kZeroBytes = 3072ull << 20;   // 3 GiB
const uint32_t kChunk = 1u << 20;

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void PutU32(std::vector<unsigned char> *out, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        out->push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
}

// A file written in order while its byte sum is taken.
struct SummedFile {
    std::ofstream out;
    uint32_t sum = 0;
    uint64_t length = 0;
    void Write(const unsigned char *bytes, size_t count) {
        sum += ByteSumSse2(bytes, static_cast<uint32_t>(count));
        out.write(reinterpret_cast<const char *>(bytes), static_cast<std::streamsize>(count));
        length += count;
    }
};

// The one-record directory, compressed.
std::vector<unsigned char> DirectoryStream(const char *name, uint32_t size, uint32_t compressed,
                                           uint32_t dataSum, uint32_t *directorySize) {
    std::vector<unsigned char> directory = {0, 0}; // recordLength 0: the last record
    PutU32(&directory, size);
    PutU32(&directory, compressed);
    PutU32(&directory, dataSum);
    PutU32(&directory, 0);
    directory.insert(directory.end(), name, name + strlen(name) + 1);
    *directorySize = static_cast<uint32_t>(directory.size());
    uLongf length = compressBound(directory.size());
    std::vector<unsigned char> stream(length);
    compress2(stream.data(), &length, directory.data(), directory.size(), 9);
    stream.resize(length);
    return stream;
}

// Writes stub, directory, the stream made by writeStream, and the trailer.
template <typename StreamWriter>
bool WriteInstaller(const std::string &path, const char *name, uint32_t size, uint32_t compressed,
                    uint32_t dataSum, StreamWriter writeStream) {
    SummedFile file;
    file.out.open(path, std::ios::binary | std::ios::trunc);
    std::vector<unsigned char> stub(64u << 10, 0x90);
    stub[0] = 'M';
    stub[1] = 'Z';
    file.Write(stub.data(), stub.size());
    uint32_t directorySize = 0;
    std::vector<unsigned char> directory =
        DirectoryStream(name, size, compressed, dataSum, &directorySize);
    file.Write(directory.data(), directory.size());
    writeStream(&file);
    std::vector<unsigned char> trailer;
    PutU32(&trailer, static_cast<uint32_t>(stub.size()));
    PutU32(&trailer, static_cast<uint32_t>(directory.size()));
    PutU32(&trailer, directorySize);
    PutU32(&trailer, file.sum);
    trailer.insert(trailer.end(), PACKAGE_MAGIC, PACKAGE_MAGIC + 8);
    file.out.write(reinterpret_cast<const char *>(trailer.data()), 24);
    file.out.close();
    return file.out.good();
}

// Random bytes in stored deflate blocks: the stream is as long as the data.
bool MakeVerifyInstaller(const std::string &path) {
    const uint32_t block = 65535;
    uint64_t blocks = (kVerifyBytes + block - 1) / block;
    uint32_t compressed = static_cast<uint32_t>(2 + kVerifyBytes + blocks * 5 + 4);
    // The data are made twice (sum first, then written) from the same seed.
    auto fill = [](uint64_t *state, unsigned char *bytes, size_t count) {
        for (size_t i = 0; i < count; i++) {
            *state ^= *state << 13;
            *state ^= *state >> 7;
            *state ^= *state << 17;
            bytes[i] = static_cast<unsigned char>(*state >> 24);
        }
    };
    std::vector<unsigned char> data(block);
    uint64_t state = 0x9E3779B97F4A7C15ull;
    uint32_t dataSum = 0;
    for (uint64_t done = 0; done < kVerifyBytes; done += block) {
        uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(block, kVerifyBytes - done));
        fill(&state, data.data(), count);
        dataSum += ByteSumSse2(data.data(), count);
    }
    return WriteInstaller(
        path, "\\random.bin", static_cast<uint32_t>(kVerifyBytes), compressed, dataSum,
        [&](SummedFile *file) {
            uint64_t seed = 0x9E3779B97F4A7C15ull;
            unsigned char header[2] = {0x78, 0x01};
            file->Write(header, 2);
            uLong adler = adler32(0, nullptr, 0);
            for (uint64_t done = 0; done < kVerifyBytes; done += block) {
                uint32_t count =
                    static_cast<uint32_t>(std::min<uint64_t>(block, kVerifyBytes - done));
                fill(&seed, data.data(), count);
                unsigned char head[5] = {
                    static_cast<unsigned char>(done + count == kVerifyBytes ? 1 : 0),
                    static_cast<unsigned char>(count), static_cast<unsigned char>(count >> 8),
                    static_cast<unsigned char>(~count), static_cast<unsigned char>(~count >> 8)};
                file->Write(head, 5);
                file->Write(data.data(), count);
                adler = adler32(adler, data.data(), count);
            }
            unsigned char check[4] = {
                static_cast<unsigned char>(adler >> 24), static_cast<unsigned char>(adler >> 16),
                static_cast<unsigned char>(adler >> 8), static_cast<unsigned char>(adler)};
            file->Write(check, 4);
        });
}

// 3 GiB of zeros deflated at level 9: about 3 MiB.
bool MakeZeroInstaller(const std::string &path) {
    std::vector<unsigned char> stream;
    z_stream z = {};
    deflateInit(&z, 9);
    std::vector<unsigned char> zeros(kChunk, 0), out(kChunk);
    for (uint64_t done = 0; done < kZeroBytes; done += kChunk) {
        z.next_in = zeros.data();
        z.avail_in = kChunk;
        int flush = done + kChunk == kZeroBytes ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = out.data();
            z.avail_out = kChunk;
            deflate(&z, flush);
            stream.insert(stream.end(), out.data(), out.data() + (kChunk - z.avail_out));
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return WriteInstaller(path, "\\zeros.bin", static_cast<uint32_t>(kZeroBytes),
                          static_cast<uint32_t>(stream.size()), 0,
                          [&](SummedFile *file) { file->Write(stream.data(), stream.size()); });
}

// The core's path form: "\" separated.
std::string CorePath(const fs::path &path) {
    std::string text = path.string();
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

long StatusKiB(const char *field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::stol(line.substr(strlen(field) + 1));
        }
    }
    return -1;
}

void ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// The plain floor: inflate into one buffer of the piece size and write() it.
bool FloorExtract(const std::string &installer, const std::string &output) {
    PlatformMappedFile mapped = PlatformMappedFile();
    if (!PlatformMapFile(&mapped, installer.c_str())) {
        return false;
    }
    PackageTrailer trailer;
    PackageTrailerDecode(mapped.view + mapped.length - 24, &trailer);
    const unsigned char *stream =
        mapped.view + trailer.directoryOffset + trailer.directoryCompressedSize;
    uint32_t streamLength =
        mapped.length - 24 - trailer.directoryOffset - trailer.directoryCompressedSize;
    int file = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<unsigned char> buffer(EXTRACT_PIECE_SIZE);
    z_stream z = {};
    inflateInit(&z);
    z.next_in = const_cast<unsigned char *>(stream);
    z.avail_in = streamLength;
    int status = Z_OK;
    bool written = file >= 0;
    while (status == Z_OK && written) {
        z.next_out = buffer.data();
        z.avail_out = static_cast<uInt>(buffer.size());
        status = inflate(&z, Z_NO_FLUSH);
        size_t count = buffer.size() - z.avail_out;
        written = write(file, buffer.data(), count) == static_cast<ssize_t>(count);
    }
    inflateEnd(&z);
    close(file);
    PlatformUnmapFile(&mapped);
    return status == Z_STREAM_END && written;
}

bool EngineExtract(const std::string &installer, const fs::path &folder) {
    if (!PackageOpenFileInViews(installer.c_str())) {
        PackageClose();
        return false;
    }
    ExtractionReport report = {};
    ExtractAllFiles(CorePath(folder).c_str(), nullptr, &report);
    PackageClose();
    return report.files == 1 && report.failed == 0;
}

int Verify(const fs::path &folder, int rounds) {
    std::string path = (folder / "verify.exe").string();
    auto start = std::chrono::steady_clock::now();
    if (!MakeVerifyInstaller(path)) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
    }
    printf("verify: made %.2f GiB in %.1f s\n", fs::file_size(path) / 1073741824.0, Seconds(start));
    uint32_t summed = static_cast<uint32_t>(fs::file_size(path)) - PACKAGE_TRAILER_SIZE;
    std::vector<double> views, sse2;
    volatile uint32_t sink = 0;
    for (int round = 0; round <= rounds; round++) { // round 0 warms the cache
        start = std::chrono::steady_clock::now();
        int opened = PackageOpenFileInViews(path.c_str());
        PackageClose();
        double viewsTime = Seconds(start);
        // The file mapped whole, as a 64-bit process can, and summed in one
        // pass: mapping it is part of the pass, as it is for the reader.
        start = std::chrono::steady_clock::now();
        PlatformMappedFile mapped = PlatformMappedFile();
        if (!PlatformMapFile(&mapped, path.c_str())) {
            return 1;
        }
        sink = sink + ByteSumSse2(mapped.view, summed);
        PlatformUnmapFile(&mapped);
        double sse2Time = Seconds(start);
        if (!opened) {
            fprintf(stderr, "verify: the installer did not open\n");
            return 1;
        }
        if (round > 0) {
            views.push_back(viewsTime);
            sse2.push_back(sse2Time);
        }
    }
    fs::remove(path);
    double gib = summed / 1073741824.0;
    printf("verify: open in 16 MiB views %.2f GiB/s; SSE2 sum of the file mapped whole "
           "%.2f GiB/s; ratio %.2f (medians of %d)\n",
           gib / Median(views), gib / Median(sse2), Median(sse2) / Median(views), rounds);
    return 0;
}

int Extract(const fs::path &folder, int rounds) {
    std::string path = (folder / "zeros.exe").string();
    auto start = std::chrono::steady_clock::now();
    if (!MakeZeroInstaller(path)) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
    }
    printf("extract: made %.2f MiB in %.1f s\n", fs::file_size(path) / 1048576.0, Seconds(start));
    fs::path out = folder / "out";
    std::vector<double> engine, floor;
    long peak = 0, before = 0;
    for (int round = 0; round < rounds; round++) {
        for (int side = 0; side < 2; side++) {
            bool engineSide = (side + round) % 2 == 0;
            fs::remove_all(out);
            fs::create_directories(out);
            sync();
            start = std::chrono::steady_clock::now();
            bool ok;
            if (engineSide) {
                before = StatusKiB("VmRSS:");
                ResetPeak();
                ok = EngineExtract(path, out);
                peak = std::max(peak, StatusKiB("VmHWM:") - before);
            } else {
                ok = FloorExtract(path, (out / "zeros.bin").string());
            }
            double time = Seconds(start);
            if (!ok || fs::file_size(out / "zeros.bin") != kZeroBytes) {
                fprintf(stderr, "extract: the %s failed\n", engineSide ? "engine" : "floor");
                return 1;
            }
            (engineSide ? engine : floor).push_back(time);
        }
    }
    fs::remove_all(out);
    fs::remove(path);
    printf("extract: engine %.2f s, floor %.2f s, ratio %.3f (medians of %d); engine peak "
           "memory above its resident set before: %.1f MiB (piece %u MiB)\n",
           Median(engine), Median(floor), Median(engine) / Median(floor), rounds, peak / 1024.0,
           EXTRACT_PIECE_SIZE >> 20);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FOLDER [ROUNDS]\n", argv[0]);
        return 2;
    }
    RegionHeapInit();
    fs::path folder = argv[1];
    int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
    fs::create_directories(folder);
    std::string which = argc > 3 ? argv[3] : "both";
    int failed = which != "extract" ? Verify(folder, rounds) : 0;
    failed |= which != "verify" ? Extract(folder, rounds) : 0;
    return failed;
}
