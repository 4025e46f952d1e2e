// The package writer. See package_writer.h for the layout it produces.
#include "qpack/package_writer.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <tuple>

#include "package/package.h"
#include "pe/pe.h"

namespace {

void PutU16(PackageBytes *out, uint16_t value) {
    out->push_back(static_cast<unsigned char>(value));
    out->push_back(static_cast<unsigned char>(value >> 8));
}

void PutU32(PackageBytes *out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out->push_back(static_cast<unsigned char>(value >> shift));
    }
}

bool Fail(std::string *error, const std::string &message) {
    if (error != nullptr) {
        *error = message;
    }
    return false;
}

// Compared through 64 bits so that the test means the same with a 32-bit size_t.
bool Beyond32Bits(uint64_t value) {
    return value > UINT32_MAX;
}

bool BeyondFormat(uint64_t value) {
    return value > packageFormatLimit;
}

bool CompressSerially(const PackageWriterEntry *const *entries, size_t count,
                      PackageCompression compression, PackageBytes *streams) {
    for (size_t i = 0; i < count; i++) {
        if (!PackageCompress(entries[i]->data.data(), entries[i]->data.size(), &streams[i],
                             compression)) {
            return false;
        }
    }
    return true;
}

// For each entry, the index of the first entry with the same bytes (itself
// when none comes before it).
std::vector<size_t> FirstEqualEntries(const std::vector<const PackageWriterEntry *> &order) {
    std::multimap<PackageContentKey, size_t> seen;
    std::vector<size_t> first(order.size());
    for (size_t i = 0; i < order.size(); i++) {
        const PackageBytes &data = order[i]->data;
        PackageContentKey key;
        key.size = data.size();
        PackageContentKeyAdd(&key, data.data(), data.size());
        first[i] = i;
        for (auto it = seen.lower_bound(key); it != seen.end() && it->first == key; ++it) {
            if (order[it->second]->data == data) {
                first[i] = it->second;
                break;
            }
        }
        if (first[i] == i) {
            seen.emplace(key, i);
        }
    }
    return first;
}

} // namespace

uint64_t packageFormatLimit = UINT32_MAX;
uint64_t packageWholeBufferLimit = uint64_t(64) << 20;

bool PackageWriterIsInternal(const std::string &name) {
    return name.size() >= 2 && name[0] == '\\' && name[1] == '#';
}

uint32_t PackageWriterByteSum(const unsigned char *data, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i < size; i++) {
        sum += data[i];
    }
    return sum;
}

namespace {

// One compressor a stream: thread_local ones, freed at thread exit, break
// with the Windows toolchain's thread-local destructors.
bool CompressWithLibdeflate(const unsigned char *data, size_t size, PackageBytes *stream) {
    libdeflate_compressor *compressor = libdeflate_alloc_compressor(12);
    if (compressor == nullptr) {
        return false;
    }
    stream->resize(libdeflate_zlib_compress_bound(compressor, size));
    size_t produced =
        libdeflate_zlib_compress(compressor, data, size, stream->data(), stream->size());
    libdeflate_free_compressor(compressor);
    stream->resize(produced);
    return produced != 0;
}

bool CompressWithZlib(const unsigned char *data, size_t size, PackageBytes *stream) {
    // deflate directly rather than compress2: uLong is 32-bit on Windows, and
    // the stream is bounded by deflateBound anyway.
    if (Beyond32Bits(size)) {
        return false;
    }
    z_stream z;
    std::memset(&z, 0, sizeof z);
    if (deflateInit(&z, Z_BEST_COMPRESSION) != Z_OK) {
        return false;
    }
    stream->resize(deflateBound(&z, static_cast<uLong>(size)));
    static unsigned char empty = 0;
    z.next_in = size != 0 ? const_cast<Bytef *>(data) : &empty;
    z.avail_in = static_cast<uInt>(size);
    z.next_out = stream->data();
    z.avail_out = static_cast<uInt>(stream->size());
    int status = deflate(&z, Z_FINISH);
    size_t produced = stream->size() - z.avail_out;
    deflateEnd(&z);
    if (status != Z_STREAM_END) {
        stream->clear();
        return false;
    }
    stream->resize(produced);
    return true;
}

} // namespace

