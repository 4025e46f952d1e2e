// Paths in the system's 8-bit form, and whole files read and written.
#pragma once

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <system_error>

#include "qpack/package_writer.h"

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
