// qpack build: a stub, a manifest, two optional bitmaps and a payload folder
// become an installer. Everything that the stub could not install is refused
// before a byte is compressed, and the installer appears in one step.
#include "qpack/package_writer.h"
#include "qpack/qpack_arguments.h"
#include "qpack/qpack_branding.h"
#include "qpack/qpack_commands.h"
#include "qpack/qpack_files.h"
#include "qpack/qpack_manifest.h"
#include "qpack/qpack_messages.h"
#include "qpack/qpack_names.h"
#include "qpack/qpack_programs.h"
#include "qpack/qpack_threads.h"
#include "qpack/stub_branding.h"
#include "ui/package_bitmap.h"

#include "manifest/manifest.h"
#include "package/package.h"
#include "package/relative_names.h"
#include "removal/removal.h"
#include "removal/uninstall_key.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <numeric>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct BuildRequest {
    std::string output;
    std::string stub;
    std::string manifest;
    std::string brand;  // optional
    std::string centre; // optional
    std::string payload;
    bool strict = false; // manifest warnings refuse the build
    PackageCompression compression = PACKAGE_COMPRESSION_LIBDEFLATE_12;
    std::string previous;                 // the last release, to compare with; optional
    std::string icon;                     // optional
    std::vector<std::string> versionInfo; // NAME=VALUE
    std::string uninstallerStub;          // "": qunpack-uninstall.exe beside the stub
    bool noUninstaller = false;           // never generate one
    bool uninstallKeyGiven = false;
    std::string uninstallKey; // the uninstall key's name; with uninstallKeyGiven
};

// A file to pack, as found before anything is read.
struct PackFile {
    std::string name; // the entry name, "\" separators
    fs::path path;
    std::string shownPath; // as the user would write it
    uint64_t size = 0;
};

bool BuildFail(std::string *error, const std::string &message) {
    *error = message;
    return false;
}

// ---- Progress ---------------------------------------------------------------------

// The progress of the compression. Process-wide, because the writer calls the
// compression through a plain function pointer.
struct BuildProgress {
    bool enabled = false; // stderr is a terminal
    std::chrono::steady_clock::time_point start;
    size_t fileCount = 0;
    uint64_t byteCount = 0;
    std::atomic<size_t> filesDone{0};
    std::atomic<uint64_t> bytesDone{0};
    int shownLength = 0; // of the line on the screen, 0 when none
};

BuildProgress buildProgress;

void ProgressStart(const std::vector<PackageWriterEntry> &entries) {
    buildProgress.enabled = StderrIsTerminal();
    buildProgress.start = std::chrono::steady_clock::now();
    buildProgress.fileCount = entries.size();
    buildProgress.byteCount = 0;
    for (const PackageWriterEntry &entry : entries) {
        buildProgress.byteCount += PackageEntrySize(entry);
    }
}

// Shows the line only once the work has taken more than a moment.
void ProgressTick(void) {
    auto elapsed = std::chrono::steady_clock::now() - buildProgress.start;
    if (!buildProgress.enabled || elapsed < std::chrono::milliseconds(500)) {
        return;
    }
    int length =
        fprintf(stderr, "\rcompressing %zu/%zu files, %s of %s", buildProgress.filesDone.load(),
                buildProgress.fileCount, FormatSize(buildProgress.bytesDone.load()).c_str(),
                FormatSize(buildProgress.byteCount).c_str()) -
        1;
    if (length < buildProgress.shownLength) {
        fprintf(stderr, "%*s", buildProgress.shownLength - length, "");
    }
    fflush(stderr);
    buildProgress.shownLength = std::max(length, buildProgress.shownLength);
}

void ProgressClear(void) {
    if (buildProgress.shownLength > 0) {
        fprintf(stderr, "\r%*s\r", buildProgress.shownLength, "");
        fflush(stderr);
        buildProgress.shownLength = 0;
    }
}

// ---- Compression ---------------------------------------------------------------------

