// The progress window's layout: bitmaps, status strip and bar for given
// client sizes, line heights and fractions.
#include "ui/progress_geometry.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace {

void ExpectRectangle(const ProgressRectangle &actual, int32_t x, int32_t y, int32_t width,
                     int32_t height, const char *what) {
    EXPECT_EQ(actual.x, x) << what;
    EXPECT_EQ(actual.y, y) << what;
    EXPECT_EQ(actual.width, width) << what;
    EXPECT_EQ(actual.height, height) << what;
}

ProgressBarGeometry Layout(int32_t width, int32_t height, int32_t lineHeight, int32_t barTop,
                           float fraction, uint32_t dpi = 96) {
    ProgressBarGeometry geometry;
    ProgressBarLayout(width, height, lineHeight, barTop, fraction, dpi, &geometry);
    return geometry;
}

const ProgressRectangle &Part(const ProgressBarGeometry &geometry, ProgressBarPart part) {
    return geometry.parts[part];
}

} // namespace

TEST(ProgressGeometry, HalvingRoundsTowardMinusInfinity) {
    EXPECT_EQ(ProgressHalve(600), 300);
    EXPECT_EQ(ProgressHalve(1023), 511);
    EXPECT_EQ(ProgressHalve(-31), -16);
    EXPECT_EQ(ProgressHalve(-1), -1);
    EXPECT_EQ(ProgressHalve(INT32_MIN), INT32_MIN / 2);
}

TEST(ProgressGeometry, ExampleWindowAtHalfway) {
    int32_t x = 0, y = 0, barTop = 0;
    ProgressCentrePlace(800, 600, 200, 50, 96, &x, &y, &barTop);
    EXPECT_EQ(x, 300);
    EXPECT_EQ(y, 275);
    EXPECT_EQ(barTop, 345);

    ProgressBarGeometry bar = Layout(800, 600, 20, barTop, 0.5f);
    EXPECT_EQ(bar.barWidth, 400);
    EXPECT_EQ(bar.barLeft, 200);
    EXPECT_EQ(bar.marker, 200);
    ExpectRectangle(Part(bar, PROGRESS_TOP_FRAME), 200, 343, 400, 2, "top frame");
    ExpectRectangle(Part(bar, PROGRESS_BOTTOM_FRAME), 200, 365, 400, 2, "bottom frame");
    ExpectRectangle(Part(bar, PROGRESS_LEFT_FRAME), 198, 343, 2, 24, "left frame");
    ExpectRectangle(Part(bar, PROGRESS_RIGHT_FRAME), 600, 343, 2, 24, "right frame");
    ExpectRectangle(Part(bar, PROGRESS_MARKER), 399, 343, 2, 24, "marker");
    ExpectRectangle(Part(bar, PROGRESS_DONE), 200, 345, 199, 20, "done part");
    ExpectRectangle(Part(bar, PROGRESS_REMAINING), 401, 345, 198, 20, "remaining part");
    ExpectRectangle(Part(bar, PROGRESS_BAR_ERASED), 198, 343, 404, 24, "erased bar");
    ExpectRectangle(bar.statusStrip, 0, 580, 800, 20, "status strip");
    EXPECT_EQ(ProgressCentredX(800, 200), 300); // the brand bitmap's x
}

TEST(ProgressGeometry, EmptyAndFullBarsLeaveTheirDegeneratePartsUndrawn) {
    ProgressBarGeometry empty = Layout(800, 600, 20, 345, 0.0f);
    EXPECT_EQ(empty.marker, 0);
    // The marker covers the left frame's inner column and the first
    // interior column; the done part has no width left.
    ExpectRectangle(Part(empty, PROGRESS_MARKER), 199, 343, 2, 24, "marker at 0");
    ExpectRectangle(Part(empty, PROGRESS_REMAINING), 201, 345, 398, 20, "remaining at 0");
    EXPECT_EQ(Part(empty, PROGRESS_DONE).width, -1);
    EXPECT_FALSE(ProgressRectangleIsDrawn(&Part(empty, PROGRESS_DONE)));
    EXPECT_TRUE(ProgressRectangleIsDrawn(&Part(empty, PROGRESS_REMAINING)));

    ProgressBarGeometry full = Layout(800, 600, 20, 345, 1.0f);
    EXPECT_EQ(full.marker, 400);
    ExpectRectangle(Part(full, PROGRESS_MARKER), 599, 343, 2, 24, "marker at 1");
    ExpectRectangle(Part(full, PROGRESS_DONE), 200, 345, 399, 20, "done at 1");
    EXPECT_EQ(Part(full, PROGRESS_REMAINING).width, -2);
    EXPECT_FALSE(ProgressRectangleIsDrawn(&Part(full, PROGRESS_REMAINING)));

    ProgressBarGeometry almost = Layout(800, 600, 20, 345, 399.0f / 400.0f);
    EXPECT_EQ(almost.marker, 399);
    EXPECT_EQ(Part(almost, PROGRESS_REMAINING).width, -1);
    EXPECT_FALSE(ProgressRectangleIsDrawn(&Part(almost, PROGRESS_REMAINING)));

    ProgressRectangle flat = {5, 5, 10, 0};
    EXPECT_FALSE(ProgressRectangleIsDrawn(&flat));
}

