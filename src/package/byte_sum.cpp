// The byte sum's two loops and the choice between them. Only the SSE2 loop
// is compiled for SSE2 (a target attribute): the rest of the stub runs on
// every x86 that Windows 7 runs on.
#include "package/byte_sum.h"

#include <string.h>

#include "package/package.h"
#include "platform/platform.h"

#if defined(__i386__) || defined(__x86_64__)
#include <emmintrin.h>
#define BYTE_SUM_HAS_SSE2 1
#define BYTE_SUM_SSE2 __attribute__((target("sse2")))
#endif

static uint32_t ByteSumTail(const unsigned char *bytes, uint32_t length, uint32_t sum) {
    while (length > 0) {
        sum += *bytes++;
        length--;
    }
    return sum;
}

static uint32_t WordLoad(const unsigned char *bytes) {
    uint32_t word;
    memcpy(&word, bytes, sizeof word);
    return word;
}

uint32_t ByteSumScalar(const void *data, uint32_t length) {
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    const uint32_t kLanes = 0x00FF00FF;
    uint32_t sum = 0;
    // Words of four bytes: even bytes add into the two 16-bit lanes of one
    // accumulator, odd bytes into those of another. 256 words (1 KiB) keep
    // a lane below 65536, so it is folded into sum per KiB. One word a step:
    // only processors without SSE2 run this loop, and it stays small.
    while (length >= 4) {
        uint32_t words = length / 4 < 256 ? length / 4 : 256;
        uint32_t even = 0, odd = 0;
        for (uint32_t i = 0; i < words; i++, bytes += 4) {
            uint32_t word = WordLoad(bytes);
            even += word & kLanes;
            odd += word >> 8 & kLanes;
        }
        sum += (even & 0xFFFF) + (even >> 16) + (odd & 0xFFFF) + (odd >> 16);
        length -= words * 4;
    }
    return ByteSumTail(bytes, length, sum);
}

#if BYTE_SUM_HAS_SSE2
BYTE_SUM_SSE2 uint32_t ByteSumSse2(const void *data, uint32_t length) {
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    uint32_t sum = 0;
    // Scalar bytes up to a 16-byte boundary, then psadbw against zero: the
    // sum of each 8 bytes in the low bits of a 64-bit lane, added into the
    // low 32-bit lane, which wraps as the sum does. Four psadbw per step,
    // added in pairs into one accumulator: independent of each other, and
    // few enough registers for the small programs' -Oz to keep the loop
    // tight. Measured natively it reads memory faster than widening adds,
    // in the cache and out of it (not under emulators, which are not where
    // users run the stub).
    while (length > 0 && (reinterpret_cast<uintptr_t>(bytes) & 15) != 0) {
        sum += *bytes++;
        length--;
    }
    const __m128i zero = _mm_setzero_si128();
    const __m128i *block = reinterpret_cast<const __m128i *>(bytes);
    __m128i a = zero;
    for (; length >= 64; length -= 64, block += 4) {
        a = _mm_add_epi32(
            a, _mm_add_epi32(
                   _mm_add_epi32(_mm_sad_epu8(block[0], zero), _mm_sad_epu8(block[1], zero)),
                   _mm_add_epi32(_mm_sad_epu8(block[2], zero), _mm_sad_epu8(block[3], zero))));
    }
    for (; length >= 16; length -= 16, block++) {
        a = _mm_add_epi32(a, _mm_sad_epu8(block[0], zero));
    }
    a = _mm_add_epi32(a, _mm_shuffle_epi32(a, 0x4E));
    return ByteSumTail(reinterpret_cast<const unsigned char *>(block), length,
                       sum + static_cast<uint32_t>(_mm_cvtsi128_si32(a)));
}
#else
uint32_t ByteSumSse2(const void *data, uint32_t length) {
    return ByteSumScalar(data, length);
}
#endif

uint32_t Adler32Update(uint32_t adler, const void *data, uint32_t length) {
    const uint32_t kModulus = 65521;
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    uint32_t a = adler & 0xFFFF, b = adler >> 16;
    while (length > 0) {
        // 5552 bytes are the most that cannot carry b past 32 bits before
        // it is reduced.
        uint32_t block = length < 5552 ? length : 5552;
        length -= block;
        for (; block >= 4; block -= 4, bytes += 4) {
            a += bytes[0];
            b += a;
            a += bytes[1];
            b += a;
            a += bytes[2];
            b += a;
            a += bytes[3];
            b += a;
        }
        for (; block > 0; block--) {
            a += *bytes++;
            b += a;
        }
        a %= kModulus;
        b %= kModulus;
    }
    return b << 16 | a;
}

uint32_t PackageByteSum(const void *data, uint32_t length) {
    return PlatformProcessorHasSse2() ? ByteSumSse2(data, length) : ByteSumScalar(data, length);
}