// The writer's tasks on every core, with the progress line.
void TasksRunInParallel(size_t count, const std::function<void(size_t)> &task) {
    try {
        RunInParallel(count, task, ProgressTick);
    } catch (...) {
        ProgressClear(); // out of memory: the message needs a clean line
        throw;
    }
    ProgressClear();
}

void ProgressEntryWritten(uint64_t bytes) {
    buildProgress.filesDone++;
    buildProgress.bytesDone += bytes;
}

// ---- Limits ---------------------------------------------------------------------------

bool SizesCheck(const std::vector<PackFile> &files, std::string *error) {
    std::vector<std::pair<std::string, uint64_t>> sizes;
    for (const PackFile &file : files) {
        sizes.emplace_back(file.name, file.size);
    }
    std::string problem = PackageSizesProblem(sizes);
    return problem.empty() || BuildFail(error, problem);
}

// ---- Inputs ----------------------------------------------------------------------------

bool InputFind(const std::string &shownPath, const char *role, PackFile *file, std::string *error) {
    file->path = PathFromNative(shownPath);
    file->shownPath = shownPath;
    std::error_code failure;
    fs::file_status status = fs::status(file->path, failure);
    if (!fs::exists(status)) {
        return BuildFail(error, std::string(role) + " " + Quoted(shownPath) + " does not exist");
    }
    if (!fs::is_regular_file(status)) {
        return BuildFail(error, std::string(role) + " " + Quoted(shownPath) + " is not a file");
    }
    file->size = fs::file_size(file->path, failure);
    if (failure) {
        return BuildFail(error, "cannot read " + Quoted(shownPath) + ": " + failure.message());
    }
    return true;
}

bool StubLoad(const std::string &shownPath, PackageBytes *stub, std::string *error) {
    PackFile file;
    if (!InputFind(shownPath, "stub", &file, error)) {
        return false;
    }
    // Refused before it is read: a stub this large leaves no room for a package.
    if (file.size + 24 > packageFormatLimit) {
        return BuildFail(error, "stub " + Quoted(shownPath) + " is " + std::to_string(file.size) +
                                    " bytes: with a package behind it the installer would be"
                                    " 4 GiB or more, beyond its 32-bit offsets");
    }
    if (!FileRead(file.path, shownPath, stub, error)) {
        return false;
    }
    if (stub->size() < 2 || (*stub)[0] != 'M' || (*stub)[1] != 'Z') {
        return BuildFail(error, "stub " + Quoted(shownPath) +
                                    " is not a Windows program (it does not start with \"MZ\")");
    }
    PackageLocation location;
    if (PackageLocate(stub->data(), static_cast<uint32_t>(stub->size()), &location)) {
        return BuildFail(error, "stub " + Quoted(shownPath) +
                                    " already carries a package (it holds a trailer ending in"
                                    " \"InstPack\"); build from the bare stub");
    }
    // Signing must come last: a package appended behind a signature breaks it.
    PeImage image;
    PeSpan table;
    if (PeImageRead(stub->data(), static_cast<uint32_t>(stub->size()), &image) &&
        PeCertificateTableGet(&image, &table)) {
        return BuildFail(error, "stub " + Quoted(shownPath) + " is signed (it carries a " +
                                    std::to_string(table.length) +
                                    "-byte certificate table); build from the unsigned stub and"
                                    " sign the installer as the last step");
    }
    return true;
}

bool InternalInputAdd(const std::string &shownPath, const char *role, const char *entryName,
                      std::vector<PackFile> *files, std::string *error) {
    PackFile file;
    if (!InputFind(shownPath, role, &file, error)) {
        return false;
    }
    file.name = entryName;
    files->push_back(file);
    return true;
}

// The installer's own check: a bitmap it would refuse is never shown.
bool BitmapInputCheck(const PackageWriterEntry &entry, const std::string &shownPath,
                      std::string *error) {
    bool bitmapEntry = entry.name == "\\#brand.bmp" || entry.name == "\\#installingtext.bmp";
    if (!bitmapEntry) {
        return true;
    }
    BitmapProblem problem =
        entry.data.size() > UINT32_MAX
            ? BITMAP_NOT_BMP
            : BitmapCheck(entry.data.data(), static_cast<uint32_t>(entry.data.size()));
    if (problem != BITMAP_SOUND) {
        return BuildFail(error,
                         "bitmap " + Quoted(shownPath) +
                             " would not be shown by the installer: " + BitmapProblemText(problem));
    }
    return true;
}

