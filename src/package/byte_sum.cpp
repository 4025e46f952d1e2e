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
    // a lane below 65536, so it is folded into sum per KiB.
    while (length >= 16) {
        uint32_t block = length < 1024 ? length & ~15u : 1024;
        uint32_t even = 0, odd = 0;
        for (const unsigned char *end = bytes + block; bytes != end; bytes += 16) {
            uint32_t w0 = WordLoad(bytes), w1 = WordLoad(bytes + 4);
            uint32_t w2 = WordLoad(bytes + 8), w3 = WordLoad(bytes + 12);
            even += (w0 & kLanes) + (w1 & kLanes) + (w2 & kLanes) + (w3 & kLanes);
            odd +=
                (w0 >> 8 & kLanes) + (w1 >> 8 & kLanes) + (w2 >> 8 & kLanes) + (w3 >> 8 & kLanes);
        }
        sum += (even & 0xFFFF) + (even >> 16) + (odd & 0xFFFF) + (odd >> 16);
        length -= block;
    }
    return ByteSumTail(bytes, length, sum);
}

#if BYTE_SUM_HAS_SSE2
BYTE_SUM_SSE2 uint32_t ByteSumSse2(const void *data, uint32_t length) {
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    uint32_t sum = 0;
    // Scalar bytes up to a 16-byte boundary, then 64 bytes per step: psadbw
    // against zero adds each 8-byte half into a 64-bit lane, four
    // independent accumulators keep the loads in flight. A lane cannot
    // overflow (2^32 bytes of 0xFF sum to less than 2^40).
    while (length > 0 && (reinterpret_cast<uintptr_t>(bytes) & 15) != 0) {
        sum += *bytes++;
        length--;
    }
    const __m128i zero = _mm_setzero_si128();
    __m128i sum0 = zero, sum1 = zero, sum2 = zero, sum3 = zero;
    while (length >= 64) {
        const __m128i *block = reinterpret_cast<const __m128i *>(bytes);
        sum0 = _mm_add_epi64(sum0, _mm_sad_epu8(_mm_load_si128(block + 0), zero));
        sum1 = _mm_add_epi64(sum1, _mm_sad_epu8(_mm_load_si128(block + 1), zero));
        sum2 = _mm_add_epi64(sum2, _mm_sad_epu8(_mm_load_si128(block + 2), zero));
        sum3 = _mm_add_epi64(sum3, _mm_sad_epu8(_mm_load_si128(block + 3), zero));
        bytes += 64;
        length -= 64;
    }
    while (length >= 16) {
        sum0 = _mm_add_epi64(
            sum0, _mm_sad_epu8(_mm_load_si128(reinterpret_cast<const __m128i *>(bytes)), zero));
        bytes += 16;
        length -= 16;
    }
    __m128i total = _mm_add_epi64(_mm_add_epi64(sum0, sum1), _mm_add_epi64(sum2, sum3));
    total = _mm_add_epi64(total, _mm_unpackhi_epi64(total, total));
    sum += static_cast<uint32_t>(_mm_cvtsi128_si32(total)); // the low 32 bits wrap as wanted
    return ByteSumTail(bytes, length, sum);
}
#else
uint32_t ByteSumSse2(const void *data, uint32_t length) {
    return ByteSumScalar(data, length);
}
#endif

uint32_t PackageByteSum(const void *data, uint32_t length) {
    return PlatformProcessorHasSse2() ? ByteSumSse2(data, length) : ByteSumScalar(data, length);
}
