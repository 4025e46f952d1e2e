// qpack's messages on stderr, and how they show names, numbers and sizes.
#pragma once

#include <stdint.h>

#include <string>

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
