// What the commands share: whole files, files written in one step, streamed
// inflation and the worker threads.
#include "package/package.h"
#include "qpack/package_writer.h"
#include "qpack/qpack_files.h"
#include "qpack/qpack_inflation.h"
#include "qpack/qpack_messages.h"
#include "qpack/qpack_threads.h"

#include <stdio.h>
#include <zlib.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

// ---- Files ---------------------------------------------------------------------------

static bool FileFail(std::string *error, const std::string &message) {
    *error = message;
    return false;
}

bool FileRead(const fs::path &path, const std::string &displayName, PackageBytes *bytes,
              std::string *error) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        return FileFail(error, "cannot open " + Quoted(displayName));
    }
    std::streamoff length = file.tellg();
    if (length < 0) {
        return FileFail(error, "cannot read " + Quoted(displayName));
    }
    bytes->resize(static_cast<size_t>(length));
    file.seekg(0);
    file.read(reinterpret_cast<char *>(bytes->data()), static_cast<std::streamsize>(length));
    if (!file || file.peek() != std::ifstream::traits_type::eof()) {
        return FileFail(error, "cannot read " + Quoted(displayName) + " (did it change?)");
    }
    return true;
}

#ifdef _WIN32

fs::path RealPath(const fs::path &path, std::error_code &failure) {
    const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileW(path.c_str(), 0, sharing, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr); // folders too
    if (file == INVALID_HANDLE_VALUE) {
        failure = std::error_code(static_cast<int>(GetLastError()), std::system_category());
        return fs::path();
    }
    std::wstring real(MAX_PATH, L'\0');
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    DWORD length =
        GetFinalPathNameByHandleW(file, &real[0], static_cast<DWORD>(real.size()), flags);
    if (length >= real.size()) { // too small: length is the size it needs
        real.resize(length);
        length = GetFinalPathNameByHandleW(file, &real[0], static_cast<DWORD>(real.size()), flags);
    }
    DWORD lastError = GetLastError();
    CloseHandle(file);
    if (length == 0 || length >= real.size()) {
        failure = std::error_code(static_cast<int>(lastError), std::system_category());
        return fs::path();
    }
    real.resize(length);
    failure.clear();
    return fs::path(real);
}

#else

fs::path RealPath(const fs::path &path, std::error_code &failure) {
    return fs::canonical(path, failure);
}

#endif

// A name beside path that nothing uses yet, in the same folder so that the
// final rename stays within one file system.
fs::path FileTemporarySibling(const fs::path &path) {
    static std::atomic<unsigned> counter{0};
    uint64_t stamp =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (;;) {
        char suffix[48];
        snprintf(suffix, sizeof suffix, ".qpack-%08x%04x.tmp",
                 static_cast<unsigned>(stamp ^ (stamp >> 32)), counter++ & 0xffff);
        fs::path candidate = path;
        candidate += suffix;
        std::error_code ignored;
        if (!fs::exists(fs::symlink_status(candidate, ignored))) {
            return candidate;
        }
    }
}

bool FileWriteAtomically(const fs::path &path, const std::string &displayName,
                         const FileWriter &write, std::string *error, const FileChecker &check) {
    fs::path temporary = FileTemporarySibling(path);
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
        std::error_code ignored;
        bool folderMissing = !fs::is_directory(fs::absolute(path, ignored).parent_path(), ignored);
        return FileFail(error, "cannot create " + Quoted(displayName) +
                                   (folderMissing ? ": its folder does not exist"
                                                  : " or a temporary file beside it"));
    }
    bool written = write(out, error);
    if (written) {
        out.flush();
        if (!out) {
            written = FileFail(error, "cannot write " + Quoted(displayName) + " (disk full?)");
        }
    }
    out.close();
    if (written && !out) {
        written = FileFail(error, "cannot write " + Quoted(displayName) + " (disk full?)");
    }
    if (written && check) {
        written = check(temporary, error);
    }
    std::error_code failure;
    if (written) {
        fs::rename(temporary, path, failure);
        if (failure) {
            written =
                FileFail(error, "cannot replace " + Quoted(displayName) + ": " + failure.message());
        }
    }
    if (!written) {
        fs::remove(temporary, failure);
    }
    return written;
}

// ---- Streamed inflation ----------------------------------------------------------------

static uint32_t ByteSumAdd(uint32_t sum, const unsigned char *bytes, size_t count) {
    for (size_t i = 0; i < count; i++) {
        sum += bytes[i];
    }
    return sum;
}

// Hands the part of a fresh piece that is within the limit to the sink.
static bool InflationDeliver(InflationResult *result, const unsigned char *piece, size_t count,
                             uint32_t limit, const InflationSink &sink) {
    uint64_t room = result->produced < limit ? limit - result->produced : 0;
    size_t wanted = static_cast<size_t>(std::min<uint64_t>(count, room));
    result->produced += count;
    result->sum = ByteSumAdd(result->sum, piece, wanted);
    return !sink || wanted == 0 || sink(piece, wanted);
}

static InflationOutcome InflationOutcomeOf(int status) {
    switch (status) {
        case Z_STREAM_END:
            return INFLATION_COMPLETE;
        case Z_MEM_ERROR:
            return INFLATION_NO_MEMORY;
        case Z_BUF_ERROR:
            return INFLATION_CUT_SHORT; // no input left, and the output had room
        default:
            return INFLATION_CORRUPT;
    }
}

// Each worker maps a stream's bytes in views of at most this size: verify
// inflates on every core at once, and a 32-bit qpack.exe must leave room.
const uint32_t QPACK_STREAM_VIEW_MAX = 16u << 20;

// The state of one InflatePackageBytes: where the bytes not yet mapped lie.
struct StreamViews {
    PlatformView view; // the view that next_in points into
    uint32_t nextOffset;
    uint32_t left;
};

