// qpack, the vendor's tool: builds, lists, verifies, shows and extracts
// installers, and checks manifests.
// This header joins its source files: the commands, the command-line parser,
// messages, entry names, files, streamed inflation and the worker threads.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "package/package.h"
#include "qpack/package_writer.h"
#include "qpack/stub_branding.h"

// ---- Exit statuses ---------------------------------------------------------

const int QPACK_EXIT_OK = 0;
const int QPACK_EXIT_FAILED = 1; // bad package, failed check, refused input
const int QPACK_EXIT_USAGE = 2;  // unknown command or option, missing argument

// ---- Limits of the installer --------------------------------------------------

// The installer's offsets and lengths are 32-bit (packageFormatLimit), and
// the stub counts progress in 32 bits over the installable entries' sizes.
const uint64_t QPACK_MAX_INSTALLABLE_TOTAL = uint64_t(1) << 32; // exclusive

// The longest entry name (leading "\" included) that an installer can place:
// see EntryNameLengthProblem.
const size_t QPACK_MAX_ENTRY_NAME = 230;

// ---- Commands ------------------------------------------------------------------

// Each takes the arguments after its own name and returns the exit status.
int BuildCommand(const std::vector<std::string> &args);
int ListCommand(const std::vector<std::string> &args);
int VerifyCommand(const std::vector<std::string> &args);
int ExtractCommand(const std::vector<std::string> &args);
int ShowCommand(const std::vector<std::string> &args);
int CheckCommand(const std::vector<std::string> &args);
int DiffCommand(const std::vector<std::string> &args);

// What an upgrade from the previous installer to the current one changes,
// printed a line each; a file the previous one installed that the current
// one neither holds nor deletes is warned about (an error when strict, and
// the check then fails). The current installer is read from currentFile
// when given (current then only names it). False with *error set ("" when
// the reason is printed already).
bool ReleaseCheck(const std::string &previous, const std::string &current,
                  const std::filesystem::path *currentFile, bool strict, std::string *error);

// ---- Command line --------------------------------------------------------------

struct OptionRule {
    const char *longName; // without the leading "--"
    char shortName;       // 0 when the option has none
    bool takesValue;
    bool repeatable = false; // every value kept in ParsedArguments::lists
};

// Options by long name (a flag maps to ""; a repeatable option to its first
// value), the values of repeatable options in order, operands in order.
struct ParsedArguments {
    std::map<std::string, std::string> options;
    std::map<std::string, std::vector<std::string>> lists;
    std::vector<std::string> operands;
};

// Accepts "--name value", "--name=value", "-n value", "-nvalue" and "--" as
// the end of options; a lone "-" is an operand. Returns false with a message
// for an unknown option, a missing or unexpected value or a repeated option
// that is not repeatable.
bool ArgumentsParse(const std::vector<std::string> &args, const std::vector<OptionRule> &rules,
                    ParsedArguments *parsed, std::string *error);
bool ArgumentsHave(const ParsedArguments &parsed, const char *longName);

// Parses the arguments of a command that takes the options in rules (and
// --help), every option in required, and exactly one operand named
// operandName. Returns -1 when the command should go on; otherwise the exit
// status (usage printed for --help, a usage error reported).
int CommandArgumentsParse(const char *command, const std::vector<std::string> &args,
                          std::vector<OptionRule> rules, const std::vector<const char *> &required,
                          const char *operandName, ParsedArguments *parsed);

// Prints the usage of every command to stdout.
void UsagePrint(void);
// Prints "qpack: message" and a pointer to --help on stderr; returns
// QPACK_EXIT_USAGE.
int UsageError(const std::string &message);

// ---- Messages ------------------------------------------------------------------

// "qpack: message" / "qpack: warning: message" on stderr.
void ReportError(const std::string &message);
void ReportWarning(const std::string &message);

// The text in double quotes, made Printable.
std::string Quoted(const std::string &text);
// The text with control characters and DEL shown as \xNN, so that a name
// from a damaged package cannot steer the terminal.
std::string Printable(const std::string &text);
std::string FormatHex32(uint32_t value);                                // "0x0001e240"
std::string FormatSize(uint64_t bytes);                                 // "512 bytes", "45.3 MiB"
std::string Counted(uint64_t count, const char *one, const char *many); // "1 entry", "2 entries"

// ---- Entry names -----------------------------------------------------------------

// Why one component of a name (between "\" separators) cannot be a file
// name on Windows, or "" when it can: empty, "." or "..", a character
// Windows refuses (<>:"|?*\/ and control characters), a trailing dot or
// space (which Windows drops), or a reserved device name (CON, NUL, COM1...).
std::string EntryComponentProblem(const std::string &component);

// Why an installer could never place an entry of this name (leading "\"
// included), or "" when it can.
std::string EntryNameLengthProblem(const std::string &name);

// Why extracting an entry of this name below a folder would be unsafe or
// impossible, or "" when it is safe.
std::string ExtractNameProblem(const std::string &name);

// Why the installer skips a name the manifest gives relative to a folder
// (a shortcut, its target, a stale file, the install directory), or "" when
// the one name rule accepts it.
std::string RelativeNameProblemText(const std::string &name);

// The name with A-Z folded to a-z: two names Windows takes for the same
// file fold alike (exactly so for ASCII names).
std::string FoldAsciiCase(const std::string &name);

// ---- System ------------------------------------------------------------------------

