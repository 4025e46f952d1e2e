// The open of a 512 MiB installer by the stub's code, against the plainest
// program that reads the same file through once, in one process and one
// run, natively and under Wine (make bench-open). A plain program, not a
// test: speeds are measured and reported, never asserted.
//
//   open_speed INSTALLER_PATH [ROUNDS [VIEW_KIB...]]
//
// It writes a valid installer of 512 MiB (random bytes as its image, a
// one-entry package behind it) to INSTALLER_PATH, and one of 64 KiB beside
// it, reads them once to bring them into the file cache, then times,
// ROUNDS times (default 7) in alternating order:
//   stub    PackageOpenFileInViews and PackageClose: the stub's open (the
//           trailer found, the package sum taken in views, the directory
//           inflated and checked).
//   stub in views of N KiB   the same with packageViewSize set to each
//           VIEW_KIB given, so that view sizes compare in one run.
//   small   the stub's open of the 64 KiB installer, 100 times: what an
//           open costs beyond reading the bytes (the views of the head, the
//           trailer and the directory), per open.
//   whole   the file opened, mapped whole with the system's plain calls,
//           summed in one psadbw pass, unmapped and closed (on POSIX
//           mapped with MAP_POPULATE, which is faster than a fault per
//           few pages: the stronger reference).
//   views   the same in views of the stub's size (PACKAGE_VIEW_SIZE), each
//           mapped, summed and unmapped.
// It prints the medians, each one's speed as a share of the whole-file
// pass (the ratio of the medians) and the range of the stub's per-round
// shares.
// Goal: the stub at 0.90 of the whole-file pass or better. The files are
// removed at the end.
#include "package/byte_sum.h"
#include "package/package.h"
#include "heap/region_heap.h"
#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <emmintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const uint32_t kImageBytes = 512u << 20;
const uint32_t kSmallImageBytes = 64u << 10;
const int kSmallOpens = 100;
const uint32_t kViewBytes = PACKAGE_VIEW_SIZE;

// The reference pass: every byte added once with psadbw, four blocks per step.
__attribute__((target("sse2"))) uint32_t SadSum(const void *data, uint32_t length) {
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero, b = zero, c = zero, d = zero;
    uint32_t i = 0;
    for (; i + 64 <= length; i += 64) {
        const __m128i *block = reinterpret_cast<const __m128i *>(bytes + i);
        a = _mm_add_epi32(a, _mm_sad_epu8(_mm_loadu_si128(block), zero));
        b = _mm_add_epi32(b, _mm_sad_epu8(_mm_loadu_si128(block + 1), zero));
        c = _mm_add_epi32(c, _mm_sad_epu8(_mm_loadu_si128(block + 2), zero));
        d = _mm_add_epi32(d, _mm_sad_epu8(_mm_loadu_si128(block + 3), zero));
    }
    __m128i all = _mm_add_epi32(_mm_add_epi32(a, b), _mm_add_epi32(c, d));
    uint32_t sum = static_cast<uint32_t>(_mm_cvtsi128_si32(all)) +
                   static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(all, 8)));
    for (; i < length; i++) {
        sum += bytes[i];
    }
    return sum;
}

// ---- The reference: the system's plain calls ------------------------------------

#ifdef _WIN32
struct RefFile {
    HANDLE file, mapping;
    uint32_t length;
};

bool RefOpen(const char *path, RefFile *ref) {
    ref->file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ref->file == INVALID_HANDLE_VALUE) {
        return false;
    }
    ref->length = GetFileSize(ref->file, nullptr);
    ref->mapping = CreateFileMappingA(ref->file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    return ref->mapping != nullptr;
}

const unsigned char *RefMap(const RefFile *ref, uint32_t offset, uint32_t length) {
    return static_cast<const unsigned char *>(
        MapViewOfFile(ref->mapping, FILE_MAP_READ, 0, offset, length));
}

void RefUnmap(const unsigned char *view, uint32_t) {
    UnmapViewOfFile(view);
}

void RefClose(RefFile *ref) {
    if (ref->mapping != nullptr) {
        CloseHandle(ref->mapping);
    }
    if (ref->file != INVALID_HANDLE_VALUE && ref->file != nullptr) {
        CloseHandle(ref->file);
    }
}
#else
struct RefFile {
    int file;
    uint32_t length;
};

