// Manifest parser tests: lines, the two forms and their traps, limits, the
// value forms, lists, the package side of ManifestLoad, the usability rules,
// and natively a differential run against the C library's sscanf with the
// patterns the parser stands in for. Every test leaves the heap as it found
// it: ManifestFree must release all that parsing took.
#include "heap/region_heap.h"
#include "manifest/manifest.h"
#include "package/package.h"
#include "platform/platform.h"
#include "qpack/package_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// The text in a heap block of exactly its size, nothing behind it, so that
// the sanitizer sees a read one byte past the text (a std::string keeps its
// terminator inside the allocation, where such a read goes unseen).
std::unique_ptr<char[]> Exact(const std::string &text) {
    std::unique_ptr<char[]> block(new char[text.size()]);
    memcpy(block.get(), text.data(), text.size());
    return block;
}

uint32_t UsedBlocks() {
    RegionHeapStats stats;
    RegionHeapReadStats(&stats);
    return stats.usedBlocks;
}

std::string Repeat(char c, size_t count) {
    return std::string(count, c);
}

// A record parsed from text; the fixture checks that freeing it gives back
// every block and region.
class ManifestTest : public ::testing::Test {
  protected:
    InstallDescription d;

    void SetUp() override {
        memset(&d, 0, sizeof d);
        usedBlocks = UsedBlocks();
        livePages = PlatformPagesLiveCount();
    }
    void TearDown() override {
        ManifestFree(&d);
        PackageClose();
        PlatformPagesFailAt(0);
        EXPECT_EQ(UsedBlocks(), usedBlocks) << "heap blocks leaked";
        EXPECT_EQ(PlatformPagesLiveCount(), livePages) << "heap regions leaked";
        EXPECT_EQ(RegionHeapCheck(), 1);
    }

    // Parses text into a fresh record.
    void Parse(const std::string &text) {
        ManifestFree(&d);
        ManifestParseText(&d, Exact(text).get(), static_cast<uint32_t>(text.size()));
    }
    // The product name a one-line manifest sets, "(absent)" when none.
    std::string ProductFrom(const std::string &text) {
        Parse(text);
        return d.productName ? d.productName : "(absent)";
    }
    std::vector<std::string> Shortcuts() {
        std::vector<std::string> names;
        for (ShortcutEntry *s = d.shortcuts; s; s = s->next) {
            names.push_back(std::string(s->shortcutName) + "|" + s->targetPath + "|" +
                            std::to_string(s->iconIndex));
        }
        return names;
    }
    std::vector<std::string> DeleteFiles() {
        std::vector<std::string> names;
        for (DeleteEntry *e = d.deleteFiles; e; e = e->next) {
            names.push_back(e->fileName);
        }
        return names;
    }

  private:
    uint32_t usedBlocks = 0;
    uint32_t livePages = 0;
};

// A key is matched whole: a strict prefix or an extension of a known key
// sets nothing.
TEST_F(ManifestTest, PrefixesAndExtensionsOfAKeyAreNotTheKey) {
    for (const char *line :
         {"product = \"x\"\r\n", "productnam = \"x\"\r\n", "productnames = \"x\"\r\n",
          "p = \"x\"\r\n", "dir = \"x\"\r\n", "directorys = \"x\"\r\n", "mutex = \"x\"\r\n",
          "uninstall = \"x\"\r\n", "bkcolo = #123456\r\n", "shortcu = \"a\", \"b\", 0\r\n",
          "delfil = \"a\"\r\n"}) {
        Parse(line);
        EXPECT_EQ(d.productName, nullptr) << line;
        EXPECT_EQ(d.directoryName, nullptr) << line;
        EXPECT_EQ(d.mutexName, nullptr) << line;
        EXPECT_EQ(d.uninstaller, nullptr) << line;
        EXPECT_EQ(d.backgroundColour, 0u) << line;
        EXPECT_EQ(d.shortcuts, nullptr) << line;
        EXPECT_EQ(d.deleteFiles, nullptr) << line;
    }
}

