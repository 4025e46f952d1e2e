// Bounded formatting of the few conversions the stub's messages and paths
// need, in place of snprintf (whose C99 implementation alone would double
// the stub's size).
//
//   %s      a string (a null pointer writes nothing)
//   %.Ns    at most N characters of a string (N decimal digits)
//   %.*s    the same with N an int argument before the string (< 0: all)
//   %u %x   an unsigned int in decimal, in lower-case hexadecimal
//   %%      a percent sign
//
// Anything else after a "%" is copied as it stands and takes no argument.
#pragma once

#include <stdarg.h>
#include <stddef.h>

// Writes the formatted text into out, cut to size - 1 characters and always
// terminated when size > 0 (out may be null when size is 0). Returns the
// length the whole text has, so a result >= size means it was cut; never
// negative. The compiler checks the arguments against the format as it
// would printf's (the conversions above are printf's).
int TextFormat(char *out, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
int TextFormatV(char *out, size_t size, const char *format, va_list arguments);

// 1 when text has at least length characters before its terminator; reads
// no further than that (strnlen without the C library's extension).
int TextHasLength(const char *text, size_t length);
