// Install throughput of the extraction engine.
//
// Corpus: about 200 MB in about 2,000 files of four kinds (text-like,
// random, zeros, repetitive), made from a fixed seed, packed by the writer
// at level 9 and zipped with `zip -9`. Kept between runs in
// $QUNPACK_BENCH_DIR (default: <temp>/qunpack-extract-bench).
//
// Ways of putting the files on disk, each into a folder of its own, the
// disk synced outside the timed part (all folders are removed at the end):
//   Engine           ExtractAllFiles on the mapped installer, as the stub
//                    runs it.
//   Floor            the same streams inflated with plain zlib (uncompress)
//                    into one reused buffer and written with open/write/close
//                    into folders made beforehand: nothing but the
//                    unavoidable work.
//   FloorRegionHeap  the floor with each entry's block taken from the region
//                    heap and given back after its write, as the engine does:
//                    what the heap's policy costs, apart from the engine.
//   Unzip            `unzip -q` of the zip, the process start included.
// Targets: Engine within 1.10x of Floor, and faster than Unzip.
//
// Memory: the engine's peak resident set in a process of its own that only
// opens the installer and extracts it, against the largest entry plus
// 4 MiB. The installer's mapped view is resident once its package sum has
// been taken, so the growth during the extraction is reported as well.
#include "heap/region_heap.h"
#include "package/extract.h"
#include "package/package.h"
#include "qpack/package_writer.h"
#include "child_process.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kCorpusStamp[] = "corpus-v1"; // change when the corpus recipe changes
const size_t kFiles = 2000;
const size_t kLargeFiles[] = {2u << 20, 4u << 20, 6u << 20, 8u << 20};

fs::path BenchFolder() {
    const char *folder = getenv("QUNPACK_BENCH_DIR");
    return folder != nullptr ? fs::path(folder)
                             : fs::temp_directory_path() / "qunpack-extract-bench";
}

// ---- Corpus ----------------------------------------------------------------------------

PackageBytes MakeContent(std::mt19937_64 &random, size_t size, int kind) {
    PackageBytes bytes(size);
    switch (kind) {
        case 0: { // text-like: words, spaces and line breaks
            static const char *const words[] = {"the ",       "install ",  "package ",  "window ",
                                                "of ",        "and ",      "Quorvane ", "file ",
                                                "data ",      "progress ", "\r\n",      "setup ",
                                                "to ",        "value = ",  "error ",    "0x1f3a ",
                                                "directory ", "shell ",    "registry ", "bitmap "};
            size_t at = 0;
            while (at < size) {
                const char *word = words[random() % 20];
                for (; *word != 0 && at < size; word++) {
                    bytes[at++] = static_cast<unsigned char>(*word);
                }
            }
            break;
        }
        case 1: // random: incompressible
            for (size_t i = 0; i < size; i += 8) {
                uint64_t value = random();
                memcpy(&bytes[i], &value, std::min<size_t>(8, size - i));
            }
            break;
        case 2: // zeros
            break;
        default: { // repetitive: one short random record over and over
            unsigned char record[61];
            for (unsigned char &byte : record) {
                byte = static_cast<unsigned char>(random());
            }
            for (size_t i = 0; i < size; i++) {
                bytes[i] = record[i % sizeof record];
            }
        }
    }
    return bytes;
}

// 1,996 files of log-uniform size from 200 bytes to 800 KB in 40 folders at
// depths 1 to 3, and four large ones.
std::vector<PackageWriterEntry> MakeCorpus() {
    std::mt19937_64 random(20240601);
    std::vector<PackageWriterEntry> entries;
    const size_t smallFiles = kFiles - sizeof kLargeFiles / sizeof kLargeFiles[0];
    for (size_t i = 0; i < smallFiles; i++) {
        double exponent = std::log(200.0) + (std::log(800e3) - std::log(200.0)) *
                                                static_cast<double>(random() % 1000000) / 1e6;
        size_t size = static_cast<size_t>(std::exp(exponent));
        size_t folder = random() % 40;
        std::string name = "\\d" + std::to_string(folder % 8);
        if (folder >= 8) {
            name += "\\e" + std::to_string(folder % 5);
        }
        if (folder >= 24) {
            name += "\\f" + std::to_string(folder);
        }
        int kinds[] = {0, 0, 0, 0, 1,
                       1, 1, 2, 3, 3}; // 40% text, 30% random, 10% zeros, 20% repetitive
        int kind = kinds[random() % 10];
        name += "\\file" + std::to_string(i) + (kind == 0 ? ".txt" : ".bin");
        entries.push_back({name, MakeContent(random, size, kind)});
    }
    for (size_t i = 0; i < sizeof kLargeFiles / sizeof kLargeFiles[0]; i++) {
        entries.push_back({"\\large\\large" + std::to_string(i) + ".dat",
                           MakeContent(random, kLargeFiles[i], static_cast<int>(i % 4))});
    }
    return entries;
}

