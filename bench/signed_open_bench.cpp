// Opening a signed installer against an unsigned one of the same size
// (about 500 MiB, mapped from a file): the signed open reads the PE headers,
// finds the package behind the certificate table and sums around the 12
// bytes that signing rewrites. Target: no measurable difference; compare
// the medians of the two cases, which run interleaved in one process.
#include "heap/region_heap.h"
#include "package/package.h"
#include "qpack/package_writer.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "pe_bytes.h"

namespace {

const size_t kImageBytes = 500u << 20;

const bool heapReady = (RegionHeapInit(), true);

// The two installers as temporary files, removed at exit. The bulk is a
// large image (the package sum covers it like any other byte), so that
// making them takes no compression.
struct InstallerFiles {
    std::string unsignedPath, signedPath;

    InstallerFiles() {
        std::filesystem::path folder = std::filesystem::temp_directory_path();
        unsignedPath = (folder / "qunpack_bench_unsigned.exe").string();
        signedPath = (folder / "qunpack_bench_signed.exe").string();
        PackageBytes stub = TestPeImage();
        size_t head = stub.size();
        stub.resize(kImageBytes);
        uint64_t state = 0x2545F4914F6CDD1Dull;
        for (size_t i = head; i < stub.size(); i++) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            stub[i] = static_cast<unsigned char>(state >> 56);
        }
        std::string text = "a signed installer opens as fast as an unsigned one";
        PackageBytes installer;
        std::string error;
        if (!PackageWrite(stub, {{"\\readme.txt", PackageBytes(text.begin(), text.end())}},
                          PackageWriterOptions(), &installer, &error) ||
            !PackageWriteFile(unsignedPath, installer, &error)) {
            std::fprintf(stderr, "cannot write the installer: %s\n", error.c_str());
            return;
        }
        // What a signing tool does: padding to 8 bytes, a table, the
        // directory entry and a CheckSum.
        installer.resize((installer.size() + 7) / 8 * 8, 0);
        uint32_t table = static_cast<uint32_t>(installer.size());
        // One WIN_CERTIFICATE record: a DER SEQUENCE of 2036 bytes fills it.
        installer.resize(installer.size() + 2048, 0xA5);
        PutLittleEndian(&installer, table, 2048, 4);
        PutLittleEndian(&installer, table + 4, 0x00020200, 4);
        PutLittleEndian(&installer, table + 8, 0xF4078230, 4);
        PutLittleEndian(&installer, TestPeCertificateEntryOffset(), table, 4);
        PutLittleEndian(&installer, TestPeCertificateEntryOffset() + 4, 2048, 4);
        PutLittleEndian(&installer, TestPeCheckSumOffset(), 0x1234567, 4);
        PackageWriteFile(signedPath, installer, &error);
    }
    ~InstallerFiles() {
        std::remove(unsignedPath.c_str());
        std::remove(signedPath.c_str());
    }
};

const InstallerFiles &Files() {
    static InstallerFiles files;
    return files;
}

void OpenRepeatedly(benchmark::State &state, const std::string &path) {
    for (auto _ : state) {
        if (!PackageOpenFile(path.c_str())) {
            state.SkipWithError("the installer does not open");
            break;
        }
        PackageClose();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageBytes);
}

void BM_OpenUnsigned500MiB(benchmark::State &state) {
    OpenRepeatedly(state, Files().unsignedPath);
}
void BM_OpenSigned500MiB(benchmark::State &state) {
    OpenRepeatedly(state, Files().signedPath);
}

BENCHMARK(BM_OpenUnsigned500MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSigned500MiB)->Unit(benchmark::kMillisecond);

} // namespace