bool RefOpen(const char *path, RefFile *ref) {
    ref->file = open(path, O_RDONLY);
    struct stat status;
    if (ref->file < 0 || fstat(ref->file, &status) != 0) {
        return false;
    }
    ref->length = static_cast<uint32_t>(status.st_size);
    return true;
}

const unsigned char *RefMap(const RefFile *ref, uint32_t offset, uint32_t length) {
    void *view = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, ref->file, offset);
    return view != MAP_FAILED ? static_cast<const unsigned char *>(view) : nullptr;
}

void RefUnmap(const unsigned char *view, uint32_t length) {
    munmap(const_cast<unsigned char *>(view), length);
}

void RefClose(RefFile *ref) {
    if (ref->file >= 0) {
        close(ref->file);
    }
}
#endif

// The file read through in views of viewBytes (the whole file in one view
// when viewBytes is at least its length). Returns 0 and sets *ok to false
// on failure.
uint32_t RefSum(const char *path, uint32_t viewBytes, bool *ok) {
    RefFile ref = RefFile();
    uint32_t sum = 0;
    *ok = RefOpen(path, &ref);
    for (uint32_t offset = 0; *ok && offset < ref.length;) {
        uint32_t count = std::min(viewBytes, ref.length - offset);
        const unsigned char *view = RefMap(&ref, offset, count);
        if (view == nullptr) {
            *ok = false;
            break;
        }
        sum += SadSum(view, count);
        RefUnmap(view, count);
        offset += count;
    }
    RefClose(&ref);
    return sum;
}

// ---- The installer --------------------------------------------------------------

void PutU32(std::vector<unsigned char> *out, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        out->push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
}

// bytes as a zlib stream of one stored block.
std::vector<unsigned char> StoredStream(const std::vector<unsigned char> &bytes) {
    uint32_t n = static_cast<uint32_t>(bytes.size());
    std::vector<unsigned char> stream = {0x78,
                                         0x01,
                                         0x01,
                                         static_cast<unsigned char>(n),
                                         static_cast<unsigned char>(n >> 8),
                                         static_cast<unsigned char>(~n),
                                         static_cast<unsigned char>(~n >> 8)};
    stream.insert(stream.end(), bytes.begin(), bytes.end());
    uint32_t adler = Adler32Update(1, bytes.data(), n);
    for (int shift = 24; shift >= 0; shift -= 8) {
        stream.push_back(static_cast<unsigned char>(adler >> shift));
    }
    return stream;
}

struct SummedWriter {
    FILE *out;
    uint32_t sum;
    bool ok;
};

void Write(SummedWriter *writer, const unsigned char *bytes, size_t count) {
    writer->sum += ByteSumScalar(bytes, static_cast<uint32_t>(count));
    writer->ok = writer->ok && std::fwrite(bytes, 1, count, writer->out) == count;
}

bool WriteInstaller(const char *path, uint32_t imageBytes) {
    SummedWriter writer = {std::fopen(path, "wb"), 0, true};
    if (writer.out == nullptr) {
        return false;
    }
    std::vector<unsigned char> chunk(1u << 20);
    uint32_t state = 2463534242u;
    for (uint32_t done = 0; done < imageBytes; done += static_cast<uint32_t>(chunk.size())) {
        chunk.resize(std::min<uint32_t>(1u << 20, imageBytes - done));
        for (unsigned char &byte : chunk) {
            state ^= state << 13, state ^= state >> 17, state ^= state << 5;
            byte = static_cast<unsigned char>(state);
        }
        chunk[0] = done == 0 ? 'M' : chunk[0];
        Write(&writer, chunk.data(), chunk.size());
    }
    const char text[] = "the package of a large installer";
    std::vector<unsigned char> content(text, text + sizeof text - 1);
    std::vector<unsigned char> entry = StoredStream(content);
    std::vector<unsigned char> record = {0, 0}; // the last record
    PutU32(&record, static_cast<uint32_t>(content.size()));
    PutU32(&record, static_cast<uint32_t>(entry.size()));
    PutU32(&record, ByteSumScalar(content.data(), static_cast<uint32_t>(content.size())));
    PutU32(&record, 0);
    const char name[] = "\\readme.txt";
    record.insert(record.end(), name, name + sizeof name);
    std::vector<unsigned char> directory = StoredStream(record);
    Write(&writer, directory.data(), directory.size());
    Write(&writer, entry.data(), entry.size());
    std::vector<unsigned char> trailer;
    PutU32(&trailer, imageBytes);
    PutU32(&trailer, static_cast<uint32_t>(directory.size()));
    PutU32(&trailer, static_cast<uint32_t>(record.size()));
    PutU32(&trailer, writer.sum);
    trailer.insert(trailer.end(), PACKAGE_MAGIC, PACKAGE_MAGIC + 8);
    writer.ok = writer.ok && std::fwrite(trailer.data(), 1, 24, writer.out) == 24;
    return std::fclose(writer.out) == 0 && writer.ok;
}

