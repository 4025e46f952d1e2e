// qpack extract: the installable entries (or all of them) below a folder,
// each checked against its size and byte sum before it is left in place.
#include "qpack/qpack_cli.h"

#include <stdio.h>

#include <ostream>
#include <system_error>

#include "package/package.h"

namespace fs = std::filesystem;

namespace {

// Running totals of one extraction.
struct ExtractTally {
    size_t written = 0;
    size_t refused = 0;
    uint64_t bytes = 0;
};

// The relative path of a safe name ("\a\b.txt" -> a/b.txt).
fs::path ExtractRelativePath(const std::string &name) {
    fs::path relative;
    size_t start = 1;
    for (;;) {
        size_t end = name.find('\\', start);
        relative /= PathFromNative(name.substr(start, end - start));
        if (end == std::string::npos) {
            return relative;
        }
        start = end + 1;
    }
}

// True when folder, once its symbolic links are resolved, lies inside root
// (canonical). A folder below root may be a link that points elsewhere:
// writing through it would leave root as surely as "..". The deepest part of
// folder that exists already decides; what is created below it is real.
bool ExtractStaysInside(const fs::path &root, fs::path folder) {
    std::error_code failure;
    while (!fs::exists(fs::symlink_status(folder, failure)) && folder.has_relative_path()) {
        folder = folder.parent_path();
    }
    fs::path real = fs::canonical(folder, failure);
    if (failure) {
        return false;
    }
    auto rootPart = root.begin();
    auto part = real.begin();
    for (; rootPart != root.end(); ++rootPart, ++part) {
        if (part == real.end() || *part != *rootPart) {
            return false;
        }
    }
    return true;
}

// Writes one entry to target; false with the reason in *error.
bool ExtractEntryWrite(const DirectoryRecord *record, const fs::path &target,
                       const std::string &shownTarget, std::string *error) {
    uint32_t size = DirectoryRecordSize(record);
    return FileWriteAtomically(
        target, shownTarget,
        [&](std::ostream &out, std::string *failure) {
            InflationResult result =
                InflateStream(PackageEntryStream(record), DirectoryRecordCompressedSize(record),
                              size, [&out](const unsigned char *bytes, size_t count) {
                                  out.write(reinterpret_cast<const char *>(bytes),
                                            static_cast<std::streamsize>(count));
                                  return static_cast<bool>(out);
                              });
            if (result.outcome == INFLATION_SINK_FAILED) {
                *failure = "cannot write " + Quoted(shownTarget) + " (disk full?)";
                return false;
            }
            *failure = InflationProblem(result, size, DirectoryRecordDataSum(record));
            return failure->empty();
        },
        error);
}

// Why the entry was not extracted below root, or "" when it was.
std::string ExtractEntry(const DirectoryRecord *record, const fs::path &root,
                         const std::string &shownRoot) {
    std::string name = DirectoryRecordName(record);
    std::string problem = ExtractNameProblem(name);
    if (!problem.empty()) {
        return "refused: " + problem;
    }
    fs::path relative = ExtractRelativePath(name);
    fs::path target = root / relative;
    std::string shownTarget = shownRoot + "/" + relative.generic_string();
    if (!ExtractStaysInside(root, target.parent_path())) {
        return "refused: its folder leads out of " + Quoted(shownRoot) + " through a symbolic link";
    }
    std::error_code failure;
    fs::create_directories(target.parent_path(), failure);
    if (failure) {
        return "cannot create the folder for " + Quoted(shownTarget) + ": " + failure.message();
    }
    if (!ExtractEntryWrite(record, target, shownTarget, &problem)) {
        return "not written: " + problem;
    }
    return "";
}

int ExtractAll(const std::string &installer, const std::string &shownRoot, bool internalToo) {
    fs::path root = PathFromNative(shownRoot);
    std::error_code failure;
    fs::create_directories(root, failure);
    if (!failure) {
        root = fs::canonical(root, failure);
    }
    if (failure) {
        ReportError("cannot create " + Quoted(shownRoot) + ": " + failure.message());
        return QPACK_EXIT_FAILED;
    }
    ExtractTally tally;
    for (const DirectoryRecord *record = PackageFirstRecord(); record != nullptr;
         record = PackageNextRecord(record)) {
        if (DirectoryRecordIsInternal(record) && !internalToo) {
            continue;
        }
        std::string problem = ExtractEntry(record, root, shownRoot);
        if (!problem.empty()) {
            tally.refused++;
            ReportError(Printable(installer) + ": entry " + Quoted(DirectoryRecordName(record)) +
                        " " + problem);
            continue;
        }
        tally.written++;
        tally.bytes += DirectoryRecordSize(record);
    }
    printf("extracted %s (%s) to %s\n", Counted(tally.written, "file", "files").c_str(),
           FormatSize(tally.bytes).c_str(), Printable(shownRoot).c_str());
    if (tally.refused != 0) {
        ReportError(Counted(tally.refused, "entry", "entries") + " not extracted");
        return QPACK_EXIT_FAILED;
    }
    return QPACK_EXIT_OK;
}

} // namespace

int ExtractCommand(const std::vector<std::string> &args) {
    ParsedArguments parsed;
    int status = CommandArgumentsParse("extract", args, {{"output", 'o', true}, {"all", 0, false}},
                                       {"output"}, "INSTALLER", &parsed);
    if (status >= 0) {
        return status;
    }
    const std::string &installer = parsed.operands[0];
    if (!InstallerOpen(installer)) {
        return QPACK_EXIT_FAILED;
    }
    status = ExtractAll(installer, parsed.options["output"], ArgumentsHave(parsed, "all"));
    PackageClose();
    return status;
}
