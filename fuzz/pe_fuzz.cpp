// Any bytes as an installer: its head read as PE headers (sections, data
// directories, the certificate table and its records, the fields signing
// rewrites) and its tail searched for the package before a signature. Every
// range the PE reader hands out must lie inside the input, and every package
// the reader locates must have its trailer, padding and table where the
// rules put them: a signed file's table ends it and holds signatures alone.
// The input is then opened as it is, and once more with its package sum
// made right so that the open goes on to the directory.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "heap/region_heap.h"
#include "package/package.h"
#include "pe/pe.h"

static void Fail(const char *what) {
    fprintf(stderr, "pe_fuzz: %s\n", what);
    abort();
}

static void Inside(uint64_t offset, uint64_t size, size_t length, const char *what) {
    if (offset > length || size > length - offset) {
        Fail(what);
    }
}

static void ReadHeaders(const uint8_t *data, uint32_t length) {
    PeImage image;
    if (!PeImageRead(data, length, &image)) {
        return;
    }
    Inside(image.optionalHeaderOffset, image.optionalHeaderSize, length, "optional header");
    Inside(image.directoryTableOffset, uint64_t(image.directoryCount) * PE_DIRECTORY_ENTRY_SIZE,
           image.optionalHeaderOffset + image.optionalHeaderSize, "directories");
    Inside(image.sectionTableOffset, uint64_t(image.sectionCount) * PE_SECTION_HEADER_SIZE, length,
           "section table");
    uint32_t touched = 0;
    PeDataDirectory directory;
    for (uint32_t i = 0; PeDataDirectoryGet(&image, i, &directory); i++) {
        uint32_t offset;
        if (PeRvaToOffset(&image, directory.address, directory.size, &offset)) {
            Inside(offset, directory.size, length, "directory data");
            touched += directory.size != 0 ? data[offset] + data[offset + directory.size - 1] : 0;
        }
    }
    PeSection section;
    for (uint32_t i = 0; PeSectionGet(&image, i, &section); i++) {
        touched += static_cast<uint8_t>(section.name[0]);
    }
    PeSpan table, fields[2];
    if (PeCertificateTableGet(&image, &table)) {
        Inside(table.offset, table.length, length, "certificate table");
        PeCertificateFault fault;
        int sound = PeCertificateTableCheck(data + table.offset, table.length, &fault);
        if (fault.recordOffset > table.length ||
            sound != (fault.problem == PE_CERTIFICATES_SOUND) ||
            (sound && (fault.recordOffset != table.length || table.length % 8 != 0))) {
            Fail("a certificate table's verdict that does not fit it");
        }
    }
    if (PeSigningFields(&image, fields)) {
        Inside(fields[0].offset, 4, length, "CheckSum");
        Inside(fields[1].offset, 8, length, "certificate entry");
    }
    // The version resource, the image taken as a file and as loaded, and
    // a string of it.
    for (int loaded = 0; loaded < 2; loaded++) {
        PeSpan version;
        if (PeResourceFind(&image, PE_RESOURCE_VERSION, loaded, &version)) {
            Inside(version.offset, version.length, length, "version resource");
            uint32_t text = 0;
            uint32_t units =
                PeVersionStringFind(data + version.offset, version.length, "CompanyName", &text);
            if (units != 0) {
                Inside(text, 2 * uint64_t(units) + 2, version.length, "version string");
            }
        }
    }
    (void)touched;
}

// The input as a version resource.
static void ReadVersionStrings(const uint8_t *data, uint32_t length) {
    static const char *const names[2] = {"CompanyName", "ProductVersion"};
    for (const char *name : names) {
        uint32_t text = 0;
        uint32_t units = PeVersionStringFind(data, length, name, &text);
        if (units != 0) {
            Inside(text, 2 * uint64_t(units) + 2, length, "version string");
            if (data[text + 2 * units] != 0 || data[text + 2 * units + 1] != 0) {
                Fail("version string without its NUL");
            }
        }
    }
}

static void CheckLocation(const uint8_t *data, uint32_t length, const PackageLocation &location) {
    Inside(location.trailerOffset, PACKAGE_TRAILER_SIZE, length, "trailer");
    if (memcmp(data + location.trailerOffset + 16, PACKAGE_MAGIC, 8) != 0) {
        Fail("a trailer without the magic");
    }
    // The certificate entry decides: a signed file's last 24 bytes are
    // never taken for its trailer.
    PeImage image;
    PeDataDirectory entry;
    bool isSigned = PeImageRead(data, length, &image) &&
                    PeDataDirectoryGet(&image, PE_DIRECTORY_CERTIFICATE, &entry) &&
                    (entry.address != 0 || entry.size != 0);
    const PeSpan &table = location.certificateTable;
    if (!isSigned) {
        if (table.length != 0 || location.trailerOffset + PACKAGE_TRAILER_SIZE != length) {
            Fail("an unsigned trailer that is not the last 24 bytes");
        }
        return;
    }
    if (table.offset != entry.address || table.length != entry.size ||
        uint64_t(table.offset) + table.length != length) {
        Fail("a certificate table that is not the entry's or does not end the file");
    }
    PeCertificateFault fault;
    if (!PeCertificateTableCheck(data + table.offset, table.length, &fault)) {
        Fail("a certificate table that holds more than signatures");
    }
    uint32_t packageEnd = location.trailerOffset + PACKAGE_TRAILER_SIZE;
    if (packageEnd > table.offset || table.offset - packageEnd > PACKAGE_SIGNATURE_MAX_PADDING) {
        Fail("padding out of bounds");
    }
    for (uint32_t at = packageEnd; at < table.offset; at++) {
        if (data[at] != 0) {
            Fail("padding that is not zero");
        }
    }
    for (const PeSpan &field : location.signingFields) {
        Inside(field.offset, field.length, location.trailerOffset, "signing field");
    }
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    RegionHeapInit();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (64u << 20)) {
        return 0;
    }
    uint32_t length = static_cast<uint32_t>(size);
    ReadHeaders(data, length);
    ReadVersionStrings(data, length);
    PackageLocation location;
    if (!PackageLocate(data, length, &location)) {
        if (PackageOpenMemory(data, length)) {
            Fail("a package opened that cannot be located");
        }
        // The open gives up where PackageLocate does, for a reason of its own.
        uint32_t fault = packageReader.refusal.fault;
        if (fault < PACKAGE_TOO_SHORT || fault > PACKAGE_TRAILER_IN_HEADERS) {
            Fail("a file that cannot be located refused for another reason");
        }
        PackageClose();
        return 0;
    }
    CheckLocation(data, length, location);
    PackageOpenMemory(data, length);
    PackageClose();

    // The sum made right: the trailer's packageSum is not itself summed.
    uint8_t *copy = static_cast<uint8_t *>(malloc(size));
    memcpy(copy, data, size);
    uint32_t sum = PackageLocatedSum(copy, &location);
    for (int i = 0; i < 4; i++) {
        copy[location.trailerOffset + 12 + i] = static_cast<uint8_t>(sum >> (8 * i));
    }
    if (PackageOpenMemory(copy, length)) {
        for (const DirectoryRecord *record = PackageFirstRecord(); record != nullptr;
             record = PackageNextRecord(record)) {
            PackageFindEntry(DirectoryRecordName(record) + 1);
        }
    }
    PackageClose();
    free(copy);
    return 0;
}