TEST_F(ManifestTest, LineEnds) {
    const std::string lines[] = {"productname = \"P\"", "directory = \"D\\E\"",
                                 "BKColour = #102030"};
    std::string crlf, cr;
    for (const std::string &line : lines) {
        crlf += line + "\r\n";
        cr += line + "\r";
    }
    for (const std::string &text : {crlf, cr, cr.substr(0, cr.size() - 1)}) {
        Parse(text);
        ASSERT_TRUE(d.productName && d.directoryName);
        EXPECT_STREQ(d.productName, "P");
        EXPECT_STREQ(d.directoryName, "D\\E");
        EXPECT_EQ(d.backgroundColour, 0x302010u);
    }
    // LF alone is whitespace: one line whose first key alone takes effect,
    // its quoted value stopping at the closing quote.
    Parse("productname = \"P\"\ndirectory = \"D\"\n");
    EXPECT_STREQ(d.productName, "P");
    EXPECT_EQ(d.directoryName, nullptr);
    // A LF leads a line as whitespace; CR CR LF makes an empty line.
    Parse("\nproductname = \"P\"\r\r\ndirectory=\"D\"\n\r\n");
    EXPECT_STREQ(d.productName, "P");
    EXPECT_STREQ(d.directoryName, "D");
}

TEST_F(ManifestTest, TheTwoFormsAndTheirTraps) {
    EXPECT_EQ(ProductFrom("productname=\"Glued\""), "Glued");         // split form
    EXPECT_EQ(ProductFrom("  productname \t= \"Spaced\""), "Spaced"); // word form
    EXPECT_EQ(ProductFrom("\v\fproductname=\n \"Newline\""), "Newline");
    EXPECT_EQ(ProductFrom("PRODUCTNAME = \"Upper\""), "Upper");
    EXPECT_EQ(ProductFrom("ProductName= \"Mixed\""), "Mixed");
    EXPECT_EQ(ProductFrom("product name = \"x\""), "(absent)"); // space inside the key
    EXPECT_EQ(ProductFrom("productname. = \"x\""), "(absent)");
    EXPECT_EQ(ProductFrom("productname ="), "(absent)"); // nothing after "="
    EXPECT_EQ(ProductFrom("productname \"x\""), "(absent)");
    // The first word runs through a glued "=" and the line's first space is
    // followed by another "=": the word form splits there.
    EXPECT_EQ(ProductFrom("productname=\"My =Product\""), "(absent)");
    EXPECT_EQ(ProductFrom("productname = \"My =Product\""), "My =Product");

    char key[MANIFEST_KEY_MAX + 1], value[MANIFEST_VALUE_MAX + 1];
    const std::string trap = "directory=\"Program =Files\"";
    EXPECT_EQ(ManifestMatchLine(Exact(trap).get(), trap.size(), key, value, nullptr),
              MANIFEST_FORM_WORD);
    EXPECT_STREQ(key, "directory=\"Program");
    EXPECT_STREQ(value, "Files\"");
    const std::string split = " a b \t= c ";
    EXPECT_EQ(ManifestMatchLine(Exact(split).get(), split.size(), key, value, nullptr),
              MANIFEST_FORM_SPLIT);
    EXPECT_STREQ(key, "a b \t"); // whitespace before "=" belongs to the key
    EXPECT_STREQ(value, "c ");   // trailing whitespace belongs to the value
    for (const char *none : {"", "   ", "=x", " = x", "key", "key = \t"}) {
        EXPECT_EQ(ManifestMatchLine(none, strlen(none), key, value, nullptr), MANIFEST_FORM_NONE)
            << none;
    }
}

