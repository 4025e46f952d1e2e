// Opening an installer with the package reader, and saying exactly why it
// refused one: the reader only answers yes or no, as the stub needs, while a
// vendor needs to know which check failed and by how much.
#include "qpack/qpack_files.h"
#include "qpack/qpack_inflation.h"
#include "qpack/qpack_messages.h"

#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "package/package.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

// ---- The directory -------------------------------------------------------------------

static std::string RecordName(const unsigned char *name, const void *terminator) {
    const char *first = reinterpret_cast<const char *>(name);
    return std::string(first, static_cast<const char *>(terminator));
}

// Why one record at offset fails the reader's checks; "" when it passes.
// *next receives the offset of the record after it, 0 after the last.
static std::string RecordProblem(const unsigned char *directory, uint32_t directorySize,
                                 uint32_t dataAreaSize, uint32_t offset, uint32_t *next) {
    *next = 0;
    uint32_t left = directorySize - offset;
    if (left < DIRECTORY_RECORD_HEADER_SIZE) {
        return "its 18-byte header runs past the end of the " + std::to_string(directorySize) +
               "-byte directory";
    }
    const DirectoryRecord *record = reinterpret_cast<const DirectoryRecord *>(directory + offset);
    const unsigned char *name = directory + offset + DIRECTORY_RECORD_HEADER_SIZE;
    const void *terminator = memchr(name, 0, left - DIRECTORY_RECORD_HEADER_SIZE);
    if (terminator == nullptr) {
        return "its name has no terminator inside the directory";
    }
    std::string shown = Quoted(RecordName(name, terminator));
    if (name[0] != '\\') {
        return "its name " + shown + " does not start with a backslash";
    }
    uint32_t dataOffset = DirectoryRecordDataOffset(record);
    uint32_t compressedSize = DirectoryRecordCompressedSize(record);
    if (dataOffset > dataAreaSize || compressedSize > dataAreaSize - dataOffset) {
        return shown + ": its stream (data offset " + std::to_string(dataOffset) + ", " +
               std::to_string(compressedSize) + " bytes) leaves the data area of " +
               std::to_string(dataAreaSize) + " bytes";
    }
    uint32_t size = DirectoryRecordSize(record);
    if (static_cast<uint64_t>(size) > static_cast<uint64_t>(compressedSize) * INFLATE_MAX_RATIO) {
        return shown + ": its size of " + std::to_string(size) + " bytes is more than its " +
               std::to_string(compressedSize) + "-byte stream can yield";
    }
    uint32_t recordLength = DirectoryRecordLength(record);
    if (recordLength == 0) {
        return "";
    }
    uint32_t needed = static_cast<uint32_t>(static_cast<const unsigned char *>(terminator) -
                                            (directory + offset)) +
                      1;
    if (recordLength < needed) {
        return shown + ": its record length " + std::to_string(recordLength) +
               " does not cover its header and name (" + std::to_string(needed) + " bytes)";
    }
    if (recordLength > left) {
        return shown + ": its record length " + std::to_string(recordLength) +
               " leads past the end of the directory (" + std::to_string(left) + " bytes left)";
    }
    *next = offset + recordLength;
    return "";
}

// Why the record chain fails the reader's checks; "" when it passes.
static std::string ChainProblem(const unsigned char *directory, uint32_t directorySize,
                                uint32_t dataAreaSize) {
    uint32_t offset = 0;
    for (uint32_t index = 1;; index++) {
        uint32_t next;
        std::string problem = RecordProblem(directory, directorySize, dataAreaSize, offset, &next);
        if (!problem.empty()) {
            return "directory record " + std::to_string(index) + " (at offset " +
                   std::to_string(offset) + "): " + problem;
        }
        if (next == 0) {
            return "";
        }
        offset = next;
    }
}

// ---- The trailer and the sum ------------------------------------------------------------

