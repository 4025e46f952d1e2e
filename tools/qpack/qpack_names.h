// Entry names: what Windows, the installer and extraction accept.
#pragma once

#include <stddef.h>

#include <string>

// The longest entry name (leading "\" included) that an installer can place:
// see EntryNameLengthProblem.
const size_t QPACK_MAX_ENTRY_NAME = 230;

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

// Why the installer refuses this product name (it names the Start-menu
// folder, the Startup link and the Run value), or "" when the product-name
// rule accepts it.
std::string ProductNameProblemText(const std::string &name);

// The name with A-Z folded to a-z by the installer's one fold: two names
// Windows takes for the same file fold alike (exactly so for ASCII names).
std::string FoldAsciiCase(const std::string &name);