TEST_F(ManifestTest, KeyAndValueLimits) {
    char key[MANIFEST_KEY_MAX + 1], value[MANIFEST_VALUE_MAX + 1];
    uint32_t valueLength = 0;
    for (int form : {MANIFEST_FORM_WORD, MANIFEST_FORM_SPLIT}) {
        std::string line = Repeat('k', 256) + "=v";
        EXPECT_EQ(ManifestMatchForm(Exact(line).get(), line.size(), form, key, value, nullptr), 1);
        EXPECT_EQ(strlen(key), 256u);
        line = Repeat('k', 257) + " = v";
        EXPECT_EQ(ManifestMatchForm(Exact(line).get(), line.size(), form, key, value, nullptr), 0);
        line = "k = " + Repeat('v', 1024);
        EXPECT_EQ(ManifestMatchForm(Exact(line).get(), line.size(), form, key, value, &valueLength),
                  1);
        EXPECT_EQ(valueLength, 1024u);
        line += "w";
        EXPECT_EQ(ManifestMatchForm(Exact(line).get(), line.size(), form, key, value, &valueLength),
                  1);
        EXPECT_EQ(valueLength, 1025u);
        EXPECT_EQ(std::string(value), Repeat('v', 1024));
    }
    // A quoted string from a line has at most 1023 characters (its quote is
    // one of the value's 1024); handed in directly it may have 1024.
    EXPECT_EQ(ProductFrom("productname = \"" + Repeat('p', 1030) + "\""), Repeat('p', 1023));
    ManifestApplyKey(&d, "productname", ("\"" + Repeat('q', 1030)).c_str());
    EXPECT_EQ(std::string(d.productName), Repeat('q', 1024));
    // A file name is cut at 256; a shortcut part beyond 256 drops the line.
    Parse("delfile = \"" + Repeat('f', 256) + "\"\rdelfile = \"" + Repeat('g', 300) + "\"\r" +
          "shortcut = \"" + Repeat('n', 256) + "\", \"" + Repeat('t', 256) + "\", 1\r" +
          "shortcut = \"" + Repeat('n', 257) + "\", \"t\", 2\r" + "shortcut = \"n\", \"" +
          Repeat('t', 257) + "\", 3");
    EXPECT_EQ(DeleteFiles(), (std::vector<std::string>{Repeat('g', 256), Repeat('f', 256)}));
    EXPECT_EQ(Shortcuts(),
              (std::vector<std::string>{Repeat('n', 256) + "|" + Repeat('t', 256) + "|1"}));
}

TEST_F(ManifestTest, QuotedStrings) {
    EXPECT_EQ(ProductFrom("productname = \"A\" trailing ignored"), "A");
    EXPECT_EQ(ProductFrom("productname = \"Open to the end  \t"), "Open to the end  \t");
    EXPECT_EQ(ProductFrom("productname = \"\""), "(absent)");
    EXPECT_EQ(ProductFrom("productname = unquoted"), "(absent)");
    // Failing lines leave an earlier value; a later good line replaces it.
    Parse("mutexname = \"M1\"\rmutexname = \"\"\rmutexname = M3\rorigin = \"O\"\rorigin = \"O2\"");
    EXPECT_STREQ(d.mutexName, "M1");
    EXPECT_STREQ(d.origin, "O2");
    Parse("productname=\"P\"\rorigin=\"O\"\rdirectory=\"D\"\runinstaller=\"U.exe\"\r"
          "mutexname=\"M\"\rmainwindowname=\"W\"");
    EXPECT_STREQ(d.productName, "P");
    EXPECT_STREQ(d.origin, "O");
    EXPECT_STREQ(d.directoryName, "D");
    EXPECT_STREQ(d.uninstaller, "U.exe");
    EXPECT_STREQ(d.mutexName, "M");
    EXPECT_STREQ(d.mainWindowName, "W");
}

TEST_F(ManifestTest, Colours) {
    struct Case {
        const char *value;
        int matches;
        ColourRef colour;
    } cases[] = {
        {"#FF0000", 1, 0x0000FF},
        {"#ff", 1, 0xFF0000},
        {"#00ff00", 1, 0x00FF00},
        {"#0x123456", 1, 0x563412},
        {"#0X12", 1, 0x120000},
        {"# \t12", 1, 0x120000},
        {"#-1", 1, 0xFFFFFF},
        {"#+ff", 1, 0xFF0000},
        {"#123456789", 1, 0x896745},
        {"#0x", 1, 0},
        {"#0xg", 1, 0},
        {"#12zz", 1, 0x120000},
        {"#", 0, 0},
        {"#g", 0, 0},
        {"#-", 0, 0},
        {"#x12", 0, 0},
        {"\"#FF0000\"", 0, 0},
        {"FF0000", 0, 0},
    };
    for (const Case &c : cases) {
        ColourRef colour = 0xABCDEF;
        EXPECT_EQ(ParseColour(&colour, c.value), c.matches) << c.value;
        EXPECT_EQ(colour, c.matches ? c.colour : 0xABCDEFu) << c.value;
    }
    Parse("bkcolour = #010203\rPROGRESSBARCOLOUR=#040506\rProgressBorderColour = #070809\r"
          "StatusTextColour = #0A0B0C\rBKColour = \"#FFFFFF\"");
    EXPECT_EQ(d.backgroundColour, 0x030201u);
    EXPECT_EQ(d.progressBarColour, 0x060504u);
    EXPECT_EQ(d.progressBorderColour, 0x090807u);
    EXPECT_EQ(d.statusTextColour, 0x0C0B0Au);
}

