// The removal engine of the uninstaller: the files an install wrote, then
// the folders they leave empty. Portable (it reaches the system through the
// platform seam only), so that it is tested natively.
//
// What the install wrote is the "#Files" entry of the uninstaller's own
// package: the installable entry names exactly as the installer's directory
// holds them ("\bin\tool.exe"), one per line, lines ending in LF, in
// directory order. Every name is checked by the same rule the installer
// applied before it wrote the file.
#pragma once

#include <stdint.h>

#include "package/extract.h"

const char REMOVAL_LIST_ENTRY_NAME[] = "#Files"; // without its "\"

struct RemovalReport {
    uint32_t removed; // files deleted
    uint32_t failed;  // files that exist and could not be deleted
};

// Deletes the file directory\name when it is a file that is not kept
// (PlatformFileIsKept: read-only, hidden, system) and directory and every
// folder on the way to it are real folders (no link, no junction): a name
// never leads out of directory. name is relative ("bin\tool.exe") and
// must be safe by the one name rule; the path must fit PLATFORM_MAX_PATH.
// A name that is unsafe or too long, or names nothing or a folder, is
// passed over and counted nowhere; a file or link that stays at the path
// is counted in report->failed.
void RemovalRemoveFile(const char *directory, const char *name, RemovalReport *report);

// The same for a file the install writes beside the listed ones, whoever
// had made it before (the origin marker): not kept for being hidden or
// system (Wine shows every name that begins with a dot hidden), and never
// removed through a link.
void RemovalRemoveOwnFile(const char *directory, const char *name, RemovalReport *report);

// Removes every file the list of length bytes names (see above) with
// RemovalRemoveFile, except keepName (an entry name compared ignoring
// ASCII case: the uninstaller's own file; null keeps none). Lines that are
// not sound entry names or do not fit a path are passed over. progress,
// when not null, is told "Removing: <name>" and the fraction done before
// each file.
void RemovalRemoveListedFiles(const char *directory, const char *list, uint32_t length,
                              const char *keepName, ExtractProgressFunction progress,
                              RemovalReport *report);

// Removes every folder of the listed names that is empty now, deepest
// first, then directory itself. A folder still holding anything (the
// user's files, a file that could not be deleted) stays, and so do the
// folders around it. A directory that is not a real folder (a link) is
// left as it is, with everything behind it. Returns 1 when directory
// itself is gone.
int RemovalRemoveListedFolders(const char *directory, const char *list, uint32_t length);

// Removes the folders of relativeName (its parent, then the parent's
// parent, up to but not including base) that are empty and real: a folder
// reached through a link or junction below base stays, and so does the
// link. relativeName is safe by the one name rule, or nothing happens.
void RemovalRemoveEmptyParents(const char *base, const char *relativeName);
