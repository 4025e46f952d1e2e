// Opening an installer with the package reader, and saying exactly why it
// refused one: the reader records which check failed and keeps the numbers
// it checked; these turn them into a vendor's words.
#include "qpack/qpack_files.h"
#include "qpack/qpack_inflation.h"
#include "qpack/qpack_messages.h"

#include <string.h>
#include <zlib.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "package/package.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

// ---- The directory -------------------------------------------------------------------

// The name of the record at offset of the directory the reader refused,
// without its terminator: it ends inside the directory for every fault
// after PACKAGE_RECORD_NAME_UNTERMINATED, and is cut at the directory's
// end otherwise.
static std::string RecordName(uint32_t offset) {
    const PackageReader &reader = packageReader;
    const char *name =
        reinterpret_cast<const char *>(reader.directory) + offset + DIRECTORY_RECORD_HEADER_SIZE;
    size_t room = reader.trailer.directorySize - offset - DIRECTORY_RECORD_HEADER_SIZE;
    const void *terminator = memchr(name, 0, room);
    return std::string(name,
                       terminator != nullptr ? static_cast<const char *>(terminator) : name + room);
}

// The number of the record at offset, counting from 1: the records before
// it passed the reader's checks, so their lengths lead to it.
static uint32_t RecordNumber(uint32_t offset) {
    uint32_t number = 1;
    for (uint32_t at = 0; at < offset; number++) {
        uint32_t length = DirectoryRecordLength(
            reinterpret_cast<const DirectoryRecord *>(packageReader.directory + at));
        if (length == 0) {
            break;
        }
        at += length;
    }
    return number;
}

// What is wrong with the record at fault, in the words of fault.
static std::string RecordProblem(uint32_t fault, uint32_t offset) {
    const PackageReader &reader = packageReader;
    const DirectoryRecord *record =
        reinterpret_cast<const DirectoryRecord *>(reader.directory + offset);
    uint32_t directorySize = reader.trailer.directorySize;
    switch (fault) {
        case PACKAGE_RECORD_HEADER_CUT:
            return "its 18-byte header runs past the end of the " + std::to_string(directorySize) +
                   "-byte directory";
        case PACKAGE_RECORD_NAME_UNTERMINATED:
            return "its name has no terminator inside the directory";
        case PACKAGE_RECORD_NAME_UNROOTED:
            return "its name " + Quoted(RecordName(offset)) + " does not start with a backslash";
    }
    std::string name = RecordName(offset);
    std::string shown = Quoted(name) + ": ";
    uint32_t compressedSize = DirectoryRecordCompressedSize(record);
    uint32_t recordLength = DirectoryRecordLength(record);
    uint32_t needed = DIRECTORY_RECORD_HEADER_SIZE + static_cast<uint32_t>(name.size()) + 1;
    switch (fault) {
        case PACKAGE_RECORD_STREAM_OUTSIDE:
            return shown + "its stream (data offset " +
                   std::to_string(DirectoryRecordDataOffset(record)) + ", " +
                   std::to_string(compressedSize) + " bytes) leaves the data area of " +
                   std::to_string(reader.dataAreaSize) + " bytes";
        case PACKAGE_RECORD_SIZE_TOO_LARGE:
            return shown + "its size of " + std::to_string(DirectoryRecordSize(record)) +
                   " bytes is more than its " + std::to_string(compressedSize) +
                   "-byte stream can yield";
        case PACKAGE_RECORD_LENGTH_SHORT:
            return shown + "its record length " + std::to_string(recordLength) +
                   " does not cover its header and name (" + std::to_string(needed) + " bytes)";
        default: // PACKAGE_RECORD_LENGTH_PAST_END
            return shown + "its record length " + std::to_string(recordLength) +
                   " leads past the end of the directory (" +
                   std::to_string(directorySize - offset) + " bytes left)";
    }
}

// How the directory's stream failed to yield the trailer's directorySize
// bytes, from inflate's result and count.
static std::string DirectoryInflationProblem(const PackageRefusal &refusal, uint32_t size) {
    std::string inflated = std::to_string(refusal.inflated);
    switch (refusal.inflateStatus) {
        case Z_STREAM_END:
            return "its stream inflates to " + inflated + " bytes, but its size is " +
                   std::to_string(size);
        case Z_BUF_ERROR:
            // Inflate stopped for want of room or of input; with all size
            // bytes out, it cannot be told which.
            if (refusal.inflated == size) {
                return "its stream does not end within its size of " + std::to_string(size) +
                       " bytes";
            }
            return "its stream ends early, after " + inflated + " of its " + std::to_string(size) +
                   " bytes";
        case Z_NEED_DICT:
            return "its stream asks for a preset dictionary";
        default:
            return "its stream is corrupt after " + inflated + " bytes (zlib: invalid data)";
    }
}

// ---- The trailer, the sum and the signature ------------------------------------------------