TEST_F(ManifestTest, ShortcutsAndDeleteFilesInReverseLineOrder) {
    Parse("shortcut = \"First\", \"a.exe\", 0\r\n"
          "shortcut=\"Tools\\Second\" ,\"b.exe\",-3 and more\r\n"
          "shortcut = \"No index\", \"c.exe\"\r\n"
          "shortcut = \"No index\", \"c.exe\", x\r\n"
          "shortcut = \"\", \"c.exe\", 1\r\n"
          "shortcut = \"Unclosed, \"c.exe\", 1\r\n"
          "shortcut = \"Big\", \"d.exe\", 99999999999\r\n"
          "shortcut = \"Small\", \"d.exe\", -99999999999\r\n"
          "delfile = \"old.dll\"\r\ndelfile = \"old.dll\"\r\ndelfile = \"sub\\x.txt\r\n"
          "delfile = \"\"\r\ndelfile = old.ini\r\n");
    EXPECT_EQ(Shortcuts(),
              (std::vector<std::string>{"Small|d.exe|-2147483648", "Big|d.exe|2147483647",
                                        "Tools\\Second|b.exe|-3", "First|a.exe|0"}));
    EXPECT_EQ(DeleteFiles(), (std::vector<std::string>{"sub\\x.txt", "old.dll", "old.dll"}));
}

TEST_F(ManifestTest, EmptyTextsNulAndByteOrderMark) {
    Parse("");
    InstallDescription empty;
    memset(&empty, 0, sizeof empty);
    EXPECT_EQ(memcmp(&d, &empty, sizeof d), 0);
    Parse("\r\n\r\n   \r\t\r");
    EXPECT_EQ(memcmp(&d, &empty, sizeof d), 0);
    ManifestParseText(&d, nullptr, 0);
    EXPECT_EQ(memcmp(&d, &empty, sizeof d), 0);

    // A NUL ends its line's text; the next line is read as usual.
    const char withNul[] = "productname = \"Ab\0cd\"\r\ndirectory = \"D\"";
    Parse(std::string(withNul, sizeof withNul - 1));
    EXPECT_STREQ(d.productName, "Ab");
    EXPECT_STREQ(d.directoryName, "D");
    const char nulKey[] = "productname\0 = \"P\"\rorigin = \"O\"";
    Parse(std::string(nulKey, sizeof nulKey - 1));
    EXPECT_EQ(d.productName, nullptr);
    EXPECT_STREQ(d.origin, "O");

    Parse("\xEF\xBB\xBFproductname = \"P\"\r\ndirectory = \"D\"\r\n");
    EXPECT_EQ(d.productName, nullptr);
    EXPECT_STREQ(d.directoryName, "D");
}

// Reports every line with what happened to it, for qpack's checks.
TEST_F(ManifestTest, ReportingTellsEachLine) {
    std::vector<ManifestLine> lines;
    std::vector<std::string> keys;
    auto record = [](const ManifestLine *line, void *context) {
        auto *self =
            static_cast<std::pair<std::vector<ManifestLine> *, std::vector<std::string> *> *>(
                context);
        self->first->push_back(*line);
        self->second->push_back(line->key);
    };
    std::pair<std::vector<ManifestLine> *, std::vector<std::string> *> sink(&lines, &keys);
    std::string text =
        "productname = \"P\"\r\nwhat=1\rdirectory=\"" + Repeat('d', 1030) + "\r\n\rBKColour = red";
    ManifestParseTextReporting(&d, Exact(text).get(), text.size(), record, &sink);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].form, MANIFEST_FORM_WORD);
    EXPECT_EQ(lines[0].keyIndex, MANIFEST_KEY_PRODUCTNAME);
    EXPECT_TRUE(lines[0].applied && lines[0].endsWithCrLf);
    EXPECT_EQ(lines[1].form, MANIFEST_FORM_SPLIT);
    EXPECT_EQ(keys[1], "what");
    EXPECT_EQ(lines[1].keyIndex, -1);
    EXPECT_TRUE(lines[1].endsWithCr && !lines[1].endsWithCrLf);
    EXPECT_EQ(lines[2].valueLength, 1031u);
    EXPECT_EQ(lines[2].applied, 1);
    EXPECT_EQ(lines[3].form, MANIFEST_FORM_NONE);
    EXPECT_EQ(lines[4].number, 5u);
    EXPECT_EQ(lines[4].keyIndex, MANIFEST_KEY_BKCOLOUR);
    EXPECT_EQ(lines[4].applied, 0);
    EXPECT_FALSE(lines[4].endsWithCr);
    EXPECT_EQ(text.substr(lines[4].offset, lines[4].length), "BKColour = red");
}

