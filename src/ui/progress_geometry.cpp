// The progress window's layout arithmetic. Sums are taken in 64 bits and
// held to the 32-bit range at the end, so that no bitmap size or fraction
// can make them overflow.
#include "ui/progress_geometry.h"

// One copy for every sum: inlined, each would carry its own 64-bit compares.
__attribute__((noinline)) static int32_t ClampToInt32(int64_t value) {
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

// Whole 96ths and the rest apart, so that 32-bit divisions do (a 64-bit one
// would cost the programs a library routine): the rest times the DPI fits
// 32 bits.
int32_t ProgressScale(int32_t value, uint32_t dpi) {
    uint32_t size = static_cast<uint32_t>(value);
    uint32_t rest = (size % PROGRESS_BASE_DPI * dpi + PROGRESS_BASE_DPI / 2) / PROGRESS_BASE_DPI;
    return ClampToInt32(static_cast<int64_t>(size / PROGRESS_BASE_DPI) * dpi + rest);
}

// GCC, the only compiler of both builds, shifts signed values arithmetically.
int32_t ProgressHalve(int32_t value) {
    return value >> 1;
}

int32_t ProgressCentredX(int32_t clientWidth, int32_t bitmapWidth) {
    return ProgressHalve(ClampToInt32(static_cast<int64_t>(clientWidth) - bitmapWidth));
}

void ProgressCentrePlace(int32_t clientWidth, int32_t clientHeight, int32_t bitmapWidth,
                         int32_t bitmapHeight, uint32_t dpi, int32_t *x, int32_t *y,
                         int32_t *barTop) {
    *x = ProgressCentredX(clientWidth, bitmapWidth);
    *y = ProgressHalve(ClampToInt32(static_cast<int64_t>(clientHeight) - bitmapHeight));
    *barTop = ClampToInt32(static_cast<int64_t>(*y) + bitmapHeight +
                           ProgressScale(PROGRESS_BAR_GAP, dpi));
}

int32_t ProgressMarker(int32_t barWidth, float fraction) {
    double product = static_cast<double>(barWidth) * static_cast<double>(fraction);
    if (product != product)
        return 0;
    if (product >= 2147483647.0)
        return INT32_MAX;
    if (product <= -2147483648.0)
        return INT32_MIN;
    return static_cast<int32_t>(product); // truncates toward zero
}

// The layout's quantities (summed in 64 bits): BX, BW, M, the bar top T,
// the line height L and the client size H x W.
enum LayoutTerm { TERM_BX, TERM_BW, TERM_M, TERM_T, TERM_L, TERM_H, TERM_W, LAYOUT_TERMS };

// One coordinate as a sum: the terms in plus added, those in minus
// subtracted, and a constant in pixels at 96 DPI (multiplied by the frame's
// scale, so that frame and marker keep their proportions). A table of sums, evaluated by one loop,
// is a fraction of the code that 36 separately written 64-bit sums compile to.
struct LayoutSum {
    uint8_t plus;
    uint8_t minus;
    int8_t constant;
};

static const uint8_t BX = 1 << TERM_BX, BW = 1 << TERM_BW, M = 1 << TERM_M, T = 1 << TERM_T,
                     L = 1 << TERM_L, H = 1 << TERM_H, W = 1 << TERM_W;
static const int8_t F = PROGRESS_FRAME;

// x, y, width and height of the status strip, then of each bar part in
// ProgressBarPart order.
static const LayoutSum kLayout[1 + PROGRESS_BAR_PARTS][4] = {
    {{0, 0, 0}, {H, L, 0}, {W, 0, 0}, {L, 0, 0}},            // strip: 0, H - L, W, L
    {{BX, 0, 0}, {T, 0, -F}, {BW, 0, 0}, {0, 0, F}},         // top: BX, T - F, BW, F
    {{BX, 0, 0}, {T | L, 0, 0}, {BW, 0, 0}, {0, 0, F}},      // bottom: BX, T + L, BW, F
    {{BX, 0, -F}, {T, 0, -F}, {0, 0, F}, {L, 0, 2 * F}},     // left: BX - F, T - F, F, L + 2F
    {{BX | BW, 0, 0}, {T, 0, -F}, {0, 0, F}, {L, 0, 2 * F}}, // right: BX + BW, T - F, ...
    // The marker's left column is BX + M - 1; the done part ends just left
    // of it and the remaining part starts just right of it. The remaining
    // part stops one column short of the interior's end, which keeps the
    // background that the last full paint left there.
    {{BX | M, 0, -1}, {T, 0, -F}, {0, 0, F}, {L, 0, 2 * F}},  // marker: BX + M - 1, ...
    {{BX, 0, 0}, {T, 0, 0}, {M, 0, -1}, {L, 0, 0}},           // done: BX, T, M - 1, L
    {{BX | M, 0, 1}, {T, 0, 0}, {BW, M, -2}, {L, 0, 0}},      // rest: BX + M + 1, T, BW - M - 2, L
    {{BX, 0, -F}, {T, 0, -F}, {BW, 0, 2 * F}, {L, 0, 2 * F}}, // erased: BX - F, ..., BW + 2F
};

static int32_t LayoutEvaluate(const LayoutSum *sum, const int32_t *terms, int32_t unit) {
    int64_t value = sum->constant * unit; // a few frames' widths
    for (int term = 0; term < LAYOUT_TERMS; term++) {
        if (sum->plus >> term & 1)
            value += terms[term];
        if (sum->minus >> term & 1)
            value -= terms[term];
    }
    return ClampToInt32(value);
}

void ProgressBarLayout(int32_t clientWidth, int32_t clientHeight, int32_t lineHeight,
                       int32_t barTop, float fraction, uint32_t dpi,
                       ProgressBarGeometry *geometry) {
    const int32_t unit = ProgressScale(1, dpi);
    const int32_t barWidth = ProgressHalve(clientWidth);
    const int32_t barLeft =
        ProgressHalve(ClampToInt32(static_cast<int64_t>(clientWidth) - barWidth));
    const int32_t marker = ProgressMarker(barWidth, fraction);
    int32_t terms[LAYOUT_TERMS];
    terms[TERM_BX] = barLeft;
    terms[TERM_BW] = barWidth;
    terms[TERM_M] = marker;
    terms[TERM_T] = barTop;
    terms[TERM_L] = lineHeight;
    terms[TERM_H] = clientHeight;
    terms[TERM_W] = clientWidth;

    geometry->barWidth = barWidth;
    geometry->barLeft = barLeft;
    geometry->marker = marker;
    for (int row = 0; row <= PROGRESS_BAR_PARTS; row++) {
        ProgressRectangle *rectangle =
            row == 0 ? &geometry->statusStrip : &geometry->parts[row - 1];
        const LayoutSum *sums = kLayout[row];
        rectangle->x = LayoutEvaluate(&sums[0], terms, unit);
        rectangle->y = LayoutEvaluate(&sums[1], terms, unit);
        rectangle->width = LayoutEvaluate(&sums[2], terms, unit);
        rectangle->height = LayoutEvaluate(&sums[3], terms, unit);
    }
}

int ProgressRectangleIsDrawn(const ProgressRectangle *rectangle) {
    return rectangle->width > 0 && rectangle->height > 0;
}
