// qpack extract: the installable entries (or all of them) below a folder,
// written by the installer's own extraction engine, so that what lands on
// disk is what the stub would install: the same name rules, the same path
// limit, every entry checked against its size and byte sum before it
// replaces anything, and nothing written when all installable entries are
// empty.
#include "qpack/qpack_arguments.h"
#include "qpack/qpack_commands.h"
#include "qpack/qpack_files.h"
#include "qpack/qpack_inflation.h"
#include "qpack/qpack_messages.h"
#include "qpack/qpack_names.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "package/extract.h"
#include "package/package.h"

namespace fs = std::filesystem;

namespace {

// The engine's hooks are plain functions: what they need lives here for the
// one extraction a run makes.
struct ExtractSession {
    std::string installer;
    std::string shownRoot;
    fs::path root;          // canonical
    size_t failedCount = 0; // entries not written
    uint64_t failedBytes = 0;
    size_t lineLength = 0; // of the progress line on the terminal, 0: none shown
};

ExtractSession session;

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

// How the target of name is shown: below the folder as given on the
// command line, with the system's separator.
std::string ShownTarget(const std::string &name) {
    std::string shown = session.shownRoot + name;
#ifndef _WIN32
    std::replace(shown.begin() + static_cast<std::ptrdiff_t>(session.shownRoot.size()), shown.end(),
                 '\\', '/');
#endif
    return shown;
}

// True when folder, once its links are resolved, lies inside root's real
// path. A folder below root may be a link that points elsewhere:
// writing through it would leave root as surely as "..". The deepest part of
// folder that exists already decides; what is created below it is real.
bool ExtractStaysInside(const fs::path &root, fs::path folder) {
    std::error_code failure;
    while (!fs::exists(fs::symlink_status(folder, failure)) && folder.has_relative_path()) {
        folder = folder.parent_path();
    }
    fs::path real = RealPath(folder, failure);
    fs::path realRoot = failure ? fs::path() : RealPath(root, failure);
    if (failure) {
        return false;
    }
    auto rootPart = realRoot.begin();
    auto part = real.begin();
    for (; rootPart != realRoot.end(); ++rootPart, ++part) {
        if (part == real.end() || *part != *rootPart) {
            return false;
        }
    }
    return true;
}

// ---- The engine's hooks -----------------------------------------------------------------

void ProgressLineClear(void) {
    if (session.lineLength != 0) {
        fprintf(stderr, "\r%*s\r", static_cast<int>(session.lineLength), "");
        session.lineLength = 0;
    }
}

void ProgressLineShow(const char *text, float fraction) {
    std::string status = text;
#ifndef _WIN32
    std::replace(status.begin(), status.end(), '\\', '/'); // the engine's separator
#endif
    std::string line = std::to_string(static_cast<int>(fraction * 100)) + "% " + Printable(status);
    if (line.size() > 78) {
        line = line.substr(0, 75) + "...";
    }
    size_t previous = session.lineLength;
    fprintf(stderr, "\r%s%*s", line.c_str(),
            static_cast<int>(previous > line.size() ? previous - line.size() : 0), "");
    fflush(stderr);
    session.lineLength = std::max(previous, line.size());
}

int ExtractAdmit(const DirectoryRecord *record, const char *) {
    fs::path target = session.root / ExtractRelativePath(DirectoryRecordName(record));
    return ExtractStaysInside(session.root, target.parent_path());
}

// Why the engine did not write the entry of record, in words.
std::string ExtractFailureText(const DirectoryRecord *record, ExtractFailure failure) {
    std::string name = DirectoryRecordName(record);
    std::string problem;
    switch (failure) {
        case EXTRACT_NAME_UNSAFE:
            problem = ExtractNameProblem(name);
            return "refused: " + (problem.empty() ? "its name is unsafe" : problem);
        case EXTRACT_PATH_TOO_LONG:
            return "refused: " + Quoted(ShownTarget(name)) + " is longer than the " +
                   std::to_string(PLATFORM_MAX_PATH - 1) + " bytes an installer's paths may have";
        case EXTRACT_REFUSED:
            return "refused: its folder leads out of " + Quoted(session.shownRoot) +
                   " through a symbolic link";
        case EXTRACT_NO_MEMORY:
            return "not written: out of memory";
        case EXTRACT_DAMAGED: {
            uint32_t size = DirectoryRecordSize(record);
            problem = InflationProblem(InflateEntry(record, nullptr), size,
                                       DirectoryRecordDataSum(record));
            return "not written: " + (problem.empty() ? "its data are damaged" : problem);
        }
        case EXTRACT_NOT_CREATED:
            return "not written: cannot create a file beside " + Quoted(ShownTarget(name)) +
                   " (is its folder missing or a file?)";
        case EXTRACT_DISK_FULL:
            return "not written: the disk is full";
        case EXTRACT_NOT_REPLACED:
            return "not written: cannot replace " + Quoted(ShownTarget(name)) +
                   " (in use, read-only or a folder)";
    }
    return "not written";
}

void ExtractReportFailure(const DirectoryRecord *record, const char *, ExtractFailure failure) {
    ProgressLineClear();
    session.failedCount++;
    session.failedBytes += DirectoryRecordSize(record);
    ReportError(Printable(session.installer) + ": entry " + Quoted(DirectoryRecordName(record)) +
                " " + ExtractFailureText(record, failure));
}

// ---- Internal entries (--all) ----------------------------------------------------------

// The stub never installs internal entries; --all writes them with the
// same per-entry step and the same rules. Returns the bytes written.
uint64_t ExtractInternalEntries(const std::string &installDirectory, size_t *written) {
    uint64_t bytes = 0;
    for (const DirectoryRecord *record = PackageFirstRecord(); record != nullptr;
         record = PackageNextRecord(record)) {
        if (!DirectoryRecordIsInternal(record)) {
            continue;
        }
        const char *name = DirectoryRecordName(record);
        char path[PLATFORM_MAX_PATH] = "";
        ExtractFailure failure = EXTRACT_NAME_UNSAFE;
        int done = 0;
        if (!ExtractNameIsSafe(name)) {
            failure = EXTRACT_NAME_UNSAFE;
        } else if (!ExtractPathBuild(path, installDirectory.c_str(), name)) {
            failure = EXTRACT_PATH_TOO_LONG;
        } else if (!ExtractAdmit(record, path)) {
            failure = EXTRACT_REFUSED;
        } else {
            done = ExtractEntryToFile(record, path, installDirectory.c_str(), &failure);
        }
        if (!done) {
            ExtractReportFailure(record, path, failure);
            continue;
        }
        ++*written;
        bytes += DirectoryRecordSize(record);
    }
    return bytes;
}

// ---- The command ------------------------------------------------------------------------

// Creates the folder and makes it the session's root; false after a message.
bool ExtractRootPrepare(const std::string &shownRoot, std::string *installDirectory) {
    fs::path root = PathFromNative(shownRoot);
    std::error_code failure;
    fs::create_directories(root, failure);
    if (!failure) {
        root = fs::canonical(root, failure);
    }
    if (failure) {
        ReportError("cannot create " + Quoted(shownRoot) + ": " + failure.message());
        return false;
    }
    if (!NativeNameFromPath(root, installDirectory)) {
        ReportError("cannot extract below " + Quoted(shownRoot) +
                    ": its path has characters the system's code page cannot hold");
        return false;
    }
#ifndef _WIN32
    // The engine's separator is "\": one in the folder's own path would be
    // taken for a separator.
    if (installDirectory->find('\\') != std::string::npos) {
        ReportError("cannot extract below " + Quoted(shownRoot) + ": its path holds a \"\\\"");
        return false;
    }
#endif
    session.root = root;
    return true;
}

// Entries' streams are read through views of at most this size: the view
// is held beside the entry's buffer, and mapping 256 KiB costs little
// against inflating them.
const uint32_t QPACK_EXTRACT_VIEW_SIZE = 256u << 10;

int ExtractAll(const std::string &installer, const std::string &shownRoot, bool internalToo) {
    packageViewSize = std::min(packageViewSize, QPACK_EXTRACT_VIEW_SIZE);
    session = ExtractSession();
    session.installer = installer;
    session.shownRoot = shownRoot;
    std::string installDirectory;
    if (!ExtractRootPrepare(shownRoot, &installDirectory)) {
        return QPACK_EXIT_FAILED;
    }

    size_t installable = 0;
    uint64_t installableBytes = 0;
    for (const DirectoryRecord *record = PackageFirstRecord(); record != nullptr;
         record = PackageNextRecord(record)) {
        if (!DirectoryRecordIsInternal(record)) {
            installable++;
            installableBytes += DirectoryRecordSize(record);
        }
    }
    ExtractionHooks hooks = {StderrIsTerminal() ? ProgressLineShow : nullptr, ExtractAdmit,
                             ExtractReportFailure};
    ExtractionReport report = {};
    ExtractAllFilesWithHooks(installDirectory.c_str(), &hooks, &report);
    ProgressLineClear();
    if (installable != 0 && report.files == 0) {
        ReportWarning("the installable entries are all empty: the installer writes none of them,"
                      " and neither does extract");
    }
    size_t written = report.files - report.failed;
    uint64_t bytes = report.files != 0 ? installableBytes - session.failedBytes : 0;
    if (internalToo) {
        bytes += ExtractInternalEntries(installDirectory, &written);
    }

    printf("extracted %s (%s) to %s\n", Counted(written, "file", "files").c_str(),
           FormatSize(bytes).c_str(), Printable(shownRoot).c_str());
    if (session.failedCount != 0) {
        ReportError(Counted(session.failedCount, "entry", "entries") + " not extracted");
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
