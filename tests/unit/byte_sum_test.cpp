// Both loops of the byte sum against a byte-at-a-time sum: every start
// alignment and every length around their block sizes, and long runs of
// 0xFF that would overflow a lane folded too late; and the Adler-32 loop
// against zlib's.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <vector>

#include "package/byte_sum.h"
#include "package/package.h"
#include "platform/platform.h"

static uint32_t PlainSum(const unsigned char *bytes, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i < length; i++)
        sum += bytes[i];
    return sum;
}

TEST(ByteSum, BothLoopsAgreeWithAPlainSumAtEveryAlignmentAndLength) {
    std::vector<unsigned char> bytes(4096 + 64);
    uint32_t state = 7;
    for (unsigned char &b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<unsigned char>(state >> 16);
    }
    bool sse2 = PlatformProcessorHasSse2() != 0;
    for (size_t start = 0; start < 16; start++) {
        for (size_t length : {0,   1,   3,   4,    15,   16,   17,   63,   64,   65,  79,
                              111, 127, 200, 1023, 1024, 1025, 2047, 2048, 2063, 4096}) {
            const unsigned char *at = bytes.data() + start;
            uint32_t expected = PlainSum(at, length);
            ASSERT_EQ(ByteSumScalar(at, static_cast<uint32_t>(length)), expected)
                << start << "+" << length;
            if (sse2) {
                ASSERT_EQ(ByteSumSse2(at, static_cast<uint32_t>(length)), expected)
                    << start << "+" << length;
            }
            ASSERT_EQ(PackageByteSum(at, static_cast<uint32_t>(length)), expected);
        }
    }
}

TEST(ByteSum, LongRunsOfFullBytesWrapAt32Bits) {
    // 17 MiB of 0xFF adds up past 2^32, so the sum wraps, and every lane
    // fills to its limit before it is folded.
    std::vector<unsigned char> full((17u << 20) + 5, 0xFF);
    uint32_t expected = static_cast<uint32_t>(full.size()) * 255u;
    EXPECT_EQ(ByteSumScalar(full.data() + 1, static_cast<uint32_t>(full.size() - 1)),
              expected - 255u);
    if (PlatformProcessorHasSse2()) {
        EXPECT_EQ(ByteSumSse2(full.data() + 1, static_cast<uint32_t>(full.size() - 1)),
                  expected - 255u);
    }
}

TEST(Adler32, AgreesWithZlibInPiecesOfEveryLengthAroundItsBlock) {
    // Random bytes and runs of 0xFF (the largest sums), fed whole and in
    // uneven pieces that straddle the 5552-byte reduction block.
    std::vector<unsigned char> bytes(3 * 5552 + 17);
    uint32_t state = 11;
    for (unsigned char &b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<unsigned char>(state >> 16);
    }
    std::vector<unsigned char> full(bytes.size(), 0xFF);
    for (const std::vector<unsigned char> *data : {&bytes, &full}) {
        for (size_t length : {0, 1, 3, 4, 5, 5551, 5552, 5553, 11104, 11105, int(bytes.size())}) {
            uLong expected = adler32(adler32(0, Z_NULL, 0), data->data(), uInt(length));
            ASSERT_EQ(Adler32Update(1, data->data(), uint32_t(length)), expected) << length;
            uint32_t pieces = 1;
            for (size_t at = 0, step = 1; at < length; at += step, step = step * 3 + 1) {
                size_t piece = std::min(step, length - at);
                pieces = Adler32Update(pieces, data->data() + at, uint32_t(piece));
            }
            ASSERT_EQ(pieces, expected) << length << " in pieces";
        }
    }
}
