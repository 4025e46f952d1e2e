// qpack: the entry point, the command-line parser and the messages.
#include "qpack/qpack_arguments.h"
#include "qpack/qpack_commands.h"
#include "qpack/qpack_messages.h"
#include "qpack/qpack_programs.h"

#include <stdio.h>
#include <stdlib.h>

#include <exception>
#include <new>
#include <string>
#include <vector>

#include "heap/region_heap.h"
#include "package/package.h"
#include "qpack/package_writer.h"

// ---- Messages ------------------------------------------------------------------

void ReportError(const std::string &message) {
    fprintf(stderr, "qpack: %s\n", message.c_str());
}

void ReportWarning(const std::string &message) {
    fprintf(stderr, "qpack: warning: %s\n", message.c_str());
}

std::string Quoted(const std::string &text) {
    return "\"" + Printable(text) + "\"";
}

std::string Printable(const std::string &text) {
    std::string shown;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02x", c);
            shown += escape;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

std::string FormatHex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
    return text;
}

std::string FormatSize(uint64_t bytes) {
    char text[48];
    if (bytes < 1024) {
        snprintf(text, sizeof text, "%u bytes", static_cast<unsigned>(bytes));
    } else if (bytes < (uint64_t(1) << 20)) {
        snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    } else if (bytes < (uint64_t(1) << 30)) {
        snprintf(text, sizeof text, "%.1f MiB", bytes / 1048576.0);
    } else {
        snprintf(text, sizeof text, "%.2f GiB", bytes / 1073741824.0);
    }
    return text;
}

