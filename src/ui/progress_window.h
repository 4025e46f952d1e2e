// The progress window: the installer's only window, over the whole work
// area, showing the brand and centre bitmaps, a status line and a progress
// bar; its procedure runs the install.
//
// Everything runs on the thread that calls ProgressWindowRun: the window
// procedure, the install it starts, and every SetStatus.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "manifest/manifest.h"
#include "ui/package_bitmap.h"

// Posted once, right after the window is shown; its handling runs the
// install.
const UINT MSG_START_INSTALL = WM_APP + 1;

extern const char kProgressWindowClass[]; // "QUnpack_WindowClass"

// The process-wide window state, all zero outside ProgressWindowRun.
struct ProgressWindow {
    InstallDescription *description; // not owned; read for the title and colours
    HWND window;                     // null once the window is destroyed
    char *statusText;                // owned region-heap copy; null: no status
    HFONT font;                      // the status line's font
    float fraction;                  // as last given to SetStatus, never clamped
    int32_t barTop;                  // first row of the bar's interior; 0 until placed
    PackageBitmap *brandBitmap;      // "#brand.bmp", null when missing
    PackageBitmap *centreBitmap;     // "#installingtext.bmp", null when missing
    int installing;                  // 1 while RunInstall runs
    uint32_t dpi;                    // the window's, 96 or more; sizes scale by dpi / 96
};

extern ProgressWindow progressWindow;

// What the window runs on MSG_START_INSTALL: the installer's RunInstall or
// the uninstaller's RunUninstall, set by each program's sequence (so that
// neither carries the other's). The function ends by posting
// WM_CLOSE to window, whatever happened; with none set the window closes.
typedef void (*ProgressSequenceFunction)(HWND window);
extern ProgressSequenceFunction progressWindowSequence;

// What the window's title says the program does, before the product's
// name: "Installing" unless the program sets its own ("Removing").
extern const char *progressWindowVerb;

// Creates the window for description (not null; it outlives the window),
// posts MSG_START_INSTALL to it, runs the message loop until the window is
// destroyed and releases everything again. When the window cannot be made
// the loop is never entered and the run goes on without a window.
void ProgressWindowRun(InstallDescription *description);

// The class's window procedure: paints, runs progressWindowSequence on
// MSG_START_INSTALL, posts the quit message when the window is destroyed,
// and on WM_DPICHANGED takes the new DPI and covers the work area of the
// monitor the window moved to.
// While the install runs (its message boxes and SetStatus let messages in)
// the window ignores WM_CLOSE, which would destroy it under the install,
// and answers WM_QUERYENDSESSION with "not now"; the WM_CLOSE that
// RunInstall posts at its end arrives after it and closes the window.
LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Replaces the status by a copy of text (null: no status; also when the
// heap cannot supply the copy), stores fraction, and repaints the status
// line and the bar at once through the window's device context. Does
// nothing more while there is no window.
void SetStatus(const char *text, float fraction);

// SetStatus in its two steps: the status and fraction replaced (any later
// paint shows them), and the status line and bar painted as they stand.
void SetStatusWithoutPaint(const char *text, float fraction);
void StatusPaint(void);

// Draws the status line and the bar (or erases the bar when no status is
// set) into dc; clientRectangle is GetClientRect's, left and top 0.
void PaintStatusAndBar(HDC dc, const RECT *clientRectangle);

// The size a bitmap (not null) is drawn at for dpi.
SIZE BitmapDrawnSize(const PackageBitmap *bitmap, uint32_t dpi);

// Draws bitmap (not null) drawn pixels large with its top-left corner at
// point: at its own size pixel for pixel, else stretched with halftoning.
// Returns StretchDIBits' result.
int BitmapDraw(HDC dc, const PackageBitmap *bitmap, POINT point, SIZE drawn);

// ---- The steps ProgressWindowRun is made of (tests drive them one by one) ----

// Clears the record, loads both bitmaps from the open package, registers
// the class, creates the window over the work area, makes the font for the
// window's DPI and shows it. Returns 1 when the window exists, 0 when it could not be made
// (the rest is then still to be released by ProgressWindowRelease).
int ProgressWindowCreate(InstallDescription *description);

// The full repaint of WM_PAINT: background, brand bitmap, centre bitmap
// (while a status is set), status line and bar.
void ProgressWindowPaint(HWND window);

// Destroys the window if it still exists, then releases the font, the
// class, the status text and the bitmaps, and clears the record.
void ProgressWindowRelease(void);