static std::string TrailerProblem(const PackageTrailer &trailer, uint32_t packageEnd) {
    if (trailer.directoryOffset > packageEnd ||
        trailer.directoryCompressedSize > packageEnd - trailer.directoryOffset) {
        return "the trailer places the directory stream at offset " +
               std::to_string(trailer.directoryOffset) + ", " +
               std::to_string(trailer.directoryCompressedSize) + " bytes long, beyond the " +
               std::to_string(packageEnd) + " bytes before the trailer";
    }
    if (trailer.directorySize == 0) {
        return "the trailer gives the directory a size of 0";
    }
    if (static_cast<uint64_t>(trailer.directorySize) >
        static_cast<uint64_t>(trailer.directoryCompressedSize) * INFLATE_MAX_RATIO) {
        return "the trailer claims a directory of " + std::to_string(trailer.directorySize) +
               " bytes, more than its " + std::to_string(trailer.directoryCompressedSize) +
               "-byte stream can yield";
    }
    return "";
}

// Why the certificate table at tableOffset, which the reader's check
// refused with fault, is more than signatures.
static std::string CertificateProblem(const PeCertificateFault &fault, uint32_t tableOffset) {
    std::string record =
        "the record at file offset " + std::to_string(tableOffset + fault.recordOffset);
    switch (fault.problem) {
        case PE_CERTIFICATES_SIZE:
            return "the certificate table's size is not a positive multiple of 8, as signatures "
                   "fill"
                   " it";
        case PE_CERTIFICATES_RECORD_LENGTH:
            return "the certificate table holds something other than signatures: " + record +
                   " has a length (dwLength) too short for a signature or past the table's end";
        case PE_CERTIFICATES_NOT_DER:
            return "the certificate table holds something other than signatures: " + record +
                   " does not hold a DER SEQUENCE with a definite length of 1 to 4 bytes";
        case PE_CERTIFICATES_DER_PAST_RECORD:
            return "the certificate table holds something other than signatures: the signature "
                   "in " +
                   record + " runs past the record's length (dwLength)";
        default:
            return "the certificate table holds more than its signatures: " + record +
                   " goes on behind its signature with more than the zeros (at most 7) that align"
                   " the next record (bytes were hidden in the signed file)";
    }
}

// Why no trailer can be found. An image whose certificate entry is not zero
// is signed, and its trailer is looked for before the table only; otherwise
// the last 24 bytes do not end in the magic. head holds the image's headers
// (headLength bytes) and the table is mapped from the file the reader has
// open.
static std::string LocationProblem(const unsigned char *head, uint32_t headLength,
                                   uint32_t length) {
    const std::string unsignedProblem =
        "no package: its last 8 bytes are not \"InstPack\" (a file without a package, or one cut"
        " short or extended after it was built)";
    PeImage image;
    PeDataDirectory entry;
    if (head == nullptr || !PeImageRead(head, headLength, &image) ||
        !PeDataDirectoryGet(&image, PE_DIRECTORY_CERTIFICATE, &entry) ||
        (entry.address | entry.size) == 0) {
        return unsignedProblem;
    }
    std::string signedAt = "signed (a certificate table of " + std::to_string(entry.size) +
                           " bytes at offset " + std::to_string(entry.address) + "), but ";
    if (entry.address > length || entry.size > length - entry.address) {
        return signedAt + "the table does not lie inside the " + std::to_string(length) +
               "-byte file";
    }
    if (entry.size != length - entry.address) {
        return signedAt + "the table does not end at the end of the file: " +
               std::to_string(length - entry.address - entry.size) +
               " bytes follow it (the file was extended after it was signed)";
    }
    PlatformView view;
    const unsigned char *table = PackageFileBytesMap(entry.address, entry.size, &view);
    PeCertificateFault fault;
    bool sound = table == nullptr || PeCertificateTableCheck(table, entry.size, &fault);
    PackageFileBytesUnmap(&view);
    if (table == nullptr) {
        return signedAt + "its certificate table cannot be read";
    }
    if (!sound) {
        return signedAt + CertificateProblem(fault, entry.address);
    }
    return signedAt + "no package trailer ending in \"InstPack\" stands before the table, behind"
                      " at most 7 zero bytes (a signed file without a package, or one changed"
                      " before it was signed)";
}

// LocationProblem of the file the reader has open, its head mapped for the while.
static std::string OpenedLocationProblem(uint32_t length) {
    PlatformView view;
    uint32_t headLength = std::min(length, PACKAGE_HEADERS_VIEW);
    const unsigned char *head = PackageFileBytesMap(0, headLength, &view);
    std::string problem = LocationProblem(head, headLength, length);
    PackageFileBytesUnmap(&view);
    return problem;
}