std::string Counted(uint64_t count, const char *one, const char *many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// ---- Usage -----------------------------------------------------------------------

void UsagePrint(void) {
    fputs("Usage: qpack COMMAND [OPTIONS] ARGUMENTS\n"
          "Builds, lists, verifies, shows and extracts qunpack installers; checks manifests.\n"
          "\n"
          "  qpack build -o OUTPUT [--stub STUB] --manifest MANIFEST [--brand BMP]\n"
          "              [--centre BMP] [--icon ICO] [--version-info NAME=VALUE]...\n"
          "              [--strict] [--zlib] [--previous OLD] [--uninstaller-stub FILE]\n"
          "              [--no-uninstaller] [--uninstall-key NAME] PAYLOAD_DIR\n"
          "      Packs every file below PAYLOAD_DIR behind the stub, with the manifest\n"
          "      and the optional bitmaps (brand image, installing text) as internal\n"
          "      entries. Files are packed in byte-wise order of their names and\n"
          "      compressed on all cores with libdeflate at level 12 (--zlib: zlib at\n"
          "      level 9); identical files are stored once. OUTPUT appears only once\n"
          "      it is complete. The manifest is checked first, as qpack check does,\n"
          "      and against the payload; errors (and with --strict, warnings) refuse\n"
          "      the build, as does a bitmap the installer would not draw. With\n"
          "      --previous, the release is compared with OLD as qpack diff does.\n"
          "      The stub must be unsigned: sign the installer afterwards, as the\n"
          "      last step. Without --stub, qpack takes the stub installed with it\n"
          "      (share/qunpack beside the folder it runs from, or its own folder)\n"
          "      and names it.\n"
          "      --icon puts every image of the .ico file into the installer as its\n"
          "      icon. --version-info, repeatable, sets a version string: CompanyName,\n"
          "      FileDescription, FileVersion, ProductName, ProductVersion or\n"
          "      LegalCopyright; ProductName defaults to the manifest's product name\n"
          "      and FileDescription to \"<product> Setup\". FileVersion and\n"
          "      ProductVersion of up to four dot-separated numbers below 65536 are\n"
          "      also written as numbers (\"3.14\" is 3.14.0.0).\n"
          "      When the manifest names an uninstaller that PAYLOAD_DIR lacks, qpack\n"
          "      generates it from qunpack-uninstall.exe beside the stub (or FILE):\n"
          "      it removes what the installer installs. --no-uninstaller packs none.\n"
          "      --uninstall-key names the installer's entry in Programs and Features\n"
          "      (below HKLM\\...\\CurrentVersion\\Uninstall; 1 to 255 characters, no\n"
          "      \"\\\"), for it and its generated uninstaller. Without it every such\n"
          "      installer shares the entry \"Quorvane\": give each product its own.\n"
          "  qpack check [--strict] MANIFEST\n"
          "      Parses the manifest as the installer will and reports, as\n"
          "      MANIFEST:LINE: warning: ..., every line that likely does not do what\n"
          "      was meant: LF-only line ends, a byte-order mark, unknown or mis-split\n"
          "      keys (with the key likely meant), empty quotes, text after a closing\n"
          "      quote, colours without \"#\" or six digits, values cut by their\n"
          "      limits, keys given twice, shortcut and delfile lines that add nothing\n"
          "      or name what the installer skips (\"..\", a drive, a device...).\n"
          "      Errors: no productname or directory, a productname that cannot name a\n"
          "      folder, a directory the one name rule refuses. --strict makes every\n"
          "      warning an error. Lines are counted as the installer counts them: they\n"
          "      end at CR.\n"
          "  qpack diff [--strict] OLD NEW\n"
          "      Lists the installable files NEW adds, changes and removes against OLD,\n"
          "      and warns about each file OLD installed that NEW neither holds nor\n"
          "      names in a delfile line: an upgrade leaves it behind (--strict: error).\n"
          "  qpack list [--json] INSTALLER\n"
          "      Lists every entry in directory order: name, size, compressed size,\n"
          "      byte sum and whether it is installed or internal; an entry stored\n"
          "      once with an identical earlier one ends in (stream of \"NAME\").\n"
          "  qpack show [--json] INSTALLER\n"
          "      Prints the install description the installer will read from its\n"
          "      manifest, and whether it would install with it. Lists run head first,\n"
          "      the order the installer handles them (the reverse of their lines).\n"
          "      --json prints one object named by the record's fields: colours as\n"
          "      COLORREF numbers (0x00BBGGRR), absent strings as null, bytes from 0x80\n"
          "      up as \\u0080..\\u00ff (the byte's value; its meaning depends on the\n"
          "      code page of the machine that installs).\n"
          "  qpack verify INSTALLER\n"
          "      Checks the trailer, the package sum, the directory and that every\n"
          "      entry inflates to exactly its size and byte sum. A signed installer\n"
          "      is read behind its signature, and the size of its certificate table\n"
          "      shown; a table that holds anything but signatures is refused. The\n"
          "      certificate itself is for osslsigncode verify or Windows.\n"
          "  qpack extract -o DIR [--all] INSTALLER\n"
          "      Writes the installable entries (with --all the internal ones too)\n"
          "      below DIR. Names that would leave DIR are refused.\n"
          "  qpack --help | --version\n"
          "      --version also names the installed stub and uninstaller stub and\n"
          "      their versions.\n"
          "\n"
          "Exit status: 0 success (check: warnings allowed without --strict); 1 bad\n"
          "package, failed check, manifest errors or refused input; 2 bad usage.\n",
          stdout);
}

int UsageError(const std::string &message) {
    ReportError(message);
    fputs("Try 'qpack --help' for more information.\n", stderr);
    return QPACK_EXIT_USAGE;
}

// ---- Argument parsing -----------------------------------------------------------

static const OptionRule *OptionFindLong(const std::vector<OptionRule> &rules,
                                        const std::string &name) {
    for (const OptionRule &rule : rules) {
        if (name == rule.longName) {
            return &rule;
        }
    }
    return nullptr;
}

static const OptionRule *OptionFindShort(const std::vector<OptionRule> &rules, char name) {
    for (const OptionRule &rule : rules) {
        if (rule.shortName != 0 && rule.shortName == name) {
            return &rule;
        }
    }
    return nullptr;
}

static bool ParseFail(std::string *error, const std::string &message) {
    *error = message;
    return false;
}

bool ArgumentsParse(const std::vector<std::string> &args, const std::vector<OptionRule> &rules,
                    ParsedArguments *parsed, std::string *error) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed->operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionRule *rule;
        std::string value;
        bool valueAttached = false;
        if (arg[1] == '-') {
            size_t equals = arg.find('=');
            rule = OptionFindLong(rules, arg.substr(2, equals - 2));
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
                valueAttached = true;
            }
        } else {
            rule = OptionFindShort(rules, arg[1]);
            if (arg.size() > 2) {
                value = arg.substr(2);
                valueAttached = true;
            }
        }
        if (rule == nullptr || (valueAttached && !rule->takesValue && arg[1] != '-')) {
            return ParseFail(error, "unknown option " + Quoted(arg));
        }
        std::string shownName = std::string("--") + rule->longName;
        if (rule->takesValue && !valueAttached) {
            if (i + 1 == args.size()) {
                return ParseFail(error, "option " + shownName + " needs a value");
            }
            value = args[++i];
        } else if (!rule->takesValue && valueAttached) {
            return ParseFail(error, "option " + shownName + " takes no value");
        }
        if (rule->takesValue && value.empty()) {
            return ParseFail(error, "option " + shownName + " needs a value");
        }
        if (rule->repeatable) {
            parsed->lists[rule->longName].push_back(value);
            parsed->options.emplace(rule->longName, value);
        } else if (!parsed->options.emplace(rule->longName, value).second) {
            return ParseFail(error, "option " + shownName + " given twice");
        }
    }
    return true;
}

