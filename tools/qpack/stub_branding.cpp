// The vendor's icon and version information as resources. See
// stub_branding.h.
#include "qpack/stub_branding.h"

#include <string.h>
#include <zlib.h>

#include <algorithm>

#include "pe/pe.h"

namespace {

const uint32_t kIconHeaderSize = 6;
const uint32_t kIconEntrySize = 16;
const uint32_t kBitmapHeaderSize = 40;
const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
const uint32_t kLanguageUsEnglish = 0x0409;
const uint32_t kCodePageUnicode = 1200; // 0x04B0

bool Fail(std::string *problem, const std::string &message) {
    *problem = message;
    return false;
}

uint32_t Little(const unsigned char *bytes, int width) {
    uint32_t value = 0;
    for (int i = 0; i < width; i++) {
        value |= uint32_t(bytes[i]) << (8 * i);
    }
    return value;
}

uint32_t Big32(const unsigned char *bytes) {
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

void PutLittle(PackageBytes *out, uint32_t value, int width) {
    for (int i = 0; i < width; i++) {
        out->push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
}

// ---- Icon images -------------------------------------------------------------

// A PNG: the signature, IHDR first, every chunk inside the image with a
// matching CRC, IEND last. The size and bit count come from IHDR.
bool PngCheck(const PackageBytes &png, uint32_t *width, uint32_t *height, uint16_t *bitCount,
              std::string *problem) {
    size_t at = sizeof kPngSignature;
    bool first = true;
    while (true) {
        if (png.size() - at < 12) {
            return Fail(problem, "its PNG ends before its IEND chunk");
        }
        uint32_t length = Big32(&png[at]);
        if (length > png.size() - at - 12) {
            return Fail(problem, "a chunk of its PNG runs past the image's end");
        }
        const unsigned char *type = &png[at + 4];
        uLong crc = crc32(0, type, uInt(length + 4));
        if (crc != Big32(type + 4 + length)) {
            return Fail(problem, "a chunk of its PNG fails its CRC");
        }
        if (first) {
            if (memcmp(type, "IHDR", 4) != 0 || length != 13) {
                return Fail(problem, "its PNG does not start with an IHDR chunk");
            }
            *width = Big32(type + 4);
            *height = Big32(type + 8);
            unsigned depth = type[12], colour = type[13];
            // Colour type 6 is RGBA, 4 grey with alpha, 2 RGB, 0 grey, 3 a palette.
            unsigned channels = colour == 6 ? 4 : colour == 4 ? 2 : colour == 2 ? 3 : 1;
            *bitCount = uint16_t(std::min(32u, depth * channels));
            first = false;
        }
        at += 12 + length;
        if (memcmp(type, "IEND", 4) == 0) {
            return true;
        }
    }
}

// A bitmap as icons hold one: a BITMAPINFOHEADER of twice the icon's height
// (colour pixels, then the 1-bit mask), uncompressed, then its colour table
// and both pixel arrays, all inside the image.
bool BitmapCheck(const PackageBytes &bitmap, uint32_t *width, uint32_t *height, uint16_t *bitCount,
                 std::string *problem) {
    if (bitmap.size() < kBitmapHeaderSize || Little(&bitmap[0], 4) != kBitmapHeaderSize) {
        return Fail(problem, "it is neither a PNG nor starts with a 40-byte bitmap header");
    }
    int32_t signedWidth = int32_t(Little(&bitmap[4], 4));
    int32_t doubledHeight = int32_t(Little(&bitmap[8], 4));
    uint32_t planes = Little(&bitmap[12], 2), bits = Little(&bitmap[14], 2);
    uint32_t compression = Little(&bitmap[16], 4), coloursUsed = Little(&bitmap[32], 4);
    if (signedWidth <= 0 || signedWidth > 256 || doubledHeight <= 0 || doubledHeight > 512 ||
        doubledHeight % 2 != 0) {
        return Fail(problem, "its bitmap is not 1 to 256 pixels wide with twice its height");
    }
    if (planes != 1 || compression != 0 ||
        (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)) {
        return Fail(problem, "its bitmap is compressed or has an unknown pixel format");
    }
    uint64_t tableMax = bits <= 8 ? uint64_t(1) << bits : 0;
    if (coloursUsed > tableMax && bits <= 8) {
        return Fail(problem, "its bitmap's colour table is larger than its pixel format allows");
    }
    uint64_t colours = coloursUsed != 0 ? coloursUsed : tableMax;
    uint64_t rows = uint64_t(doubledHeight) / 2;
    uint64_t colourRow = (uint64_t(signedWidth) * bits + 31) / 32 * 4;
    uint64_t maskRow = (uint64_t(signedWidth) + 31) / 32 * 4;
    if (kBitmapHeaderSize + 4 * colours + rows * (colourRow + maskRow) > bitmap.size()) {
        return Fail(problem, "its bitmap's colour table, pixels and mask run past the image's end");
    }
    *width = uint32_t(signedWidth);
    *height = uint32_t(rows);
    *bitCount = uint16_t(bits);
    return true;
}

// Checks one image against its directory entry and completes the entry's
// planes and bit count where the file leaves them 0.
bool IconImageCheck(IconImage *image, std::string *problem) {
    uint32_t width = 0, height = 0;
    uint16_t bitCount = 0;
    bool png = image->data.size() >= sizeof kPngSignature &&
               memcmp(image->data.data(), kPngSignature, sizeof kPngSignature) == 0;
    if (!(png ? PngCheck(image->data, &width, &height, &bitCount, problem)
              : BitmapCheck(image->data, &width, &height, &bitCount, problem))) {
        return false;
    }
    uint32_t listedWidth = image->width != 0 ? image->width : 256;
    uint32_t listedHeight = image->height != 0 ? image->height : 256;
    if (width != listedWidth || height != listedHeight) {
        return Fail(problem, "it is " + std::to_string(width) + "x" + std::to_string(height) +
                                 " pixels, its directory entry says " +
                                 std::to_string(listedWidth) + "x" + std::to_string(listedHeight));
    }
    image->planes = image->planes != 0 ? image->planes : 1;
    image->bitCount = image->bitCount != 0 ? image->bitCount : bitCount;
    return true;
}

// The group icon resource: the .ico directory with each image's offset
// replaced by its RT_ICON number (1, 2, ...).
PackageBytes IconGroupResource(const std::vector<IconImage> &images) {
    PackageBytes group;
    PutLittle(&group, 0, 2);
    PutLittle(&group, 1, 2);
    PutLittle(&group, uint32_t(images.size()), 2);
    for (size_t i = 0; i < images.size(); i++) {
        const IconImage &image = images[i];
        group.push_back(image.width);
        group.push_back(image.height);
        group.push_back(image.colourCount);
        group.push_back(0);
        PutLittle(&group, image.planes, 2);
        PutLittle(&group, image.bitCount, 2);
        PutLittle(&group, uint32_t(image.data.size()), 4);
        PutLittle(&group, uint32_t(i + 1), 2);
    }
    return group;
}

// ---- Version information ---------------------------------------------------------

void PutText(PackageBytes *out, const std::u16string &text) {
    for (char16_t unit : text) {
        PutLittle(out, unit, 2);
    }
    PutLittle(out, 0, 2);
}

void PadTo4(PackageBytes *out, size_t start) {
    while ((out->size() - start) % 4 != 0) {
        out->push_back(0);
    }
}

// One block of a version resource: wLength, wValueLength, wType, its key,
// its value and its children, each child 4-byte aligned. valueLength counts
// bytes for binary values (type 0) and UTF-16 units for text (type 1).
PackageBytes VersionBlock(const std::u16string &key, const PackageBytes &value,
                          uint32_t valueLength, bool text,
                          const std::vector<PackageBytes> &children) {
    PackageBytes block;
    PutLittle(&block, 0, 2); // wLength, set below
    PutLittle(&block, valueLength, 2);
    PutLittle(&block, text ? 1 : 0, 2);
    PutText(&block, key);
    PadTo4(&block, 0);
    block.insert(block.end(), value.begin(), value.end());
    for (const PackageBytes &child : children) {
        PadTo4(&block, 0);
        block.insert(block.end(), child.begin(), child.end());
    }
    block[0] = static_cast<unsigned char>(block.size());
    block[1] = static_cast<unsigned char>(block.size() >> 8);
    return block;
}

// VS_FIXEDFILEINFO: the signature, structure version 1.0, the two versions,
// no flags, an application for 32-bit Windows.
PackageBytes FixedFileInfo(const uint16_t file[4], const uint16_t product[4]) {
    PackageBytes info;
    PutLittle(&info, 0xFEEF04BD, 4);
    PutLittle(&info, 0x00010000, 4);
    for (const uint16_t *parts : {file, product}) {
        PutLittle(&info, uint32_t(parts[0]) << 16 | parts[1], 4);
        PutLittle(&info, uint32_t(parts[2]) << 16 | parts[3], 4);
    }
    PutLittle(&info, 0x3F, 4);       // dwFileFlagsMask
    PutLittle(&info, 0, 4);          // dwFileFlags
    PutLittle(&info, 0x00040004, 4); // VOS_NT_WINDOWS32
    PutLittle(&info, 1, 4);          // VFT_APP
    PutLittle(&info, 0, 4);          // dwFileSubtype
    PutLittle(&info, 0, 4);          // dwFileDateMS
    PutLittle(&info, 0, 4);          // dwFileDateLS
    return info;
}

std::u16string Widened(const char *ascii) {
    return std::u16string(ascii, ascii + strlen(ascii));
}

const std::u16string *VersionStringFind(const VersionStrings &strings, const char *name) {
    for (const auto &string : strings) {
        if (string.first == name) {
            return &string.second;
        }
    }
    return nullptr;
}

} // namespace

// ---- Icons ---------------------------------------------------------------------------

bool IconFileParse(const unsigned char *bytes, size_t size, std::vector<IconImage> *images,
                   std::string *problem) {
    images->clear();
    if (size < kIconHeaderSize || Little(bytes, 2) != 0 || Little(bytes + 2, 2) != 1) {
        return Fail(problem, "it does not start with an icon file's header (0, 1)");
    }
    uint32_t count = Little(bytes + 4, 2);
    uint64_t directoryEnd = kIconHeaderSize + uint64_t(count) * kIconEntrySize;
    if (count == 0 || directoryEnd > size) {
        return Fail(problem, count == 0 ? "it holds no images"
                                        : "its directory of " + std::to_string(count) +
                                              " images runs past the file's end");
    }
    uint64_t total = 0; // images that share bytes must not make the copies outgrow the file
    for (uint32_t i = 0; i < count; i++) {
        const unsigned char *entry = bytes + kIconHeaderSize + i * kIconEntrySize;
        uint32_t length = Little(entry + 8, 4), offset = Little(entry + 12, 4);
        std::string which = "image " + std::to_string(i + 1) + " of " + std::to_string(count);
        if (length == 0 || offset < directoryEnd || offset > size || length > size - offset) {
            images->clear();
            return Fail(problem, which + " does not lie inside the file after its directory");
        }
        total += length;
        if (total > size - directoryEnd) {
            images->clear();
            return Fail(problem,
                        "its images together are larger than the file after its directory");
        }
        IconImage image;
        image.width = entry[0];
        image.height = entry[1];
        image.colourCount = entry[2];
        image.planes = uint16_t(Little(entry + 4, 2));
        image.bitCount = uint16_t(Little(entry + 6, 2));
        image.data.assign(bytes + offset, bytes + offset + length);
        std::string imageProblem;
        if (!IconImageCheck(&image, &imageProblem)) {
            images->clear();
            return Fail(problem, which + ": " + imageProblem);
        }
        images->push_back(std::move(image));
    }
    return true;
}

// ---- Version information ---------------------------------------------------------------

const char *const VERSION_STRING_NAMES[6] = {"CompanyName", "FileDescription", "FileVersion",
                                             "ProductName", "ProductVersion",  "LegalCopyright"};

bool VersionNumbersParse(const std::u16string &text, uint16_t parts[4]) {
    uint32_t values[4] = {0, 0, 0, 0};
    size_t part = 0, digits = 0;
    bool sound = !text.empty();
    for (size_t i = 0; sound && i < text.size(); i++) {
        char16_t unit = text[i];
        if (unit == u'.') {
            sound = digits != 0 && ++part < 4;
            digits = 0;
        } else if (unit >= u'0' && unit <= u'9') {
            values[part] = values[part] * 10 + (unit - u'0');
            sound = values[part] < 65536;
            digits++;
        } else {
            sound = false;
        }
    }
    sound = sound && digits != 0;
    for (int i = 0; i < 4; i++) {
        parts[i] = sound ? uint16_t(values[i]) : 0;
    }
    return sound;
}

PackageBytes VersionInfoResource(const VersionStrings &strings) {
    std::vector<PackageBytes> table;
    for (const char *name : VERSION_STRING_NAMES) {
        const std::u16string *value = VersionStringFind(strings, name);
        if (value != nullptr) {
            PackageBytes text;
            PutText(&text, *value);
            table.push_back(
                VersionBlock(Widened(name), text, uint32_t(value->size() + 1), true, {}));
        }
    }
    PackageBytes stringFileInfo = VersionBlock(u"StringFileInfo", {}, 0, true,
                                               {VersionBlock(u"040904B0", {}, 0, true, table)});
    PackageBytes translation;
    PutLittle(&translation, kLanguageUsEnglish, 2);
    PutLittle(&translation, kCodePageUnicode, 2);
    PackageBytes varFileInfo = VersionBlock(
        u"VarFileInfo", {}, 0, true, {VersionBlock(u"Translation", translation, 4, false, {})});
    uint16_t file[4], product[4];
    const std::u16string *fileVersion = VersionStringFind(strings, "FileVersion");
    const std::u16string *productVersion = VersionStringFind(strings, "ProductVersion");
    VersionNumbersParse(fileVersion != nullptr ? *fileVersion : u"", file);
    VersionNumbersParse(productVersion != nullptr ? *productVersion : u"", product);
    PackageBytes fixed = FixedFileInfo(file, product);
    return VersionBlock(u"VS_VERSION_INFO", fixed, uint32_t(fixed.size()), false,
                        {stringFileInfo, varFileInfo});
}

std::string VersionStringsProblem(const VersionStrings &strings) {
    std::string names;
    for (const char *name : VERSION_STRING_NAMES) {
        names += (names.empty() ? "" : ", ") + std::string(name);
    }
    for (size_t i = 0; i < strings.size(); i++) {
        const std::string &name = strings[i].first;
        if (std::find(std::begin(VERSION_STRING_NAMES), std::end(VERSION_STRING_NAMES), name) ==
            std::end(VERSION_STRING_NAMES)) {
            return "\"" + name + "\" is not a version string name; the names are " + names;
        }
        if (VersionStringFind(strings, name.c_str()) != &strings[i].second) {
            return name + " is given twice";
        }
        if (strings[i].second.size() > VERSION_STRING_MAX) {
            return name + " is longer than " + std::to_string(VERSION_STRING_MAX) + " characters";
        }
    }
    return "";
}

// ---- Branding ----------------------------------------------------------------------------

namespace {

Resource NumberedResource(uint32_t type, uint32_t name, uint32_t language, PackageBytes data) {
    Resource resource;
    resource.type.id = type;
    resource.name.id = name;
    resource.language.id = language;
    resource.data = std::move(data);
    return resource;
}

bool ResourceIsReplaced(const Resource &resource, const StubBranding &branding) {
    if (resource.type.named) {
        return false;
    }
    uint32_t type = resource.type.id;
    return (!branding.icon.empty() &&
            (type == PE_RESOURCE_ICON || type == PE_RESOURCE_GROUP_ICON)) ||
           (!branding.version.empty() && type == PE_RESOURCE_VERSION);
}

} // namespace

bool StubBrand(PackageBytes *image, const StubBranding &branding, std::string *error) {
    std::string problem = VersionStringsProblem(branding.version);
    if (!problem.empty()) {
        *error = problem;
        return false;
    }
    std::vector<Resource> resources;
    if (!StubResourcesRead(*image, &resources, error)) {
        return false;
    }
    resources.erase(std::remove_if(resources.begin(), resources.end(),
                                   [&branding](const Resource &resource) {
                                       return ResourceIsReplaced(resource, branding);
                                   }),
                    resources.end());
    for (size_t i = 0; i < branding.icon.size(); i++) {
        resources.push_back(
            NumberedResource(PE_RESOURCE_ICON, uint32_t(i + 1), 0, branding.icon[i].data));
    }
    if (!branding.icon.empty()) {
        resources.push_back(
            NumberedResource(PE_RESOURCE_GROUP_ICON, 1, 0, IconGroupResource(branding.icon)));
    }
    if (!branding.version.empty()) {
        resources.push_back(NumberedResource(PE_RESOURCE_VERSION, 1, kLanguageUsEnglish,
                                             VersionInfoResource(branding.version)));
    }
    PackageBytes branded = *image;
    if (!StubResourcesWrite(&branded, resources, error)) {
        return false;
    }
    problem = StubImageProblem(branded);
    if (!problem.empty()) {
        *error = "the branded image is unsound: " + problem;
        return false;
    }
    image->swap(branded);
    return true;
}