// ---- Payload names --------------------------------------------------------------------

// The parts with one separator between them, also where a part already ends
// in one ("pay/" and "a" give "pay/a").
std::string Joined(const std::vector<std::string> &parts, const std::string &separator) {
    std::string joined;
    for (const std::string &part : parts) {
        bool separated = joined.empty() || joined.compare(joined.size() - separator.size(),
                                                          separator.size(), separator) == 0;
        joined += (separated ? "" : separator) + part;
    }
    return joined;
}

// Why the stub could not install a file whose path below the payload folder
// has these components; "" when it can.
std::string PayloadNameProblem(const std::vector<std::string> &components) {
    for (const std::string &component : components) {
        std::string problem = EntryComponentProblem(component);
        if (!problem.empty()) {
            return "its path holds " + problem;
        }
    }
    if (components[0][0] == '#') {
        return "a name starting with \"#\" at the top of the payload would be taken for an"
               " internal entry and never installed";
    }
    return EntryNameLengthProblem("\\" + Joined(components, "\\"));
}

// Two names that differ in ASCII case only are one file on Windows: the
// second would overwrite the first. Folders count as well as files.
bool CaseCollisionsCheck(const std::vector<PackFile> &files, std::string *error) {
    std::map<std::string, std::string> seen; // folded name -> name
    for (const PackFile &file : files) {
        for (size_t end = file.name.find('\\', 1);; end = file.name.find('\\', end + 1)) {
            std::string name = file.name.substr(0, end);
            auto found = seen.emplace(FoldAsciiCase(name), name);
            if (found.first->second != name) {
                return BuildFail(error, "payload names " + Quoted(found.first->second) + " and " +
                                            Quoted(name) +
                                            " differ only in case: on Windows they are one");
            }
            if (end == std::string::npos) {
                break;
            }
        }
    }
    return true;
}

// Names are packed byte for byte; the stub reads them in the ANSI code page
// of the machine it runs on, which a build on this system cannot know.
void NonAsciiNamesWarn(const std::vector<PackFile> &files) {
#ifndef _WIN32
    size_t count = 0;
    const PackFile *first = nullptr;
    for (const PackFile &file : files) {
        for (unsigned char c : file.name) {
            if (c >= 0x80) {
                first = first != nullptr ? first : &file;
                count++;
                break;
            }
        }
    }
    if (first != nullptr) {
        ReportWarning(std::to_string(count) + " payload names hold non-ASCII bytes (the first: " +
                      Quoted(first->shownPath) +
                      "); they install as named only where the Windows ANSI code page reads"
                      " those bytes the same way");
    }
#else
    (void)files;
#endif
}

// ---- Payload folder ---------------------------------------------------------------------

// Adds the payload entry the iterator stands on; components holds the names
// of its path below the payload folder.
bool PayloadEntryAdd(const fs::directory_entry &entry, const std::vector<std::string> &components,
                     const std::string &shownRoot, std::vector<PackFile> *files,
                     std::string *error) {
    const std::string separator(1, static_cast<char>(fs::path::preferred_separator));
    std::string shown = Joined({shownRoot, Joined(components, separator)}, separator);
    std::error_code failure;
    fs::file_status status = entry.status(failure);
    if (fs::is_directory(status)) {
        if (entry.is_symlink(failure)) {
            return BuildFail(error, Quoted(shown) +
                                        " is a symbolic link to a folder, which qpack does not"
                                        " follow");
        }
        return true;
    }
    if (!fs::exists(status)) {
        return BuildFail(error, Quoted(shown) + " is a broken symbolic link");
    }
    if (!fs::is_regular_file(status)) {
        return BuildFail(error, Quoted(shown) + " is neither a file nor a folder");
    }
    std::string problem = PayloadNameProblem(components);
    if (!problem.empty()) {
        return BuildFail(error,
                         "payload file " + Quoted(shown) + " cannot be installed: " + problem);
    }
    PackFile file;
    file.name = "\\" + Joined(components, "\\");
    file.path = entry.path();
    file.shownPath = shown;
    file.size = fs::file_size(entry.path(), failure);
    if (failure) {
        return BuildFail(error, "cannot read " + Quoted(shown) + ": " + failure.message());
    }
    files->push_back(file);
    return true;
}