bool ArgumentsHave(const ParsedArguments &parsed, const char *longName) {
    return parsed.options.count(longName) != 0;
}

int CommandArgumentsParse(const char *command, const std::vector<std::string> &args,
                          std::vector<OptionRule> rules, const std::vector<const char *> &required,
                          const char *operandName, ParsedArguments *parsed) {
    rules.push_back({"help", 'h', false});
    std::string error;
    if (!ArgumentsParse(args, rules, parsed, &error)) {
        return UsageError(std::string(command) + ": " + error);
    }
    if (ArgumentsHave(*parsed, "help")) {
        UsagePrint();
        return QPACK_EXIT_OK;
    }
    for (const char *name : required) {
        if (!ArgumentsHave(*parsed, name)) {
            const OptionRule *rule = OptionFindLong(rules, name);
            std::string shown = rule != nullptr && rule->shortName != 0
                                    ? std::string("-") + rule->shortName
                                    : std::string("--") + name;
            return UsageError(std::string(command) + " needs the option " + shown);
        }
    }
    if (parsed->operands.empty()) {
        return UsageError(std::string(command) + " needs " + operandName);
    }
    if (parsed->operands.size() > 1) {
        return UsageError(std::string(command) + ": unexpected argument " +
                          Quoted(parsed->operands[1]));
    }
    return -1;
}

// ---- Entry point -------------------------------------------------------------------

struct Command {
    const char *name;
    int (*run)(const std::vector<std::string> &args);
};

static const Command commands[] = {
    {"build", BuildCommand},     {"list", ListCommand}, {"verify", VerifyCommand},
    {"extract", ExtractCommand}, {"show", ShowCommand}, {"check", CheckCommand},
    {"diff", DiffCommand},
};

static int QpackRun(const std::vector<std::string> &args) {
    if (args.empty()) {
        return UsageError("no command given");
    }
    const std::string &name = args[0];
    if (name == "--help" || name == "-h" || name == "help") {
        UsagePrint();
        return QPACK_EXIT_OK;
    }
    if (name == "--version") {
        VersionPrint();
        return QPACK_EXIT_OK;
    }
    for (const Command &command : commands) {
        if (name == command.name) {
            // The package reader takes its directory from the region heap.
            RegionHeapInit();
            return command.run(std::vector<std::string>(args.begin() + 1, args.end()));
        }
    }
    if (name[0] == '-') {
        return UsageError("unknown option " + Quoted(name));
    }
    return UsageError("unknown command " + Quoted(name));
}

// The value of a test seam's environment variable; 0 when it is not set.
static uint64_t TestSeamValue(const char *name) {
    const char *value = getenv(name);
    return value != nullptr ? strtoull(value, nullptr, 10) : 0;
}

// Test seams: the tests lower the size above which entries are streamed,
// so that a small file takes the large entries' road, and the size of the
// views installers are read through, so that a small installer is read in
// many of them.
static void TestSeamsApply(void) {
    if (uint64_t limit = TestSeamValue("QPACK_TEST_WHOLE_BUFFER_LIMIT")) {
        packageWholeBufferLimit = limit;
    }
    uint64_t viewSize = TestSeamValue("QPACK_TEST_VIEW_SIZE");
    if (viewSize != 0 && viewSize <= PACKAGE_VIEW_SIZE) {
        packageViewSize = static_cast<uint32_t>(viewSize);
    }
}

// qpack reads installers through views of this size rather than the
// stub's 16 MiB: a view is resident while it is read, so an open adds 1 MiB
// to qpack's memory rather than 16, and natively the package sum over these
// views still runs at about 0.93 of a whole-file pass (make bench-open),
// a few milliseconds per 100 MB.
const uint32_t QPACK_VIEW_SIZE = 1u << 20;

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    packageViewSize = QPACK_VIEW_SIZE;
    TestSeamsApply();
    try {
        return QpackRun(args);
    } catch (const std::bad_alloc &) {
        ReportError("out of memory");
    } catch (const std::exception &failure) {
        ReportError(failure.what());
    }
    return QPACK_EXIT_FAILED;
}