bool PackageCompress(const unsigned char *data, size_t size, PackageBytes *stream,
                     PackageCompression compression) {
    if (Beyond32Bits(size)) {
        return false;
    }
    // Large entries are streamed through zlib (PackageWriteStreamed); the
    // same entry in one buffer must give the same bytes.
    bool zlib = compression == PACKAGE_COMPRESSION_ZLIB_9 || size > packageWholeBufferLimit;
    return zlib ? CompressWithZlib(data, size, stream) : CompressWithLibdeflate(data, size, stream);
}

void PackageCompressDirectory(PackageParts *parts) {
    PackageCompress(parts->directory.data(), parts->directory.size(), &parts->directoryStream,
                    parts->compression);
    parts->trailer.directoryCompressedSize = static_cast<uint32_t>(parts->directoryStream.size());
    parts->trailer.directorySize = static_cast<uint32_t>(parts->directory.size());
}

void PackageEncodeDirectory(PackageParts *parts) {
    PackageBytes &out = parts->directory;
    out.clear();
    for (const PackageWriterRecord &record : parts->records) {
        PutU16(&out, record.recordLength);
        PutU32(&out, record.size);
        PutU32(&out, record.compressedSize);
        PutU32(&out, record.dataSum);
        PutU32(&out, record.dataOffset);
        out.insert(out.end(), record.name.begin(), record.name.end());
        out.push_back(0);
    }
    PackageCompressDirectory(parts);
}

std::vector<const PackageWriterEntry *>
PackageEntryOrder(const std::vector<PackageWriterEntry> &entries, bool internalEntriesLast) {
    std::vector<const PackageWriterEntry *> order;
    for (const PackageWriterEntry &entry : entries) {
        order.push_back(&entry);
    }
    if (internalEntriesLast) {
        std::stable_partition(order.begin(), order.end(), [](const PackageWriterEntry *entry) {
            return !PackageWriterIsInternal(entry->name);
        });
    }
    return order;
}

uint64_t PackageEntrySize(const PackageWriterEntry &entry) {
    return entry.path.empty() ? entry.data.size() : entry.size;
}

std::string PackageSizesProblem(const std::vector<std::pair<std::string, uint64_t>> &sizes) {
    uint64_t installable = 0;
    for (const auto &entry : sizes) {
        if (BeyondFormat(entry.second)) {
            return "entry \"" + entry.first + "\" is " + std::to_string(entry.second) +
                   " bytes, more than the " + std::to_string(packageFormatLimit) +
                   " that an installer's 32-bit sizes hold";
        }
        installable += PackageWriterIsInternal(entry.first) ? 0 : entry.second;
    }
    if (BeyondFormat(installable)) {
        return "the installable entries hold " + std::to_string(installable) +
               " bytes, 4 GiB or more (more than " + std::to_string(packageFormatLimit) +
               "): the installer counts them in 32 bits and refuses such a package";
    }
    return "";
}

bool PackageEntriesCheck(const std::vector<const PackageWriterEntry *> &order, std::string *error) {
    if (order.empty()) {
        return Fail(error, "a package needs at least one entry");
    }
    std::vector<std::pair<std::string, uint64_t>> sizes;
    for (const PackageWriterEntry *entry : order) {
        const std::string &name = entry->name;
        if (name.empty() || name[0] != '\\') {
            return Fail(error, "entry name \"" + name + "\" does not start with a backslash");
        }
        if (name.find('\0') != std::string::npos) {
            return Fail(error, "entry name \"" + std::string(name.c_str()) + "\" holds a NUL byte");
        }
        if (DIRECTORY_RECORD_HEADER_SIZE + name.size() + 1 > UINT16_MAX) {
            return Fail(error, "entry name \"" + name.substr(0, 64) +
                                   "...\" is too long for a directory record");
        }
        sizes.emplace_back(name, PackageEntrySize(*entry));
    }
    std::string problem = PackageSizesProblem(sizes);
    return problem.empty() || Fail(error, problem);
}

