// The manifest: the "#Manifest" entry of the package, key = value lines
// that describe everything particular to one product, parsed into the
// install description that every later stage of the run reads.
//
// The text format:
// - A line ends at each CR; a LF right after that CR is skipped. Any other
//   LF is ordinary whitespace inside the line. A NUL ends its line's text;
//   the rest of that line is ignored.
// - Whitespace is space, tab, LF, VT, FF (and CR, which a line never holds).
// - A line is matched against the word form, then the split form:
//     word:  [ws] key=non-whitespace run [ws] "=" [ws] value
//     split: [ws] key=everything up to the first "=" [ws] "=" [ws] value
//   (as scanf reads " %256s = " and " %256[^=] = "). The key has 1 to 256
//   characters; the value is the rest of the line from its first
//   non-whitespace character, at least 1 character, cut after 1024.
// - Keys are compared with the twelve known keys ignoring ASCII case; a line
//   that matches no form, has an unknown key or a value of the wrong form
//   has no effect, silently.
// - Value forms: quoted string (" \"%1024[^\"]"), colour (" #%x"), shortcut
//   (" \"%256[^\"]\" , \"%256[^\"]\" , %d") and file name (" \"%256[^\"]").
//
// The stub needs ManifestLoad, ManifestIsUsable and ManifestFree; the
// matching steps below them are exported so that qpack can show and check a
// manifest with exactly the code the stub runs.
#pragma once

#include <stdint.h>

typedef uint32_t ColourRef; // a Windows COLORREF, 0x00BBGGRR

// One Start-menu shortcut. Lists are singly linked and each new entry goes
// to the head, so a list runs in the reverse order of its manifest lines.
struct ShortcutEntry {
    char *shortcutName; // link name without ".lnk", below the product's folder
    char *targetPath;   // relative to the install directory
    int32_t iconIndex;
    ShortcutEntry *next;
};

// One file to remove from the install directory before extraction.
struct DeleteEntry {
    char *fileName; // relative to the install directory
    DeleteEntry *next;
};

// Everything the manifest sets. Strings are region-heap copies, null when
// absent; colours are black when absent; lists are empty when absent. The
// record owns every string and list entry; ManifestFree releases them.
struct InstallDescription {
    char *productName;
    char *directoryName;
    char *origin;
    char *mutexName;
    char *mainWindowName;
    ColourRef backgroundColour;
    ColourRef progressBarColour;
    ColourRef progressBorderColour;
    ColourRef statusTextColour;
    ShortcutEntry *shortcuts;
    DeleteEntry *deleteFiles;
    char *uninstaller;
};

// ---- Limits ------------------------------------------------------------------

const uint32_t MANIFEST_KEY_MAX = 256;          // characters of a key
const uint32_t MANIFEST_VALUE_MAX = 1024;       // characters of a value, and of a quoted string
const uint32_t MANIFEST_NAME_MAX = 256;         // shortcut name and target, delete file name
const char MANIFEST_ENTRY_NAME[] = "#Manifest"; // the package entry, without its "\"

// ---- The stub's operations ------------------------------------------------

// Fills description from the package's "#Manifest" entry; every field is
// cleared first. Returns 1 when the entry was found and inflated to exactly
// its size (its lines are then applied), 0 when it is missing, could not be
// inflated whole, or no memory was had for it: the record then stays empty,
// since bytes the inflation did not write are never parsed.
int ManifestLoad(InstallDescription *description);

// Returns 1 when description can drive an install: ProductNameIsSafe (the
// one product-name rule, package/relative_names.h) and
// ManifestDirectoryIsSafe both hold.
int ManifestIsUsable(const InstallDescription *description);

// Releases every string and list entry of description, then clears it, so a
// second call does nothing. A cleared record is fine.
void ManifestFree(InstallDescription *description);

// 1 when directory keeps the install below the Program Files folder and
// names folders Windows can make: a relative name under the one name rule
// (RelativeNameIsSafe: no leading separator, no drive or stream, no empty,
// "." or ".." component, none with a trailing dot or space, a character
// Windows refuses, or a device name).
int ManifestDirectoryIsSafe(const char *directory);

// ---- Parsing a text --------------------------------------------------------

// Parses length bytes of manifest text into description (which the caller
// has cleared or filled before: lines are applied on top of it). The text is
// not changed and need not be NUL-terminated; nothing outside it is read.
void ManifestParseText(InstallDescription *description, const char *text, uint32_t length);

// Which form a line matched.
enum ManifestForm {
    MANIFEST_FORM_NONE = 0,
    MANIFEST_FORM_WORD = 1,
    MANIFEST_FORM_SPLIT = 2,
};

// What one line of a text was and did, for ManifestParseTextReporting.
struct ManifestLine {
    uint32_t number;      // 1 for the first line
    uint32_t offset;      // of the line's first byte in the text
    uint32_t length;      // bytes up to its CR or the end of the text
    uint32_t textLength;  // bytes up to its first NUL (== length when it has none)
    int endsWithCrLf;     // its CR is followed by a LF
    int endsWithCr;       // it ends at a CR (0 for the text's last line)
    int form;             // ManifestForm
    const char *key;      // the matched key, "" when form is NONE
    const char *value;    // the matched value (cut to 1024), "" when form is NONE
    uint32_t valueLength; // the value's length before the cut
    int keyIndex;         // ManifestFindKey(key), -1 when unrecognised
    int applied;          // ManifestApplyKey's result
};