// ---- Timing ----------------------------------------------------------------------

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Case {
    std::string name;
    uint32_t viewSize; // of the stub's open; 0 for the reference passes
    std::vector<double> seconds;
};

// The stub's open of path in views of viewSize bytes; false when it failed.
bool StubOpen(const char *path, uint32_t viewSize) {
    packageViewSize = viewSize;
    bool opened = PackageOpenFileInViews(path) == 1;
    PackageClose();
    packageViewSize = PACKAGE_VIEW_SIZE;
    return opened;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: open_speed INSTALLER_PATH [ROUNDS [VIEW_KIB...]]\n");
        return 2;
    }
    const char *path = argv[1];
    std::string smallPath = std::string(path) + ".small.exe";
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    if (!PlatformProcessorHasSse2()) {
        std::fprintf(stderr, "the reference pass needs SSE2\n");
        return 1;
    }
    RegionHeapInit();
    if (!WriteInstaller(path, kImageBytes) ||
        !WriteInstaller(smallPath.c_str(), kSmallImageBytes)) {
        std::fprintf(stderr, "cannot write %s\n", path);
        return 1;
    }
    bool ok = true;
    uint32_t fileSum = RefSum(path, kImageBytes * 2u, &ok); // into the file cache
    RefSum(smallPath.c_str(), kImageBytes, &ok);
    // cases[0..2] as before; then a stub row per view size asked for; the
    // small installer's open last.
    std::vector<Case> cases = {{"stub (PackageOpenFileInViews)", PACKAGE_VIEW_SIZE, {}},
                               {"whole file, psadbw", 0, {}},
                               {"views of the stub's size, psadbw", 0, {}}};
    for (int i = 3; i < argc; i++) {
        uint32_t kib = static_cast<uint32_t>(std::max(1, std::atoi(argv[i])));
        cases.push_back({"stub in views of " + std::to_string(kib) + " KiB", kib << 10, {}});
    }
    cases.push_back({"small: 64 KiB installer, per open", PACKAGE_VIEW_SIZE, {}});
    size_t count = cases.size();
    std::vector<double> shares;
    for (int round = 0; round < rounds && ok; round++) {
        std::vector<double> taken(count, 0);
        for (size_t step = 0; step < count && ok; step++) {
            size_t which = (step + static_cast<size_t>(round)) % count; // each goes first in turn
            auto start = std::chrono::steady_clock::now();
            if (which == count - 1) {
                for (int open = 0; open < kSmallOpens && ok; open++) {
                    ok = StubOpen(smallPath.c_str(), PACKAGE_VIEW_SIZE);
                }
            } else if (cases[which].viewSize != 0) {
                ok = StubOpen(path, cases[which].viewSize);
            } else {
                ok = RefSum(path, which == 1 ? kImageBytes * 2u : kViewBytes, &ok) == fileSum && ok;
            }
            taken[which] =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        taken[count - 1] /= kSmallOpens;
        for (size_t i = 0; i < count; i++) {
            cases[i].seconds.push_back(taken[i]);
        }
        shares.push_back(taken[1] / taken[0]);
    }
    std::remove(path);
    std::remove(smallPath.c_str());
    if (!ok) {
        std::fprintf(stderr, "an open or a pass failed\n");
        return 1;
    }
    std::printf("open of a 512 MiB installer, median of %d rounds\n", rounds);
    double whole = Median(cases[1].seconds);
    for (size_t i = 0; i + 1 < count; i++) {
        double median = Median(cases[i].seconds);
        std::printf("  %-33s %7.1f ms  %6.2f GiB/s  %.2f of the whole-file pass\n",
                    cases[i].name.c_str(), median * 1e3, 0.5 / median, whole / median);
    }
    std::printf("  %-33s %7.1f us\n", cases[count - 1].name.c_str(),
                Median(cases[count - 1].seconds) * 1e6);
    std::sort(shares.begin(), shares.end());
    std::printf("  stub's share per round: %.2f to %.2f (goal: 0.90 or more)\n", shares.front(),
                shares.back());
    return 0;
}