// Why the certificate table at tableOffset, which the reader's check
// refused with fault, is more than signatures.
static std::string CertificateProblem(const PeCertificateFault &fault, uint32_t tableOffset) {
    std::string record =
        "the record at file offset " + std::to_string(tableOffset + fault.recordOffset);
    switch (fault.problem) {
        case PE_CERTIFICATES_SIZE:
            return "the certificate table's size is not a positive multiple of 8, as signatures "
                   "fill it";
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

// Why a signed file's package could not be found, for a signing fault.
static std::string SignedProblem(uint32_t fault) {
    const PackageReader &reader = packageReader;
    const PeSpan &table = reader.location.certificateTable;
    uint32_t length = reader.length;
    std::string signedAt = "signed (a certificate table of " + std::to_string(table.length) +
                           " bytes at offset " + std::to_string(table.offset) + "), but ";
    switch (fault) {
        case PACKAGE_TABLE_OUTSIDE_FILE:
            return signedAt + "the table does not lie inside the " + std::to_string(length) +
                   "-byte file";
        case PACKAGE_TABLE_NOT_AT_END:
            return signedAt + "the table does not end at the end of the file: " +
                   std::to_string(length - table.offset - table.length) +
                   " bytes follow it (the file was extended after it was signed)";
        case PACKAGE_TABLE_REFUSED:
            return signedAt + CertificateProblem(reader.refusal.certificate, table.offset);
        case PACKAGE_TRAILER_IN_HEADERS:
            return signedAt + "the package trailer before the table, at offset " +
                   std::to_string(reader.location.trailerOffset) +
                   ", lies over the image's headers (a signed file without a package)";
        default: // PACKAGE_NO_TRAILER_BEFORE_TABLE
            return signedAt + "no package trailer ending in \"InstPack\" stands before the table,"
                              " behind at most 7 zero bytes (a signed file without a package, or"
                              " one changed before it was signed)";
    }
}

// The sum the trailer gives against the one the reader took.
static std::string SumProblem(void) {
    const PackageReader &reader = packageReader;
    bool isSigned = reader.location.certificateTable.length != 0;
    return "package sum mismatch: the trailer says " + FormatHex32(reader.trailer.packageSum) +
           ", but the " + std::to_string(reader.location.trailerOffset) +
           " bytes before it sum to " + FormatHex32(reader.refusal.sum) +
           (isSigned ? " with the 12 bytes that signing rewrites counted as zero (the file was"
                       " changed after it was built, or built by a tool that did not clear"
                       " them)"
                     : " (the file was changed after it was built)");
}

// Why the reader refused the file of its last open, from the fault it
// recorded and the numbers it kept until PackageClose.
static std::string RefusalProblem(void) {
    const PackageReader &reader = packageReader;
    const PackageTrailer &trailer = reader.trailer;
    uint32_t fault = reader.refusal.fault;
    switch (fault) {
        case PACKAGE_NOT_OPENED:
            return "cannot open for reading";
        case PACKAGE_NOT_READ:
            return "cannot read its bytes (a view of the file could not be mapped)";
        case PACKAGE_TOO_SHORT:
            return std::to_string(reader.length) +
                   " bytes long, too short to hold the 24-byte package trailer";
        case PACKAGE_NO_MAGIC:
            return "no package: its last 8 bytes are not \"InstPack\" (a file without a package,"
                   " or one cut short or extended after it was built)";
        case PACKAGE_TABLE_OUTSIDE_FILE:
        case PACKAGE_TABLE_NOT_AT_END:
        case PACKAGE_TABLE_REFUSED:
        case PACKAGE_NO_TRAILER_BEFORE_TABLE:
        case PACKAGE_TRAILER_IN_HEADERS:
            return SignedProblem(fault);
        case PACKAGE_DIRECTORY_OUTSIDE:
            return "the trailer places the directory stream at offset " +
                   std::to_string(trailer.directoryOffset) + ", " +
                   std::to_string(trailer.directoryCompressedSize) + " bytes long, beyond the " +
                   std::to_string(reader.location.trailerOffset) + " bytes before the trailer";
        case PACKAGE_DIRECTORY_EMPTY:
            return "the trailer gives the directory a size of 0";
        case PACKAGE_DIRECTORY_TOO_LARGE:
            return "the trailer claims a directory of " + std::to_string(trailer.directorySize) +
                   " bytes, more than its " + std::to_string(trailer.directoryCompressedSize) +
                   "-byte stream can yield";
        case PACKAGE_SUM_MISMATCH:
            return SumProblem();
        case PACKAGE_OUT_OF_MEMORY:
            return "out of memory while reading its directory";
        case PACKAGE_DIRECTORY_NOT_INFLATED:
            return "the directory does not inflate as the trailer says: " +
                   DirectoryInflationProblem(reader.refusal, trailer.directorySize);
        case PACKAGE_INSTALLABLE_TOO_LARGE:
            return "its installable entries add up to 4 GiB or more, beyond the 32-bit count of"
                   " bytes an installer extracts";
        case PACKAGE_RECORD_HEADER_CUT:
        case PACKAGE_RECORD_NAME_UNTERMINATED:
        case PACKAGE_RECORD_NAME_UNROOTED:
        case PACKAGE_RECORD_STREAM_OUTSIDE:
        case PACKAGE_RECORD_SIZE_TOO_LARGE:
        case PACKAGE_RECORD_LENGTH_SHORT:
        case PACKAGE_RECORD_LENGTH_PAST_END: {
            uint32_t offset = reader.refusal.recordOffset;
            return "directory record " + std::to_string(RecordNumber(offset)) + " (at offset " +
                   std::to_string(offset) + "): " + RecordProblem(fault, offset);
        }
        default:
            return "the package reader refused it (fault " + std::to_string(fault) + ")";
    }
}

// ---- Opening --------------------------------------------------------------------------------

// What qpack sees of the file at path before the reader is asked: missing,
// not a regular file, or too long for an installer's 32-bit offsets; ""
// otherwise.
static std::string FileProblem(const std::string &path) {
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
    return "";
}

bool InstallerOpen(const std::string &path) {
    std::string problem = FileProblem(path);
    if (problem.empty()) {
        if (PackageOpenFileInViews(path.c_str())) {
            return true;
        }
        problem = RefusalProblem();
    }
    PackageClose();
    ReportError(Printable(path) + ": " + problem);
    return false;
}
