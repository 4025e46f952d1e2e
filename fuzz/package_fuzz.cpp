// Arbitrary bytes to the package reader, three ways:
//  1. the input as a package in memory, exactly as given;
//  2. the input with its trailer's package sum made right, so that the
//     mutations reach the directory and the streams: opened from memory and
//     from a temporary file;
//  3. the input as a raw directory (a 2-byte little-endian length, that many
//     directory bytes, then the data area), which the harness compresses and
//     wraps in a package with a correct trailer: crafted records straight to
//     the directory checks.
// Every open package is walked: each record's name, a lookup by that name,
// each entry inflated into a buffer of exactly its size, the manifest loaded
// and freed. After the close the region heap must be intact and hold no
// region the iteration made.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <zlib.h>

#include "heap/region_heap.h"
#include "manifest/manifest.h"
#include "package/package.h"
#include "platform/platform.h"

// Entries above this are looked up but not inflated, to keep runs fast.
static const uint32_t kReadLimit = 8u << 20;
static char temporaryPath[64];

static void Fail(const char *what) {
    fprintf(stderr, "package_fuzz: %s\n", what);
    abort();
}

static void StoreU32(unsigned char *bytes, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

static uint32_t PlainSum(const unsigned char *data, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i < size; i++) {
        sum += data[i];
    }
    return sum;
}

static void WalkOpenPackage(void) {
    for (const DirectoryRecord *record = PackageFirstRecord(); record != nullptr;
         record = PackageNextRecord(record)) {
        const char *name = DirectoryRecordName(record);
        if (name[0] != '\\') {
            Fail("record name without its backslash");
        }
        if (PackageFindEntry(name + 1) == nullptr) {
            Fail("a record is not found by its own name");
        }
        DirectoryRecordIsInternal(record);
        uint32_t size = DirectoryRecordSize(record);
        if (size > kReadLimit) {
            continue;
        }
        // Exactly sized, so that one byte too many is an overflow.
        unsigned char *buffer = static_cast<unsigned char *>(malloc(size));
        if (buffer == nullptr && size > 0) {
            continue;
        }
        if (PackageReadEntryFull(buffer, record)) {
            // A complete entry of a package that opened: inflating it again
            // gives the same bytes.
            unsigned char *again = static_cast<unsigned char *>(malloc(size));
            if (again != nullptr) {
                PackageReadEntry(again, record);
                if (size > 0 && memcmp(again, buffer, size) != 0) {
                    Fail("an entry inflates differently twice");
                }
                free(again);
            }
        } else {
            PackageReadEntry(buffer, record);
        }
        free(buffer);
    }
    InstallDescription description;
    ManifestLoad(&description);
    ManifestIsUsable(&description);
    ManifestFree(&description);
}

// The reader records a fault exactly when it refuses the file.
static int OpenedWithReason(int opened) {
    if (opened != (packageReader.refusal.fault == PACKAGE_SOUND)) {
        Fail(opened ? "an open succeeded with a fault" : "an open was refused without a fault");
    }
    return opened;
}

static void OpenMemoryAndWalk(const unsigned char *data, size_t size) {
    if (OpenedWithReason(PackageOpenMemory(data, static_cast<uint32_t>(size)))) {
        WalkOpenPackage();
    }
    PackageClose();
}

static void OpenFileAndWalk(const unsigned char *data, size_t size) {
    FILE *file = fopen(temporaryPath, "wb");
    if (file == nullptr) {
        Fail("cannot write the temporary file");
    }
    if (size > 0 && fwrite(data, 1, size, file) != size) {
        Fail("cannot write the temporary file");
    }
    fclose(file);
    if (OpenedWithReason(PackageOpenFile(temporaryPath))) {
        WalkOpenPackage();
    }
    PackageClose();
}

// The input with a package sum that matches everything before its trailer.
static void OpenWithSumFixed(const uint8_t *data, size_t size) {
    if (size < PACKAGE_TRAILER_SIZE) {
        return;
    }
    unsigned char *copy = static_cast<unsigned char *>(malloc(size));
    memcpy(copy, data, size);
    size_t end = size - PACKAGE_TRAILER_SIZE;
    StoreU32(copy + end + 12, PlainSum(copy, end));
    OpenMemoryAndWalk(copy, size);
    OpenFileAndWalk(copy, size);
    free(copy);
}

// stub | compressed directory | data area | trailer, from a raw directory.
static void OpenAsRawDirectory(const uint8_t *data, size_t size) {
    if (size < 2) {
        return;
    }
    size_t directorySize = data[0] | data[1] << 8;
    if (directorySize > size - 2) {
        directorySize = size - 2;
    }
    const uint8_t *directory = data + 2;
    const uint8_t *dataArea = directory + directorySize;
    size_t dataAreaSize = size - 2 - directorySize;
    static const unsigned char stub[] = "MZ fuzz stub";
    uLongf streamSize = compressBound(directorySize);
    size_t total = sizeof stub + streamSize + dataAreaSize + PACKAGE_TRAILER_SIZE;
    unsigned char *package = static_cast<unsigned char *>(malloc(total));
    memcpy(package, stub, sizeof stub);
    if (compress2(package + sizeof stub, &streamSize, directory, directorySize, 9) != Z_OK) {
        Fail("compress2 failed");
    }
    size_t at = sizeof stub + streamSize;
    if (dataAreaSize > 0) {
        memcpy(package + at, dataArea, dataAreaSize);
    }
    at += dataAreaSize;
    unsigned char *trailer = package + at;
    StoreU32(trailer, sizeof stub);
    StoreU32(trailer + 4, static_cast<uint32_t>(streamSize));
    StoreU32(trailer + 8, static_cast<uint32_t>(directorySize));
    StoreU32(trailer + 12, PlainSum(package, at));
    memcpy(trailer + 16, PACKAGE_MAGIC, 8);
    OpenMemoryAndWalk(package, at + PACKAGE_TRAILER_SIZE);
    free(package);
}

static void RemoveTemporaryFile(void) {
    unlink(temporaryPath);
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    (void)argc;
    (void)argv;
    RegionHeapInit();
    snprintf(temporaryPath, sizeof temporaryPath, "/tmp/package_fuzz_%d.bin",
             static_cast<int>(getpid()));
    atexit(RemoveTemporaryFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (64u << 20)) {
        return 0;
    }
    uint32_t pages = PlatformPagesLiveCount();
    OpenMemoryAndWalk(data, size);
    OpenWithSumFixed(data, size);
    OpenAsRawDirectory(data, size);
    if (!RegionHeapCheck() || PlatformPagesLiveCount() != pages) {
        Fail("heap not as it was after PackageClose");
    }
    return 0;
}
