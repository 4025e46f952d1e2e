// qpack check, and the manifest checks of qpack build: the stub's parser
// reports every line, and each report is compared with what its writer
// most likely meant.
#include "qpack/qpack_manifest.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "manifest/manifest.h"
#include "qpack/package_writer.h"
#include "qpack/qpack_arguments.h"
#include "qpack/qpack_commands.h"
#include "qpack/qpack_files.h"
#include "qpack/qpack_messages.h"
#include "qpack/qpack_names.h"

namespace {

const char BYTE_ORDER_MARK[] = "\xEF\xBB\xBF";

bool IsManifestSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f';
}

size_t SkipSpace(const std::string &text, size_t at) {
    while (at < text.size() && IsManifestSpace(text[at])) {
        at++;
    }
    return at;
}

std::string Shown(const std::string &text) {
    return Quoted(text.size() <= 40 ? text : text.substr(0, 37) + "...");
}

// A double-quoted run at the start of text (after whitespace), as the value
// forms read it before any limit: its length and whether its quote closes.
struct QuotedRun {
    bool opened = false;
    size_t start = 0; // of the first character inside the quotes
    size_t length = 0;
    bool closed = false;
};

QuotedRun QuotedRunAt(const std::string &text, size_t at) {
    QuotedRun run;
    at = SkipSpace(text, at);
    if (at == text.size() || text[at] != '"') {
        return run;
    }
    run.opened = true;
    run.start = at + 1;
    size_t close = text.find('"', run.start);
    run.closed = close != std::string::npos;
    run.length = (run.closed ? close : text.size()) - run.start;
    return run;
}

struct Checker {
    const std::string *text;
    const std::set<std::string> *payload; // folded entry names; null when not known
    bool uninstallerGenerated;            // a missing uninstaller is made by qpack
    std::vector<ManifestFinding> findings;
    uint32_t setBy[MANIFEST_KEY_COUNT] = {}; // line that last set each string or colour key
};

void Warn(Checker *checker, uint32_t line, const std::string &message) {
    checker->findings.push_back({line, false, message});
}

void Fail(Checker *checker, uint32_t line, const std::string &message) {
    checker->findings.push_back({line, true, message});
}

// ---- Lines that set nothing -------------------------------------------------------

void UnmatchedLineCheck(Checker *checker, uint32_t number, const std::string &line) {
    size_t start = SkipSpace(line, 0);
    if (start == line.size()) {
        return; // blank lines are fine
    }
    size_t equals = line.find('=', start);
    if (equals == std::string::npos) {
        Warn(checker, number, "no \"=\" on this line: it is ignored");
    } else if (equals == start) {
        Warn(checker, number, "no key before \"=\": the line is ignored");
    } else if (SkipSpace(line, equals + 1) == line.size()) {
        Warn(checker, number, "no value after \"=\": the line is ignored");
    } else {
        Warn(checker, number,
             "the key is longer than " + std::to_string(MANIFEST_KEY_MAX) +
                 " characters: the line is ignored");
    }
}

// The key without its whitespace, when that is a known key.
std::string KeyWithoutSpace(const std::string &key) {
    std::string squeezed;
    for (char c : key) {
        if (!IsManifestSpace(c)) {
            squeezed += c;
        }
    }
    return ManifestFindKey(squeezed.c_str()) >= 0 ? squeezed : "";
}

