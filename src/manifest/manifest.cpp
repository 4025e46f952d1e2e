// The manifest parser: lines, the two key = value forms, the value forms and
// the install description they fill. Every match is bounded code of its own
// that reads exactly what the scanf patterns in manifest.h would, and never
// past the line or the NUL-terminated value it is given.
#include "manifest/manifest.h"

#include <stddef.h>
#include <string.h>

#include "heap/region_heap.h"
#include "package/relative_names.h"
#include "package/package.h"

// ---- Characters ------------------------------------------------------------------

// scanf's whitespace in the C locale: the space and '\t' '\n' '\v' '\f' '\r',
// which are 9 to 13.
static int IsManifestSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

static int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

static const char *SkipSpace(const char *text) {
    while (IsManifestSpace(*text)) {
        text++;
    }
    return text;
}

// ---- Strings -------------------------------------------------------------------

int DupString(char **destination, const char *text) {
    size_t length = strlen(text);
    if (length >= UINT32_MAX) {
        return 0;
    }
    char *copy = static_cast<char *>(RegionHeapAlloc(static_cast<uint32_t>(length) + 1));
    if (copy == nullptr) {
        return 0;
    }
    memcpy(copy, text, length + 1);
    *destination = copy;
    return 1;
}

// ---- Value forms -------------------------------------------------------------------

const char *ManifestScanQuoted(const char *text, char *buffer, uint32_t limit) {
    text = SkipSpace(text);
    if (*text != '"') {
        return nullptr;
    }
    text++;
    uint32_t count = 0;
    while (count < limit && text[count] != '\0' && text[count] != '"') {
        buffer[count] = text[count];
        count++;
    }
    if (count == 0) {
        return nullptr;
    }
    buffer[count] = '\0';
    return text + count;
}

int ManifestParseString(const char *value, char *string) {
    return ManifestScanQuoted(value, string, MANIFEST_VALUE_MAX) != nullptr;
}

int ManifestParseFileName(const char *value, char *name) {
    return ManifestScanQuoted(value, name, MANIFEST_NAME_MAX) != nullptr;
}

// Optional whitespace, then the one character c: the position behind it, or
// null.
static const char *ScanLiteral(const char *text, char c) {
    text = SkipSpace(text);
    return *text == c ? text + 1 : nullptr;
}

// A quoted part of a shortcut: closed by its quote within the limit.
static const char *ScanClosedPart(const char *text, char *buffer) {
    const char *end = ManifestScanQuoted(text, buffer, MANIFEST_NAME_MAX);
    return (end != nullptr && *end == '"') ? end + 1 : nullptr;
}

// %d: optional whitespace, an optional sign, decimal digits (at least one).
// A number beyond the 32-bit range is held at INT32_MIN or INT32_MAX, so a
// huge index stays out of range instead of wrapping onto a real icon.
static int ScanDecimal(const char *text, int32_t *number) {
    text = SkipSpace(text);
    int negative = *text == '-';
    if (*text == '-' || *text == '+') {
        text++;
    }
    if (*text < '0' || *text > '9') {
        return 0;
    }
    // 32-bit arithmetic: a magnitude that the next digit would take past the
    // limit is held there instead.
    const uint32_t limit = negative ? 2147483648u : 2147483647u;
    uint32_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        uint32_t digit = static_cast<uint32_t>(*text - '0');
        magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
    }
    *number = static_cast<int32_t>(negative ? 0u - magnitude : magnitude);
    return 1;
}

int ManifestParseShortcut(const char *value, char *name, char *target, int32_t *iconIndex) {
    const char *text = ScanClosedPart(value, name);
    if (text != nullptr) {
        text = ScanLiteral(text, ',');
    }
    if (text != nullptr) {
        text = ScanClosedPart(text, target);
    }
    if (text != nullptr) {
        text = ScanLiteral(text, ',');
    }
    return text != nullptr && ScanDecimal(text, iconIndex);
}

// %x: optional whitespace, an optional sign, an optional 0x or 0X, digits.
// The value wraps modulo 2^32, so it keeps the low bits of a long number.
// A "0" followed by "x" and no digit has matched the "0": the value is 0.
static int ScanHex(const char *text, uint32_t *number) {
    text = SkipSpace(text);
    int negative = *text == '-';
    if (*text == '-' || *text == '+') {
        text++;
    }
    int digits = 0;
    if (*text == '0') {
        digits = 1;
        text++;
        if (*text == 'x' || *text == 'X') {
            text++;
        }
    }
    uint32_t value = 0;
    for (; HexDigitValue(*text) >= 0; text++) {
        value = value << 4 | static_cast<uint32_t>(HexDigitValue(*text));
        digits++;
    }
    if (digits == 0) {
        return 0;
    }
    *number = negative ? 0u - value : value;
    return 1;
}