TEST(ProgressGeometry, MarkerTruncatesTowardZero) {
    EXPECT_EQ(ProgressMarker(400, 0.999f), 399);    // 399.6, not rounded up
    EXPECT_EQ(ProgressMarker(400, -0.001f), 0);     // -0.4, not floored to -1
    EXPECT_EQ(ProgressMarker(400, -0.9999f), -399); // -399.96
    EXPECT_EQ(ProgressMarker(511, 0.5f), 255);
    // Taken in double: 16777217 does not exist as a float.
    EXPECT_EQ(ProgressMarker(16777217, 1.0f), 16777217);
}

TEST(ProgressGeometry, FractionsOutsideZeroToOneAreNotClamped) {
    ProgressBarGeometry below = Layout(800, 600, 20, 345, -0.25f);
    EXPECT_EQ(below.marker, -100);
    ExpectRectangle(Part(below, PROGRESS_MARKER), 99, 343, 2, 24, "marker below 0");
    EXPECT_FALSE(ProgressRectangleIsDrawn(&Part(below, PROGRESS_DONE)));
    ExpectRectangle(Part(below, PROGRESS_REMAINING), 101, 345, 498, 20, "remaining below 0");

    // Above one the done part runs across the right frame's inner rows.
    ProgressBarGeometry above = Layout(800, 600, 20, 345, 1.5f);
    EXPECT_EQ(above.marker, 600);
    ExpectRectangle(Part(above, PROGRESS_MARKER), 799, 343, 2, 24, "marker above 1");
    ExpectRectangle(Part(above, PROGRESS_DONE), 200, 345, 599, 20, "done above 1");
    EXPECT_FALSE(ProgressRectangleIsDrawn(&Part(above, PROGRESS_REMAINING)));
    // The frame stays where it was.
    ExpectRectangle(Part(above, PROGRESS_RIGHT_FRAME), 600, 343, 2, 24, "right frame above 1");
}