// With the region heap out of memory at every point of a line in turn, the
// line either takes full effect or none, and leaks nothing.
TEST_F(ManifestTest, NoMemoryLeavesTheRecordAsItWas) {
    void *seed = RegionHeapAlloc(16); // a region to fill
    PlatformPagesFailAt(1);
    std::vector<void *> fillers;
    while (void *block = RegionHeapAlloc(16)) {
        fillers.push_back(block);
    }
    const char *values[][2] = {{"shortcut", "\"Name\", \"Target\", 1"},
                               {"delfile", "\"file\""},
                               {"productname", "\"Product\""}};
    for (const auto &line : values) {
        size_t freed = 0;
        int applied = 0;
        while (!applied && freed < fillers.size()) {
            RegionHeapFree(fillers[freed]);
            fillers[freed++] = nullptr;
            PlatformPagesFailAt(1);
            applied = ManifestApplyKey(&d, line[0], line[1]);
            EXPECT_EQ(RegionHeapCheck(), 1);
            if (!applied) {
                EXPECT_TRUE(d.shortcuts == nullptr && d.deleteFiles == nullptr &&
                            d.productName == nullptr);
            }
        }
        EXPECT_EQ(applied, 1) << line[0];
        ManifestFree(&d);
        for (size_t i = 0; i < freed; i++) { // refill for the next key
            PlatformPagesFailAt(1);
            fillers[i] = RegionHeapAlloc(16);
        }
    }
    PlatformPagesFailAt(0);
    for (void *block : fillers) {
        RegionHeapFree(block);
    }
    RegionHeapFree(seed);
}

TEST(ManifestUsableTest, RefusesMissingAndUnsafeNames) {
    struct Case {
        const char *productName;
        const char *directory;
        int usable;
    } cases[] = {
        {"Product", "Vendor\\Product", 1},
        {"Product 2.0", "Vendor/Product", 1},
        {"P", "..a\\b..c\\.c", 1},
        {"P", "Acme\\CON", 0},
        {"P", "Acme \\x", 0},
        {"P", "Acme|Pro<1>", 0},
        {nullptr, "Dir", 0},
        {"Product", nullptr, 0},
        {"", "Dir", 0},
        {"Product", "", 0},
        {"Product", "..\\Windows", 0},
        {"Product", "Vendor\\..\\..\\Windows", 0},
        {"Product", "Vendor/../x", 0},
        {"Product", "Vendor\\.", 0},
        {"Product", "Vendor\\\\Product", 0},
        {"Product", "Vendor\\", 0},
        {"Product", "\\Windows", 0},
        {"Product", "/Windows", 0},
        {"Product", "C:\\Windows", 0},
        {"Product", "C:Windows", 0},
        {"Product", "Dir:stream", 0},
        {"Product", "Vendor\\...", 0},
        {"Product", ".. \\x", 0},
        {"Bad\\Name", "Dir", 0},
        {"Bad/Name", "Dir", 0},
        {"Tab\tName", "Dir", 0},
        {"Del\x7f", "Dir", 0},
        {".", "Dir", 0},
        {"..", "Dir", 0},
        {". .", "Dir", 0},
        {"Demo: Pro", "Dir", 0}, // a stream: its shortcuts could never be made
        {"C:", "Dir", 0},
    };
    for (const Case &c : cases) {
        InstallDescription d;
        memset(&d, 0, sizeof d);
        d.productName = const_cast<char *>(c.productName);
        d.directoryName = const_cast<char *>(c.directory);
        EXPECT_EQ(ManifestIsUsable(&d), c.usable)
            << (c.productName ? c.productName : "(null)") << " / "
            << (c.directory ? c.directory : "(null)");
    }
}

// ---- ManifestLoad from a package ---------------------------------------------------------

PackageBytes Installer(const std::vector<PackageWriterEntry> &entries) {
    PackageBytes installer, stub(64, 'M');
    std::string error;
    EXPECT_TRUE(PackageWrite(stub, entries, PackageWriterOptions(), &installer, &error)) << error;
    return installer;
}

