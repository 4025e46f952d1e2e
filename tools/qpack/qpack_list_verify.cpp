// qpack list and qpack verify: what an installer holds, and whether every
// byte of it is what its trailer and directory say.
#include "qpack/package_writer.h"
#include "qpack/qpack_arguments.h"
#include "qpack/qpack_commands.h"
#include "qpack/qpack_inflation.h"
#include "qpack/qpack_messages.h"
#include "qpack/qpack_names.h"
#include "qpack/qpack_threads.h"

#include <stdio.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "manifest/manifest.h"
#include "package/package.h"
#include "removal/removal.h"

namespace {

// One record as the commands show it.
struct EntryRow {
    std::string name;
    uint32_t size;
    uint32_t compressedSize;
    uint32_t dataSum;
    bool internal;
    const DirectoryRecord *record;
    std::string sharesWith;    // the first entry whose stream this one uses too; "" when none
    bool generatedUninstaller; // the manifest's uninstaller, carrying a package of its own
};

std::vector<EntryRow> EntryRowsRead(void) {
    std::vector<EntryRow> rows;
    for (const DirectoryRecord *record = PackageFirstRecord(); record != nullptr;
         record = PackageNextRecord(record)) {
        rows.push_back({DirectoryRecordName(record), DirectoryRecordSize(record),
                        DirectoryRecordCompressedSize(record), DirectoryRecordDataSum(record),
                        DirectoryRecordIsInternal(record) != 0, record, "", false});
    }
    // Identical files are stored once: their records point at one stream.
    std::map<std::pair<uint32_t, uint32_t>, std::string> streams; // offset, size -> first entry
    for (EntryRow &row : rows) {
        auto found = streams.emplace(
            std::make_pair(DirectoryRecordDataOffset(row.record), row.compressedSize), row.name);
        if (!found.second) {
            row.sharesWith = found.first->second;
        }
    }
    return rows;
}

const uint32_t kGeneratedUninstallerMax = 64u << 20;

// The manifest's uninstaller entry when qpack generated it: the entry is a
// program that carries a package (its bytes go to *program). Returns the
// row's index, or rows.size() when there is none.
size_t GeneratedUninstallerFind(std::vector<EntryRow> *rows, PackageBytes *program) {
    const DirectoryRecord *manifest = PackageFindEntry(MANIFEST_ENTRY_NAME);
    if (manifest == nullptr) {
        return rows->size();
    }
    std::string text(DirectoryRecordSize(manifest), '\0');
    if (!PackageReadEntryFull(&text[0], manifest)) {
        return rows->size();
    }
    InstallDescription description = {};
    ManifestParseText(&description, text.data(), static_cast<uint32_t>(text.size()));
    std::string name = description.uninstaller != nullptr ? description.uninstaller : "";
    ManifestFree(&description);
    std::replace(name.begin(), name.end(), '/', '\\');
    for (size_t i = 0; i < rows->size() && !name.empty(); i++) {
        EntryRow &row = (*rows)[i];
        // A generated one is a stub and a small package; a vendor's own large
        // program is not read whole to find that out.
        if (row.internal || row.size > kGeneratedUninstallerMax ||
            FoldAsciiCase(row.name) != FoldAsciiCase("\\" + name)) {
            continue;
        }
        program->assign(row.size, 0);
        PackageLocation location;
        if (PackageReadEntryFull(program->data(), row.record) &&
            PackageLocate(program->data(), row.size, &location)) {
            row.generatedUninstaller = true;
            return i;
        }
    }
    return rows->size();
}

const char *EntryKind(const EntryRow &row) {
    if (row.generatedUninstaller) {
        return "installable, generated uninstaller";
    }
    return row.internal ? "internal" : "installable";
}

// ---- list -----------------------------------------------------------------------------

void ListPrintTable(const std::vector<EntryRow> &rows) {
    size_t nameWidth = 4;
    for (const EntryRow &row : rows) {
        nameWidth = std::max(nameWidth, Printable(row.name).size());
    }
    int width = static_cast<int>(nameWidth);
    printf("%-*s %10s %10s %-10s %s\n", width, "name", "size", "compressed", "sum", "kind");
    for (const EntryRow &row : rows) {
        printf("%-*s %10u %10u %-10s %s%s\n", width, Printable(row.name).c_str(),
               static_cast<unsigned>(row.size), static_cast<unsigned>(row.compressedSize),
               FormatHex32(row.dataSum).c_str(), EntryKind(row),
               row.sharesWith.empty() ? ""
                                      : (" (stream of " + Quoted(row.sharesWith) + ")").c_str());
    }
}

std::string JsonString(const std::string &text) {
    std::string json = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            json += '\\';
            json += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            json += escape;
        } else {
            json += static_cast<char>(c); // other bytes as they are: names are ANSI
        }
    }
    return json + "\"";
}

void ListPrintJson(const std::vector<EntryRow> &rows) {
    printf("[");
    for (size_t i = 0; i < rows.size(); i++) {
        const EntryRow &row = rows[i];
        printf("%s\n  {\"name\": %s, \"size\": %u, \"compressedSize\": %u, \"dataSum\": \"%s\", "
               "\"kind\": \"%s\"%s}",
               i == 0 ? "" : ",", JsonString(row.name).c_str(), static_cast<unsigned>(row.size),
               static_cast<unsigned>(row.compressedSize), FormatHex32(row.dataSum).c_str(),
               EntryKind(row),
               row.sharesWith.empty()
                   ? ""
                   : (", \"sharesStreamWith\": " + JsonString(row.sharesWith)).c_str());
    }
    printf("\n]\n");
}

// ---- verify -----------------------------------------------------------------------------

