// The byte sum's speed over 512 MiB, run where the stub runs (under Wine for
// the Win32 build): the scalar loop, the SSE2 loop and the one PackageByteSum
// chooses, side by side with the fastest read-only SSE2 pass over the same
// memory (OR of every 16-byte block) and a plain byte-at-a-time loop.
// Medians of ROUNDS rounds, in GiB/s and as a share of the best pass.
// Target: the chosen loop at 0.90 of the best pass or better.
//
//   byte_sum_speed [ROUNDS]
#include "package/byte_sum.h"
#include "package/package.h"
#include "platform/platform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#if defined(__i386__) || defined(__x86_64__)
#include <emmintrin.h>
#define SPEED_SSE2 __attribute__((target("sse2")))

// The reference: every byte read once, as cheaply as SSE2 can.
SPEED_SSE2 static uint32_t OrPass(const void *data, uint32_t length) {
    const __m128i *block = static_cast<const __m128i *>(data);
    __m128i a = _mm_setzero_si128(), b = a, c = a, d = a;
    for (uint32_t i = 0; i + 4 <= length / 16; i += 4) {
        a = _mm_or_si128(a, _mm_load_si128(block + i));
        b = _mm_or_si128(b, _mm_load_si128(block + i + 1));
        c = _mm_or_si128(c, _mm_load_si128(block + i + 2));
        d = _mm_or_si128(d, _mm_load_si128(block + i + 3));
    }
    return static_cast<uint32_t>(
        _mm_cvtsi128_si32(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))));
}

#else
static uint32_t OrPass(const void *data, uint32_t length) {
    return ByteSumScalar(data, length);
}
#endif

// One byte per step, as a plain loop is written; kept from being vectorised.
__attribute__((optimize("no-tree-vectorize"))) static uint32_t PlainLoop(const void *data,
                                                                         uint32_t length) {
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; i++)
        sum += bytes[i];
    return sum;
}

struct Pass {
    const char *name;
    uint32_t (*run)(const void *, uint32_t);
    std::vector<double> seconds;
};

int main(int argc, char **argv) {
    const uint32_t kBytes = 512u << 20;
    int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
    unsigned char *bytes = static_cast<unsigned char *>(PlatformPagesAlloc(kBytes));
    if (bytes == nullptr) {
        std::fprintf(stderr, "no 512 MiB to read\n");
        return 1;
    }
    uint32_t state = 2463534242u;
    for (uint32_t i = 0; i < kBytes; i++) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        bytes[i] = static_cast<unsigned char>(state);
    }
    bool sse2 = PlatformProcessorHasSse2() != 0;
    std::vector<Pass> passes = {{"best SSE2 pass (OR)", OrPass, {}},
                                {"SSE2 byte sum", ByteSumSse2, {}},
                                {"scalar byte sum", ByteSumScalar, {}},
                                {"chosen (PackageByteSum)", PackageByteSum, {}},
                                {"plain byte loop", PlainLoop, {}}};
    if (!sse2)
        passes.erase(passes.begin(), passes.begin() + 2);
    uint32_t expected = PlainLoop(bytes, kBytes);
    for (int round = 0; round < rounds; round++) {
        for (Pass &pass : passes) {
            auto start = std::chrono::steady_clock::now();
            uint32_t result = pass.run(bytes, kBytes);
            std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            pass.seconds.push_back(took.count());
            if (pass.run != OrPass && result != expected) {
                std::fprintf(stderr, "%s: wrong sum\n", pass.name);
                return 1;
            }
        }
    }
    std::printf("byte sum over 512 MiB, median of %d rounds, processor has SSE2: %s\n", rounds,
                sse2 ? "yes" : "no");
    double best = 0;
    for (Pass &pass : passes) {
        std::sort(pass.seconds.begin(), pass.seconds.end());
        double rate = 0.5 / pass.seconds[pass.seconds.size() / 2];
        best = best == 0 ? rate : best;
        std::printf("  %-26s %7.2f GiB/s  %.2f of the first pass\n", pass.name, rate, rate / best);
    }
    PlatformPagesFree(bytes, kBytes);
    return 0;
}