PackageWriterEntry Entry(const std::string &name, const std::string &data) {
    return PackageWriterEntry{name, PackageBytes(data.begin(), data.end())};
}

const char kManifest[] = "productname = \"P\"\r\ndirectory = \"Vendor\\P\"\r\n"
                         "shortcut = \"P\", \"p.exe\", 0\r\ndelfile = \"old\"\r\n";

TEST_F(ManifestTest, LoadReadsTheManifestEntry) {
    PackageBytes bytes = Installer({Entry("\\a.txt", "a"), Entry("\\#MANIFEST", kManifest)});
    ASSERT_EQ(PackageOpenMemory(bytes.data(), bytes.size()), 1);
    d.backgroundColour = 0x123456; // the record is cleared first
    ASSERT_EQ(ManifestLoad(&d), 1);
    EXPECT_EQ(d.backgroundColour, 0u);
    EXPECT_STREQ(d.productName, "P");
    EXPECT_STREQ(d.directoryName, "Vendor\\P");
    EXPECT_EQ(Shortcuts(), (std::vector<std::string>{"P|p.exe|0"}));
    EXPECT_EQ(DeleteFiles(), (std::vector<std::string>{"old"}));
    EXPECT_EQ(ManifestIsUsable(&d), 1);
}

TEST_F(ManifestTest, LoadRefusesMissingOrShortManifests) {
    InstallDescription empty;
    memset(&empty, 0, sizeof empty);
    PackageBytes bytes = Installer({Entry("\\a.txt", kManifest)});
    ASSERT_EQ(PackageOpenMemory(bytes.data(), bytes.size()), 1);
    EXPECT_EQ(ManifestLoad(&d), 0);
    EXPECT_EQ(memcmp(&d, &empty, sizeof d), 0);

    // An empty manifest is whole, and sets nothing.
    bytes = Installer({Entry("\\a.txt", "a"), Entry("\\#Manifest", "")});
    ASSERT_EQ(PackageOpenMemory(bytes.data(), bytes.size()), 1);
    EXPECT_EQ(ManifestLoad(&d), 1);
    EXPECT_EQ(memcmp(&d, &empty, sizeof d), 0);
    EXPECT_EQ(ManifestIsUsable(&d), 0);

    // A record that claims more than its stream yields: nothing is parsed,
    // not even the lines that did inflate.
    PackageParts parts;
    std::string error;
    std::vector<PackageWriterEntry> entries = {Entry("\\#Manifest", kManifest)};
    ASSERT_TRUE(
        PackageBuildParts(PackageBytes(64, 'M'), entries, PackageWriterOptions(), &parts, &error));
    parts.records[0].size += 1;
    PackageEncodeDirectory(&parts);
    bytes = PackageAssemble(&parts, true);
    ASSERT_EQ(PackageOpenMemory(bytes.data(), bytes.size()), 1);
    EXPECT_EQ(ManifestLoad(&d), 0);
    EXPECT_EQ(memcmp(&d, &empty, sizeof d), 0);
}

// No memory for the text, or for the inflate library, at each page request
// in turn: a refusal with an empty record, until the load goes through.
TEST_F(ManifestTest, LoadFailsCleanlyWithoutMemory) {
    std::string big = kManifest + Repeat(' ', 800 * 1024); // more than a standard region
    PackageBytes bytes = Installer({Entry("\\#Manifest", big)});
    ASSERT_EQ(PackageOpenMemory(bytes.data(), bytes.size()), 1);
    int loaded = 0;
    for (uint32_t failAt = 1; failAt < 10 && !loaded; failAt++) {
        PlatformPagesFailAt(failAt);
        loaded = ManifestLoad(&d);
        PlatformPagesFailAt(0);
        if (!loaded) {
            EXPECT_EQ(d.productName, nullptr);
        }
        ManifestFree(&d);
        EXPECT_EQ(RegionHeapCheck(), 1);
    }
    EXPECT_EQ(loaded, 1);
}

// ---- Against the C library ------------------------------------------------------------------
// The parser stands in for sscanf with these patterns; glibc's sscanf is the
// reference. Lines hold no CR, so "[^\r]" accepts every character a line can
// have. A %x or %d run long enough to overflow is left out: the C library
// saturates there (through a 64-bit long), the parser wraps a colour and holds
// an index at the 32-bit limits, as documented.
#ifndef _WIN32

