// The progress window's layout arithmetic. Sums are taken in 64 bits and
// held to the 32-bit range at the end, so that no bitmap size or fraction
// can make them overflow.
#include "ui/progress_geometry.h"

static int32_t ClampToInt32(int64_t value) {
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

static ProgressRectangle MakeRectangle(int64_t x, int64_t y, int64_t width, int64_t height) {
    ProgressRectangle rectangle;
    rectangle.x = ClampToInt32(x);
    rectangle.y = ClampToInt32(y);
    rectangle.width = ClampToInt32(width);
    rectangle.height = ClampToInt32(height);
    return rectangle;
}

// GCC, the only compiler of both builds, shifts signed values arithmetically.
int32_t ProgressHalve(int32_t value) {
    return value >> 1;
}

int32_t ProgressCentredX(int32_t clientWidth, int32_t bitmapWidth) {
    return ProgressHalve(ClampToInt32(static_cast<int64_t>(clientWidth) - bitmapWidth));
}

void ProgressCentrePlace(int32_t clientWidth, int32_t clientHeight, int32_t bitmapWidth,
                         int32_t bitmapHeight, int32_t *x, int32_t *y, int32_t *barTop) {
    *x = ProgressCentredX(clientWidth, bitmapWidth);
    *y = ProgressHalve(ClampToInt32(static_cast<int64_t>(clientHeight) - bitmapHeight));
    *barTop = ClampToInt32(static_cast<int64_t>(*y) + bitmapHeight + PROGRESS_BAR_GAP);
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

void ProgressBarLayout(int32_t clientWidth, int32_t clientHeight, int32_t lineHeight,
                       int32_t barTop, float fraction, ProgressBarGeometry *geometry) {
    const int64_t W = clientWidth, H = clientHeight, L = lineHeight, T = barTop;
    const int64_t F = PROGRESS_FRAME;
    const int32_t barWidth = ProgressHalve(clientWidth);
    const int64_t BW = barWidth;
    const int64_t BX = ProgressHalve(ClampToInt32(W - BW));
    const int32_t marker = ProgressMarker(barWidth, fraction);
    const int64_t M = marker;

    geometry->barWidth = barWidth;
    geometry->barLeft = ClampToInt32(BX);
    geometry->marker = marker;
    geometry->statusStrip = MakeRectangle(0, H - L, W, L);

    ProgressRectangle *parts = geometry->parts;
    parts[PROGRESS_TOP_FRAME] = MakeRectangle(BX, T - F, BW, F);
    parts[PROGRESS_BOTTOM_FRAME] = MakeRectangle(BX, T + L, BW, F);
    parts[PROGRESS_LEFT_FRAME] = MakeRectangle(BX - F, T - F, F, L + 2 * F);
    parts[PROGRESS_RIGHT_FRAME] = MakeRectangle(BX + BW, T - F, F, L + 2 * F);
    // The marker's left column is BX + M - 1; the done part ends just left
    // of it and the remaining part starts just right of it. The remaining
    // part stops one column short of the interior's end, which keeps the
    // background that the last full paint left there.
    parts[PROGRESS_MARKER] = MakeRectangle(BX + M - 1, T - F, F, L + 2 * F);
    parts[PROGRESS_DONE] = MakeRectangle(BX, T, M - 1, L);
    parts[PROGRESS_REMAINING] = MakeRectangle(BX + M + 1, T, BW - M - 2, L);
    parts[PROGRESS_BAR_ERASED] = MakeRectangle(BX - F, T - F, BW + 2 * F, L + 2 * F);
}

int ProgressRectangleIsDrawn(const ProgressRectangle *rectangle) {
    return rectangle->width > 0 && rectangle->height > 0;
}
