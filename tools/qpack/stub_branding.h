// Branding a stub image: the vendor's icon and version information written
// into the resources of a copy of the stub, before the package is appended
// and before its signing fields are cleared. Any stub image can be branded
// (the installer's, an uninstaller's); the stub's other resources (its
// application manifest among them) are kept byte for byte.
//
// The resources are written as a new section at the end of the image,
// holding the whole resource tree (the kept resources copied into it) and
// named by the data directory; the old resource section stays where it is,
// unreferenced, so that nothing in the image moves. The tree is written
// here rather than with a PE editing library because qpack brands
// installers on Windows too, where no such library builds with mingw.
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "qpack/package_writer.h" // PackageBytes

// ---- Resources -------------------------------------------------------------

// A resource's type, name or language: a number, or a name.
struct ResourceKey {
    bool named = false;
    uint32_t id = 0;
    std::u16string name;
};

struct Resource {
    ResourceKey type;
    ResourceKey name;
    ResourceKey language;
    uint32_t codePage = 0;
    PackageBytes data;
};

// Reads every resource of the image. False with the reason in *error when
// the image's headers or its resource tree are malformed.
bool StubResourcesRead(const PackageBytes &image, std::vector<Resource> *resources,
                       std::string *error);

// Replaces the image's resources with these: a new section at the end of
// the image holds their tree and data, and the section table, the section
// count, SizeOfImage, SizeOfInitializedData and the resource directory entry
// follow; the CheckSum becomes 0 (none). False with the reason in *error,
// the image unchanged, when the image is not laid out as StubImageProblem
// requires, is signed, has no room for one more section header, or the
// resources repeat a type, name and language.
bool StubResourcesWrite(PackageBytes *image, const std::vector<Resource> &resources,
                        std::string *error);

// Why the image is not a PE image laid out as a linker lays one out; "" when
// it is: alignments powers of two (file alignment 512 to 64 KiB, section
// alignment at least that), headers and sections at aligned places inside
// the file, sections in ascending, non-overlapping order, SizeOfImage the
// aligned end of the last section, and a resource tree (if any) that
// PeResourcesWalk accepts with its entries in the order Windows searches.
std::string StubImageProblem(const PackageBytes &image);

// ---- Icons -----------------------------------------------------------------

// One image of an .ico file, with its directory entry's fields.
struct IconImage {
    uint8_t width = 0; // 0 stands for 256
    uint8_t height = 0;
    uint8_t colourCount = 0;
    uint16_t planes = 0;
    uint16_t bitCount = 0;
    PackageBytes data; // a BITMAPINFOHEADER bitmap with its masks, or a PNG file
};

// Reads an .ico file: a 6-byte header (0, type 1, count), count 16-byte
// entries, and the images they point at, each inside the file and after the
// directory, each a well-formed PNG (chunks and their CRCs through IEND) or a
// bitmap whose header, colour table and two masks fit in its bytes, of the
// size its entry gives (0 for 256), their sizes together no more than the
// file holds after the directory. False with the reason in *problem.
bool IconFileParse(const unsigned char *bytes, size_t size, std::vector<IconImage> *images,
                   std::string *problem);

// ---- Version information ---------------------------------------------------

// The names a version resource's strings may have, in the order written.
extern const char *const VERSION_STRING_NAMES[6];
// The longest string value, in UTF-16 units: six of them fit in the 64 KiB
// that a version resource's 16-bit lengths allow.
const size_t VERSION_STRING_MAX = 4000;

// Name and value pairs, each name one of VERSION_STRING_NAMES.
using VersionStrings = std::vector<std::pair<std::string, std::u16string>>;

// Why the strings cannot be written, "" when they can: a name that is not
// one of VERSION_STRING_NAMES (the message lists them), a name given twice,
// a value longer than VERSION_STRING_MAX.
std::string VersionStringsProblem(const VersionStrings &strings);

// The four 16-bit parts of a version read as up to four dot-separated
// decimal numbers below 65536 ("3.14" is 3.14.0.0); false (parts all 0)
// when the text is anything else.
bool VersionNumbersParse(const std::u16string &text, uint16_t parts[4]);

// A VS_VERSIONINFO: the fixed part with FileVersion and ProductVersion as
// numbers (zeros where they do not read as numbers), the strings in one
// table for US English, Unicode (040904B0), and that translation.
PackageBytes VersionInfoResource(const VersionStrings &strings);

// ---- Branding --------------------------------------------------------------

struct StubBranding {
    std::vector<IconImage> icon; // empty: the image keeps its icons
    VersionStrings version;      // empty: the image keeps its version resource
};

// Writes the branding into the image: the icon's images as RT_ICON 1..n
// with one RT_GROUP_ICON 1 (replacing any icons the image had), the version
// information as RT_VERSION 1 (replacing any it had); every other resource
// kept. False with the reason in *error, the image unchanged, when the
// strings cannot be written (VersionStringsProblem), the image cannot be
// branded (see StubResourcesWrite) or the result fails StubImageProblem.
bool StubBrand(PackageBytes *image, const StubBranding &branding, std::string *error);