bool PayloadScan(const std::string &shownRoot, std::vector<PackFile> *files, std::string *error) {
    fs::path root = PathFromNative(shownRoot);
    std::error_code failure;
    fs::file_status status = fs::status(root, failure);
    if (!fs::is_directory(status)) {
        return BuildFail(error, "payload folder " + Quoted(shownRoot) +
                                    (fs::exists(status) ? " is not a folder" : " does not exist"));
    }
    std::vector<std::string> components;
    fs::recursive_directory_iterator it(root, failure);
    for (; !failure && it != fs::recursive_directory_iterator(); it.increment(failure)) {
        std::string component;
        if (!NativeNameFromPath(it->path().filename(), &component)) {
            return BuildFail(error, "payload name " + Quoted(it->path().filename().string()) +
                                        " has characters the ANSI code page cannot hold");
        }
        components.resize(static_cast<size_t>(it.depth()));
        components.push_back(component);
        if (!PayloadEntryAdd(*it, components, shownRoot, files, error)) {
            return false;
        }
    }
    if (failure) {
        return BuildFail(error, "cannot read the payload folder " + Quoted(shownRoot) + ": " +
                                    failure.message());
    }
    // Byte-wise by entry name, so that the same folder always builds the same
    // installer.
    std::sort(files->begin(), files->end(),
              [](const PackFile &left, const PackFile &right) { return left.name < right.name; });
    return CaseCollisionsCheck(*files, error);
}

// The output's folder must exist before anything is compressed, and a build
// into the payload folder would pack its own earlier output. Both folders are
// compared by their real paths: the output may reach the payload through a
// link, or on Windows name it in another case.
bool OutputPlacementCheck(const BuildRequest &request, std::string *error) {
    std::error_code failure;
    fs::path output = fs::absolute(PathFromNative(request.output), failure);
    fs::path folder = failure ? fs::path() : RealPath(output.parent_path(), failure);
    if (failure || !fs::is_directory(folder, failure)) {
        return BuildFail(error,
                         "cannot create " + Quoted(request.output) + ": its folder does not exist");
    }
    fs::path root = RealPath(PathFromNative(request.payload), failure);
    if (failure) {
        return BuildFail(error, "cannot read the payload folder " + Quoted(request.payload) + ": " +
                                    failure.message());
    }
    auto part = folder.begin();
    for (auto rootPart = root.begin(); rootPart != root.end(); ++rootPart, ++part) {
        if (part == folder.end() || *part != *rootPart) {
            return true;
        }
    }
    return BuildFail(error, "the output " + Quoted(request.output) +
                                " lies inside the payload folder " + Quoted(request.payload));
}

// ---- Building -----------------------------------------------------------------------------

// Every file to pack, installable entries in name order, internal ones last.
bool PackFilesCollect(const BuildRequest &request, std::vector<PackFile> *files,
                      std::string *error) {
    if (!PayloadScan(request.payload, files, error)) {
        return false;
    }
    std::vector<std::string> payload;
    for (const PackFile &file : *files) {
        payload.push_back(file.name);
    }
    if (!InternalInputAdd(request.manifest, "manifest", "\\#Manifest", files, error) ||
        !ManifestFileCheck(request.manifest, request.strict, &payload, error,
                           !request.noUninstaller)) {
        return false;
    }
    if (!request.brand.empty() &&
        !InternalInputAdd(request.brand, "bitmap", "\\#brand.bmp", files, error)) {
        return false;
    }
    if (!request.centre.empty() &&
        !InternalInputAdd(request.centre, "bitmap", "\\#installingtext.bmp", files, error)) {
        return false;
    }
    NonAsciiNamesWarn(*files);
    return OutputPlacementCheck(request, error) && SizesCheck(*files, error);
}

