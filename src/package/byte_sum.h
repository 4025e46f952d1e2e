// The two loops behind PackageByteSum (package.h), which picks one by the
// processor; tests and benchmarks call them directly. Both return the
// 32-bit wrapping sum of length bytes taken as unsigned values. And the
// Adler-32 checksum of zlib streams, for the small programs' inflate.
#pragma once

#include <stdint.h>

// Plain 32-bit code for every x86: two bytes per 16-bit lane of a word.
uint32_t ByteSumScalar(const void *data, uint32_t length);

// SSE2 (psadbw), 64 bytes per step. Runs only where PlatformProcessorHasSse2() says
// 1; where this build has no SSE2 loop (not x86) it is the scalar loop.
uint32_t ByteSumSse2(const void *data, uint32_t length);

// zlib's Adler-32 of length more bytes, continuing from adler (1 to start):
// the small programs' inflate checks streams with this loop rather than
// zlib's own, whose unrolled loops cost half a kilobyte of code.
uint32_t Adler32Update(uint32_t adler, const void *data, uint32_t length);
