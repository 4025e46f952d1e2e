// The package writer's streamed way (PackageWriteStreamed): the same bytes
// as PackageWrite, with memory bounded whatever the entries' sizes.
//
// Entries are prepared by the caller's tasks in directory order, each task
// waiting until the entries prepared but not yet written hold at most
// packageWholeBufferLimit bytes: a small entry is read whole and compressed
// into memory, a large one only keyed (its bytes are compressed when its
// turn comes). Whichever task finds the next entry ready writes it, and any
// ready ones after it, to the scratch file, so that the streams lie there in
// directory order; identical entries are found by their content key, then
// compared in pieces. The installer is then written: stub, directory,
// the scratch file's streams, trailer.
#include "qpack/package_writer.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <new>

#include "package/package.h"

namespace {

const size_t kPieceSize = size_t(1) << 20;

bool StreamFail(std::string *error, const std::string &message) {
    *error = message;
    return false;
}

std::string Shown(const PackageWriterEntry &entry) {
    return "\"" + (entry.shownPath.empty() ? entry.name : entry.shownPath) + "\"";
}

std::string ChangedText(const PackageWriterEntry &entry) {
    return "cannot read " + Shown(entry) + " as it was found (did it change while it was packed?)";
}

// ---- Reading an entry in pieces ------------------------------------------------------

struct EntrySource {
    const PackageWriterEntry *entry = nullptr;
    std::ifstream file;
    uint64_t offset = 0;
};

bool EntrySourceOpen(EntrySource *source, const PackageWriterEntry &entry, std::string *error) {
    source->entry = &entry;
    if (!entry.path.empty()) {
        source->file.open(entry.path, std::ios::binary);
        if (!source->file) {
            return StreamFail(error, "cannot open " + Shown(entry));
        }
    }
    return true;
}

// Up to capacity of the entry's next bytes into buffer; *count is 0 at its
// end. A file that holds fewer or more bytes than found fails.
bool EntrySourceRead(EntrySource *source, unsigned char *buffer, size_t capacity, size_t *count,
                     std::string *error) {
    const PackageWriterEntry &entry = *source->entry;
    size_t wanted =
        static_cast<size_t>(std::min<uint64_t>(capacity, PackageEntrySize(entry) - source->offset));
    *count = wanted;
    if (entry.path.empty()) {
        if (wanted != 0) {
            std::memcpy(buffer, entry.data.data() + source->offset, wanted);
        }
    } else if (wanted != 0) {
        source->file.read(reinterpret_cast<char *>(buffer), static_cast<std::streamsize>(wanted));
        if (static_cast<size_t>(source->file.gcount()) != wanted) {
            return StreamFail(error, ChangedText(entry));
        }
    } else if (source->file.peek() != std::ifstream::traits_type::eof()) {
        return StreamFail(error, ChangedText(entry));
    }
    source->offset += wanted;
    return true;
}

using PieceFunction = std::function<bool(const unsigned char *bytes, size_t count)>;

// Hands the entry's bytes to piece: a file's a piece at a time, bytes in
// memory at once. False when the file fails or piece says stop.
bool EntryForEachPiece(const PackageWriterEntry &entry, const PieceFunction &piece,
                       std::string *error) {
    if (entry.path.empty()) {
        return entry.data.empty() || piece(entry.data.data(), entry.data.size());
    }
    EntrySource source;
    if (!EntrySourceOpen(&source, entry, error)) {
        return false;
    }
    std::vector<unsigned char> buffer(kPieceSize);
    for (;;) {
        size_t count = 0;
        if (!EntrySourceRead(&source, buffer.data(), buffer.size(), &count, error)) {
            return false;
        }
        if (count == 0) {
            return true;
        }
        if (!piece(buffer.data(), count)) {
            return false;
        }
    }
}

// The entry's bytes whole (a small entry's).
bool EntryReadWhole(const PackageWriterEntry &entry, PackageBytes *bytes, std::string *error) {
    bytes->resize(static_cast<size_t>(PackageEntrySize(entry)));
    EntrySource source;
    size_t count = 0, end = 0;
    return EntrySourceOpen(&source, entry, error) &&
           EntrySourceRead(&source, bytes->data(), bytes->size(), &count, error) &&
           EntrySourceRead(&source, nullptr, 0, &end, error);
}

// Whether the two entries, of one size, hold the same bytes.
bool EntriesEqual(const PackageWriterEntry &left, const PackageWriterEntry &right, bool *equal,
                  std::string *error) {
    EntrySource one, two;
    if (!EntrySourceOpen(&one, left, error) || !EntrySourceOpen(&two, right, error)) {
        return false;
    }
    std::vector<unsigned char> first(1 << 16), second(1 << 16);
    for (;;) {
        size_t count = 0, other = 0;
        if (!EntrySourceRead(&one, first.data(), first.size(), &count, error) ||
            !EntrySourceRead(&two, second.data(), second.size(), &other, error)) {
            return false;
        }
        if (count != other || std::memcmp(first.data(), second.data(), count) != 0) {
            *equal = false;
            return true;
        }
        if (count == 0) {
            *equal = true;
            return true;
        }
    }
}

// ---- Compression ------------------------------------------------------------------

// Runs deflate with flush until it has taken all input (Z_NO_FLUSH) or ended
// the stream (Z_FINISH), handing what it makes to write.
bool DeflatePump(z_stream *z, int flush, std::vector<unsigned char> *out,
                 const PieceFunction &write) {
    for (;;) {
        z->next_out = out->data();
        z->avail_out = static_cast<uInt>(out->size());
        int status = deflate(z, flush);
        if (status == Z_STREAM_ERROR) {
            return false;
        }
        size_t produced = out->size() - z->avail_out;
        if (produced != 0 && !write(out->data(), produced)) {
            return false;
        }
        if (flush == Z_FINISH ? status == Z_STREAM_END : z->avail_in == 0 && z->avail_out != 0) {
            return true;
        }
    }
}

// One zlib stream (level 9, as PackageCompress makes for a large entry) of
// the entry's bytes, read and handed to write a piece at a time; *key gets
// their sum and CRC. False with *error set when the entry cannot be read,
// with *error empty when write refused.
bool CompressInPieces(const PackageWriterEntry &entry, const PieceFunction &write,
                      PackageContentKey *key, std::string *error) {
    z_stream z;
    std::memset(&z, 0, sizeof z);
    if (deflateInit(&z, Z_BEST_COMPRESSION) != Z_OK) {
        return StreamFail(error, "out of memory");
    }
    std::vector<unsigned char> out(kPieceSize);
    bool done = EntryForEachPiece(
        entry,
        [&](const unsigned char *bytes, size_t count) {
            PackageContentKeyAdd(key, bytes, count);
            z.next_in = const_cast<Bytef *>(bytes);
            z.avail_in = static_cast<uInt>(count);
            return DeflatePump(&z, Z_NO_FLUSH, &out, write);
        },
        error);
    done = done && DeflatePump(&z, Z_FINISH, &out, write);
    deflateEnd(&z);
    return done;
}

// ---- The build -------------------------------------------------------------------------

struct EntryWork {
    bool ready = false;
    PackageBytes stream; // a small entry's, until written
    PackageContentKey key;
};

// The streams written so far, behind the stub and the trailer's room.
struct DataArea {
    std::ofstream file;
    uint64_t length = 0;
    uint64_t room = 0;
    bool full = false;
};

bool DataAreaWrite(DataArea *area, const unsigned char *bytes, size_t count) {
    if (count > area->room - area->length) {
        area->full = true;
        return false;
    }
    area->file.write(reinterpret_cast<const char *>(bytes), static_cast<std::streamsize>(count));
    area->length += count;
    return static_cast<bool>(area->file);
}

struct StreamBuild {
    std::vector<const PackageWriterEntry *> order;
    const PackageWriterOptions *options = nullptr;
    std::vector<EntryWork> work;
    std::vector<uint64_t> heldBefore; // memory the entries before i may hold, summed
    std::mutex mutex;
    std::condition_variable advanced;
    size_t written = 0;   // entries before it are in the data area
    bool writing = false; // a task is writing entries
    bool failed = false;
    std::string error;
    // Touched by the writing task only:
    DataArea area;
    std::vector<PackageWriterRecord> records;
    std::multimap<PackageContentKey, size_t> streams; // entries with a stream of their own
};

bool IsLarge(const PackageWriterEntry &entry) {
    return PackageEntrySize(entry) > packageWholeBufferLimit;
}

// A small entry compressed into memory, keyed; a large one keyed when
// identical entries are looked for.
bool EntryPrepare(StreamBuild *build, size_t i, std::string *error) {
    const PackageWriterEntry &entry = *build->order[i];
    EntryWork &work = build->work[i];
    work.key.size = PackageEntrySize(entry);
    if (IsLarge(entry)) {
        return !build->options->shareIdenticalStreams ||
               EntryForEachPiece(
                   entry,
                   [&work](const unsigned char *bytes, size_t count) {
                       PackageContentKeyAdd(&work.key, bytes, count);
                       return true;
                   },
                   error);
    }
    PackageBytes read;
    const PackageBytes *bytes = &entry.data;
    if (!entry.path.empty()) {
        if (!EntryReadWhole(entry, &read, error)) {
            return false;
        }
        bytes = &read;
    }
    PackageContentKeyAdd(&work.key, bytes->data(), bytes->size());
    if (!PackageCompress(bytes->data(), bytes->size(), &work.stream, build->options->compression)) {
        return StreamFail(error, "cannot compress " + Shown(entry) + " (out of memory?)");
    }
    return true;
}

std::string FullText(const StreamBuild &build, const PackageWriterEntry &entry) {
    return "the installer would be more than " + std::to_string(packageFormatLimit) +
           " bytes (4 GiB or more) once " + Shown(entry) +
           " is added: its trailer and records hold 32-bit offsets and lengths (" +
           std::to_string(build.area.length) + " bytes of streams written by then)";
}

// The earlier entry whose stream holds the same bytes as entry i; i when
// none does.
bool SharedStreamFind(StreamBuild *build, size_t i, size_t *first, std::string *error) {
    *first = i;
    auto range = build->streams.equal_range(build->work[i].key);
    for (auto it = range.first; it != range.second; ++it) {
        bool equal = false;
        if (!EntriesEqual(*build->order[it->second], *build->order[i], &equal, error)) {
            return false;
        }
        if (equal) {
            *first = it->second;
            return true;
        }
    }
    return true;
}

// Appends entry i's stream to the data area (or points it at an equal
// entry's) and its record to the records.
bool EntryWrite(StreamBuild *build, size_t i, std::string *error) {
    const PackageWriterEntry &entry = *build->order[i];
    EntryWork &work = build->work[i];
    bool share = build->options->shareIdenticalStreams;
    size_t first = i;
    if (share && !SharedStreamFind(build, i, &first, error)) {
        return false;
    }
    PackageWriterRecord record;
    record.name = entry.name;
    record.size = static_cast<uint32_t>(work.key.size);
    if (first != i) {
        record.compressedSize = build->records[first].compressedSize;
        record.dataOffset = build->records[first].dataOffset;
    } else {
        uint64_t offset = build->area.length;
        bool done = false;
        if (IsLarge(entry)) {
            PackageContentKey key;
            key.size = work.key.size;
            done = CompressInPieces(
                entry,
                [build](const unsigned char *bytes, size_t count) {
                    return DataAreaWrite(&build->area, bytes, count);
                },
                &key, error);
            if (done && share && (key.sum != work.key.sum || key.crc != work.key.crc)) {
                return StreamFail(error, ChangedText(entry));
            }
            work.key = key;
        } else {
            done = DataAreaWrite(&build->area, work.stream.data(), work.stream.size());
            PackageBytes().swap(work.stream);
        }
        if (!done) {
            return build->area.full ? StreamFail(error, FullText(*build, entry))
                   : error->empty()
                       ? StreamFail(error, "cannot write the scratch file (disk full?)")
                       : false;
        }
        record.compressedSize = static_cast<uint32_t>(build->area.length - offset);
        record.dataOffset = static_cast<uint32_t>(offset);
        if (share) {
            build->streams.emplace(work.key, i);
        }
    }
    record.dataSum = work.key.sum;
    build->records.push_back(record);
    if (build->options->entryWritten) {
        build->options->entryWritten(work.key.size);
    }
    return true;
}

// Called with the lock held: the build stops, every waiting task wakes.
void BuildFailLocked(StreamBuild *build, const std::string &error) {
    if (!build->failed) {
        build->failed = true;
        build->error = error;
    }
    build->advanced.notify_all();
}

// Marks entry i ready, and unless another task is writing, writes every
// ready entry from the next one on.
void EntryReady(StreamBuild *build, size_t i) {
    std::unique_lock<std::mutex> lock(build->mutex);
    build->work[i].ready = true;
    if (build->writing) {
        return;
    }
    build->writing = true;
    while (!build->failed && build->written < build->order.size() &&
           build->work[build->written].ready) {
        size_t next = build->written;
        lock.unlock();
        std::string error;
        bool done = false;
        try {
            done = EntryWrite(build, next, &error);
        } catch (const std::bad_alloc &) {
            error = "out of memory";
        }
        lock.lock();
        if (!done) {
            BuildFailLocked(build, error);
        } else {
            build->written++;
            build->advanced.notify_all();
        }
    }
    build->writing = false;
}

// One task: waits until the entries held in memory leave room for entry i
// (the next one to write always has room), then prepares it.
void EntryTask(StreamBuild *build, size_t i) {
    {
        std::unique_lock<std::mutex> lock(build->mutex);
        build->advanced.wait(lock, [build, i] {
            return build->failed || i == build->written ||
                   build->heldBefore[i + 1] - build->heldBefore[build->written] <=
                       packageWholeBufferLimit;
        });
        if (build->failed) {
            return;
        }
    }
    std::string error;
    bool prepared = false;
    try {
        prepared = EntryPrepare(build, i, &error);
    } catch (const std::bad_alloc &) {
        error = "out of memory";
    }
    if (!prepared) {
        std::lock_guard<std::mutex> lock(build->mutex);
        BuildFailLocked(build, error);
        return;
    }
    EntryReady(build, i);
}

// Stub, directory, the scratch file's streams, trailer; the package sum is
// taken as the bytes go by.
bool InstallerWrite(PackageParts *parts, const std::filesystem::path &scratch, std::ostream &out,
                    std::string *error) {
    uint32_t sum =
        PackageWriterByteSum(parts->stub.data(), parts->stub.size()) +
        PackageWriterByteSum(parts->directoryStream.data(), parts->directoryStream.size());
    out.write(reinterpret_cast<const char *>(parts->stub.data()),
              static_cast<std::streamsize>(parts->stub.size()));
    out.write(reinterpret_cast<const char *>(parts->directoryStream.data()),
              static_cast<std::streamsize>(parts->directoryStream.size()));
    std::ifstream streams(scratch, std::ios::binary);
    std::vector<char> piece(kPieceSize);
    while (streams && out) {
        streams.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        size_t count = static_cast<size_t>(streams.gcount());
        sum += PackageWriterByteSum(reinterpret_cast<unsigned char *>(piece.data()), count);
        out.write(piece.data(), static_cast<std::streamsize>(count));
    }
    if (!streams.eof()) {
        return StreamFail(error, "cannot read the scratch file back");
    }
    parts->trailer.packageSum = sum;
    PackageBytes trailer = PackageTrailerEncode(parts->trailer);
    out.write(reinterpret_cast<const char *>(trailer.data()),
              static_cast<std::streamsize>(trailer.size()));
    return true;
}

bool StreamedWrite(StreamBuild *build, const PackageBytes &stub,
                   const std::filesystem::path &scratch, std::ostream &out, uint64_t *length,
                   std::string *error) {
    uint64_t reserved = static_cast<uint64_t>(stub.size()) + PACKAGE_TRAILER_SIZE;
    if (reserved > packageFormatLimit) {
        return StreamFail(error, "the stub is " + std::to_string(stub.size()) +
                                     " bytes: with a package behind it the installer would be"
                                     " 4 GiB or more, beyond its 32-bit offsets");
    }
    build->area.room = packageFormatLimit - reserved;
    build->area.file.open(scratch, std::ios::binary | std::ios::trunc);
    if (!build->area.file) {
        return StreamFail(error, "cannot create the scratch file beside the installer");
    }
    size_t count = build->order.size();
    build->work.resize(count);
    build->heldBefore.assign(count + 1, 0);
    for (size_t i = 0; i < count; i++) {
        build->heldBefore[i + 1] =
            build->heldBefore[i] +
            std::min(PackageEntrySize(*build->order[i]), packageWholeBufferLimit);
    }
    auto task = [build](size_t i) { EntryTask(build, i); };
    if (build->options->runTasks != nullptr) {
        build->options->runTasks(count, task);
    } else {
        for (size_t i = 0; i < count; i++) {
            task(i);
        }
    }
    build->area.file.close();
    if (build->failed) {
        return StreamFail(error, build->error);
    }
    if (!build->area.file) {
        return StreamFail(error, "cannot write the scratch file (disk full?)");
    }
    PackageParts parts;
    parts.stub = stub;
    PackageStubClearSigningFields(&parts.stub);
    parts.compression = build->options->compression;
    parts.records = std::move(build->records);
    PackageRecordLengthsSet(&parts.records);
    PackageEncodeDirectory(&parts);
    parts.trailer.directoryOffset = static_cast<uint32_t>(stub.size());
    if (!PackageLengthCheck(parts, build->area.length, error) ||
        !InstallerWrite(&parts, scratch, out, error)) {
        return false;
    }
    *length = reserved + parts.directoryStream.size() + build->area.length;
    return true;
}

} // namespace

bool PackageWriteStreamed(const PackageBytes &stub, const std::vector<PackageWriterEntry> &entries,
                          const PackageWriterOptions &options, const std::filesystem::path &scratch,
                          std::ostream &out, uint64_t *length, std::string *error) {
    StreamBuild build;
    build.order = PackageEntryOrder(entries, options.internalEntriesLast);
    build.options = &options;
    if (!PackageEntriesCheck(build.order, error)) {
        return false;
    }
    bool written = StreamedWrite(&build, stub, scratch, out, length, error);
    if (build.area.file.is_open()) {
        build.area.file.close();
    }
    std::error_code ignored;
    std::filesystem::remove(scratch, ignored);
    return written;
}
