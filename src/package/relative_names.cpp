#include "package/relative_names.h"

#include <string.h>

#include "platform/platform.h"
#include "text/text_format.h"

int NameCharacterIsReserved(unsigned char c) {
    return c != 0 && strchr("<>:\"|?*\\/", c) != nullptr;
}

char NameCharacterFold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

int NamesEqualFolded(const char *left, const char *right) {
    while (*left != '\0' && NameCharacterFold(*left) == NameCharacterFold(*right)) {
        left++;
        right++;
    }
    return *left == '\0' && *right == '\0';
}

// 1 when the component's base (up to its first dot, trailing spaces
// dropped) is a device: Windows opens the device for "con", "con.txt" and
// "con .txt" alike.
static int NameIsDevice(const char *component, size_t length) {
    const char *dot = static_cast<const char *>(memchr(component, '.', length));
    size_t base = dot != nullptr ? static_cast<size_t>(dot - component) : length;
    while (base > 0 && component[base - 1] == ' ') {
        base--;
    }
    char folded[8];
    if (base < 3 || base > 7) {
        return 0;
    }
    for (size_t i = 0; i < base; i++) {
        folded[i] = NameCharacterFold(component[i]);
    }
    folded[base] = '\0';
    // One string of the names, each behind its terminator: no table of
    // pointers to relocate.
    static const char devices[] = "con\0prn\0aux\0nul\0conin$\0conout$";
    for (const char *device = devices; device < devices + sizeof devices;
         device += strlen(device) + 1) {
        if (strcmp(folded, device) == 0) {
            return 1;
        }
    }
    int numbered = base == 4 && (memcmp(folded, "com", 3) == 0 || memcmp(folded, "lpt", 3) == 0);
    return numbered && folded[3] >= '1' && folded[3] <= '9';
}

NameProblem NameComponentProblem(const char *component, size_t length) {
    if (length == 0) {
        return NAME_EMPTY_COMPONENT;
    }
    if (component[0] == '.' && (length == 1 || (length == 2 && component[1] == '.'))) {
        return NAME_DOT_COMPONENT;
    }
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(component[i]);
        if (c < 0x20) {
            return NAME_CONTROL_CHARACTER;
        }
        if (NameCharacterIsReserved(c)) {
            return NAME_RESERVED_CHARACTER;
        }
    }
    if (component[length - 1] == '.' || component[length - 1] == ' ') {
        return NAME_TRAILING_DOT_OR_SPACE;
    }
    return NameIsDevice(component, length) ? NAME_DEVICE : NAME_SOUND;
}

// Checks every component of the components text, split at any character of
// separators; a character that is neither a separator nor allowed is the
// component's problem.
static NameProblem NameComponentsProblem(const char *components, const char *separators) {
    for (;;) {
        size_t length = strcspn(components, separators);
        NameProblem problem = NameComponentProblem(components, length);
        if (problem != NAME_SOUND) {
            return problem;
        }
        if (components[length] == '\0') {
            return NAME_SOUND;
        }
        components += length + 1;
    }
}

NameProblem EntryNameProblem(const char *name) {
    if (name == nullptr || name[0] != '\\') {
        return name == nullptr ? NAME_MISSING : NAME_NOT_RELATIVE;
    }
    if (name[1] == '\0') {
        return NAME_MISSING;
    }
    if (name[1] == '\\') {
        return NAME_NOT_RELATIVE; // "\\server\share" or "\\?\"
    }
    return NameComponentsProblem(name + 1, "\\");
}

NameProblem RelativeNameProblem(const char *name) {
    if (name == nullptr || name[0] == '\0') {
        return NAME_MISSING;
    }
    if (name[0] == '\\' || name[0] == '/') {
        return NAME_NOT_RELATIVE;
    }
    return NameComponentsProblem(name, "\\/");
}

int RelativeNameIsSafe(const char *name) {
    return RelativeNameProblem(name) == NAME_SOUND;
}

NameProblem ProductNameProblem(const char *name) {
    if (name == nullptr || name[0] == '\0') {
        return NAME_MISSING;
    }
    int plain = 0; // a character other than a dot or a space
    for (const char *c = name; *c != '\0'; c++) {
        unsigned char u = static_cast<unsigned char>(*c);
        if (u < 0x20 || u == 0x7F) {
            return NAME_CONTROL_CHARACTER;
        }
        if (u == '\\' || u == '/' || u == ':') {
            return NAME_RESERVED_CHARACTER;
        }
        plain |= u != '.' && u != ' ';
    }
    return plain ? NAME_SOUND : NAME_DOT_COMPONENT;
}

int ProductNameIsSafe(const char *name) {
    return ProductNameProblem(name) == NAME_SOUND;
}

int RelativePathBuild(char *path, const char *folder, const char *name, const char *suffix) {
    path[0] = '\0';
    if (folder == nullptr || !RelativeNameIsSafe(name)) {
        return 0;
    }
    int length = TextFormat(path, PLATFORM_MAX_PATH, "%s\\%s%s", folder, name,
                            suffix != nullptr ? suffix : "");
    if (length < 0 || static_cast<unsigned>(length) >= PLATFORM_MAX_PATH) {
        path[0] = '\0';
        return 0;
    }
    for (char *c = path + strlen(folder); *c != '\0'; c++) {
        *c = *c == '/' ? '\\' : *c;
    }
    return 1;
}
