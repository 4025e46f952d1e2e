// qpack build's branding options: --icon FILE.ico and --version-info
// NAME=VALUE become the branding written into the installer's copy of the
// stub (stub_branding.h).
#include "qpack/package_writer.h"
#include "qpack/qpack_branding.h"
#include "qpack/qpack_files.h"
#include "qpack/qpack_messages.h"

#include "qpack/stub_branding.h"

#include <string.h>

#include <string>
#include <vector>

#include "manifest/manifest.h"

namespace {

bool BrandFail(std::string *error, const std::string &message) {
    *error = message;
    return false;
}

#ifndef _WIN32

// A code point as UTF-16.
void PutCodePoint(std::u16string *text, uint32_t point) {
    if (point < 0x10000) {
        text->push_back(char16_t(point));
    } else {
        point -= 0x10000;
        text->push_back(char16_t(0xD800 + (point >> 10)));
        text->push_back(char16_t(0xDC00 + (point & 0x3FF)));
    }
}

// The UTF-8 text as UTF-16; false when it is not well-formed UTF-8.
bool Utf8Decode(const std::string &text, std::u16string *decoded) {
    decoded->clear();
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t extra = lead < 0x80                   ? 0
                       : lead >= 0xC2 && lead < 0xE0 ? 1
                       : lead >= 0xE0 && lead < 0xF0 ? 2
                       : lead >= 0xF0 && lead < 0xF5 ? 3
                                                     : 4;
        if (extra == 4 || text.size() - i <= extra) {
            return false;
        }
        uint32_t point = extra == 0 ? lead : lead & (0x3F >> extra);
        for (size_t k = 1; k <= extra; k++) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            point = point << 6 | (next & 0x3F);
        }
        static const uint32_t smallest[4] = {0, 0x80, 0x800, 0x10000};
        if (point < smallest[extra] || point > 0x10FFFF || (point >= 0xD800 && point < 0xE000)) {
            return false;
        }
        PutCodePoint(decoded, point);
        i += extra + 1;
    }
    return true;
}

#endif

} // namespace

std::u16string VersionTextFromNative(const std::string &text) {
#ifdef _WIN32
    // The command line and the manifest are in the ANSI code page here.
    std::wstring wide = PathFromNative(text).native();
    return std::u16string(wide.begin(), wide.end());
#else
    // UTF-8 as terminals here send it; other bytes as Latin-1.
    std::u16string decoded;
    if (!Utf8Decode(text, &decoded)) {
        decoded.assign(text.begin(), text.end());
        for (char16_t &unit : decoded) {
            unit = char16_t(static_cast<unsigned char>(unit));
        }
    }
    return decoded;
#endif
}

namespace {

bool IconRead(const std::string &iconPath, std::vector<IconImage> *images, std::string *error) {
    PackageBytes bytes;
    std::string problem;
    if (!FileRead(PathFromNative(iconPath), iconPath, &bytes, error)) {
        return false;
    }
    if (!IconFileParse(bytes.data(), bytes.size(), images, &problem)) {
        return BrandFail(error, "icon " + Quoted(iconPath) +
                                    " is not a well-formed .ico file: " + problem);
    }
    return true;
}

// One NAME=VALUE of --version-info added to strings; the names are checked
// with all of them.
bool VersionStringAdd(const std::string &assignment, VersionStrings *strings, std::string *error) {
    size_t equals = assignment.find('=');
    if (equals == std::string::npos || equals + 1 == assignment.size()) {
        return BrandFail(error, "--version-info " + Quoted(assignment) +
                                    " is not NAME=VALUE with a value");
    }
    strings->emplace_back(assignment.substr(0, equals),
                          VersionTextFromNative(assignment.substr(equals + 1)));
    return true;
}

// The manifest's product name, as the stub reads it.
bool ManifestProductName(const std::string &manifestPath, std::string *productName,
                         std::string *error) {
    PackageBytes bytes;
    if (!FileRead(PathFromNative(manifestPath), manifestPath, &bytes, error)) {
        return false;
    }
    InstallDescription description = InstallDescription();
    ManifestParseText(&description, reinterpret_cast<const char *>(bytes.data()),
                      static_cast<uint32_t>(bytes.size()));
    *productName = description.productName != nullptr ? description.productName : "";
    ManifestFree(&description);
    return true;
}

void VersionDefaultAdd(VersionStrings *strings, const char *name, const std::u16string &value) {
    for (const auto &string : *strings) {
        if (string.first == name) {
            return;
        }
    }
    strings->emplace_back(name, value);
}

} // namespace

bool BrandingPrepare(const std::string &iconPath, const std::vector<std::string> &versionInfo,
                     const std::string &manifestPath, StubBranding *branding, std::string *error) {
    *branding = StubBranding();
    if (!iconPath.empty() && !IconRead(iconPath, &branding->icon, error)) {
        return false;
    }
    for (const std::string &assignment : versionInfo) {
        if (!VersionStringAdd(assignment, &branding->version, error)) {
            return false;
        }
    }
    std::string problem = VersionStringsProblem(branding->version);
    if (!problem.empty()) {
        return BrandFail(error, "--version-info: " + Printable(problem));
    }
    if (versionInfo.empty()) {
        return true;
    }
    std::string productName;
    if (!ManifestProductName(manifestPath, &productName, error)) {
        return false;
    }
    std::u16string product = VersionTextFromNative(productName);
    VersionDefaultAdd(&branding->version, "ProductName", product);
    VersionDefaultAdd(&branding->version, "FileDescription", product + u" Setup");
    return true;
}

bool BrandingApply(const StubBranding &branding, const std::string &stubShownPath,
                   PackageBytes *stub, std::string *error) {
    if (branding.icon.empty() && branding.version.empty()) {
        return true;
    }
    std::string problem;
    if (!StubBrand(stub, branding, &problem)) {
        return BrandFail(error, "cannot write the icon and version information into the stub " +
                                    Quoted(stubShownPath) + ": " + problem);
    }
    return true;
}
