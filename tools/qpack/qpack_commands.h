// qpack, the vendor's tool: builds, lists, verifies, shows and extracts
// installers, and checks manifests. Its commands, their exit statuses and
// the installer's limits they judge by.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

// ---- Exit statuses ---------------------------------------------------------

const int QPACK_EXIT_OK = 0;
const int QPACK_EXIT_FAILED = 1; // bad package, failed check, refused input
const int QPACK_EXIT_USAGE = 2;  // unknown command or option, missing argument

// ---- Limits of the installer --------------------------------------------------

// The installer's offsets and lengths are 32-bit (packageFormatLimit), and
// the stub counts progress in 32 bits over the installable entries' sizes.
const uint64_t QPACK_MAX_INSTALLABLE_TOTAL = uint64_t(1) << 32; // exclusive

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
