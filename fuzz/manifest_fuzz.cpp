// Arbitrary bytes as a manifest: parsed, checked line by line against the C
// library's sscanf with the patterns the parser stands in for, each value
// form tried on the whole input, then freed; the region heap must come back
// intact with no region left behind.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "heap/region_heap.h"
#include "manifest/manifest.h"
#include "package/relative_names.h"
#include "platform/platform.h"

static void Fail(const char *what) {
    fprintf(stderr, "manifest_fuzz: %s\n", what);
    abort();
}

static size_t LongestRun(const char *text, const char *set) {
    size_t longest = 0, run = 0;
    for (; *text != '\0'; text++) {
        run = strchr(set, *text) != nullptr ? run + 1 : 0;
        longest = run > longest ? run : longest;
    }
    return longest;
}

// The line as sscanf sees it: up to its NUL, NUL-terminated.
static void CompareLineWithSscanf(const char *text, const ManifestLine *line) {
    static char copy[1 << 20];
    static char key[MANIFEST_KEY_MAX + 1], value[MANIFEST_VALUE_MAX + 1];
    if (line->textLength >= sizeof copy) {
        return;
    }
    memcpy(copy, text + line->offset, line->textLength);
    copy[line->textLength] = '\0';
    // A line holds no CR, so "[^\r]" takes every character it can have.
    int form = MANIFEST_FORM_NONE;
    if (sscanf(copy, " %256s = %1024[^\r]", key, value) == 2) {
        form = MANIFEST_FORM_WORD;
    } else if (sscanf(copy, " %256[^=] = %1024[^\r]", key, value) == 2) {
        form = MANIFEST_FORM_SPLIT;
    }
    if (form != line->form) {
        Fail("line form differs from sscanf");
    }
    if (form != MANIFEST_FORM_NONE && (strcmp(key, line->key) || strcmp(value, line->value))) {
        Fail("line key or value differs from sscanf");
    }
}

struct FuzzText {
    const char *text;
    uint32_t size;
};

static void CheckLine(const ManifestLine *line, void *context) {
    const FuzzText *input = static_cast<const FuzzText *>(context);
    if (line->offset > input->size || line->length > input->size - line->offset ||
        line->textLength > line->length || strlen(line->key) > MANIFEST_KEY_MAX ||
        strlen(line->value) > MANIFEST_VALUE_MAX) {
        Fail("line report out of bounds");
    }
    CompareLineWithSscanf(input->text, line);
}

// Every value form on the input as one NUL-terminated text, against sscanf
// where no number can overflow (the C library saturates there, the parser
// wraps a colour and clamps an index).
static void CompareValueForms(const char *value) {
    static char name[MANIFEST_VALUE_MAX + 1], target[MANIFEST_NAME_MAX + 1];
    static char wantName[MANIFEST_VALUE_MAX + 1], wantTarget[MANIFEST_NAME_MAX + 1];
    int want = sscanf(value, " \"%1024[^\"]\" ", wantName) == 1;
    if (ManifestParseString(value, name) != want || (want && strcmp(name, wantName))) {
        Fail("quoted string differs from sscanf");
    }
    want = sscanf(value, " \"%256[^\"]\"", wantName) == 1;
    if (ManifestParseFileName(value, name) != want || (want && strcmp(name, wantName))) {
        Fail("file name differs from sscanf");
    }
    if (LongestRun(value, "0123456789abcdefABCDEFxX") <= 16) {
        unsigned rgb = 0;
        want = sscanf(value, " #%x", &rgb) == 1;
        ColourRef colour = 0;
        ColourRef wantColour = (rgb >> 16 & 0xFF) | (rgb & 0xFF00) | (rgb & 0xFF) << 16;
        if (ParseColour(&colour, value) != want || (want && colour != wantColour)) {
            Fail("colour differs from sscanf");
        }
    }
    if (LongestRun(value, "0123456789") <= 9) {
        int wantIndex = 0;
        int32_t index = 0;
        want = sscanf(value, " \"%256[^\"]\" , \"%256[^\"]\" , %d", wantName, wantTarget,
                      &wantIndex) == 3;
        if (ManifestParseShortcut(value, name, target, &index) != want ||
            (want &&
             (strcmp(name, wantName) || strcmp(target, wantTarget) || index != wantIndex))) {
            Fail("shortcut differs from sscanf");
        }
    }
}

static void TouchStrings(const InstallDescription *d) {
    const char *strings[] = {d->productName, d->directoryName,  d->origin,
                             d->mutexName,   d->mainWindowName, d->uninstaller};
    for (const char *string : strings) {
        if (string != nullptr && strlen(string) > MANIFEST_VALUE_MAX) {
            Fail("string longer than a value");
        }
    }
    for (const ShortcutEntry *s = d->shortcuts; s != nullptr; s = s->next) {
        if (strlen(s->shortcutName) > MANIFEST_NAME_MAX ||
            strlen(s->targetPath) > MANIFEST_NAME_MAX) {
            Fail("shortcut part longer than its limit");
        }
    }
    for (const DeleteEntry *e = d->deleteFiles; e != nullptr; e = e->next) {
        if (strlen(e->fileName) > MANIFEST_NAME_MAX) {
            Fail("file name longer than its limit");
        }
    }
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    (void)argc;
    (void)argv;
    RegionHeapInit();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > UINT32_MAX) {
        return 0;
    }
    uint32_t pages = PlatformPagesLiveCount();
    FuzzText input = {reinterpret_cast<const char *>(data), static_cast<uint32_t>(size)};
    InstallDescription description;
    memset(&description, 0, sizeof description);
    ManifestParseTextReporting(&description, input.text, input.size, CheckLine, &input);
    TouchStrings(&description);
    ManifestIsUsable(&description);
    ManifestFree(&description);

    if (size <= MANIFEST_VALUE_MAX) {
        char value[MANIFEST_VALUE_MAX + 1];
        memcpy(value, data, size);
        value[size] = '\0';
        CompareValueForms(value);
        ManifestDirectoryIsSafe(value);
        ProductNameIsSafe(value);
    }
    if (!RegionHeapCheck() || PlatformPagesLiveCount() != pages) {
        Fail("heap not as it was after ManifestFree");
    }
    return 0;
}