// Why the reader refused the file it has open (PackageOpenFileInViews
// failed after opening it), retracing its steps through bounded views; ""
// when this diagnosis finds nothing wrong.
static std::string OpenedPackageProblem(void) {
    uint32_t length = packageReader.length;
    if (length < PACKAGE_TRAILER_SIZE) {
        return std::to_string(length) +
               " bytes long, too short to hold the 24-byte package trailer";
    }
    if (!PackageFileLocate()) {
        return OpenedLocationProblem(length);
    }
    const PackageLocation &location = packageReader.location;
    uint32_t packageEnd = location.trailerOffset;
    PlatformView view;
    const unsigned char *trailerBytes =
        PackageFileBytesMap(packageEnd, PACKAGE_TRAILER_SIZE, &view);
    if (trailerBytes == nullptr) {
        return "cannot read its trailer";
    }
    PackageTrailer trailer;
    PackageTrailerDecode(trailerBytes, &trailer);
    PackageFileBytesUnmap(&view);
    std::string problem = TrailerProblem(trailer, packageEnd);
    if (!problem.empty()) {
        return problem;
    }
    uint32_t sum = 0;
    if (!PackageFileSum(&sum)) {
        return "cannot read the bytes before its trailer";
    }
    if (sum != trailer.packageSum) {
        bool isSigned = location.certificateTable.length != 0;
        return "package sum mismatch: the trailer says " + FormatHex32(trailer.packageSum) +
               ", but the " + std::to_string(packageEnd) + " bytes before it sum to " +
               FormatHex32(sum) +
               (isSigned ? " with the 12 bytes that signing rewrites counted as zero (the file was"
                           " changed after it was built, or built by a tool that did not clear"
                           " them)"
                         : " (the file was changed after it was built)");
    }
    std::vector<unsigned char> directory;
    InflationResult inflated = InflatePackageBytes(
        trailer.directoryOffset, trailer.directoryCompressedSize, trailer.directorySize,
        [&directory](const unsigned char *bytes, size_t count) {
            directory.insert(directory.end(), bytes, bytes + count);
            return true;
        });
    // The directory has no byte sum of its own: the package sum covers it.
    problem = InflationProblem(inflated, trailer.directorySize, inflated.sum);
    if (!problem.empty()) {
        return "the directory does not inflate as the trailer says: " + problem;
    }
    uint32_t dataAreaSize = packageEnd - trailer.directoryOffset - trailer.directoryCompressedSize;
    problem = ChainProblem(directory.data(), trailer.directorySize, dataAreaSize);
    if (problem.empty() &&
        PackageDirectoryProblemFind(directory.data(), trailer.directorySize, dataAreaSize) ==
            PACKAGE_DIRECTORY_INSTALLABLE_TOO_LARGE) {
        return "its installable entries add up to 4 GiB or more, beyond the 32-bit count of"
               " bytes an installer extracts";
    }
    return problem;
}

// ---- Opening --------------------------------------------------------------------------------

// Why the file at path, which the reader refused, cannot be an installer it
// accepts. The reader still holds the file when it could open it.
static std::string InstallerProblem(const std::string &path) {
    std::error_code failure;
    fs::path file = PathFromNative(path);
    fs::file_status status = fs::status(file, failure);
    if (!fs::exists(status)) {
        return "cannot open: " + (failure ? failure.message() : std::string("no such file"));
    }
    if (!fs::is_regular_file(status)) {
        return "not a regular file";
    }
    uintmax_t size = fs::file_size(file, failure);
    if (!failure && size > UINT32_MAX) {
        return "4 GiB or longer, beyond the 32-bit offsets of an installer";
    }
    if (packageReader.mapped.file == 0 || (!failure && packageReader.length != size)) {
        return "cannot open for reading";
    }
    std::string problem = OpenedPackageProblem();
    return problem.empty() ? "the package reader refused it (out of memory?)" : problem;
}

bool InstallerOpen(const std::string &path) {
    if (PackageOpenFileInViews(path.c_str())) {
        return true;
    }
    std::string problem = InstallerProblem(path);
    PackageClose();
    ReportError(Printable(path) + ": " + problem);
    return false;
}
