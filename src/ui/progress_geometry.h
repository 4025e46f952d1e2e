// The progress window's geometry: where the bitmaps, the status strip and
// the progress bar go in a client area of a given size. Pure arithmetic, so
// that the layout is tested natively; the Win32 painting only draws what
// these functions return.
//
// Coordinates are client coordinates (left and top 0), in the display's
// pixels: every size below is given for 96 DPI and scaled to the window's
// DPI, so that at 96 DPI the layout is pixel for pixel what it always was.
// To halve a value is
// to shift it right by one bit as a signed 32-bit integer, which rounds
// toward minus infinity (-31 halves to -16).
#pragma once

#include <stdint.h>

// A filled rectangle, its width and height exactly as computed: they may be
// zero or negative, and such a rectangle is not drawn.
struct ProgressRectangle {
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
};

const int32_t PROGRESS_BRAND_TOP = 20;   // y of the brand bitmap
const int32_t PROGRESS_BAR_GAP = 20;     // rows between the centre bitmap and the bar's interior
const int32_t PROGRESS_FRAME = 2;        // width of the bar's frame and of the marker
const int32_t PROGRESS_FONT_HEIGHT = 20; // the status line's cell height
const uint32_t PROGRESS_BASE_DPI = 96;

// The bar's rectangles in the order they are drawn. With a status the
// frame and marker are drawn in the border colour, then the done part in
// the bar colour and the remaining part in the background colour; without
// one, only PROGRESS_BAR_ERASED in the background colour.
enum ProgressBarPart {
    PROGRESS_TOP_FRAME,
    PROGRESS_BOTTOM_FRAME,
    PROGRESS_LEFT_FRAME,
    PROGRESS_RIGHT_FRAME,
    PROGRESS_MARKER,
    PROGRESS_DONE,
    PROGRESS_REMAINING,
    PROGRESS_BAR_ERASED,
    PROGRESS_BAR_PARTS
};

// The status line and the bar for one client size, line height, bar top
// and fraction.
struct ProgressBarGeometry {
    int32_t barWidth; // BW: half the client width
    int32_t barLeft;  // BX: the bar centred
    int32_t marker;   // M: barWidth x fraction, truncated toward zero
    ProgressRectangle statusStrip;
    ProgressRectangle parts[PROGRESS_BAR_PARTS];
};

// A size (value, at 96 DPI, not negative) at dpi (below 2^25): value x
// dpi / 96 rounded to the nearest integer, halves up, held to the 32-bit
// range. At 96 DPI it is value itself.
int32_t ProgressScale(int32_t value, uint32_t dpi);

// value >> 1 as a signed 32-bit integer.
int32_t ProgressHalve(int32_t value);

// x of a bitmap of bitmapWidth centred across the client width; negative
// when the bitmap is wider than the client area (it is clipped there).
int32_t ProgressCentredX(int32_t clientWidth, int32_t bitmapWidth);

// Places the centre bitmap, drawn bitmapWidth x bitmapHeight, in the middle
// of the client area: *x, *y its top-left corner, *barTop the first row of
// the bar's interior, PROGRESS_BAR_GAP rows (scaled to dpi) below the bitmap.
void ProgressCentrePlace(int32_t clientWidth, int32_t clientHeight, int32_t bitmapWidth,
                         int32_t bitmapHeight, uint32_t dpi, int32_t *x, int32_t *y,
                         int32_t *barTop);

// M: barWidth times fraction taken in double precision and truncated toward
// zero. The fraction is not clamped; only a product beyond the 32-bit range
// is held at its limit, and a fraction that is not a number gives 0, so
// that no value makes the conversion undefined.
int32_t ProgressMarker(int32_t barWidth, float fraction);

// Fills geometry for a client area of clientWidth x clientHeight, a status
// line lineHeight high, a bar whose interior starts at row barTop (0 when
// no centre bitmap placed it), fraction, and the window's dpi. Every
// rectangle is computed whether or not a status is set; the painter picks
// the ones to draw. Coordinates that would pass the 32-bit range are held
// at its limits. The frame and the marker are PROGRESS_FRAME pixels at
// 96 DPI and scale by whole pixels (ProgressScale(1, dpi), at least 1), so
// that the marker stays centred on the column the fraction names.
void ProgressBarLayout(int32_t clientWidth, int32_t clientHeight, int32_t lineHeight,
                       int32_t barTop, float fraction, uint32_t dpi, ProgressBarGeometry *geometry);

// 1 when the rectangle has a positive width and height, 0 when it is not
// drawn.
int ProgressRectangleIsDrawn(const ProgressRectangle *rectangle);