int ParseColour(ColourRef *colour, const char *text) {
    const char *digits = ScanLiteral(text, '#');
    uint32_t rgb;
    if (digits == nullptr || !ScanHex(digits, &rgb)) {
        return 0;
    }
    // 0xRRGGBB to 0x00BBGGRR; bits 24 and up are dropped.
    *colour = (rgb >> 16 & 0xFFu) | (rgb & 0xFF00u) | (rgb & 0xFFu) << 16;
    return 1;
}

// ---- Keys ----------------------------------------------------------------------------

// One row per key, in the order of ManifestKeyIndex: its name, the form of
// its value and, for a string or a colour, the field of InstallDescription
// it sets.
struct ManifestKeyRow {
    char name[sizeof "ProgressBorderColour"]; // the longest
    uint8_t valueForm;
    char *InstallDescription::*string;     // MANIFEST_VALUE_STRING
    ColourRef InstallDescription::*colour; // MANIFEST_VALUE_COLOUR
};

static const ManifestKeyRow kManifestKeys[] = {
    {"productname", MANIFEST_VALUE_STRING, &InstallDescription::productName, nullptr},
    {"origin", MANIFEST_VALUE_STRING, &InstallDescription::origin, nullptr},
    {"directory", MANIFEST_VALUE_STRING, &InstallDescription::directoryName, nullptr},
    {"uninstaller", MANIFEST_VALUE_STRING, &InstallDescription::uninstaller, nullptr},
    {"mutexname", MANIFEST_VALUE_STRING, &InstallDescription::mutexName, nullptr},
    {"mainwindowname", MANIFEST_VALUE_STRING, &InstallDescription::mainWindowName, nullptr},
    {"BKColour", MANIFEST_VALUE_COLOUR, nullptr, &InstallDescription::backgroundColour},
    {"ProgressBorderColour", MANIFEST_VALUE_COLOUR, nullptr,
     &InstallDescription::progressBorderColour},
    {"ProgressBarColour", MANIFEST_VALUE_COLOUR, nullptr, &InstallDescription::progressBarColour},
    {"StatusTextColour", MANIFEST_VALUE_COLOUR, nullptr, &InstallDescription::statusTextColour},
    {"shortcut", MANIFEST_VALUE_SHORTCUT, nullptr, nullptr},
    {"delfile", MANIFEST_VALUE_FILE_NAME, nullptr, nullptr},
};
static_assert(sizeof kManifestKeys / sizeof kManifestKeys[0] == MANIFEST_KEY_COUNT,
              "a row for every key");

int ManifestFindKey(const char *key) {
    if (key == nullptr) {
        return -1;
    }
    for (int index = 0; index < MANIFEST_KEY_COUNT; index++) {
        if (NamesEqualFolded(key, kManifestKeys[index].name)) {
            return index;
        }
    }
    return -1;
}

static int KeyIndexIsValid(int keyIndex) {
    return keyIndex >= 0 && keyIndex < MANIFEST_KEY_COUNT;
}

const char *ManifestKeyName(int keyIndex) {
    return KeyIndexIsValid(keyIndex) ? kManifestKeys[keyIndex].name : nullptr;
}

int ManifestKeyValueForm(int keyIndex) {
    return KeyIndexIsValid(keyIndex) ? kManifestKeys[keyIndex].valueForm : -1;
}

// ---- Applying a key ------------------------------------------------------------------

static int ApplyString(char **field, const char *value) {
    char string[MANIFEST_VALUE_MAX + 1];
    char *previous = *field;
    if (!ManifestParseString(value, string) || !DupString(field, string)) {
        return 0;
    }
    RegionHeapFree(previous);
    return 1;
}

static int ApplyShortcut(InstallDescription *description, const char *value) {
    char name[MANIFEST_NAME_MAX + 1];
    char target[MANIFEST_NAME_MAX + 1];
    int32_t iconIndex;
    if (!ManifestParseShortcut(value, name, target, &iconIndex)) {
        return 0;
    }
    ShortcutEntry *entry = static_cast<ShortcutEntry *>(RegionHeapAlloc(sizeof(ShortcutEntry)));
    if (entry == nullptr) {
        return 0;
    }
    entry->shortcutName = nullptr;
    entry->targetPath = nullptr;
    if (!DupString(&entry->shortcutName, name) || !DupString(&entry->targetPath, target)) {
        RegionHeapFree(entry->shortcutName);
        RegionHeapFree(entry);
        return 0;
    }
    entry->iconIndex = iconIndex;
    entry->next = description->shortcuts;
    description->shortcuts = entry;
    return 1;
}