bool PackageLengthCheck(const PackageParts &parts, uint64_t dataAreaSize, std::string *error) {
    uint64_t total = static_cast<uint64_t>(parts.stub.size()) + parts.directoryStream.size() +
                     dataAreaSize + PACKAGE_TRAILER_SIZE;
    if (BeyondFormat(total)) {
        return Fail(error, "the installer would be " + std::to_string(total) +
                               " bytes, 4 GiB or more (more than " +
                               std::to_string(packageFormatLimit) +
                               "): its trailer and records hold 32-bit offsets and lengths");
    }
    if (BeyondFormat(parts.directory.size())) {
        return Fail(error, "the directory would be " + std::to_string(parts.directory.size()) +
                               " bytes, more than its 32-bit size holds");
    }
    return true;
}

bool PackageBuildParts(const PackageBytes &stub, const std::vector<PackageWriterEntry> &entries,
                       const PackageWriterOptions &options, PackageParts *parts,
                       std::string *error) {
    *parts = PackageParts();
    parts->stub = stub;
    PackageStubClearSigningFields(&parts->stub);
    parts->compression = options.compression;

    std::vector<const PackageWriterEntry *> order =
        PackageEntryOrder(entries, options.internalEntriesLast);
    if (!PackageEntriesCheck(order, error)) {
        return false;
    }
    for (const PackageWriterEntry *entry : order) {
        if (!entry->path.empty()) { // its bytes are not in data
            return Fail(error, "entry \"" + entry->name + "\" names a file: write it streamed");
        }
    }

    // Each stream once; an entry equal to an earlier one takes its stream.
    std::vector<size_t> streamOf =
        options.shareIdenticalStreams ? FirstEqualEntries(order) : std::vector<size_t>();
    std::vector<const PackageWriterEntry *> unique;
    std::vector<size_t> streamIndex(order.size());
    for (size_t i = 0; i < order.size(); i++) {
        bool shared = !streamOf.empty() && streamOf[i] != i;
        streamIndex[i] = shared ? streamIndex[streamOf[i]] : unique.size();
        if (!shared) {
            unique.push_back(order[i]);
        }
    }
    parts->streams.resize(unique.size());
    PackageCompressFunction compress =
        options.compressEntries != nullptr ? options.compressEntries : CompressSerially;
    if (!unique.empty() &&
        !compress(unique.data(), unique.size(), options.compression, parts->streams.data())) {
        return Fail(error, "compression failed");
    }

    std::vector<uint64_t> streamOffsets;
    uint64_t dataOffset = 0;
    for (const PackageBytes &stream : parts->streams) {
        streamOffsets.push_back(dataOffset);
        dataOffset += stream.size();
    }
    for (size_t i = 0; i < order.size(); i++) {
        const PackageWriterEntry &entry = *order[i];
        PackageWriterRecord record;
        record.name = entry.name;
        record.size = static_cast<uint32_t>(entry.data.size());
        record.compressedSize = static_cast<uint32_t>(parts->streams[streamIndex[i]].size());
        record.dataSum = PackageWriterByteSum(entry.data.data(), entry.data.size());
        record.dataOffset =
            static_cast<uint32_t>(std::min<uint64_t>(streamOffsets[streamIndex[i]], UINT32_MAX));
        parts->records.push_back(record);
    }
    PackageRecordLengthsSet(&parts->records);

    PackageEncodeDirectory(parts);
    parts->trailer.directoryOffset =
        static_cast<uint32_t>(std::min<size_t>(stub.size(), UINT32_MAX));

    return PackageLengthCheck(*parts, dataOffset, error);
}

