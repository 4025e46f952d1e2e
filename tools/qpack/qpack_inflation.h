// Reading installers: opening one with the package reader, and inflating
// its streams a bounded view at a time.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>

#include "package/package.h"

// Opens the installer with the package reader; the caller ends with
// PackageClose. On failure reports exactly why, in words for the fault the
// reader recorded, and returns false with nothing left open.
bool InstallerOpen(const std::string &path);

// ---- Streamed inflation ------------------------------------------------------------

enum InflationOutcome {
    INFLATION_COMPLETE,  // the stream ended, its Adler-32 check included
    INFLATION_CORRUPT,   // zlib found invalid data
    INFLATION_CUT_SHORT, // the input ran out before the stream's end
    INFLATION_TOO_LONG,  // more bytes than the limit
    INFLATION_NO_MEMORY,
    INFLATION_SINK_FAILED, // the sink refused the bytes
    INFLATION_NOT_MAPPED   // a view of the file could not be mapped
};

struct InflationResult {
    InflationOutcome outcome = INFLATION_COMPLETE;
    uint64_t produced = 0; // bytes inflated (beyond the limit when TOO_LONG)
    uint32_t sum = 0;      // byte sum of the bytes handed to the sink
    std::string zlibMessage;
};

// Inflates the zlib stream in the length bytes at offset of the open
// package's file (see PackageFileBytesMap), mapped a bounded view at a time,
// handing at most limit bytes to sink (null: none) and stopping as soon as
// the stream yields more. Memory and address space stay small whatever the
// stream's size. Safe to call from several threads at once.
using InflationSink = std::function<bool(const unsigned char *bytes, size_t count)>;
InflationResult InflatePackageBytes(uint32_t offset, uint32_t length, uint32_t limit,
                                    const InflationSink &sink);

// InflatePackageBytes of the entry of record, limited to its size.
InflationResult InflateEntry(const DirectoryRecord *record, const InflationSink &sink);

// What is wrong with an entry whose stream gave result, given the size and
// byte sum its record claims; "" when it is sound.
std::string InflationProblem(const InflationResult &result, uint32_t size, uint32_t dataSum);