// Every core.
bool CompressInParallel(const PackageWriterEntry *const *entries, size_t count,
                        PackageCompression compression, PackageBytes *streams) {
    std::vector<std::thread> threads;
    std::vector<char> ok(std::max(1u, std::thread::hardware_concurrency()), 1);
    for (size_t t = 0; t < ok.size(); t++) {
        threads.emplace_back([&, t] {
            for (size_t i = t; i < count; i += ok.size()) {
                if (!PackageCompress(entries[i]->data.data(), entries[i]->data.size(), &streams[i],
                                     compression)) {
                    ok[t] = 0;
                }
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    return std::count(ok.begin(), ok.end(), 0) == 0;
}

std::string RelativeOf(const std::string &name) {
    std::string relative = name.substr(1);
    std::replace(relative.begin(), relative.end(), '\\', '/');
    return relative;
}

int RunQuietly(const std::string &command) {
    return system((command + " >/dev/null 2>&1").c_str());
}

// Makes the corpus files, the installer and the zip once.
bool CorpusPrepare(const fs::path &folder) {
    if (fs::exists(folder / kCorpusStamp)) {
        return true;
    }
    fprintf(stderr, "making the corpus in %s (once)...\n", folder.c_str());
    fs::remove_all(folder);
    std::vector<PackageWriterEntry> entries = MakeCorpus();
    for (const PackageWriterEntry &entry : entries) {
        fs::path path = folder / "files" / RelativeOf(entry.name);
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(entry.data.data()),
                   static_cast<std::streamsize>(entry.data.size()));
    }
    PackageWriterOptions options;
    options.compressEntries = CompressInParallel;
    PackageBytes installer;
    std::string error;
    if (!PackageWrite(PackageBytes{'M', 'Z'}, entries, options, &installer, &error) ||
        !PackageWriteFile((folder / "corpus.exe").string(), installer, &error)) {
        fprintf(stderr, "cannot build the installer: %s\n", error.c_str());
        return false;
    }
    if (RunQuietly("cd '" + (folder / "files").string() + "' && zip -9 -q -r ../corpus.zip .") !=
        0) {
        fprintf(stderr, "zip -9 failed (is zip installed?)\n");
        return false;
    }
    std::ofstream(folder / kCorpusStamp) << "ready\n";
    return true;
}

struct Corpus {
    fs::path folder;
    fs::path installer;
    uint64_t bytes = 0;
    uint32_t largest = 0;
    uint64_t installerBytes = 0;
    std::vector<std::string> folders; // relative, for the floor
};

Corpus corpus;

bool CorpusOpen() {
    corpus.folder = BenchFolder();
    if (!CorpusPrepare(corpus.folder)) {
        return false;
    }
    corpus.installer = corpus.folder / "corpus.exe";
    fs::remove_all(corpus.folder / "out"); // left by a run that was stopped
    corpus.installerBytes = fs::file_size(corpus.installer);
    if (!PackageOpenFile(corpus.installer.c_str())) {
        fprintf(stderr, "cannot open %s\n", corpus.installer.c_str());
        return false;
    }
    for (const DirectoryRecord *record = PackageFirstRecord(); record != nullptr;
         record = PackageNextRecord(record)) {
        uint32_t size = DirectoryRecordSize(record);
        corpus.bytes += size;
        corpus.largest = std::max(corpus.largest, size);
        std::string relative = RelativeOf(DirectoryRecordName(record));
        corpus.folders.push_back(relative.substr(0, relative.rfind('/')));
    }
    std::sort(corpus.folders.begin(), corpus.folders.end());
    corpus.folders.erase(std::unique(corpus.folders.begin(), corpus.folders.end()),
                         corpus.folders.end());
    return true;
}

// ---- The three ways ------------------------------------------------------------------

// Every run writes into a folder of its own, and all of them are removed
// only at the end: on ext4 without a journal, creating files shortly after
// thousands were deleted makes every new inode skip the recently freed ones,
// which would time the file system's bookkeeping of the previous run rather
// than the run itself.
fs::path FreshTarget() {
    static int run = 0;
    fs::path target = corpus.folder / "out" / ("run" + std::to_string(run++));
    fs::create_directories(target);
    return target;
}

// Writes back what the run left dirty, outside the timing.
void TargetDispose(const fs::path &) {
    sync();
}

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void NoProgress(const char *, float) {}

void Engine(benchmark::State &state) {
    for (auto _ : state) {
        fs::path target = FreshTarget();
        std::string installDirectory = target.string() + "\\installed";
        auto start = std::chrono::steady_clock::now();
        ExtractionReport report = {};
        ExtractAllFiles(installDirectory.c_str(), NoProgress, &report);
        state.SetIterationTime(Seconds(start));
        if (report.failed != 0 || report.files != kFiles) {
            state.SkipWithError("the engine did not write every file");
        }
        TargetDispose(target);
    }
}

bool FloorWrite(const std::string &path, const unsigned char *bytes, size_t size) {
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (file < 0) {
        return false;
    }
    bool written = write(file, bytes, size) == static_cast<ssize_t>(size);
    return close(file) == 0 && written;
}

// One entry of the floor: inflated into block, written to a new file.
bool FloorEntry(const std::string &prefix, const DirectoryRecord *record, unsigned char *block) {
    uLongf size = DirectoryRecordSize(record);
    return uncompress(block, &size, PackageEntryStream(record),
                      DirectoryRecordCompressedSize(record)) == Z_OK &&
           FloorWrite(prefix + RelativeOf(DirectoryRecordName(record)), block, size);
}

// The floor; with fromRegionHeap each entry's block comes from the region
// heap and goes back after its write, as the engine's do, which shows what
// the heap's policy (every emptied region goes back to the system at once)
// costs apart from the engine's own work.
void FloorRun(benchmark::State &state, bool fromRegionHeap) {
    std::vector<unsigned char> buffer(corpus.largest);
    for (auto _ : state) {
        fs::path target = FreshTarget();
        for (const std::string &folder : corpus.folders) {
            fs::create_directories(target / "installed" / folder);
        }
        std::string prefix = (target / "installed").string() + "/";
        bool ok = true;
        auto start = std::chrono::steady_clock::now();
        for (const DirectoryRecord *record = PackageFirstRecord(); record != nullptr;
             record = PackageNextRecord(record)) {
            if (!fromRegionHeap) {
                ok &= FloorEntry(prefix, record, buffer.data());
                continue;
            }
            void *block = RegionHeapAlloc(DirectoryRecordSize(record));
            ok &=
                block != nullptr && FloorEntry(prefix, record, static_cast<unsigned char *>(block));
            RegionHeapFree(block);
        }
        state.SetIterationTime(Seconds(start));
        if (!ok) {
            state.SkipWithError("the floor did not write every file");
        }
        TargetDispose(target);
    }
}

void Floor(benchmark::State &state) {
    FloorRun(state, false);
}

void FloorRegionHeap(benchmark::State &state) {
    FloorRun(state, true);
}

void Unzip(benchmark::State &state) {
    long peak = 0;
    for (auto _ : state) {
        fs::path target = FreshTarget();
        auto start = std::chrono::steady_clock::now();
        int status = ChildRun({"unzip", "-q", (corpus.folder / "corpus.zip").string(), "-d",
                               (target / "installed").string()},
                              &peak);
        state.SetIterationTime(Seconds(start));
        if (status != 0) {
            state.SkipWithError("unzip failed (is unzip installed?)");
        }
        TargetDispose(target);
    }
    state.counters["peak_rss_MiB"] = static_cast<double>(peak) / 1024;
}

// ---- Memory ------------------------------------------------------------------------------

long StatusKiB(const char *field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) {
            return atol(line.c_str() + strlen(field));
        }
    }
    return 0;
}

// The child's whole run: open the installer, extract it, report the peak
// resident set and its growth during the extraction on stdout's place.
int ExtractOnce(const char *installer, const char *installDirectory, const char *reportPath) {
    RegionHeapInit();
    if (!PackageOpenFile(installer)) {
        return 1;
    }
    std::ofstream("/proc/self/clear_refs") << "5"; // the peak starts again from here
    long before = StatusKiB("VmRSS:");
    struct rusage usageBefore, usageAfter;
    getrusage(RUSAGE_SELF, &usageBefore);
    ExtractionReport report = {};
    auto start = std::chrono::steady_clock::now();
    ExtractAllFiles(installDirectory, NoProgress, &report);
    double seconds = Seconds(start);
    getrusage(RUSAGE_SELF, &usageAfter);
    long peak = StatusKiB("VmHWM:");
    std::ofstream(reportPath) << before << " " << peak << " "
                              << usageAfter.ru_minflt - usageBefore.ru_minflt << " " << seconds
                              << "\n";
    PackageClose();
    return report.failed == 0 ? 0 : 1;
}

struct MemoryFigures {
    double peakMiB = 0;   // whole process, from wait4
    double growthMiB = 0; // during the extraction alone
};

MemoryFigures MeasureEngineMemory(const char *self) {
    MemoryFigures figures;
    fs::path target = FreshTarget();
    std::string installDirectory = target.string() + "\\installed";
    fs::path reportPath = corpus.folder / "memory.txt";
    long peak = 0;
    if (ChildRun({self, "--extract-once", corpus.installer.string(), installDirectory,
                  reportPath.string()},
                 &peak) == 0) {
        long before = 0, high = 0;
        std::ifstream(reportPath) >> before >> high;
        figures.peakMiB = static_cast<double>(peak) / 1024;
        figures.growthMiB = static_cast<double>(high - before) / 1024;
    }
    TargetDispose(target);
    return figures;
}

// ---- Report --------------------------------------------------------------------------

// Keeps the median real time of each benchmark for the summary.
class MedianRecorder : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> medianSeconds;
    std::map<std::string, double> medianPeak;

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                std::string name = run.run_name.function_name;
                medianSeconds[name] = run.GetAdjustedRealTime() / 1e3; // milliseconds
                auto peak = run.counters.find("peak_rss_MiB");
                if (peak != run.counters.end()) {
                    medianPeak[name] = peak->second;
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void PrintSummary(const MedianRecorder &recorder, const MemoryFigures &memory) {
    auto median = [&](const char *name) {
        auto found = recorder.medianSeconds.find(name);
        return found != recorder.medianSeconds.end() ? found->second : 0.0;
    };
    double engine = median("Engine"), floor = median("Floor"), unzip = median("Unzip");
    double floorHeap = median("FloorRegionHeap");
    double megabytes = static_cast<double>(corpus.bytes) / 1e6;
    printf("\ncorpus: %zu files, %.1f MB, largest entry %.1f MiB, installer %.1f MB\n", kFiles,
           megabytes, corpus.largest / 1048576.0, static_cast<double>(corpus.installerBytes) / 1e6);
    printf(
        "medians: engine %.3f s (%.0f MB/s), floor %.3f s (%.0f MB/s), unzip %.3f s (%.0f MB/s)\n",
        engine, megabytes / engine, floor, megabytes / floor, unzip, megabytes / unzip);
    printf("engine / floor = %.3f (target <= 1.10), engine / unzip = %.3f (target < 1)\n",
           engine / floor, engine / unzip);
    printf("floor with region-heap blocks %.3f s: engine / it = %.3f, it / floor = %.3f\n",
           floorHeap, engine / floorHeap, floorHeap / floor);
    double limit = corpus.largest / 1048576.0 + 4;
    printf("engine peak RSS: %.1f MiB in all, of which the mapped installer %.1f MiB;\n"
           "  growth during extraction %.1f MiB (target <= largest entry + 4 MiB = %.1f MiB)\n",
           memory.peakMiB, static_cast<double>(corpus.installerBytes) / 1048576.0, memory.growthMiB,
           limit);
    auto unzipPeak = recorder.medianPeak.find("Unzip");
    if (unzipPeak != recorder.medianPeak.end()) {
        printf("unzip peak RSS: %.1f MiB\n", unzipPeak->second);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 5 && strcmp(argv[1], "--extract-once") == 0) {
        return ExtractOnce(argv[2], argv[3], argv[4]);
    }
    // Repetitions in random order, so that drift in the machine's state
    // falls on all three alike.
    std::vector<char *> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());

    RegionHeapInit();
    if (!CorpusOpen()) {
        return 1;
    }
    for (auto way :
         {std::make_pair("Engine", Engine), std::make_pair("Floor", Floor),
          std::make_pair("FloorRegionHeap", FloorRegionHeap), std::make_pair("Unzip", Unzip)}) {
        benchmark::RegisterBenchmark(way.first, way.second)
            ->Iterations(1)
            ->Repetitions(5)
            ->ReportAggregatesOnly(true)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    MedianRecorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    MemoryFigures memory = MeasureEngineMemory("/proc/self/exe");
    PrintSummary(recorder, memory);
    PackageClose();
    fs::remove_all(corpus.folder / "out");
    return 0;
}