PackageBytes PackageAssemble(PackageParts *parts, bool recomputeSum) {
    PackageBytes out;
    size_t total = parts->stub.size() + parts->directoryStream.size() + PACKAGE_TRAILER_SIZE;
    for (const PackageBytes &stream : parts->streams) {
        total += stream.size();
    }
    out.reserve(total);
    out.insert(out.end(), parts->stub.begin(), parts->stub.end());
    out.insert(out.end(), parts->directoryStream.begin(), parts->directoryStream.end());
    for (const PackageBytes &stream : parts->streams) {
        out.insert(out.end(), stream.begin(), stream.end());
    }
    if (recomputeSum) {
        parts->trailer.packageSum = PackageWriterByteSum(out.data(), out.size());
    }
    PackageBytes trailer = PackageTrailerEncode(parts->trailer);
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
}

void PackageRecordLengthsSet(std::vector<PackageWriterRecord> *records) {
    for (size_t i = 0; i < records->size(); i++) {
        PackageWriterRecord &record = (*records)[i];
        bool last = i + 1 == records->size();
        record.recordLength =
            last ? 0 : static_cast<uint16_t>(DIRECTORY_RECORD_HEADER_SIZE + record.name.size() + 1);
    }
}

PackageBytes PackageTrailerEncode(const PackageWriterTrailer &trailer) {
    PackageBytes out;
    PutU32(&out, trailer.directoryOffset);
    PutU32(&out, trailer.directoryCompressedSize);
    PutU32(&out, trailer.directorySize);
    PutU32(&out, trailer.packageSum);
    out.insert(out.end(), trailer.magic, trailer.magic + sizeof trailer.magic);
    return out;
}

bool PackageContentKey::operator<(const PackageContentKey &other) const {
    return std::tie(size, crc, sum) < std::tie(other.size, other.crc, other.sum);
}

bool PackageContentKey::operator==(const PackageContentKey &other) const {
    return size == other.size && crc == other.crc && sum == other.sum;
}

void PackageContentKeyAdd(PackageContentKey *key, const unsigned char *bytes, size_t count) {
    key->sum += PackageWriterByteSum(bytes, count);
    for (size_t done = 0; done < count;) {
        uInt part = static_cast<uInt>(std::min<size_t>(count - done, 1u << 30));
        key->crc = static_cast<uint32_t>(crc32(key->crc, bytes + done, part));
        done += part;
    }
}

void PackageStubClearSigningFields(PackageBytes *stub) {
    PeImage image;
    PeSpan fields[2];
    if (stub->size() > UINT32_MAX ||
        !PeImageRead(stub->data(), static_cast<uint32_t>(stub->size()), &image) ||
        !PeSigningFields(&image, fields)) {
        return;
    }
    for (const PeSpan &field : fields) {
        std::fill_n(stub->begin() + field.offset, field.length, 0);
    }
}

bool PackageWrite(const PackageBytes &stub, const std::vector<PackageWriterEntry> &entries,
                  const PackageWriterOptions &options, PackageBytes *installer,
                  std::string *error) {
    PackageParts parts;
    if (!PackageBuildParts(stub, entries, options, &parts, error)) {
        return false;
    }
    *installer = PackageAssemble(&parts, true);
    return true;
}

bool PackageWriteFile(const std::string &path, const PackageBytes &bytes, std::string *error) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        return Fail(error, "cannot create \"" + path + "\"");
    }
    file.write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        return Fail(error, "cannot write \"" + path + "\"");
    }
    return true;
}

bool PackageReadFile(const std::string &path, PackageBytes *bytes, std::string *error) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        return Fail(error, "cannot open \"" + path + "\"");
    }
    std::streamoff length = file.tellg();
    if (length < 0) {
        return Fail(error, "cannot read \"" + path + "\"");
    }
    bytes->resize(static_cast<size_t>(length));
    file.seekg(0);
    file.read(reinterpret_cast<char *>(bytes->data()), static_cast<std::streamsize>(length));
    if (!file) {
        return Fail(error, "cannot read \"" + path + "\"");
    }
    return true;
}
