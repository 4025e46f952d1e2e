// The stub and the uninstaller stub qpack takes when none is named: the
// ones installed with it. An installed qpack has them in share/qunpack
// beside its bin folder (the native build tree holds links of the same
// layout to the Win32 build's programs); qpack.exe from the Windows zip and
// from the Win32 build tree has them beside itself.
#include "qpack/package_writer.h"
#include "qpack/qpack_files.h"
#include "qpack/qpack_messages.h"
#include "qpack/qpack_programs.h"

#include "pe/pe.h"

#include <stdio.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The folder of the running program; empty when the system does not say.
fs::path OwnFolder(void) {
#ifdef _WIN32
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) {
            return fs::path();
        }
        if (length < path.size()) {
            path.resize(length);
            return fs::path(path).parent_path();
        }
        path.resize(path.size() * 2);
    }
#else
    std::error_code failure;
    fs::path path = fs::read_symlink("/proc/self/exe", failure);
    return failure ? fs::path() : path.parent_path();
#endif
}

// Where qpack looks for the file, in order.
std::vector<fs::path> InstalledCandidates(const char *file) {
    fs::path own = OwnFolder();
    if (own.empty()) {
        return {};
    }
    return {(own.parent_path() / "share" / "qunpack" / file).lexically_normal(), own / file};
}

std::string ShownPath(const fs::path &path) {
    std::string native;
    return NativeNameFromPath(path, &native) ? native : path.string();
}

// "0.1": the image version a program of ours carries in its PE header;
// "" when it is no PE image.
std::string ImageVersion(const fs::path &path) {
    PackageBytes bytes;
    std::string error;
    PeImage image;
    uint32_t major = 0, minor = 0;
    if (!FileRead(path, path.string(), &bytes, &error) ||
        !PeImageRead(bytes.data(), static_cast<uint32_t>(bytes.size()), &image) ||
        !PeReadU16(&image, image.optionalHeaderOffset + PE_MAJOR_IMAGE_VERSION_FIELD, &major) ||
        !PeReadU16(&image, image.optionalHeaderOffset + PE_MAJOR_IMAGE_VERSION_FIELD + 2, &minor)) {
        return "";
    }
    return std::to_string(major) + "." + std::to_string(minor);
}

} // namespace

bool InstalledProgramFind(const char *file, std::string *path, std::string *error) {
    std::vector<fs::path> candidates = InstalledCandidates(file);
    std::string looked;
    for (const fs::path &candidate : candidates) {
        std::error_code failure;
        if (fs::is_regular_file(candidate, failure) && NativeNameFromPath(candidate, path)) {
            return true;
        }
        looked += (looked.empty() ? "" : ", ") + Quoted(ShownPath(candidate));
    }
    *error = std::string("no ") + file + " found" +
             (looked.empty() ? " (qpack cannot tell where it is itself)"
                             : " (looked for " + looked + ")");
    return false;
}

void VersionPrint(void) {
    printf("qpack %s\n", QPACK_VERSION);
    for (const char *file : {QPACK_STUB_FILE, QPACK_UNINSTALLER_STUB_FILE}) {
        std::string path, error;
        if (!InstalledProgramFind(file, &path, &error)) {
            printf("%s\n", error.c_str());
            continue;
        }
        std::string version = ImageVersion(PathFromNative(path));
        printf("%s %s: %s\n", file, version.empty() ? "(no PE image)" : version.c_str(),
               Printable(path).c_str());
    }
}