// Called after each line has been applied; the line's strings live until
// the callback returns.
typedef void (*ManifestLineFunction)(const ManifestLine *line, void *context);

// ManifestParseText, telling report (when not null) about every line.
void ManifestParseTextReporting(InstallDescription *description, const char *text, uint32_t length,
                                ManifestLineFunction report, void *context);

// Matches the line [line, line + length), which holds no CR and ends at its
// first NUL if it has one, against one form (MANIFEST_FORM_WORD or
// MANIFEST_FORM_SPLIT). On a match returns 1 with the key in key (room for
// MANIFEST_KEY_MAX + 1), the value cut to MANIFEST_VALUE_MAX in value (room
// for MANIFEST_VALUE_MAX + 1) and, when valueLength is not null, the value's
// length before the cut. Returns 0 otherwise, leaving the buffers in any state.
int ManifestMatchForm(const char *line, uint32_t length, int form, char *key, char *value,
                      uint32_t *valueLength);

// The word form, then the split form: returns the form that matched, or
// MANIFEST_FORM_NONE.
int ManifestMatchLine(const char *line, uint32_t length, char *key, char *value,
                      uint32_t *valueLength);

// ---- Keys and values -------------------------------------------------------------

// The twelve keys, in the order of ManifestKeyName.
enum ManifestKeyIndex {
    MANIFEST_KEY_PRODUCTNAME,
    MANIFEST_KEY_ORIGIN,
    MANIFEST_KEY_DIRECTORY,
    MANIFEST_KEY_UNINSTALLER,
    MANIFEST_KEY_MUTEXNAME,
    MANIFEST_KEY_MAINWINDOWNAME,
    MANIFEST_KEY_BKCOLOUR,
    MANIFEST_KEY_PROGRESSBORDERCOLOUR,
    MANIFEST_KEY_PROGRESSBARCOLOUR,
    MANIFEST_KEY_STATUSTEXTCOLOUR,
    MANIFEST_KEY_SHORTCUT,
    MANIFEST_KEY_DELFILE,
    MANIFEST_KEY_COUNT,
};

// The form a key's value must have.
enum ManifestValueForm {
    MANIFEST_VALUE_STRING,    // quoted string, up to 1024 characters
    MANIFEST_VALUE_COLOUR,    // "#" and a hexadecimal number
    MANIFEST_VALUE_SHORTCUT,  // two quoted parts and an icon index
    MANIFEST_VALUE_FILE_NAME, // quoted name, cut at 256 characters
};

// The index of key among the twelve, compared ignoring ASCII case; -1 when
// none is equal (or key is null).
int ManifestFindKey(const char *key);

// The key's name as written in the table ("productname", "BKColour"...) and
// its value form; null and -1 for an index out of range.
const char *ManifestKeyName(int keyIndex);
int ManifestKeyValueForm(int keyIndex);

// Applies one key and value (NUL-terminated) to description. Returns 1 when
// the record changed as the key says (a string set, a colour set, an entry
// added), 0 when the key is unrecognised, the value does not fit the key's
// form, or the heap had no memory: the record is then unchanged. A string
// key releases the copy it replaces.
int ManifestApplyKey(InstallDescription *description, const char *key, const char *value);

// Reads " #%x" from text: optional whitespace, "#", optional whitespace, an
// optional sign, an optional 0x/0X, hexadecimal digits. The number's low 24
// bits, 0xRRGGBB, are stored in *colour as 0x00BBGGRR; returns 1. A number
// longer than 32 bits keeps its low bits; "0x" with no digit behind it reads
// as 0. Returns 0 and leaves *colour alone without the "#" or a digit.
int ParseColour(ColourRef *colour, const char *text);

// Stores in *destination a region-heap copy of the NUL-terminated text and
// returns 1; returns 0 with *destination unchanged when the heap has none.
int DupString(char **destination, const char *text);

// Reads " \"%N[^\"]" from text into buffer (room for limit + 1): optional
// whitespace, a double quote, then 1 to limit characters up to the next
// double quote or the end of text. Returns the position just behind the
// characters taken (the closing quote when it follows at once), or null
// when the quote is missing or the string would be empty.
const char *ManifestScanQuoted(const char *text, char *buffer, uint32_t limit);

// The three value forms of strings, each 1 on a match and 0 otherwise:
// a quoted string (string: room for 1025), a shortcut (name and target: room
// for 257 each; both must close within 256 characters; the index as %d
// reads it, saturated to the 32-bit range) and a file name (room for 257).
int ManifestParseString(const char *value, char *string);
int ManifestParseShortcut(const char *value, char *name, char *target, int32_t *iconIndex);
int ManifestParseFileName(const char *value, char *name);