std::string RandomText(std::mt19937 &random, const std::string &alphabet, size_t maxLength) {
    std::string text;
    size_t length = random() % (maxLength + 1);
    while (text.size() < length) {
        if (random() % 40 == 0) { // a long run, to reach the limits
            text += std::string(250 + random() % 10 + (random() % 2) * 770, 'a' + random() % 3);
        } else {
            text += alphabet[random() % alphabet.size()];
        }
    }
    return text;
}

// A template of a valid form with a few random edits.
std::string Mutated(std::mt19937 &random, std::string text, const std::string &alphabet) {
    for (int edits = random() % 4; edits > 0; edits--) {
        size_t at = text.empty() ? 0 : random() % (text.size() + 1);
        char c = alphabet[random() % alphabet.size()];
        switch (random() % 3) {
            case 0:
                text.insert(text.begin() + at, c);
                break;
            case 1:
                if (at < text.size())
                    text.erase(at, 1);
                break;
            default:
                if (at < text.size())
                    text[at] = c;
        }
    }
    return text;
}

size_t LongestRun(const std::string &text, const char *set) {
    size_t longest = 0, run = 0;
    for (char c : text) {
        run = (c != 0 && strchr(set, c)) ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

TEST(ManifestDifferentialTest, LinesMatchLikeSscanf) {
    std::mt19937 random(4);
    const std::string alphabet = std::string("kKey=  =\t\n\v\f\"#,x09-+\xE9") + '\0';
    std::vector<char> key(MANIFEST_KEY_MAX + 1), value(MANIFEST_VALUE_MAX + 1);
    std::vector<char> wantKey(MANIFEST_KEY_MAX + 1), wantValue(MANIFEST_VALUE_MAX + 1);
    const char *templates[] = {"key = value", "key=\"v =w\"", " a b = c", "k=", "k ==v"};
    int seen[3] = {0, 0, 0};
    for (int i = 0; i < 100000; i++) {
        std::string line;
        if (i % 2) {
            line = RandomText(random, alphabet, 40);
        } else if (i % 8 == 0) { // a key or value near its limit
            std::string near = Repeat('k', 254 + random() % 5);
            line = Mutated(random, i % 16 ? near + " = v" : "k = " + near + near + near + near,
                           alphabet);
        } else {
            line = Mutated(random, templates[random() % 5], alphabet);
        }
        int want = MANIFEST_FORM_NONE;
        if (sscanf(line.c_str(), " %256s = %1024[^\r]", wantKey.data(), wantValue.data()) == 2) {
            want = MANIFEST_FORM_WORD;
        } else if (sscanf(line.c_str(), " %256[^=] = %1024[^\r]", wantKey.data(),
                          wantValue.data()) == 2) {
            want = MANIFEST_FORM_SPLIT;
        }
        int got =
            ManifestMatchLine(Exact(line).get(), line.size(), key.data(), value.data(), nullptr);
        ASSERT_EQ(got, want) << "line: " << line;
        seen[got]++;
        if (want != MANIFEST_FORM_NONE) {
            ASSERT_STREQ(key.data(), wantKey.data()) << "line: " << line;
            ASSERT_STREQ(value.data(), wantValue.data()) << "line: " << line;
        }
    }
    for (int count : seen) { // every outcome is well represented
        EXPECT_GT(count, 5000);
    }
}

TEST(ManifestDifferentialTest, ValuesMatchLikeSscanf) {
    std::mt19937 random(7);
    const std::string alphabet = " \t\n\",#x0Xf9a-+,g";
    const char *templates[] = {"\"name\" , \"target\" , 12",
                               "\"n\",\"t\",-1",
                               "#0x1f2e3d",
                               "#-12",
                               "\"quoted\" rest",
                               " \"open"};
    std::vector<char> name(MANIFEST_VALUE_MAX + 1), target(MANIFEST_NAME_MAX + 1);
    std::vector<char> wantName(MANIFEST_VALUE_MAX + 1), wantTarget(MANIFEST_NAME_MAX + 1);
    int strings = 0, colours = 0, shortcuts = 0;
    for (int i = 0; i < 100000; i++) {
        std::string value;
        if (i % 2) {
            value = RandomText(random, alphabet, 30);
        } else if (i % 8 == 0) { // parts near their limits
            std::string near = Repeat('n', 254 + random() % 5);
            value = Mutated(random, "\"" + near + "\", \"" + near + "\", 1", alphabet);
        } else {
            value = Mutated(random, templates[random() % 6], alphabet);
        }
        value = value.substr(0, MANIFEST_VALUE_MAX);
        const char *text = value.c_str();

        int want = sscanf(text, " \"%1024[^\"]\" ", wantName.data()) == 1;
        ASSERT_EQ(ManifestParseString(text, name.data()), want) << text;
        if (want) {
            ASSERT_STREQ(name.data(), wantName.data()) << text;
            strings++;
        }

        want = sscanf(text, " \"%256[^\"]\"", wantName.data()) == 1;
        ASSERT_EQ(ManifestParseFileName(text, name.data()), want) << text;
        if (want) {
            ASSERT_STREQ(name.data(), wantName.data()) << text;
        }

        if (LongestRun(value, "0123456789abcdefABCDEFxX") <= 16) {
            unsigned wantColour = 0;
            want = sscanf(text, " #%x", &wantColour) == 1;
            ColourRef colour = 0;
            ASSERT_EQ(ParseColour(&colour, text), want) << text;
            wantColour &= 0xFFFFFF;
            ColourRef wantRef =
                (wantColour >> 16) | (wantColour & 0xFF00) | (wantColour & 0xFF) << 16;
            if (want) {
                ASSERT_EQ(colour, wantRef) << text;
                colours++;
            }
        }
        if (LongestRun(value, "0123456789") <= 9) {
            int wantIndex = 0;
            int32_t index = 0;
            want = sscanf(text, " \"%256[^\"]\" , \"%256[^\"]\" , %d", wantName.data(),
                          wantTarget.data(), &wantIndex) == 3;
            ASSERT_EQ(ManifestParseShortcut(text, name.data(), target.data(), &index), want)
                << text;
            if (want) {
                ASSERT_STREQ(name.data(), wantName.data()) << text;
                ASSERT_STREQ(target.data(), wantTarget.data()) << text;
                ASSERT_EQ(index, wantIndex) << text;
                shortcuts++;
            }
        }
    }
    EXPECT_GT(strings, 5000);
    EXPECT_GT(colours, 5000);
    EXPECT_GT(shortcuts, 5000);
}
#endif

} // namespace

TEST(ManifestShortcutIndex, NumbersPastThe32BitRangeAreHeldAtItsLimits) {
    const struct {
        const char *digits;
        int32_t index;
    } cases[] = {
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"2147483650", INT32_MAX},
        {"4294967296", INT32_MAX},
        {"21474836470", INT32_MAX},
        {"-2147483647", -INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"-9999999999", INT32_MIN},
        {"+214748364", 214748364},
        {"214748365", 214748365},
        {"-0", 0},
        {"0000000000002147483647", INT32_MAX},
        {"429496729", 429496729},
        {"1999999999", 1999999999},
    };
    for (const auto &c : cases) {
        std::string value = std::string("\"n\", \"t\", ") + c.digits;
        char name[MANIFEST_NAME_MAX + 1];
        char target[MANIFEST_NAME_MAX + 1];
        int32_t index = 12345;
        ASSERT_TRUE(ManifestParseShortcut(value.c_str(), name, target, &index)) << c.digits;
        EXPECT_EQ(index, c.index) << c.digits;
    }
}

TEST(ManifestKeys, NamesInKeyIndexOrderAndFoundIgnoringCase) {
    const char *names[MANIFEST_KEY_COUNT] = {
        "productname",       "origin",           "directory", "uninstaller",
        "mutexname",         "mainwindowname",   "BKColour",  "ProgressBorderColour",
        "ProgressBarColour", "StatusTextColour", "shortcut",  "delfile"};
    for (int index = 0; index < MANIFEST_KEY_COUNT; index++) {
        ASSERT_NE(ManifestKeyName(index), nullptr) << index;
        EXPECT_STREQ(ManifestKeyName(index), names[index]);
        std::string upper = names[index];
        for (char &c : upper)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(ManifestFindKey(names[index]), index);
        EXPECT_EQ(ManifestFindKey(upper.c_str()), index);
    }
    for (const char *unknown : {"", "product", "productnames", "delfile ", "origin\t"})
        EXPECT_EQ(ManifestFindKey(unknown), -1) << unknown;
    EXPECT_EQ(ManifestKeyName(-1), nullptr);
    EXPECT_EQ(ManifestKeyName(MANIFEST_KEY_COUNT), nullptr);
}