// Payload files are read in pieces while they are packed; the internal
// entries (manifest, bitmaps) are read now, to be checked.
bool EntriesRead(const std::vector<PackFile> &files, std::vector<PackageWriterEntry> *entries,
                 std::string *error) {
    entries->resize(files.size());
    for (size_t i = 0; i < files.size(); i++) {
        PackageWriterEntry &entry = (*entries)[i];
        entry.name = files[i].name;
        entry.shownPath = files[i].shownPath;
        if (!PackageWriterIsInternal(entry.name)) {
            entry.path = files[i].path;
            entry.size = files[i].size;
            continue;
        }
        if (!FileRead(files[i].path, files[i].shownPath, &entry.data, error) ||
            !BitmapInputCheck(entry, files[i].shownPath, error)) {
            return false;
        }
        PackFile grown = files[i]; // it may have grown since it was found
        grown.size = entry.data.size();
        if (!SizesCheck({grown}, error)) {
            return false;
        }
    }
    return true;
}

// ---- The uninstall key ---------------------------------------------------------------

// The "#UninstallKey" entry, or nothing without --uninstall-key.
std::vector<PackageWriterEntry> UninstallKeyEntries(const BuildRequest &request) {
    if (!request.uninstallKeyGiven) {
        return {};
    }
    return {{std::string("\\") + UNINSTALL_KEY_ENTRY_NAME,
             PackageBytes(request.uninstallKey.begin(), request.uninstallKey.end())}};
}

// Refuses a name the installer could not use, and says what sharing the
// default name means for a branded product.
bool UninstallKeyCheck(const BuildRequest &request, std::string *error) {
    if (!request.uninstallKeyGiven) {
        if (!request.icon.empty() || !request.versionInfo.empty()) {
            ReportWarning(std::string("no --uninstall-key: the installer registers under \"") +
                          UNINSTALL_KEY_DEFAULT_NAME +
                          "\", the entry every installer built without one shares, so that"
                          " installing another such product takes its place in Programs and"
                          " Features");
        }
        return true;
    }
    const std::string &name = request.uninstallKey;
    if (name.size() > UINT32_MAX ||
        !UninstallKeyNameIsSound(name.data(), static_cast<uint32_t>(name.size()))) {
        return BuildFail(error, "--uninstall-key " + Quoted(name) +
                                    " cannot name a registry key: it must be 1 to " +
                                    std::to_string(UNINSTALL_KEY_NAME_MAX) +
                                    " characters, none of them \"\\\" or a control character");
    }
    return true;
}

// ---- The generated uninstaller -----------------------------------------------------

// The manifest's "uninstaller" as an entry name ("\" and "\"-separated); ""
// when the manifest names none.
std::string UninstallerEntryName(const PackageWriterEntry &manifest) {
    InstallDescription description = {};
    ManifestParseText(&description, reinterpret_cast<const char *>(manifest.data.data()),
                      static_cast<uint32_t>(manifest.data.size()));
    std::string name = description.uninstaller != nullptr ? description.uninstaller : "";
    ManifestFree(&description);
    if (name.empty()) {
        return "";
    }
    std::replace(name.begin(), name.end(), '/', '\\');
    return "\\" + name;
}

// Installable entries keep name order; the new one takes its place there.
void InstallableEntryInsert(std::vector<PackageWriterEntry> *entries, PackageWriterEntry entry) {
    auto place = std::find_if(entries->begin(), entries->end(), [&](const PackageWriterEntry &e) {
        return PackageWriterIsInternal(e.name) || e.name > entry.name;
    });
    entries->insert(place, std::move(entry));
}

// The "#Files" text: every installable entry name, one per line.
PackageBytes InstalledNamesList(const std::vector<PackageWriterEntry> &entries) {
    std::string list;
    for (const PackageWriterEntry &entry : entries) {
        if (!PackageWriterIsInternal(entry.name)) {
            list += entry.name + "\n";
        }
    }
    return PackageBytes(list.begin(), list.end());
}