TEST(ProgressGeometry, UnrepresentableFractionsStayDefined) {
    EXPECT_EQ(ProgressMarker(400, std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(ProgressMarker(400, std::numeric_limits<float>::infinity()), INT32_MAX);
    EXPECT_EQ(ProgressMarker(400, -std::numeric_limits<float>::infinity()), INT32_MIN);
    EXPECT_EQ(ProgressMarker(400, 1e30f), INT32_MAX);
    // The rectangles are held at the 32-bit limits instead of wrapping.
    ProgressBarGeometry huge = Layout(800, 600, 20, 345, 1e30f);
    EXPECT_EQ(Part(huge, PROGRESS_MARKER).x, INT32_MAX);
    EXPECT_EQ(Part(huge, PROGRESS_DONE).width, INT32_MAX - 1);
    EXPECT_LT(Part(huge, PROGRESS_REMAINING).width, 0);
    ProgressBarGeometry tiny = Layout(800, 600, 20, 345, -1e30f);
    EXPECT_EQ(Part(tiny, PROGRESS_MARKER).x, INT32_MIN + 199); // 200 + M - 1
    EXPECT_LT(Part(tiny, PROGRESS_DONE).width, 0);
}

TEST(ProgressGeometry, OddAndEvenClientWidths) {
    ProgressBarGeometry odd = Layout(1023, 768, 23, 400, 0.5f);
    EXPECT_EQ(odd.barWidth, 511);
    EXPECT_EQ(odd.barLeft, 256);
    EXPECT_EQ(odd.marker, 255);
    ExpectRectangle(Part(odd, PROGRESS_RIGHT_FRAME), 767, 398, 2, 27, "right frame, odd");

    ProgressBarGeometry even = Layout(1024, 768, 23, 400, 0.5f);
    EXPECT_EQ(even.barWidth, 512);
    EXPECT_EQ(even.barLeft, 256);
    ExpectRectangle(even.statusStrip, 0, 745, 1024, 23, "status strip, even");
}

TEST(ProgressGeometry, BitmapsLargerThanTheClientAreaStartBeforeIt) {
    int32_t x = 0, y = 0, barTop = 0;
    ProgressCentrePlace(800, 600, 831, 631, 96, &x, &y, &barTop);
    EXPECT_EQ(x, -16);
    EXPECT_EQ(y, -16);
    EXPECT_EQ(barTop, -16 + 631 + 20);
    EXPECT_EQ(ProgressCentredX(800, 831), -16);
    ProgressCentrePlace(800, 600, INT32_MAX, INT32_MAX, 96, &x, &y, &barTop);
    EXPECT_EQ(x, (800 - INT32_MAX) >> 1);
    EXPECT_EQ(barTop, int64_t(y) + INT32_MAX + 20);
}

TEST(ProgressGeometry, WithoutCentreBitmapTheBarTakesTheTopRows) {
    ProgressBarGeometry bar = Layout(800, 600, 20, 0, 0.5f);
    ExpectRectangle(Part(bar, PROGRESS_TOP_FRAME), 200, -2, 400, 2, "top frame above the window");
    ExpectRectangle(Part(bar, PROGRESS_DONE), 200, 0, 199, 20, "done part in the first rows");
    ExpectRectangle(Part(bar, PROGRESS_BAR_ERASED), 198, -2, 404, 24, "erased bar");
    ExpectRectangle(bar.statusStrip, 0, 580, 800, 20, "status strip");
}

namespace {

int32_t Clamped(int64_t value) {
    return value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : int32_t(value);
}

// Every rectangle written out as its own 64-bit sums, held to the 32-bit range.
void ExpectLayoutFormulas(int32_t width, int32_t height, int32_t lineHeight, int32_t barTop,
                          float fraction, uint32_t dpi = 96) {
    // The frame's pixels scale by whole units: 1 up to 143 DPI, 2 up to 239.
    const int64_t u = dpi < 144 ? 1 : dpi < 240 ? 2 : 3;
    const int64_t W = width, H = height, L = lineHeight, T = barTop, F = PROGRESS_FRAME * u;
    const int64_t BW = width >> 1, BX = Clamped(W - BW) >> 1;
    const int64_t M = ProgressMarker(int32_t(BW), fraction);
    const int64_t expected[1 + PROGRESS_BAR_PARTS][4] = {
        {0, H - L, W, L},
        {BX, T - F, BW, F},
        {BX, T + L, BW, F},
        {BX - F, T - F, F, L + 2 * F},
        {BX + BW, T - F, F, L + 2 * F},
        {BX + M - u, T - F, F, L + 2 * F},
        {BX, T, M - u, L},
        {BX + M + u, T, BW - M - 2 * u, L},
        {BX - F, T - F, BW + 2 * F, L + 2 * F},
    };
    ProgressBarGeometry bar = Layout(width, height, lineHeight, barTop, fraction, dpi);
    EXPECT_EQ(bar.barWidth, BW);
    EXPECT_EQ(bar.barLeft, BX);
    EXPECT_EQ(bar.marker, M);
    for (int row = 0; row <= PROGRESS_BAR_PARTS; row++) {
        const ProgressRectangle &actual = row == 0 ? bar.statusStrip : bar.parts[row - 1];
        ExpectRectangle(actual, Clamped(expected[row][0]), Clamped(expected[row][1]),
                        Clamped(expected[row][2]), Clamped(expected[row][3]),
                        ("row " + std::to_string(row)).c_str());
    }
}

} // namespace

TEST(ProgressGeometry, EveryRectangleIsItsSumHeldToTheRange) {
    const int32_t extremes[] = {INT32_MIN, INT32_MIN + 1, -1023,         -1,       0, 1,
                                2,         767,           INT32_MAX - 1, INT32_MAX};
    const float fractions[] = {0.0f, 0.37f, 1.0f, -1e30f, 1e30f};
    for (int32_t a : extremes) {
        for (int32_t b : extremes) {
            for (float fraction : fractions) {
                SCOPED_TRACE(testing::Message() << a << ", " << b << ", " << fraction);
                ExpectLayoutFormulas(a, b, a, b, fraction);
                ExpectLayoutFormulas(1024, 768, a, b, fraction);
                ExpectLayoutFormulas(a, 768, 23, b, fraction);
                ExpectLayoutFormulas(a, b, 46, 400, fraction, 192);
            }
        }
    }
}

// Above 96 DPI every size scales by DPI / 96, rounded; the frame and the
// marker by whole pixels, so that the marker stays centred on its column.
TEST(ProgressGeometry, SizesScaleWithTheDpi) {
    struct Case {
        int32_t value;
        uint32_t dpi;
        int32_t scaled;
    } cases[] = {
        {20, 96, 20},
        {20, 120, 25},
        {20, 144, 30},
        {20, 192, 40},
        {1, 96, 1},
        {1, 144, 2},
        {1, 120, 1},
        {3, 144, 5},
        {0, 192, 0},
        {INT32_MAX, 192, INT32_MAX},
        {INT32_MAX, 96, INT32_MAX},
        {95, 65535, 64852},
        {200, 168, 350},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ProgressScale(c.value, c.dpi), c.scaled) << c.value << " at " << c.dpi;

    int32_t x = 0, y = 0, barTop = 0;
    ProgressCentrePlace(1600, 1200, 400, 100, 192, &x, &y, &barTop);
    EXPECT_EQ(barTop, 550 + 100 + 40);
    ProgressBarGeometry bar = Layout(1600, 1200, 46, barTop, 0.5f, 192);
    ExpectRectangle(Part(bar, PROGRESS_TOP_FRAME), 400, 686, 800, 4, "top frame at 192");
    ExpectRectangle(Part(bar, PROGRESS_MARKER), 798, 686, 4, 54, "marker at 192");
    ExpectRectangle(Part(bar, PROGRESS_DONE), 400, 690, 398, 46, "done at 192");
    ExpectRectangle(Part(bar, PROGRESS_REMAINING), 802, 690, 396, 46, "remaining at 192");
    ExpectRectangle(bar.statusStrip, 0, 1154, 1600, 46, "status strip at 192");
}
