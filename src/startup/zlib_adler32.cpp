// zlib's adler32 for the small programs' inflate-only zlib, which is built
// without zlib's adler32.c: the checksum loop is the package's own
// (byte_sum.h), a tenth the size of zlib's unrolled one.
#include <zlib.h>

#include "package/byte_sum.h"

extern "C" uLong ZEXPORT adler32(uLong adler, const Bytef *buf, uInt len) {
    return buf == Z_NULL ? 1 : Adler32Update(static_cast<uint32_t>(adler), buf, len);
}