// Edits (insertions, deletions, substitutions) from one text to the other,
// ignoring ASCII case.
size_t EditDistance(const std::string &from, const std::string &to) {
    std::string a = FoldAsciiCase(from), b = FoldAsciiCase(to);
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The known key the unknown one was most likely meant to be: the same
// without its whitespace, else one within an edit or two ("BKColor").
std::string MeantKey(const std::string &key) {
    std::string meant = KeyWithoutSpace(key);
    if (!meant.empty()) {
        return meant;
    }
    size_t closest = key.size() < 6 ? 2 : 3; // more edits than this suggest nothing
    for (int index = 0; index < MANIFEST_KEY_COUNT; index++) {
        size_t distance = EditDistance(key, ManifestKeyName(index));
        if (distance < closest) {
            closest = distance;
            meant = ManifestKeyName(index);
        }
    }
    return meant;
}

void UnknownKeyCheck(Checker *checker, const ManifestLine &report, const std::string &line) {
    std::string key = report.key;
    if (report.number == 1 && key.compare(0, 3, BYTE_ORDER_MARK) == 0) {
        return; // already told: the byte-order mark is the fault
    }
    char splitKey[MANIFEST_KEY_MAX + 1], value[MANIFEST_VALUE_MAX + 1];
    if (report.form == MANIFEST_FORM_WORD && key.find('=') != std::string::npos &&
        ManifestMatchForm(line.data(), static_cast<uint32_t>(line.size()), MANIFEST_FORM_SPLIT,
                          splitKey, value, nullptr) &&
        ManifestFindKey(splitKey) >= 0) {
        Warn(checker, report.number,
             "the line is split at a later \"=\", giving the unknown key " + Shown(key) +
                 ", so \"" + splitKey + "\" is not set: write whitespace before its \"=\"");
        return;
    }
    std::string meant = MeantKey(key);
    Warn(checker, report.number,
         "unrecognised key " + Shown(key) + ": the line has no effect" +
             (meant.empty() ? "" : " (\"" + meant + "\"?)"));
}

// ---- Values ----------------------------------------------------------------------------

void RepeatedKeyCheck(Checker *checker, const ManifestLine &report) {
    uint32_t &earlier = checker->setBy[report.keyIndex];
    if (earlier != 0) {
        Warn(checker, report.number,
             std::string(ManifestKeyName(report.keyIndex)) + " given again (first on line " +
                 std::to_string(earlier) + "): the later line wins");
    }
    earlier = report.number;
}

// Text behind a closing quote is ignored: `"Acme "Pro" Writer"` sets "Acme ".
void TrailingTextCheck(Checker *checker, const ManifestLine &report, const std::string &value,
                       const QuotedRun &run) {
    if (!run.closed || value.find('\n') != std::string::npos) {
        return; // a line run on at a LF alone is told about already
    }
    size_t after = SkipSpace(value, run.start + run.length + 1);
    if (after < value.size()) {
        Warn(checker, report.number,
             "the text after the closing quote (" + Printable(value.substr(after)) +
                 ") is ignored: " + ManifestKeyName(report.keyIndex) + " ends at that quote");
    }
}

void StringValueCheck(Checker *checker, const ManifestLine &report, const std::string &value) {
    const char *name = ManifestKeyName(report.keyIndex);
    QuotedRun run = QuotedRunAt(value, 0);
    if (!report.applied) {
        Warn(checker, report.number,
             run.opened ? std::string("empty quotes leave ") + name + " unchanged"
                        : std::string("the value of ") + name +
                              " is not in double quotes: the line has no effect");
        return;
    }
    const size_t limit = MANIFEST_VALUE_MAX - 1; // the opening quote counts against the value
    if (run.length > limit) {
        Warn(checker, report.number,
             std::string(name) + " is " + std::to_string(run.length) + " characters long: cut to " +
                 std::to_string(limit));
    } else if (!run.closed) {
        Warn(checker, report.number,
             std::string(name) +
                 " has no closing quote: it runs to the end of the line, trailing whitespace"
                 " included");
    }
    TrailingTextCheck(checker, report, value, run);
    RepeatedKeyCheck(checker, report);
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A colour the installer took, but probably not as meant: the digits are
// read as one number, 0xRRGGBB, so "#FFF" is 0x000FFF and "#FF0000FF" keeps
// its low six digits.
void ColourDigitsCheck(Checker *checker, const ManifestLine &report, const std::string &value) {
    const char *name = ManifestKeyName(report.keyIndex);
    size_t at = SkipSpace(value, SkipSpace(value, 0) + 1); // behind the "#"
    if (at < value.size() && (value[at] == '+' || value[at] == '-')) {
        at++;
    }
    if (value.compare(at, 2, "0x") == 0 || value.compare(at, 2, "0X") == 0) {
        at += 2;
    }
    size_t digits = at;
    while (digits < value.size() && IsHexDigit(value[digits])) {
        digits++;
    }
    size_t after = SkipSpace(value, digits);
    if (digits - at != 6) {
        Warn(checker, report.number,
             std::string(name) + " has " + std::to_string(digits - at) +
                 " hexadecimal digits, not 6: they are read as one number 0xRRGGBB (write"
                 " #RRGGBB)");
    } else if (after < value.size()) {
        Warn(checker, report.number,
             "the text after the colour's digits, " + Shown(value.substr(digits)) + ", is ignored");
    }
}

void ColourValueCheck(Checker *checker, const ManifestLine &report, const std::string &value) {
    const char *name = ManifestKeyName(report.keyIndex);
    size_t at = SkipSpace(value, 0);
    if (report.applied) {
        if (report.valueLength <= MANIFEST_VALUE_MAX) { // a cut value is told about already
            ColourDigitsCheck(checker, report, value);
        }
        RepeatedKeyCheck(checker, report);
        return;
    }
    bool hash = at < value.size() && value[at] == '#';
    Warn(checker, report.number,
         std::string("colour ") + (hash ? "without a hexadecimal digit" : "without \"#\"") +
             " leaves " + name + " unchanged (write #RRGGBB)");
}

// Why a shortcut value adds nothing, part by part.
std::string ShortcutProblem(const std::string &value) {
    size_t at = 0;
    const char *parts[] = {"name", "target"};
    for (const char *part : parts) {
        QuotedRun run = QuotedRunAt(value, at);
        if (!run.opened) {
            return std::string("no double-quoted ") + part;
        }
        if (run.length == 0) {
            return std::string("the ") + part + " is empty";
        }
        if (run.length > MANIFEST_NAME_MAX || !run.closed) {
            return std::string("the ") + part + " does not close within " +
                   std::to_string(MANIFEST_NAME_MAX) + " characters";
        }
        at = SkipSpace(value, run.start + run.length + 1);
        if (at == value.size() || value[at] != ',') {
            return std::string("no comma after the ") + part;
        }
        at++;
    }
    return "no icon index after the target";
}

// Whether the payload holds the file a name relative to the install
// directory names (Windows compares names ignoring case).
bool PayloadHolds(const Checker &checker, const std::string &relative) {
    std::string entry = "\\" + relative;
    std::replace(entry.begin(), entry.end(), '/', '\\');
    return checker.payload->count(FoldAsciiCase(entry)) != 0;
}

void ShortcutValueCheck(Checker *checker, const ManifestLine &report, const std::string &value) {
    char name[MANIFEST_NAME_MAX + 1], target[MANIFEST_NAME_MAX + 1];
    int32_t iconIndex;
    if (!report.applied || !ManifestParseShortcut(report.value, name, target, &iconIndex)) {
        Warn(checker, report.number,
             "this shortcut line adds nothing: " + ShortcutProblem(value) +
                 " (write \"name\", \"target\", icon index)");
        return;
    }
    std::string problem = RelativeNameProblemText(name);
    if (!problem.empty()) {
        Warn(checker, report.number,
             "the installer skips this shortcut: its name " + Shown(name) + " " + problem);
        return;
    }
    problem = RelativeNameProblemText(target);
    if (!problem.empty()) {
        Warn(checker, report.number,
             "the installer skips this shortcut: its target " + Shown(target) + " " + problem +
                 " (targets are relative to the install directory)");
    } else if (checker->payload != nullptr && !PayloadHolds(*checker, target)) {
        Warn(checker, report.number,
             "the shortcut's target " + Shown(target) + " is not in the payload");
    }
}

void FileNameValueCheck(Checker *checker, const ManifestLine &report, const std::string &value) {
    QuotedRun run = QuotedRunAt(value, 0);
    if (!report.applied) {
        Warn(checker, report.number,
             std::string("this delfile line adds nothing: ") +
                 (run.opened ? "the name is empty" : "the name is not in double quotes"));
    } else if (run.length > MANIFEST_NAME_MAX) {
        Warn(checker, report.number,
             "the delfile name is " + std::to_string(run.length) + " characters long: cut to " +
                 std::to_string(MANIFEST_NAME_MAX));
    } else if (!run.closed) {
        Warn(checker, report.number,
             "the delfile name has no closing quote: it runs to the end of the line");
    } else {
        TrailingTextCheck(checker, report, value, run);
    }
    char name[MANIFEST_NAME_MAX + 1];
    if (report.applied && ManifestParseFileName(report.value, name)) {
        std::string problem = RelativeNameProblemText(name);
        if (!problem.empty()) {
            Warn(checker, report.number,
                 "the installer skips this delfile line: " + Shown(name) + " " + problem +
                     " (names are relative to the install directory)");
        }
    }
}

void KnownKeyCheck(Checker *checker, const ManifestLine &report, const std::string &line) {
    // The whole value, before the matcher cut it.
    std::string value = line.substr(line.size() - report.valueLength);
    int form = ManifestKeyValueForm(report.keyIndex);
    if (report.valueLength > MANIFEST_VALUE_MAX &&
        (form == MANIFEST_VALUE_COLOUR || form == MANIFEST_VALUE_SHORTCUT)) {
        Warn(checker, report.number,
             "the value is " + std::to_string(report.valueLength) + " characters long: cut to " +
                 std::to_string(MANIFEST_VALUE_MAX));
    }
    switch (form) {
        case MANIFEST_VALUE_STRING:
            StringValueCheck(checker, report, value);
            break;
        case MANIFEST_VALUE_COLOUR:
            ColourValueCheck(checker, report, value);
            break;
        case MANIFEST_VALUE_SHORTCUT:
            ShortcutValueCheck(checker, report, value);
            break;
        default:
            FileNameValueCheck(checker, report, value);
            break;
    }
}

// ---- Line ends --------------------------------------------------------------------------

void LineEndCheck(Checker *checker, const ManifestLine &report, const std::string &line) {
    if (line.find('\n') != std::string::npos) {
        Warn(checker, report.number,
             "a line ends in LF alone: lines end only at CR, so the lines after it run on in"
             " this one and set nothing (save the manifest with CR LF line ends)");
    }
    if (report.textLength < report.length) {
        Warn(checker, report.number, "a NUL byte ends this line: the rest of it is ignored");
    }
}

void LineCheck(const ManifestLine *report, void *context) {
    Checker *checker = static_cast<Checker *>(context);
    std::string line = checker->text->substr(report->offset, report->textLength);
    LineEndCheck(checker, *report, line);
    if (report->form == MANIFEST_FORM_NONE) {
        UnmatchedLineCheck(checker, report->number, line);
    } else if (report->keyIndex < 0) {
        UnknownKeyCheck(checker, *report, line);
    } else {
        KnownKeyCheck(checker, *report, line);
    }
}

// ---- The record -------------------------------------------------------------------------

void ProductNameCheck(Checker *checker, const char *productName) {
    if (productName == nullptr) {
        Fail(checker, 0, "no \"productname\" line sets the product name");
        return;
    }
    // The installer's refusals first, then what Windows would not store.
    std::string problem = ProductNameProblemText(productName);
    if (problem.empty()) {
        problem = EntryComponentProblem(productName);
    }
    if (!problem.empty()) {
        Fail(checker, checker->setBy[MANIFEST_KEY_PRODUCTNAME],
             "productname " + Shown(productName) + " cannot name a folder on Windows: it holds " +
                 problem);
    }
}

void DirectoryCheck(Checker *checker, const char *directory) {
    if (directory == nullptr) {
        Fail(checker, 0, "no \"directory\" line sets the install directory");
    } else if (!ManifestDirectoryIsSafe(directory)) {
        Fail(checker, checker->setBy[MANIFEST_KEY_DIRECTORY],
             "directory " + Shown(directory) + " is refused by the installer: " +
                 RelativeNameProblemText(directory) + " (it must be a folder below Program Files)");
    }
}

void UninstallerCheck(Checker *checker, const char *uninstaller) {
    if (uninstaller != nullptr && checker->payload != nullptr && !checker->uninstallerGenerated &&
        !PayloadHolds(*checker, uninstaller)) {
        Warn(checker, checker->setBy[MANIFEST_KEY_UNINSTALLER],
             "the uninstaller " + Shown(uninstaller) + " is not in the payload");
    }
}

} // namespace

std::vector<ManifestFinding> ManifestCheckText(const std::string &text,
                                               const std::vector<std::string> *payload,
                                               bool uninstallerGenerated) {
    std::set<std::string> folded;
    Checker checker;
    checker.text = &text;
    checker.payload = nullptr;
    checker.uninstallerGenerated = uninstallerGenerated;
    if (payload != nullptr) {
        for (const std::string &name : *payload) {
            folded.insert(FoldAsciiCase(name));
        }
        checker.payload = &folded;
    }
    if (text.compare(0, 3, BYTE_ORDER_MARK) == 0) {
        Warn(&checker, 1,
             "the manifest starts with a byte-order mark, which becomes part of the first key:"
             " that line has no effect (save it without one)");
    }
    InstallDescription description = InstallDescription();
    ManifestParseTextReporting(&description, text.data(), static_cast<uint32_t>(text.size()),
                               LineCheck, &checker);
    ProductNameCheck(&checker, description.productName);
    DirectoryCheck(&checker, description.directoryName);
    UninstallerCheck(&checker, description.uninstaller);
    ManifestFree(&description);
    return checker.findings;
}

bool ManifestFindingsReport(const std::string &displayName,
                            const std::vector<ManifestFinding> &findings, bool strict) {
    bool clean = true;
    for (const ManifestFinding &finding : findings) {
        bool error = finding.error || strict;
        std::string where = Printable(displayName);
        if (finding.line != 0) {
            where += ":" + std::to_string(finding.line);
        }
        fprintf(stderr, "%s: %s: %s\n", where.c_str(), error ? "error" : "warning",
                finding.message.c_str());
        clean = clean && !error;
    }
    return clean;
}

bool ManifestFileCheck(const std::string &shownPath, bool strict,
                       const std::vector<std::string> *payload, std::string *error,
                       bool uninstallerGenerated) {
    PackageBytes bytes;
    if (!FileRead(PathFromNative(shownPath), shownPath, &bytes, error)) {
        return false;
    }
    std::string text(bytes.begin(), bytes.end());
    if (!ManifestFindingsReport(shownPath, ManifestCheckText(text, payload, uninstallerGenerated),
                                strict)) {
        *error = "manifest " + Quoted(shownPath) + " has errors";
        return false;
    }
    return true;
}

int CheckCommand(const std::vector<std::string> &args) {
    ParsedArguments parsed;
    int status =
        CommandArgumentsParse("check", args, {{"strict", 0, false}}, {}, "MANIFEST", &parsed);
    if (status >= 0) {
        return status;
    }
    std::string error;
    if (!ManifestFileCheck(parsed.operands[0], ArgumentsHave(parsed, "strict"), nullptr, &error)) {
        ReportError(error);
        return QPACK_EXIT_FAILED;
    }
    return QPACK_EXIT_OK;
}
