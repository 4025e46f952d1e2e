// What the installer reads of itself for its uninstall entry: the version
// resource's strings (as qpack writes them, and malformed), the resource in
// a file and in a loaded image, and the uninstall key's name from the
// package. Every read gets a buffer of exactly its length, so that ASan
// sees a byte read past it.
#include "pe/pe.h"
#include "qpack/package_writer.h"
#include "qpack/stub_branding.h"
#include "removal/uninstall_key.h"

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "package/package.h"
#include "pe_bytes.h"

namespace {

PackageBytes Bytes(const std::string &text) {
    return PackageBytes(text.begin(), text.end());
}

// The string named name as the reader finds it in exactly these bytes;
// "<none>" when it finds none. Checks that the text and its NUL lie inside.
std::u16string Found(const PackageBytes &resource, const char *name) {
    std::vector<unsigned char> exact(resource.begin(), resource.end());
    uint32_t text = 0;
    uint32_t units =
        PeVersionStringFind(exact.data(), static_cast<uint32_t>(exact.size()), name, &text);
    if (units == 0)
        return u"<none>";
    EXPECT_LE(text + 2 * uint64_t(units) + 2, exact.size());
    std::u16string found;
    for (uint32_t i = 0; i <= units; i++)
        found.push_back(static_cast<char16_t>(exact[text + 2 * i] | exact[text + 2 * i + 1] << 8));
    EXPECT_EQ(found.back(), u'\0');
    found.pop_back();
    return found;
}

// The offset of the UTF-16 text in the resource (its first occurrence).
size_t Where(const PackageBytes &resource, const std::u16string &text) {
    std::string bytes(resource.begin(), resource.end()), wide;
    for (char16_t unit : text) {
        wide += static_cast<char>(unit & 0xFF);
        wide += static_cast<char>(unit >> 8);
    }
    size_t at = bytes.find(wide);
    EXPECT_NE(at, std::string::npos);
    return at;
}

void Put16(PackageBytes *bytes, size_t at, uint32_t value) {
    (*bytes)[at] = static_cast<unsigned char>(value);
    (*bytes)[at + 1] = static_cast<unsigned char>(value >> 8);
}

const VersionStrings kEvery = {{"CompanyName", u"Vendor \u00A9 Ltd"},
                               {"FileDescription", u"Setup"},
                               {"FileVersion", u"3.14"},
                               {"ProductName", u"Demo"},
                               {"ProductVersion", u"2.5.1"},
                               {"LegalCopyright", u"(c)"}};

TEST(VersionResource, StringsAsQpackWritesThem) {
    struct Case {
        const char *what;
        VersionStrings strings;
        const char *name;
        std::u16string expected;
    } cases[] = {
        {"every string", kEvery, "CompanyName", u"Vendor \u00A9 Ltd"},
        {"every string", kEvery, "ProductVersion", u"2.5.1"},
        {"every string", kEvery, "LegalCopyright", u"(c)"},
        {"none", {}, "CompanyName", u"<none>"},
        {"some", {{"ProductVersion", u"7"}}, "ProductVersion", u"7"},
        {"some", {{"ProductVersion", u"7"}}, "CompanyName", u"<none>"},
        {"an empty one counts as none", {{"CompanyName", u""}}, "CompanyName", u"<none>"},
        {"a name is matched whole", kEvery, "Company", u"<none>"},
        {"a name is matched whole", kEvery, "CompanyNames", u"<none>"},
        {"the longest value",
         {{"CompanyName", std::u16string(VERSION_STRING_MAX, u'x')}},
         "CompanyName",
         std::u16string(VERSION_STRING_MAX, u'x')},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Found(VersionInfoResource(c.strings), c.name), c.expected) << c.what;
}

TEST(VersionResource, MalformedOnesAreReadWithinBounds) {
    const PackageBytes sound = VersionInfoResource(kEvery);
    const size_t table = Where(sound, u"040904B0") - 6;
    const size_t company = Where(sound, u"CompanyName") - 6;
    const size_t stringFileInfo = Where(sound, u"StringFileInfo");
    struct Case {
        const char *what;
        void (*change)(PackageBytes *resource, size_t table, size_t company, size_t sfi);
    } cases[] = {
        {"the root longer than the resource",
         [](PackageBytes *r, size_t, size_t, size_t) { Put16(r, 0, r->size() + 4); }},
        {"the root shorter than its header",
         [](PackageBytes *r, size_t, size_t, size_t) { Put16(r, 0, 5); }},
        {"the table past its parent's end",
         [](PackageBytes *r, size_t table, size_t, size_t) { Put16(r, table, 0xFFF0); }},
        {"the string past its table's end",
         [](PackageBytes *r, size_t, size_t company, size_t) { Put16(r, company, 0xFFF0); }},
        {"no StringFileInfo",
         [](PackageBytes *r, size_t, size_t, size_t sfi) { (*r)[sfi + 2] = 'X'; }},
        {"a key without its NUL",
         [](PackageBytes *r, size_t, size_t company, size_t) {
             for (size_t at = company + 6; at < r->size(); at += 2)
                 Put16(r, at, 'K');
         }},
        {"odd padding: the string's key shifted by one byte",
         [](PackageBytes *r, size_t, size_t company, size_t) {
             r->insert(r->begin() + company + 6, 0);
             r->pop_back();
         }},
        {"the text without its NUL inside its block",
         [](PackageBytes *r, size_t, size_t company, size_t) {
             uint32_t length = (*r)[company] | (*r)[company + 1] << 8;
             for (size_t at = company + 30; at + 1 < company + length; at += 2)
                 Put16(r, at, 'v');
             Put16(r, company, length & ~1u);
         }},
    };
    for (const Case &c : cases) {
        PackageBytes resource = sound;
        c.change(&resource, table, company, stringFileInfo);
        EXPECT_EQ(Found(resource, "CompanyName"), u"<none>") << c.what;
    }
    // Cut anywhere, or with any byte changed, it is read within its bytes;
    // what is found then is either nothing or a text that ends inside.
    for (size_t length = 0; length < sound.size(); length++)
        Found(PackageBytes(sound.begin(), sound.begin() + length), "LegalCopyright");
    for (size_t at = 0; at < sound.size(); at++) {
        for (unsigned char value : {0x00, 0x01, 0x7F, 0xFF}) {
            PackageBytes changed = sound;
            changed[at] = value;
            Found(changed, "ProductVersion");
        }
    }
}

// A test image carrying these resources, as a file and as Windows would
// load it (each section at its RVA).
PackageBytes ImageWith(const std::vector<Resource> &resources) {
    PackageBytes image = TestPeImage();
    std::string error;
    EXPECT_TRUE(StubResourcesWrite(&image, resources, &error)) << error;
    return image;
}

PackageBytes Loaded(const PackageBytes &file) {
    PeImage image;
    uint32_t size = 0, headers = 0;
    EXPECT_TRUE(PeImageRead(file.data(), static_cast<uint32_t>(file.size()), &image));
    PeReadU32(&image, image.optionalHeaderOffset + PE_SIZE_OF_IMAGE_FIELD, &size);
    PeReadU32(&image, image.optionalHeaderOffset + PE_SIZE_OF_HEADERS_FIELD, &headers);
    PackageBytes loaded(size, 0);
    memcpy(loaded.data(), file.data(), headers);
    PeSection section;
    for (uint32_t i = 0; PeSectionGet(&image, i, &section); i++)
        memcpy(&loaded[section.virtualAddress], &file[section.rawOffset],
               std::min(section.rawSize, size - section.virtualAddress));
    return loaded;
}

PackageBytes FoundResource(const PackageBytes &bytes, bool loaded) {
    PeImage image;
    PeSpan span;
    int read = loaded ? PeLoadedImageRead(bytes.data(), &image)
                      : PeImageRead(bytes.data(), static_cast<uint32_t>(bytes.size()), &image);
    if (!read || !PeResourceFind(&image, PE_RESOURCE_VERSION, loaded, &span))
        return Bytes("<none>");
    return PackageBytes(bytes.begin() + span.offset, bytes.begin() + span.offset + span.length);
}

TEST(VersionResource, FoundInTheImageAsFileAndAsLoaded) {
    Resource manifest, version;
    manifest.type.id = PE_RESOURCE_MANIFEST;
    manifest.name.id = 1;
    manifest.data = Bytes("<assembly/>");
    version.type.id = PE_RESOURCE_VERSION;
    version.name.id = 1;
    version.language.id = 0x409;
    version.data = VersionInfoResource(kEvery);
    Resource named = version; // a named type never matches the number
    named.type.named = true;
    named.type.name = u"VERSION";
    struct Case {
        const char *what;
        std::vector<Resource> resources;
        PackageBytes expected;
    } cases[] = {
        {"with a manifest", {manifest, version}, version.data},
        {"alone", {version}, version.data},
        {"no version resource", {manifest, named}, Bytes("<none>")},
        {"no resources", {}, Bytes("<none>")},
    };
    for (const Case &c : cases) {
        PackageBytes file = ImageWith(c.resources);
        EXPECT_EQ(FoundResource(file, false), c.expected) << c.what;
        EXPECT_EQ(FoundResource(Loaded(file), true), c.expected) << c.what;
    }
    // A tree whose entries lead outside it, or a leaf where a directory
    // belongs, is no resource; cut anywhere, the image is read within bounds.
    PackageBytes file = ImageWith({manifest, version});
    PeImage image;
    PeDataDirectory directory;
    uint32_t tree = 0;
    ASSERT_TRUE(PeImageRead(file.data(), static_cast<uint32_t>(file.size()), &image));
    ASSERT_TRUE(PeDataDirectoryGet(&image, PE_DIRECTORY_RESOURCE, &directory));
    ASSERT_TRUE(PeRvaToOffset(&image, directory.address, directory.size, &tree));
    const uint32_t child = tree + 16 + 4; // of the first type, the version
    PackageBytes changed = file;
    changed[child + 3] ^= 0x80; // a leaf where its names' directory belongs
    EXPECT_EQ(FoundResource(changed, false), Bytes("<none>"));
    changed = file;
    changed[child + 1] = 0x7F; // far outside the tree
    EXPECT_EQ(FoundResource(changed, false), Bytes("<none>"));
    for (size_t length = 0; length < file.size(); length += 7)
        FoundResource(PackageBytes(file.begin(), file.begin() + length), false);
}

// ---- The uninstall key's name --------------------------------------------------

TEST(UninstallKey, NamesWindowsCanUseAsAKey) {
    struct Case {
        std::string name;
        int sound;
    } cases[] = {
        {"Quorvane", 1},
        {"Vendor Product 2.0 (x86)", 1},
        {std::string(255, 'k'), 1},
        {"", 0},
        {std::string(256, 'k'), 0},
        {"Vendor\\Product", 0},
        {"\\", 0},
        {std::string("a\0b", 3), 0},
        {"tab\there", 0},
        {"caf\xC3\xA9", 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(UninstallKeyNameIsSound(c.name.data(), static_cast<uint32_t>(c.name.size())),
                  c.sound)
            << c.name;
}

TEST(UninstallKey, ThePackageNamesItOrTheDefaultStands) {
    const std::string parent = std::string(UNINSTALL_KEY_PARENT) + "\\";
    struct Case {
        const char *what;
        bool entry;
        std::string name;
        std::string expected;
    } cases[] = {
        {"no entry", false, "", "Quorvane"},
        {"a name", true, "Vendor Product", "Vendor Product"},
        {"the longest name", true, std::string(255, 'k'), std::string(255, 'k')},
        {"empty", true, "", "Quorvane"},
        {"too long", true, std::string(256, 'k'), "Quorvane"},
        {"a path", true, "..\\Run", "Quorvane"},
        {"a NUL inside", true, std::string("Ven\0dor", 7), "Quorvane"},
    };
    for (const Case &c : cases) {
        std::vector<PackageWriterEntry> entries = {{"\\#Manifest", Bytes("productname = \"P\"")}};
        if (c.entry)
            entries.push_back({"\\#UninstallKey", PackageBytes(c.name.begin(), c.name.end())});
        PackageBytes installer;
        std::string error;
        ASSERT_TRUE(
            PackageWrite(TestPeImage(), entries, PackageWriterOptions(), &installer, &error))
            << error;
        ASSERT_EQ(PackageOpenMemory(installer.data(), static_cast<uint32_t>(installer.size())), 1);
        char path[UNINSTALL_KEY_PATH_SIZE];
        memset(path, 'x', sizeof path);
        UninstallKeyPathFind(path);
        EXPECT_EQ(std::string(path), parent + c.expected) << c.what;
        PackageClose();
    }
}

} // namespace
