// Peak resident memory of `qpack extract` against a plain inflate-and-write
// program, natively (make bench-memory). A plain program, not a test.
//
//   extract_memory QPACK INSTALLER OUTPUT_FOLDER [ROUNDS]
//
// Each round runs, in alternating order and each in a process of its own:
//   qpack   `QPACK extract -o OUTPUT_FOLDER/qpack INSTALLER`
//   plain   this program as the floor: the trailer and the directory read
//           with pread, then every entry's stream read into one buffer,
//           inflated with zlib's uncompress into another (each as large as
//           the largest entry needs) and written with one write().
// and takes each one's peak resident set from wait4. It prints the medians
// and their ratio (goal: qpack at 1.10 of the floor or less). The output
// folders are removed after each run.
#include "child_process.h"
#include "package/package.h"

#include <zlib.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool ReadAt(int file, void *buffer, size_t count, off_t offset) {
    unsigned char *bytes = static_cast<unsigned char *>(buffer);
    while (count > 0) {
        ssize_t got = pread(file, bytes, count, offset);
        if (got <= 0) {
            return false;
        }
        bytes += got;
        count -= static_cast<size_t>(got);
        offset += got;
    }
    return true;
}

// The floor: returns 0 when every entry was written.
int PlainExtract(const char *installer, const std::string &folder) {
    int file = open(installer, O_RDONLY);
    struct stat status;
    unsigned char tail[PACKAGE_TRAILER_SIZE];
    PackageTrailer trailer;
    if (file < 0 || fstat(file, &status) != 0 ||
        !ReadAt(file, tail, sizeof tail, status.st_size - PACKAGE_TRAILER_SIZE) ||
        !PackageTrailerDecode(tail, &trailer)) {
        return 1;
    }
    std::vector<unsigned char> stream(trailer.directoryCompressedSize);
    std::vector<unsigned char> directory(trailer.directorySize);
    uLongf size = trailer.directorySize;
    if (!ReadAt(file, stream.data(), stream.size(), trailer.directoryOffset) ||
        uncompress(directory.data(), &size, stream.data(), stream.size()) != Z_OK) {
        return 1;
    }
    uint32_t dataStart = trailer.directoryOffset + trailer.directoryCompressedSize;
    uint32_t largestStream = 0, largest = 0;
    const DirectoryRecord *first = reinterpret_cast<const DirectoryRecord *>(directory.data());
    for (const DirectoryRecord *r = first; r != nullptr;) {
        largestStream = std::max(largestStream, DirectoryRecordCompressedSize(r));
        largest = std::max(largest, DirectoryRecordSize(r));
        uint32_t length = DirectoryRecordLength(r);
        r = length != 0 ? reinterpret_cast<const DirectoryRecord *>(
                              reinterpret_cast<const unsigned char *>(r) + length)
                        : nullptr;
    }
    std::vector<unsigned char> input(largestStream + 1), output(largest + 1);
    for (const DirectoryRecord *r = first; r != nullptr;) {
        if (!DirectoryRecordIsInternal(r)) {
            std::string path = folder + DirectoryRecordName(r);
            std::replace(path.begin(), path.end(), '\\', '/');
            fs::create_directories(fs::path(path).parent_path());
            uLongf produced = DirectoryRecordSize(r);
            int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 ||
                !ReadAt(file, input.data(), DirectoryRecordCompressedSize(r),
                        dataStart + DirectoryRecordDataOffset(r)) ||
                uncompress(output.data(), &produced, input.data(),
                           DirectoryRecordCompressedSize(r)) != Z_OK ||
                write(out, output.data(), produced) != static_cast<ssize_t>(produced) ||
                close(out) != 0) {
                return 1;
            }
        }
        uint32_t length = DirectoryRecordLength(r);
        r = length != 0 ? reinterpret_cast<const DirectoryRecord *>(
                              reinterpret_cast<const unsigned char *>(r) + length)
                        : nullptr;
    }
    close(file);
    return 0;
}

// Runs argv; returns its peak resident set in KiB, or -1 when it failed.
long PeakOf(const std::vector<std::string> &args) {
    long peak;
    return ChildRun(args, &peak) == 0 ? peak : -1;
}

double MedianMiB(std::vector<long> values) {
    std::sort(values.begin(), values.end());
    return static_cast<double>(values[values.size() / 2]) / 1024;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::string(argv[1]) == "--plain") {
        return PlainExtract(argv[2], argv[3]);
    }
    if (argc < 4) {
        std::fprintf(stderr, "usage: extract_memory QPACK INSTALLER OUTPUT_FOLDER [ROUNDS]\n");
        return 2;
    }
    std::string self = fs::canonical("/proc/self/exe").string();
    std::string installer = argv[2], output = argv[3];
    int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;
    std::vector<long> qpack, plain;
    for (int round = 0; round < rounds; round++) {
        for (int step = 0; step < 2; step++) {
            bool qpackTurn = (step + round) % 2 == 0;
            std::string folder = output + (qpackTurn ? "/qpack" : "/plain");
            fs::remove_all(folder);
            long peak = qpackTurn ? PeakOf({argv[1], "extract", "-o", folder, installer})
                                  : PeakOf({self, "--plain", installer, folder});
            fs::remove_all(folder);
            if (peak < 0) {
                std::fprintf(stderr, "%s failed\n", qpackTurn ? "qpack extract" : "the floor");
                return 1;
            }
            (qpackTurn ? qpack : plain).push_back(peak);
        }
    }
    double q = MedianMiB(qpack), p = MedianMiB(plain);
    std::printf("peak resident set, median of %d rounds: qpack extract %.1f MiB, plain "
                "inflate-and-write %.1f MiB, ratio %.2f (goal: 1.10 or less)\n",
                rounds, q, p, q / p);
    return 0;
}