static int ApplyDeleteFile(InstallDescription *description, const char *value) {
    char name[MANIFEST_NAME_MAX + 1];
    if (!ManifestParseFileName(value, name)) {
        return 0;
    }
    DeleteEntry *entry = static_cast<DeleteEntry *>(RegionHeapAlloc(sizeof(DeleteEntry)));
    if (entry == nullptr) {
        return 0;
    }
    if (!DupString(&entry->fileName, name)) {
        RegionHeapFree(entry);
        return 0;
    }
    entry->next = description->deleteFiles;
    description->deleteFiles = entry;
    return 1;
}

// Applies the key of keyIndex (-1: none, which applies nothing).
static int ApplyKeyIndex(InstallDescription *description, int keyIndex, const char *value) {
    switch (ManifestKeyValueForm(keyIndex)) {
        case MANIFEST_VALUE_STRING:
            return ApplyString(&(description->*kManifestKeys[keyIndex].string), value);
        case MANIFEST_VALUE_COLOUR:
            return ParseColour(&(description->*kManifestKeys[keyIndex].colour), value);
        case MANIFEST_VALUE_SHORTCUT:
            return ApplyShortcut(description, value);
        case MANIFEST_VALUE_FILE_NAME:
            return ApplyDeleteFile(description, value);
        default:
            return 0;
    }
}

int ManifestApplyKey(InstallDescription *description, const char *key, const char *value) {
    return ApplyKeyIndex(description, ManifestFindKey(key), value);
}

// ---- Lines ---------------------------------------------------------------------------

// Index of the first whitespace-free position at or after position.
static uint32_t SkipLineSpace(const char *line, uint32_t position, uint32_t length) {
    while (position < length && IsManifestSpace(line[position])) {
        position++;
    }
    return position;
}

// The key of a form: a run from start of at most MANIFEST_KEY_MAX characters
// that stops at whitespace (word form) or at "=" (split form).
static uint32_t KeyEnd(const char *line, uint32_t start, uint32_t length, int form) {
    uint32_t end = start;
    while (end < length && end - start < MANIFEST_KEY_MAX) {
        char c = line[end];
        if (form == MANIFEST_FORM_WORD ? IsManifestSpace(c) : c == '=') {
            break;
        }
        end++;
    }
    return end;
}

int ManifestMatchForm(const char *line, uint32_t length, int form, char *key, char *value,
                      uint32_t *valueLength) {
    const void *nul = length > 0 ? memchr(line, '\0', length) : nullptr;
    if (nul != nullptr) {
        length = static_cast<uint32_t>(static_cast<const char *>(nul) - line);
    }
    if (form != MANIFEST_FORM_WORD && form != MANIFEST_FORM_SPLIT) {
        return 0;
    }
    uint32_t keyStart = SkipLineSpace(line, 0, length);
    uint32_t keyEnd = KeyEnd(line, keyStart, length, form);
    if (keyEnd == keyStart) {
        return 0;
    }
    uint32_t position = SkipLineSpace(line, keyEnd, length);
    if (position == length || line[position] != '=') {
        return 0;
    }
    uint32_t valueStart = SkipLineSpace(line, position + 1, length);
    if (valueStart == length) {
        return 0;
    }
    uint32_t fullLength = length - valueStart;
    uint32_t keptLength = fullLength < MANIFEST_VALUE_MAX ? fullLength : MANIFEST_VALUE_MAX;
    memcpy(key, line + keyStart, keyEnd - keyStart);
    key[keyEnd - keyStart] = '\0';
    memcpy(value, line + valueStart, keptLength);
    value[keptLength] = '\0';
    if (valueLength != nullptr) {
        *valueLength = fullLength;
    }
    return 1;
}

int ManifestMatchLine(const char *line, uint32_t length, char *key, char *value,
                      uint32_t *valueLength) {
    if (ManifestMatchForm(line, length, MANIFEST_FORM_WORD, key, value, valueLength)) {
        return MANIFEST_FORM_WORD;
    }
    if (ManifestMatchForm(line, length, MANIFEST_FORM_SPLIT, key, value, valueLength)) {
        return MANIFEST_FORM_SPLIT;
    }
    return MANIFEST_FORM_NONE;
}