// When the manifest names an uninstaller that the payload lacks, makes it
// from the uninstaller stub (branded as the installer is), the manifest and
// the list of what the installer installs, and adds it as that entry.
bool UninstallerGenerate(const BuildRequest &request, const StubBranding &branding,
                         std::vector<PackFile> *files, std::vector<PackageWriterEntry> *entries,
                         std::string *error) {
    auto manifest = std::find_if(entries->begin(), entries->end(), [](const PackageWriterEntry &e) {
        return e.name == "\\#Manifest";
    });
    std::string name =
        request.noUninstaller || manifest == entries->end() ? "" : UninstallerEntryName(*manifest);
    if (name.empty()) {
        return true;
    }
    for (const PackageWriterEntry &entry : *entries) {
        if (FoldAsciiCase(entry.name) == FoldAsciiCase(name)) {
            return true; // the vendor's own uninstaller
        }
    }
    if (EntryNameProblem(name.c_str()) != NAME_SOUND || name[1] == '#') {
        return BuildFail(error, "the manifest's uninstaller " + Quoted(name.substr(1)) +
                                    " is not a name the stub can install");
    }
    std::string stubPath = request.uninstallerStub;
    if (stubPath.empty()) {
        stubPath =
            (PathFromNative(request.stub).parent_path() / QPACK_UNINSTALLER_STUB_FILE).string();
    }
    PackageBytes uninstallerStub;
    std::string stubError;
    if (!StubLoad(stubPath, &uninstallerStub, &stubError)) {
        return BuildFail(
            error, "the manifest names the uninstaller " + Quoted(name.substr(1)) +
                       ", which the payload does not hold, so qpack generates it: " + stubError +
                       " (use --uninstaller-stub FILE, or" + " --no-uninstaller to pack none)");
    }
    // The uninstaller shows the vendor's icon and version as the installer does.
    if (!BrandingApply(branding, stubPath, &uninstallerStub, error)) {
        return false;
    }
    // The same key as the installer's: the uninstaller removes what it wrote.
    std::vector<PackageWriterEntry> own = UninstallKeyEntries(request);
    own.insert(own.begin(), {"\\#Manifest", manifest->data});
    PackageWriterEntry generated;
    generated.name = name;
    InstallableEntryInsert(entries, generated); // manifest is not valid from here on
    own.push_back({std::string("\\") + REMOVAL_LIST_ENTRY_NAME, InstalledNamesList(*entries)});
    PackageParts parts;
    if (!PackageBuildParts(uninstallerStub, own, PackageWriterOptions(), &parts, error)) {
        return false;
    }
    PackageBytes program = PackageAssemble(&parts, true);
    PackFile file;
    file.name = name;
    file.shownPath = "(generated uninstaller)";
    file.size = program.size();
    files->push_back(file);
    for (PackageWriterEntry &entry : *entries) {
        if (entry.name == name) {
            entry.data = std::move(program);
        }
    }
    return SizesCheck(*files, error);
}

// Adds the "#UninstallKey" entry behind the other internal entries.
bool UninstallKeyEntryAdd(const BuildRequest &request, std::vector<PackFile> *files,
                          std::vector<PackageWriterEntry> *entries, std::string *error) {
    for (PackageWriterEntry &entry : UninstallKeyEntries(request)) {
        PackFile file;
        file.name = entry.name;
        file.shownPath = "(--uninstall-key)";
        file.size = entry.data.size();
        files->push_back(file);
        entries->push_back(std::move(entry));
    }
    return SizesCheck(*files, error);
}

