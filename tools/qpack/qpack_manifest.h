// The manifest checks that qpack check and qpack build share. The stub reads
// a manifest leniently and silently; these checks run the stub's own parser
// over it and name each line that almost certainly does not do what its
// vendor meant, and each fault that would make the stub refuse to install.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct ManifestFinding {
    uint32_t line; // 1 for the first line (as the stub counts: lines end at CR); 0 for the whole
    bool error;    // the stub could not install with it; otherwise a warning
    std::string message;
};

// Every finding for the manifest text, lines in order, whole-manifest
// findings last. payload (entry names with their leading "\\"; null when not
// known) is what shortcut targets and the uninstaller must be found in;
// an uninstaller qpack generates (uninstallerGenerated) need not be there.
std::vector<ManifestFinding> ManifestCheckText(const std::string &text,
                                               const std::vector<std::string> *payload,
                                               bool uninstallerGenerated = false);

// Prints the findings on stderr as "name:line: warning: message" (or
// "name: error: message" for the whole manifest); with strict, warnings are
// printed and counted as errors. Returns true when no error was printed.
bool ManifestFindingsReport(const std::string &displayName,
                            const std::vector<ManifestFinding> &findings, bool strict);

// Reads the manifest file and checks it against payload (may be null);
// false with *error set when it cannot be read or the check failed (the
// findings are printed already).
bool ManifestFileCheck(const std::string &shownPath, bool strict,
                       const std::vector<std::string> *payload, std::string *error,
                       bool uninstallerGenerated = false);