// Matches and applies one line and tells report about it.
static void ParseLine(InstallDescription *description, const char *text, ManifestLine *line,
                      ManifestLineFunction report, void *context) {
    char key[MANIFEST_KEY_MAX + 1];
    char value[MANIFEST_VALUE_MAX + 1];
    const char *start = text + line->offset;
    const void *nul = line->length > 0 ? memchr(start, '\0', line->length) : nullptr;
    line->textLength = nul != nullptr
                           ? static_cast<uint32_t>(static_cast<const char *>(nul) - start)
                           : line->length;
    line->valueLength = 0;
    line->form = ManifestMatchLine(start, line->textLength, key, value, &line->valueLength);
    line->keyIndex = -1;
    line->applied = 0;
    if (line->form != MANIFEST_FORM_NONE) {
        line->keyIndex = ManifestFindKey(key);
        line->applied = ApplyKeyIndex(description, line->keyIndex, value);
    } else {
        key[0] = '\0';
        value[0] = '\0';
    }
    if (report != nullptr) {
        line->key = key;
        line->value = value;
        report(line, context);
    }
}

void ManifestParseTextReporting(InstallDescription *description, const char *text, uint32_t length,
                                ManifestLineFunction report, void *context) {
    ManifestLine line;
    memset(&line, 0, sizeof line);
    uint32_t start = 0;
    // The end of the data ends the last line, so an empty text still has one
    // (empty) line, and so has a text that ends in a line end.
    for (;;) {
        const void *cr = length > start ? memchr(text + start, '\r', length - start) : nullptr;
        uint32_t end =
            cr != nullptr ? static_cast<uint32_t>(static_cast<const char *>(cr) - text) : length;
        line.number++;
        line.offset = start;
        line.length = end - start;
        line.endsWithCr = cr != nullptr;
        line.endsWithCrLf = cr != nullptr && end + 1 < length && text[end + 1] == '\n';
        ParseLine(description, text, &line, report, context);
        if (cr == nullptr) {
            return;
        }
        start = end + (line.endsWithCrLf ? 2 : 1);
    }
}

void ManifestParseText(InstallDescription *description, const char *text, uint32_t length) {
    ManifestParseTextReporting(description, text, length, nullptr, nullptr);
}

// ---- Loading and releasing -------------------------------------------------------------

int ManifestLoad(InstallDescription *description) {
    memset(description, 0, sizeof *description);
    const DirectoryRecord *record = PackageFindEntry(MANIFEST_ENTRY_NAME);
    if (record == nullptr) {
        return 0;
    }
    uint32_t size = DirectoryRecordSize(record);
    // A block of at least one byte, so that an empty manifest is read too.
    char *text = static_cast<char *>(RegionHeapAlloc(size > 0 ? size : 1));
    if (text == nullptr) {
        return 0;
    }
    int whole = PackageReadEntryFull(text, record);
    if (whole) {
        ManifestParseText(description, text, size);
    }
    RegionHeapFree(text);
    return whole;
}

void ManifestFree(InstallDescription *description) {
    RegionHeapFree(description->productName);
    RegionHeapFree(description->origin);
    RegionHeapFree(description->directoryName);
    RegionHeapFree(description->mutexName);
    RegionHeapFree(description->mainWindowName);
    RegionHeapFree(description->uninstaller);
    ShortcutEntry *shortcut = description->shortcuts;
    while (shortcut != nullptr) {
        ShortcutEntry *next = shortcut->next;
        RegionHeapFree(shortcut->shortcutName);
        RegionHeapFree(shortcut->targetPath);
        RegionHeapFree(shortcut);
        shortcut = next;
    }
    DeleteEntry *deleteEntry = description->deleteFiles;
    while (deleteEntry != nullptr) {
        DeleteEntry *next = deleteEntry->next;
        RegionHeapFree(deleteEntry->fileName);
        RegionHeapFree(deleteEntry);
        deleteEntry = next;
    }
    memset(description, 0, sizeof *description);
}

// ---- Usability -----------------------------------------------------------------------

int ManifestDirectoryIsSafe(const char *directory) {
    return RelativeNameIsSafe(directory);
}

int ManifestIsUsable(const InstallDescription *description) {
    return ProductNameIsSafe(description->productName) &&
           ManifestDirectoryIsSafe(description->directoryName);
}