// The 8-bit form of a file-name component or path: on Windows in the ANSI
// code page (what the stub's file calls use), false when a character has no
// form there; elsewhere the bytes as they are.
bool NativeNameFromPath(const std::filesystem::path &path, std::string *name);
// The inverse, for paths and names given on the command line or in packages.
std::filesystem::path PathFromNative(const std::string &name);

bool StderrIsTerminal(void);

// ---- Files ---------------------------------------------------------------------------

// Reads the whole file into bytes; false with a message naming the file.
bool FileRead(const std::filesystem::path &path, const std::string &displayName,
              PackageBytes *bytes, std::string *error);

// The path with every link on the way resolved, as the file system sees it.
// On Windows std::filesystem::canonical leaves symbolic links and junctions
// as they are, so there the answer comes from the opened file itself.
std::filesystem::path RealPath(const std::filesystem::path &path, std::error_code &failure);

// Produces a file in one step: write() fills a temporary file beside path,
// which replaces path only when write(), check() (when given, on the closed
// temporary file) and the file system all succeeded. On failure the
// temporary file is removed and path is left as it was. write() and check()
// return false with their own message in *error.
using FileWriter = std::function<bool(std::ostream &out, std::string *error)>;
using FileChecker = std::function<bool(const std::filesystem::path &written, std::string *error)>;
bool FileWriteAtomically(const std::filesystem::path &path, const std::string &displayName,
                         const FileWriter &write, std::string *error,
                         const FileChecker &check = nullptr);

// A name beside path that nothing uses yet, in the same folder.
std::filesystem::path FileTemporarySibling(const std::filesystem::path &path);

// ---- Streamed inflation ------------------------------------------------------------

enum InflationOutcome {
    INFLATION_COMPLETE,  // the stream ended, its Adler-32 check included
    INFLATION_CORRUPT,   // zlib found invalid data
    INFLATION_CUT_SHORT, // the input ran out before the stream's end
    INFLATION_TOO_LONG,  // more bytes than the limit
    INFLATION_NO_MEMORY,
    INFLATION_SINK_FAILED, // the sink refused the bytes
    INFLATION_NOT_MAPPED   // a view of the file could not be mapped
};

struct InflationResult {
    InflationOutcome outcome = INFLATION_COMPLETE;
    uint64_t produced = 0; // bytes inflated (beyond the limit when TOO_LONG)
    uint32_t sum = 0;      // byte sum of the bytes handed to the sink
    std::string zlibMessage;
};

// Inflates the zlib stream in the length bytes at offset of the open
// package's file (see PackageFileBytesMap), mapped a bounded view at a time,
// handing at most limit bytes to sink (null: none) and stopping as soon as
// the stream yields more. Memory and address space stay small whatever the
// stream's size. Safe to call from several threads at once.
using InflationSink = std::function<bool(const unsigned char *bytes, size_t count)>;
InflationResult InflatePackageBytes(uint32_t offset, uint32_t length, uint32_t limit,
                                    const InflationSink &sink);

// InflatePackageBytes of the entry of record, limited to its size.
InflationResult InflateEntry(const DirectoryRecord *record, const InflationSink &sink);

// What is wrong with an entry whose stream gave result, given the size and
// byte sum its record claims; "" when it is sound.
std::string InflationProblem(const InflationResult &result, uint32_t size, uint32_t dataSum);

// ---- Threads -------------------------------------------------------------------------

// Runs task(0) .. task(count - 1) on as many threads as the machine has
// cores; tick (when set) runs on the calling thread about every 100 ms until
// all are done. The first exception a task throws is rethrown here after
// every thread has stopped; tasks not yet started then do not run.
void RunInParallel(size_t count, const std::function<void(size_t)> &task,
                   const std::function<void()> &tick);

// ---- Branding ------------------------------------------------------------------------

// The branding that qpack build's --icon (iconPath, "" when not given) and
// --version-info NAME=VALUE options ask for: the icon's images, and when any
// version string is given, the strings with ProductName defaulting to the
// manifest's product name and FileDescription to "<product> Setup". False
// with a message naming the icon or the option at fault.
bool BrandingPrepare(const std::string &iconPath, const std::vector<std::string> &versionInfo,
                     const std::string &manifestPath, StubBranding *branding, std::string *error);
// Writes the branding (when there is any) into the stub image; false with a
// message naming the stub when it cannot.
bool BrandingApply(const StubBranding &branding, const std::string &stubShownPath,
                   PackageBytes *stub, std::string *error);
// Text from the command line or a manifest as UTF-16: on Windows from the
// ANSI code page; elsewhere UTF-8, or Latin-1 when it is not UTF-8.
std::u16string VersionTextFromNative(const std::string &text);

// ---- Opening installers ----------------------------------------------------------------

// Opens the installer with the package reader; the caller ends with
// PackageClose. On failure reports exactly why (the reader only says no)
// and returns false with nothing left open.
bool InstallerOpen(const std::string &path);

// ---- Installed programs ----------------------------------------------------------------

// The programs qpack builds installers from, by file name.
const char QPACK_STUB_FILE[] = "qunpack.exe";
const char QPACK_UNINSTALLER_STUB_FILE[] = "qunpack-uninstall.exe";

// The path of file as installed with qpack: in share/qunpack beside the
// folder qpack runs from (bin), else beside qpack itself. False with a
// message naming every place looked in when there is none.
bool InstalledProgramFind(const char *file, std::string *path, std::string *error);

// qpack's version, and the version and path of each installed program.
void VersionPrint(void);