// Gives z the next view of the stream when it has used up the last one.
static bool StreamViewsFeed(StreamViews *views, z_stream *z) {
    if (z->avail_in != 0 || views->left == 0) {
        return true;
    }
    PackageFileBytesUnmap(&views->view);
    uint32_t count = std::min({packageViewSize, QPACK_STREAM_VIEW_MAX, views->left});
    const unsigned char *bytes = PackageFileBytesMap(views->nextOffset, count, &views->view);
    if (bytes == nullptr) {
        return false;
    }
    z->next_in = const_cast<Bytef *>(bytes);
    z->avail_in = count;
    views->nextOffset += count;
    views->left -= count;
    return true;
}

InflationResult InflatePackageBytes(uint32_t offset, uint32_t length, uint32_t limit,
                                    const InflationSink &sink) {
    InflationResult result;
    z_stream z = z_stream();
    if (inflateInit(&z) != Z_OK) {
        result.outcome = INFLATION_NO_MEMORY;
        return result;
    }
    static unsigned char noInput = 0;
    z.next_in = &noInput;
    StreamViews views = {{nullptr, 0}, offset, length};
    std::vector<unsigned char> piece(1 << 16);
    for (;;) {
        if (!StreamViewsFeed(&views, &z)) {
            result.outcome = INFLATION_NOT_MAPPED;
            break;
        }
        z.next_out = piece.data();
        z.avail_out = static_cast<uInt>(piece.size());
        int status = inflate(&z, Z_NO_FLUSH);
        size_t count = piece.size() - z.avail_out;
        if (!InflationDeliver(&result, piece.data(), count, limit, sink)) {
            result.outcome = INFLATION_SINK_FAILED;
            break;
        }
        if (result.produced > limit) {
            result.outcome = INFLATION_TOO_LONG;
            break;
        }
        if (status != Z_OK) {
            result.outcome = InflationOutcomeOf(status);
            if (z.msg != nullptr) {
                result.zlibMessage = z.msg;
            }
            break;
        }
    }
    inflateEnd(&z);
    PackageFileBytesUnmap(&views.view);
    return result;
}

InflationResult InflateEntry(const DirectoryRecord *record, const InflationSink &sink) {
    return InflatePackageBytes(packageReader.dataStart + DirectoryRecordDataOffset(record),
                               DirectoryRecordCompressedSize(record), DirectoryRecordSize(record),
                               sink);
}

std::string InflationProblem(const InflationResult &result, uint32_t size, uint32_t dataSum) {
    std::string produced = std::to_string(result.produced);
    switch (result.outcome) {
        case INFLATION_CORRUPT:
            return "its stream is corrupt after " + produced + " bytes (zlib: " +
                   (result.zlibMessage.empty() ? "invalid data" : result.zlibMessage) + ")";
        case INFLATION_CUT_SHORT:
            return "its stream ends early, after " + produced + " of its " + std::to_string(size) +
                   " bytes";
        case INFLATION_TOO_LONG:
            return "its stream inflates to more than its size of " + std::to_string(size) +
                   " bytes";
        case INFLATION_NO_MEMORY:
            return "out of memory while inflating it";
        case INFLATION_SINK_FAILED:
            return "its bytes could not be written";
        case INFLATION_NOT_MAPPED:
            return "its stream could not be read from the file (out of address space?)";
        case INFLATION_COMPLETE:
            break;
    }
    if (result.produced != size) {
        return "its stream inflates to " + produced + " bytes, but its size is " +
               std::to_string(size);
    }
    if (result.sum != dataSum) {
        return "its bytes sum to " + FormatHex32(result.sum) + ", but its recorded byte sum is " +
               FormatHex32(dataSum);
    }
    return "";
}

// ---- Threads ---------------------------------------------------------------------------

namespace {

// What the workers of one RunInParallel call share.
struct ParallelRun {
    size_t count = 0;
    const std::function<void(size_t)> *task = nullptr;
    std::atomic<size_t> next{0};
    std::mutex mutex;
    std::condition_variable finished;
    size_t running = 0;
    std::exception_ptr failure;
};

void ParallelWork(ParallelRun *run) {
    for (;;) {
        size_t index = run->next++;
        if (index >= run->count) {
            break;
        }
        try {
            (*run->task)(index);
        } catch (...) {
            std::lock_guard<std::mutex> lock(run->mutex);
            if (!run->failure) {
                run->failure = std::current_exception();
            }
            run->next = run->count; // nothing new starts
        }
    }
    std::lock_guard<std::mutex> lock(run->mutex);
    run->running--;
    run->finished.notify_all();
}

} // namespace

void RunInParallel(size_t count, const std::function<void(size_t)> &task,
                   const std::function<void()> &tick) {
    ParallelRun run;
    run.count = count;
    run.task = &task;
    size_t cores = std::max(1u, std::thread::hardware_concurrency());
    size_t wanted = std::min(cores, count);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < wanted; i++) {
        std::lock_guard<std::mutex> lock(run.mutex);
        try {
            threads.emplace_back(ParallelWork, &run);
            run.running++;
        } catch (const std::system_error &) {
            break; // work with the threads there are
        }
    }
    if (threads.empty()) {
        run.running = 1;
        ParallelWork(&run);
    }
    std::unique_lock<std::mutex> lock(run.mutex);
    while (run.running > 0) {
        run.finished.wait_for(lock, std::chrono::milliseconds(100));
        if (tick) {
            lock.unlock();
            tick();
            lock.lock();
        }
    }
    lock.unlock();
    for (std::thread &thread : threads) {
        thread.join();
    }
    if (run.failure) {
        std::rethrow_exception(run.failure);
    }
}