std::string EntryProblem(const EntryRow &row) {
    return InflationProblem(InflateEntry(row.record, nullptr), row.size, row.dataSum);
}

// Entries are independent: every core inflates its share.
std::vector<std::string> EntryProblemsFind(const std::vector<EntryRow> &rows) {
    std::vector<std::string> problems(rows.size());
    RunInParallel(
        rows.size(), [&](size_t i) { problems[i] = EntryProblem(rows[i]); }, nullptr);
    return problems;
}

// What the reader accepts but the stub would still do badly with; these
// warn without failing the check.
void VerifyWarn(const std::string &path, const std::vector<EntryRow> &rows) {
    bool manifest = false;
    uint64_t installable = 0;
    for (const EntryRow &row : rows) {
        std::string entry = Printable(path) + ": entry " + Quoted(row.name) + ": ";
        manifest = manifest || FoldAsciiCase(row.name) == "\\#manifest";
        if (row.internal) {
            continue;
        }
        installable += row.size;
        std::string problem = ExtractNameProblem(row.name);
        if (problem.empty()) {
            problem = EntryNameLengthProblem(row.name);
        }
        if (!problem.empty()) {
            ReportWarning(entry + "the installer cannot place it safely: " + problem);
        }
    }
    if (installable >= QPACK_MAX_INSTALLABLE_TOTAL) {
        ReportWarning(Printable(path) + ": installable entries of 4 GiB or more in all");
    }
    if (!manifest) {
        ReportWarning(Printable(path) + ": no #Manifest entry: the installer knows no product");
    }
}

void VerifySummary(const std::string &path, const std::vector<EntryRow> &rows) {
    size_t internal = 0;
    uint64_t unpacked = 0;
    for (const EntryRow &row : rows) {
        internal += row.internal ? 1 : 0;
        unpacked += row.size;
    }
    printf("%s: sound: %s (%zu installable, %zu internal), %s unpacked, package sum %s\n",
           Printable(path).c_str(), Counted(rows.size(), "entry", "entries").c_str(),
           rows.size() - internal, internal, FormatSize(unpacked).c_str(),
           FormatHex32(packageReader.trailer.packageSum).c_str());
    // The certificate itself is Windows' to judge (or osslsigncode verify's).
    uint32_t table = packageReader.location.certificateTable.length;
    if (table != 0) {
        printf("%s: signed: a certificate table of %u bytes follows the package\n",
               Printable(path).c_str(), static_cast<unsigned>(table));
    }
}

int VerifyOpenPackage(const std::string &path) {
    std::vector<EntryRow> rows = EntryRowsRead();
    std::vector<std::string> problems = EntryProblemsFind(rows);
    size_t damaged = 0;
    for (size_t i = 0; i < rows.size(); i++) {
        if (!problems[i].empty()) {
            damaged++;
            ReportError(Printable(path) + ": entry " + Quoted(rows[i].name) + ": " + problems[i]);
        }
    }
    VerifyWarn(path, rows);
    if (damaged != 0) {
        ReportError(Printable(path) + ": " + std::to_string(damaged) + " of " +
                    std::to_string(rows.size()) + " entries damaged");
        return QPACK_EXIT_FAILED;
    }
    VerifySummary(path, rows);
    return QPACK_EXIT_OK;
}

// A generated uninstaller's package is verified as an installer's is, and
// must hold what the uninstaller reads. Closes the installer's package.
int VerifyGeneratedUninstaller(const std::string &path, std::vector<EntryRow> *rows) {
    PackageBytes program;
    size_t index = GeneratedUninstallerFind(rows, &program);
    if (index == rows->size()) {
        return QPACK_EXIT_OK;
    }
    std::string shown = path + ":" + (*rows)[index].name;
    PackageClose();
    if (!PackageOpenMemory(program.data(), static_cast<uint32_t>(program.size()))) {
        ReportError(Printable(shown) + ": the generated uninstaller's package is damaged");
        return QPACK_EXIT_FAILED;
    }
    if (PackageFindEntry(MANIFEST_ENTRY_NAME) == nullptr ||
        PackageFindEntry(REMOVAL_LIST_ENTRY_NAME) == nullptr) {
        ReportError(Printable(shown) + ": the generated uninstaller lacks #Manifest or #Files");
        return QPACK_EXIT_FAILED;
    }
    return VerifyOpenPackage(shown);
}

} // namespace

int ListCommand(const std::vector<std::string> &args) {
    ParsedArguments parsed;
    int status =
        CommandArgumentsParse("list", args, {{"json", 0, false}}, {}, "INSTALLER", &parsed);
    if (status >= 0) {
        return status;
    }
    const std::string &path = parsed.operands[0];
    if (!InstallerOpen(path)) {
        return QPACK_EXIT_FAILED;
    }
    std::vector<EntryRow> rows = EntryRowsRead();
    PackageBytes program;
    GeneratedUninstallerFind(&rows, &program);
    if (ArgumentsHave(parsed, "json")) {
        ListPrintJson(rows);
    } else {
        ListPrintTable(rows);
    }
    PackageClose();
    return QPACK_EXIT_OK;
}

int VerifyCommand(const std::vector<std::string> &args) {
    ParsedArguments parsed;
    int status = CommandArgumentsParse("verify", args, {}, {}, "INSTALLER", &parsed);
    if (status >= 0) {
        return status;
    }
    const std::string &path = parsed.operands[0];
    if (!InstallerOpen(path)) {
        return QPACK_EXIT_FAILED;
    }
    status = VerifyOpenPackage(path);
    if (status == QPACK_EXIT_OK) {
        std::vector<EntryRow> rows = EntryRowsRead();
        status = VerifyGeneratedUninstaller(path, &rows);
    }
    PackageClose();
    return status;
}