// Compresses the entries and writes the installer as it goes: it appears at
// the output's path only once it is whole (and, with --previous, checked).
bool InstallerWrite(const BuildRequest &request, const PackageBytes &stub,
                    const std::vector<PackageWriterEntry> &entries, uint64_t *length,
                    std::string *error) {
    PackageWriterOptions options;
    options.compression = request.compression;
    options.runTasks = TasksRunInParallel;
    options.entryWritten = ProgressEntryWritten;
    options.shareIdenticalStreams = true;
    fs::path output = PathFromNative(request.output);
    fs::path scratch = FileTemporarySibling(output);
    ProgressStart(entries);
    FileWriter write = [&](std::ostream &out, std::string *writeError) {
        return PackageWriteStreamed(stub, entries, options, scratch, out, length, writeError);
    };
    FileChecker check = nullptr;
    if (!request.previous.empty()) {
        check = [&request](const fs::path &written, std::string *checkError) {
            return ReleaseCheck(request.previous, request.output, &written, request.strict,
                                checkError);
        };
    }
    return FileWriteAtomically(output, request.output, write, error, check);
}

bool BuildInstaller(const BuildRequest &request, std::string *error) {
    PackageBytes stub;
    std::vector<PackFile> files;
    std::vector<PackageWriterEntry> entries;
    StubBranding branding;
    uint64_t length = 0;
    if (!UninstallKeyCheck(request, error) || !StubLoad(request.stub, &stub, error) ||
        !PackFilesCollect(request, &files, error) ||
        !BrandingPrepare(request.icon, request.versionInfo, request.manifest, &branding, error) ||
        !BrandingApply(branding, request.stub, &stub, error) ||
        !EntriesRead(files, &entries, error) ||
        !UninstallerGenerate(request, branding, &files, &entries, error) ||
        !UninstallKeyEntryAdd(request, &files, &entries, error) ||
        !InstallerWrite(request, stub, entries, &length, error)) {
        return false;
    }
    uint64_t unpacked = 0;
    for (const PackFile &file : files) {
        unpacked += file.size;
    }
    printf("built %s: %s, %s unpacked, %s\n", Printable(request.output).c_str(),
           Counted(files.size(), "entry", "entries").c_str(), FormatSize(unpacked).c_str(),
           FormatSize(length).c_str());
    return true;
}

} // namespace

int BuildCommand(const std::vector<std::string> &args) {
    ParsedArguments parsed;
    int status = CommandArgumentsParse("build", args,
                                       {{"output", 'o', true},
                                        {"stub", 0, true},
                                        {"manifest", 0, true},
                                        {"brand", 0, true},
                                        {"centre", 0, true},
                                        {"strict", 0, false},
                                        {"zlib", 0, false},
                                        {"previous", 0, true},
                                        {"icon", 0, true},
                                        {"version-info", 0, true, true},
                                        {"uninstaller-stub", 0, true},
                                        {"no-uninstaller", 0, false},
                                        {"uninstall-key", 0, true}},
                                       {"output", "manifest"}, "PAYLOAD_DIR", &parsed);
    if (status >= 0) {
        return status;
    }
    BuildRequest request;
    request.output = parsed.options["output"];
    request.stub = parsed.options["stub"];
    request.manifest = parsed.options["manifest"];
    request.brand = parsed.options["brand"];
    request.centre = parsed.options["centre"];
    request.payload = parsed.operands[0];
    request.strict = ArgumentsHave(parsed, "strict");
    request.previous = parsed.options["previous"];
    if (ArgumentsHave(parsed, "zlib")) {
        request.compression = PACKAGE_COMPRESSION_ZLIB_9;
    }
    request.icon = parsed.options["icon"];
    request.versionInfo = parsed.lists["version-info"];
    request.uninstallerStub = parsed.options["uninstaller-stub"];
    request.noUninstaller = ArgumentsHave(parsed, "no-uninstaller");
    request.uninstallKeyGiven = ArgumentsHave(parsed, "uninstall-key");
    request.uninstallKey = parsed.options["uninstall-key"];
    std::string error;
    if (request.stub.empty()) {
        if (!InstalledProgramFind(QPACK_STUB_FILE, &request.stub, &error)) {
            ReportError(error + "; name one with --stub");
            return QPACK_EXIT_FAILED;
        }
        printf("stub: %s (installed with qpack)\n", Printable(request.stub).c_str());
    }
    if (!BuildInstaller(request, &error)) {
        if (!error.empty()) {
            ReportError(error);
        }
        return QPACK_EXIT_FAILED;
    }
    return QPACK_EXIT_OK;
}
