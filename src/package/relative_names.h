// The one rule for names that become files or folders on Windows: the
// entries a package installs, the stale files, shortcut names and targets a
// manifest names, the install directory, and what qpack builds and
// extracts. Pure string work, so that nothing a package or a manifest says
// can reach outside its folder, name a device, or past a MAX_PATH buffer.
#pragma once

#include <stddef.h>

// Why a name cannot be used; NAME_SOUND when it can.
enum NameProblem {
    NAME_SOUND = 0,
    NAME_MISSING,               // null, or nothing after the leading "\"
    NAME_NOT_RELATIVE,          // entry names: no single leading "\"; others: a leading separator
    NAME_EMPTY_COMPONENT,       // two separators in a row, or one at the end
    NAME_DOT_COMPONENT,         // "." or "..": the folder itself or its parent (a product
                                // name: dots and spaces alone, which Windows trims to those)
    NAME_TRAILING_DOT_OR_SPACE, // Windows drops it ("a.", "a ", "...", ". ."), changing the name
    NAME_RESERVED_CHARACTER,    // < > : " | ? * (a drive, a stream, a wildcard), or "/" in entries
    NAME_CONTROL_CHARACTER,     // 1 to 31 (and DEL in a product name)
    NAME_DEVICE // CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$, any extension
};

// 1 for the characters no component may hold: < > : " | ? * and, being
// separators, \ and /.
int NameCharacterIsReserved(unsigned char c);

// What is wrong with one component of length bytes (between separators).
NameProblem NameComponentProblem(const char *component, size_t length);

// A package entry's name: a single leading "\" and components separated by
// "\" alone (a "/" is refused).
NameProblem EntryNameProblem(const char *name);

// A name the manifest gives relative to a folder: no leading separator, and
// components separated by "\" or "/" (Windows takes both).
NameProblem RelativeNameProblem(const char *name);

// 1 when RelativeNameProblem finds nothing, else 0.
int RelativeNameIsSafe(const char *name);

// The product's name becomes the Start-menu folder, the Startup link's name
// and the Run value's name, one name without separators. NAME_MISSING for
// null or ""; NAME_CONTROL_CHARACTER for 1 to 31 and DEL; and
// NAME_RESERVED_CHARACTER for "\", "/" and ":" (which on Windows names a
// stream of a file, never a folder or link of its own); NAME_DOT_COMPONENT
// for dots and spaces alone ("." and ".." walk the tree, and Windows drops
// trailing dots and spaces, so "..." or ".. " would name the folder above).
NameProblem ProductNameProblem(const char *name);

// 1 when ProductNameProblem finds nothing, else 0.
int ProductNameIsSafe(const char *name);

// c with A-Z folded to a-z and every other byte kept: the one case fold of
// names and manifest keys. Beyond ASCII the fold depends on a code page,
// so only ASCII letters are taken alike (exactly what Windows does for
// ASCII names).
char NameCharacterFold(char c);

// 1 when left and right are the same but for the case of A-Z.
int NamesEqualFolded(const char *left, const char *right);

// Writes folder, "\", name and suffix (may be null) into path
// (PLATFORM_MAX_PATH bytes), every "/" of name written as "\": a path made
// from a manifest's name is the same whichever separator the manifest
// used, so that every step that splits, compares or registers it agrees.
// Returns 1 when name is safe and the whole path fits with its terminator;
// 0 otherwise, and path then holds an empty string.
int RelativePathBuild(char *path, const char *folder, const char *name, const char *suffix);
