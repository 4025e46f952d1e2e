// qpack diff, and the release check of qpack build --previous: what an
// upgrade from one installer to the next changes, and which files of the old
// product it would leave behind (the installer never removes a file that no
// "delfile" line names).
#include "qpack/package_writer.h"
#include "qpack/qpack_arguments.h"
#include "qpack/qpack_commands.h"
#include "qpack/qpack_files.h"
#include "qpack/qpack_inflation.h"
#include "qpack/qpack_messages.h"
#include "qpack/qpack_names.h"

#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "manifest/manifest.h"
#include "package/package.h"

namespace {

// One installable entry: what it holds, as far as an upgrade cares. The two
// installers are read one after the other, so their bytes are never side by
// side: entries of equal keys count as unchanged, which at worst leaves out a
// "changed" line (nothing is shared or skipped on it).
struct ReleaseEntry {
    std::string name;
    PackageContentKey key; // of the inflated bytes
};

// Installable entries and stale-file names of one installer, by folded name.
struct ReleaseContents {
    std::map<std::string, ReleaseEntry> entries;
    std::vector<std::string> deleteFiles; // folded, as entry names ("\a\b")
};

std::string FoldedEntryName(const std::string &relative) {
    std::string name = "\\" + relative;
    std::replace(name.begin(), name.end(), '/', '\\');
    return FoldAsciiCase(name);
}

// Reads the open package; false with a message when a stream is damaged.
bool ReleaseContentsRead(const std::string &path, ReleaseContents *contents, std::string *error) {
    for (const DirectoryRecord *record = PackageFirstRecord(); record != nullptr;
         record = PackageNextRecord(record)) {
        if (DirectoryRecordIsInternal(record)) {
            continue;
        }
        uint32_t size = DirectoryRecordSize(record);
        PackageContentKey key;
        key.size = size;
        InflationSink sink = [&key](const unsigned char *bytes, size_t count) {
            PackageContentKeyAdd(&key, bytes, count);
            return true;
        };
        InflationResult result = InflateEntry(record, sink);
        std::string problem = InflationProblem(result, size, DirectoryRecordDataSum(record));
        std::string name = DirectoryRecordName(record);
        if (!problem.empty()) {
            *error = Printable(path) + ": entry " + Quoted(name) + ": " + problem;
            return false;
        }
        contents->entries[FoldAsciiCase(name)] = {name, key};
    }
    InstallDescription description;
    if (ManifestLoad(&description)) {
        for (const DeleteEntry *entry = description.deleteFiles; entry != nullptr;
             entry = entry->next) {
            contents->deleteFiles.push_back(FoldedEntryName(entry->fileName));
        }
    }
    ManifestFree(&description);
    return true;
}

// From the file at path, or from file when it is given (path then only
// names it).
bool ReleaseContentsLoad(const std::string &path, const std::filesystem::path *file,
                         ReleaseContents *contents, std::string *error) {
    if (file != nullptr) {
        std::string native;
        if (!NativeNameFromPath(*file, &native) || !PackageOpenFileInViews(native.c_str())) {
            PackageClose();
            *error = Printable(path) + ": the package reader refuses it";
            return false;
        }
    } else if (!InstallerOpen(path)) {
        *error = "";
        return false; // the reason is printed already
    }
    bool read = ReleaseContentsRead(path, contents, error);
    PackageClose();
    return read;
}

// The differences, one line each on stdout; every file the upgrade leaves
// behind is also reported on stderr (as an error when strict). Returns the
// number of such files.
size_t ReleaseDifferencesReport(const ReleaseContents &older, const ReleaseContents &newer,
                                bool strict) {
    size_t left = 0;
    for (const auto &old : older.entries) {
        auto found = newer.entries.find(old.first);
        if (found == newer.entries.end()) {
            bool deleted = std::find(newer.deleteFiles.begin(), newer.deleteFiles.end(),
                                     old.first) != newer.deleteFiles.end();
            printf("removed %s%s\n", Quoted(old.second.name).c_str(),
                   deleted ? " (a delfile line deletes it)" : " (left behind on an upgrade)");
            if (!deleted) {
                left++;
                std::string message =
                    Quoted(old.second.name) +
                    " was in the previous installer and is not in this one, and no delfile"
                    " line names it: an upgrade leaves it behind";
                strict ? ReportError(message) : ReportWarning(message);
            }
        } else if (!(found->second.key == old.second.key)) {
            printf("changed %s\n", Quoted(found->second.name).c_str());
        }
    }
    for (const auto &entry : newer.entries) {
        if (older.entries.count(entry.first) == 0) {
            printf("added   %s\n", Quoted(entry.second.name).c_str());
        }
    }
    return left;
}

} // namespace

bool ReleaseCheck(const std::string &previous, const std::string &current,
                  const std::filesystem::path *currentFile, bool strict, std::string *error) {
    ReleaseContents older, newer;
    if (!ReleaseContentsLoad(previous, nullptr, &older, error) ||
        !ReleaseContentsLoad(current, currentFile, &newer, error)) {
        return false;
    }
    size_t left = ReleaseDifferencesReport(older, newer, strict);
    if (strict && left != 0) {
        *error = Counted(left, "file", "files") + " of the previous installer left behind";
        return false;
    }
    return true;
}

int DiffCommand(const std::vector<std::string> &args) {
    ParsedArguments parsed;
    std::string error;
    if (!ArgumentsParse(args, {{"strict", 0, false}, {"help", 0, false}}, &parsed, &error)) {
        return UsageError(error);
    }
    if (ArgumentsHave(parsed, "help")) {
        UsagePrint();
        return QPACK_EXIT_OK;
    }
    if (parsed.operands.size() != 2) {
        return UsageError("diff takes two installers, OLD and NEW");
    }
    if (!ReleaseCheck(parsed.operands[0], parsed.operands[1], nullptr,
                      ArgumentsHave(parsed, "strict"), &error)) {
        if (!error.empty()) {
            ReportError(error);
        }
        return QPACK_EXIT_FAILED;
    }
    return QPACK_EXIT_OK;
}
