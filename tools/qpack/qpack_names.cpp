// Entry names: what Windows can store, what the stub can place within its
// path buffers, what is safe to extract; and the system's 8-bit names.
#include "qpack/qpack_files.h"
#include "qpack/qpack_messages.h"
#include "qpack/qpack_names.h"

#include "package/relative_names.h"

#include <string.h>

#ifdef _WIN32
#include <io.h>
#include <stdio.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <filesystem>
#include <string>

// ---- Components --------------------------------------------------------------------

// The installer's own rule decides; this only says why, in words.
std::string EntryComponentProblem(const std::string &component) {
    switch (NameComponentProblem(component.data(), component.size())) {
        case NAME_SOUND:
            return "";
        case NAME_EMPTY_COMPONENT:
            return "an empty path component";
        case NAME_DOT_COMPONENT:
            return "a " + Quoted(component) + " component";
        case NAME_CONTROL_CHARACTER:
            for (unsigned char c : component) {
                if (c < 0x20) {
                    return "a control character (code " + std::to_string(c) + ")";
                }
            }
            break;
        case NAME_RESERVED_CHARACTER:
            for (unsigned char c : component) {
                if (NameCharacterIsReserved(c)) {
                    return "the character '" + std::string(1, static_cast<char>(c)) +
                           "', which Windows does not allow in file names";
                }
            }
            break;
        case NAME_TRAILING_DOT_OR_SPACE:
            return "the component " + Quoted(component) +
                   ", whose trailing dot or space Windows would drop";
        case NAME_DEVICE:
            return "the component " + Quoted(component) + ", a reserved device name on Windows";
        case NAME_MISSING:
        case NAME_NOT_RELATIVE:
            break;
    }
    return "the component " + Quoted(component) + ", which Windows cannot store";
}

std::string ProductNameProblemText(const std::string &name) {
    // The installer's rule gives the verdict; the rest finds the words.
    if (name.find('\0') == std::string::npos && ProductNameIsSafe(name.c_str())) {
        return "";
    }
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            return "a control character (code " + std::to_string(c) + ")";
        }
        if (c == ':') {
            return "the character ':', which on Windows names a stream of a file, never a folder"
                   " or a link";
        }
        if (c == '\\' || c == '/') {
            return "the character '" + std::string(1, static_cast<char>(c)) + "', a path separator";
        }
    }
    return name.empty() ? "nothing"
                        : "only dots and spaces, which Windows trims to \"\", \".\" or \"..\"";
}

std::string FoldAsciiCase(const std::string &name) {
    std::string folded = name;
    for (char &c : folded) {
        c = NameCharacterFold(c);
    }
    return folded;
}

// ---- Length ----------------------------------------------------------------------

// The stub places an entry at the install directory followed directly by the
// name, in a buffer of MAX_PATH = 260 bytes (259 characters and the
// terminator), and shows "Unpacking: " (11 characters) and that path in a
// status buffer of 260 bytes, which leaves 248 characters for the path. The
// shortest install directory there can be is "C:\Program Files\" and a
// one-character folder, 18 characters. A name (leading "\" included) longer
// than 248 - 18 = 230 bytes therefore never fits both buffers on any
// machine. Bytes are counted, not characters: the buffers hold the name in
// the ANSI code page, where a character may take two bytes.
std::string EntryNameLengthProblem(const std::string &name) {
    if (name.size() <= QPACK_MAX_ENTRY_NAME) {
        return "";
    }
    return "its entry name is " + std::to_string(name.size()) +
           " bytes long; an installer can place names of at most " +
           std::to_string(QPACK_MAX_ENTRY_NAME) +
           " (the shortest install folder, C:\\Program Files\\ and one character, followed"
           " by the name must fit the 248 characters the status line \"Unpacking: PATH\""
           " leaves within MAX_PATH)";
}

// ---- Extraction ---------------------------------------------------------------------

static std::string ExtractComponentsProblem(const std::string &name) {
    size_t start = 1;
    for (;;) {
        size_t end = name.find('\\', start);
        std::string component = name.substr(start, end - start);
        if (component == "..") {
            return "a \"..\" component would leave the folder";
        }
        std::string problem = EntryComponentProblem(component);
        if (!problem.empty()) {
            return "it holds " + problem;
        }
        if (end == std::string::npos) {
            return "";
        }
        start = end + 1;
    }
}

std::string ExtractNameProblem(const std::string &name) {
    // The installer's rule gives the verdict; the rest finds the words.
    if (name.find('\0') == std::string::npos && EntryNameProblem(name.c_str()) == NAME_SOUND) {
        return "";
    }
    if (name.empty() || name[0] != '\\') {
        return "it does not start with a backslash";
    }
    if (name.size() == 1) {
        return "it is empty after its backslash";
    }
    if (name[1] == '\\') {
        return "it starts with two backslashes (a network path)";
    }
    if (name.find(':') != std::string::npos) {
        return "it holds a colon (a drive letter or a stream name)";
    }
    if (name.find('/') != std::string::npos) {
        return "it holds a \"/\", which is not a separator in installers";
    }
    std::string problem = ExtractComponentsProblem(name);
    return problem.empty() ? "Windows cannot store it as it is" : problem;
}

// ---- Names relative to a folder ------------------------------------------------------

std::string RelativeNameProblemText(const std::string &name) {
    // The installer's rule gives the verdict; the rest finds the words.
    if (name.find('\0') == std::string::npos && RelativeNameIsSafe(name.c_str())) {
        return "";
    }
    if (name.empty()) {
        return "it is empty";
    }
    if (name[0] == '\\' || name[0] == '/') {
        return "it is absolute (it starts with a separator)";
    }
    if (name.size() >= 2 && name[1] == ':') {
        return "it names a drive";
    }
    for (size_t start = 0;;) {
        size_t end = name.find_first_of("\\/", start);
        std::string problem = EntryComponentProblem(name.substr(start, end - start));
        if (!problem.empty()) {
            return "it holds " + problem;
        }
        if (end == std::string::npos) {
            return "Windows cannot store it as it is";
        }
        start = end + 1;
    }
}

// ---- The system's names --------------------------------------------------------------

#ifdef _WIN32

bool NativeNameFromPath(const std::filesystem::path &path, std::string *name) {
    const std::wstring &wide = path.native();
    name->clear();
    if (wide.empty()) {
        return true;
    }
    int wideLength = static_cast<int>(wide.size());
    BOOL lost = FALSE;
    int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength, nullptr,
                                     0, nullptr, &lost);
    if (length <= 0 || lost) {
        return false;
    }
    name->resize(static_cast<size_t>(length));
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength, &(*name)[0], length,
                        nullptr, &lost);
    return !lost;
}

std::filesystem::path PathFromNative(const std::string &name) {
    if (name.empty()) {
        return std::filesystem::path();
    }
    int nameLength = static_cast<int>(name.size());
    int length = MultiByteToWideChar(CP_ACP, 0, name.data(), nameLength, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_ACP, 0, name.data(), nameLength, &wide[0], length);
    }
    return std::filesystem::path(wide);
}

bool StderrIsTerminal(void) {
    return _isatty(_fileno(stderr)) != 0;
}

#else

bool NativeNameFromPath(const std::filesystem::path &path, std::string *name) {
    *name = path.native();
    return true;
}

std::filesystem::path PathFromNative(const std::string &name) {
    return std::filesystem::path(name);
}

bool StderrIsTerminal(void) {
    return isatty(STDERR_FILENO) != 0;
}

#endif
