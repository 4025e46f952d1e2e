// Package reader throughput.
//
// Verification: the byte sum over 256 MiB, in ordinary memory and in a
// mapped file, against memchr for a byte that is not there over the same
// memory in the same run (the fastest read-only pass the C library has).
// Target: the sum at 80% of memchr's bytes per second or better.
//
// Inflation: InflateBuffer, whose inflate library allocates from the region
// heap, against plain inflateInit/inflate/inflateEnd with zlib's default
// allocator, on the same few MiB of mixed content. Target: the heap costs
// under 2%. Both with a heap that is otherwise empty (a region is made and
// released per inflation) and with a package open (the region stays).
#include "heap/region_heap.h"
#include "package/package.h"
#include "platform/platform.h"
#include "qpack/package_writer.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const uint32_t kSumBytes = 256u << 20;
const size_t kInflateBytes = 6u << 20;

// The heap is set up once, before any benchmark runs.
const bool heapReady = (RegionHeapInit(), true);

uint64_t NextRandom(uint64_t *state) {
    *state ^= *state << 13;
    *state ^= *state >> 7;
    *state ^= *state << 17;
    return *state;
}

// 256 MiB of random bytes without a single zero, so memchr for 0 reads it all.
const std::vector<unsigned char> &SumBuffer() {
    static std::vector<unsigned char> buffer = [] {
        std::vector<unsigned char> bytes(kSumBytes);
        uint64_t state = 0x9E3779B97F4A7C15ull;
        for (size_t i = 0; i < bytes.size(); i += 8) {
            uint64_t value = NextRandom(&state);
            for (int k = 0; k < 8; k++) {
                unsigned char byte = static_cast<unsigned char>(value >> (8 * k));
                bytes[i + k] = byte != 0 ? byte : 1;
            }
        }
        return bytes;
    }();
    return buffer;
}

// The same bytes as a mapped temporary file, removed at exit.
struct MappedSumFile {
    std::string path;
    PlatformMappedFile mapped = PlatformMappedFile();

    MappedSumFile() {
        path = (std::filesystem::temp_directory_path() / "qunpack_package_bench.bin").string();
        std::string error;
        if (!PackageWriteFile(path, SumBuffer(), &error) ||
            !PlatformMapFile(&mapped, path.c_str())) {
            std::fprintf(stderr, "cannot map %s %s\n", path.c_str(), error.c_str());
        }
    }
    ~MappedSumFile() {
        PlatformUnmapFile(&mapped);
        std::remove(path.c_str());
    }
};

const unsigned char *MappedSumView() {
    static MappedSumFile file;
    return file.mapped.length == kSumBytes ? file.mapped.view : nullptr;
}

void SumOver(benchmark::State &state, const unsigned char *bytes) {
    if (bytes == nullptr) {
        state.SkipWithError("no memory to read");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(PackageByteSum(bytes, kSumBytes));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSumBytes);
}

void MemchrOver(benchmark::State &state, const unsigned char *bytes) {
    if (bytes == nullptr) {
        state.SkipWithError("no memory to read");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::memchr(bytes, 0, kSumBytes));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSumBytes);
}

void BM_ByteSumMemory(benchmark::State &state) {
    SumOver(state, SumBuffer().data());
}
void BM_MemchrAbsentMemory(benchmark::State &state) {
    MemchrOver(state, SumBuffer().data());
}
void BM_ByteSumMappedFile(benchmark::State &state) {
    SumOver(state, MappedSumView());
}
void BM_MemchrAbsentMappedFile(benchmark::State &state) {
    MemchrOver(state, MappedSumView());
}

BENCHMARK(BM_ByteSumMemory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemchrAbsentMemory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ByteSumMappedFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemchrAbsentMappedFile)->Unit(benchmark::kMillisecond);

// Mixed content, as installers carry it: text, incompressible runs (as in
// already compressed files), zeros and repeated records.
struct InflateInput {
    std::vector<unsigned char> data;
    std::vector<unsigned char> stream;

    InflateInput() {
        static const char *const words[] = {"setup ",    "Quorvane ",    "program ",
                                            "files\r\n", "0x00000000, ", "<item name=\"x\"/>\n"};
        uint64_t state = 12345;
        while (data.size() < kInflateBytes) {
            uint64_t kind = NextRandom(&state) % 4;
            size_t run = 1024 + NextRandom(&state) % 16384;
            for (size_t i = 0; i < run; i++) {
                if (kind == 0) {
                    const char *word = words[NextRandom(&state) % 6];
                    data.insert(data.end(), word, word + std::strlen(word));
                } else if (kind == 1) {
                    data.push_back(static_cast<unsigned char>(NextRandom(&state)));
                } else if (kind == 2) {
                    data.push_back(0);
                } else {
                    data.push_back(static_cast<unsigned char>("MZ\x90\0\3\0\0\0"[i % 8]));
                }
            }
        }
        data.resize(kInflateBytes);
        PackageCompress(data.data(), data.size(), &stream);
    }
};

const InflateInput &Input() {
    static InflateInput input;
    return input;
}

void InflateWithRegionHeap(benchmark::State &state) {
    const InflateInput &input = Input();
    std::vector<unsigned char> out(input.data.size());
    for (auto _ : state) {
        InflateBuffer(out.data(), static_cast<uint32_t>(out.size()), input.stream.data(),
                      static_cast<uint32_t>(input.stream.size()));
        benchmark::ClobberMemory();
    }
    if (out != input.data) {
        state.SkipWithError("inflated data differ");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * out.size());
}

// On an otherwise empty heap every inflation creates a region for the
// inflate state and returns it to the system afterwards.
void BM_InflateRegionHeap(benchmark::State &state) {
    InflateWithRegionHeap(state);
}

// While a package is open its directory keeps a region alive, and the
// inflate state is carved out of it: the case of the extraction.
void BM_InflateRegionHeapPackageOpen(benchmark::State &state) {
    void *directory = RegionHeapAlloc(4096);
    InflateWithRegionHeap(state);
    RegionHeapFree(directory);
}

void BM_InflateDefaultAllocator(benchmark::State &state) {
    const InflateInput &input = Input();
    std::vector<unsigned char> out(input.data.size());
    for (auto _ : state) {
        z_stream stream;
        std::memset(&stream, 0, sizeof stream);
        inflateInit(&stream);
        stream.next_in = const_cast<Bytef *>(input.stream.data());
        stream.avail_in = static_cast<uInt>(input.stream.size());
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        inflate(&stream, Z_FINISH);
        inflateEnd(&stream);
        benchmark::ClobberMemory();
    }
    if (out != input.data) {
        state.SkipWithError("inflated data differ");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * out.size());
}

BENCHMARK(BM_InflateRegionHeap)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InflateRegionHeapPackageOpen)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InflateDefaultAllocator)->Unit(benchmark::kMillisecond);

} // namespace
