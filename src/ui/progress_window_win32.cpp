// The progress window. The install runs inside the window procedure and
// pumps no messages between its message boxes, so SetStatus paints at once
// through the window's own device context instead of waiting for WM_PAINT.
#include "ui/progress_window.h"

#include <string.h>

#include "heap/region_heap.h"
#include "ui/progress_geometry.h"
#include "text/text_format.h"

const char kProgressWindowClass[] = "QUnpack_WindowClass";
static const char kBrandBitmapEntry[] = "#brand.bmp";
static const char kCentreBitmapEntry[] = "#installingtext.bmp";
static const int kTitleSize = 256; // "Installing " leaves 244 characters of product name

ProgressWindow progressWindow;
ProgressSequenceFunction progressWindowSequence;
const char *progressWindowVerb = "Installing";

// The window's DPI: GetDpiForWindow where Windows has it (10, version 1607
// on: each monitor its own), else the screen's.
static uint32_t WindowDpi(HWND window) {
    typedef UINT(WINAPI * GetDpiForWindowFunction)(HWND);
    FARPROC found = GetProcAddress(GetModuleHandleA("user32"), "GetDpiForWindow");
    UINT dpi = found ? reinterpret_cast<GetDpiForWindowFunction>(
                           reinterpret_cast<void (*)(void)>(found))(window)
                     : 0;
    if (dpi == 0) {
        HDC screen = GetDC(NULL);
        dpi = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(NULL, screen);
    }
    return dpi;
}

// Takes the window's DPI and makes the status font for it (20 pixels high
// at 96 DPI).
static void ProgressDpiSet(uint32_t dpi) {
    progressWindow.dpi = dpi;
    DeleteObject(progressWindow.font);
    progressWindow.font =
        CreateFontA(ProgressScale(PROGRESS_FONT_HEIGHT, dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                    FALSE, ANSI_CHARSET, OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY,
                    DEFAULT_PITCH | FF_DONTCARE, "Arial");
}

static void ProgressClassRegister(void) {
    WNDCLASSA windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.style = CS_VREDRAW | CS_HREDRAW;
    windowClass.lpfnWndProc = ProgressWindowProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.hCursor = LoadCursorA(NULL, IDC_ARROW);
    // WM_PAINT covers the whole client area itself; the erase paints nothing.
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
    windowClass.lpszClassName = kProgressWindowClass;
    RegisterClassA(&windowClass);
}

// A name too long for the title is cut; a description without one (which
// the run refuses before the window) gives the bare verb.
static void ProgressTitleFormat(char *title, int size, const char *productName) {
    TextFormat(title, size, productName ? "%s %s" : "%s", progressWindowVerb, productName);
}

int ProgressWindowCreate(InstallDescription *description) {
    memset(&progressWindow, 0, sizeof progressWindow);
    progressWindow.description = description;
    progressWindow.brandBitmap = BitmapLoad(kBrandBitmapEntry);
    progressWindow.centreBitmap = BitmapLoad(kCentreBitmapEntry);
    ProgressClassRegister();

    char title[kTitleSize];
    ProgressTitleFormat(title, sizeof title, description->productName);
    RECT workArea;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
    progressWindow.window = CreateWindowExA(
        0, kProgressWindowClass, title, WS_POPUP | WS_BORDER, workArea.left, workArea.top,
        workArea.right - workArea.left, workArea.bottom - workArea.top, GetDesktopWindow(), NULL,
        GetModuleHandleA(NULL), NULL);
    if (!progressWindow.window)
        return 0;
    ProgressDpiSet(WindowDpi(progressWindow.window));
    ShowWindow(progressWindow.window, SW_SHOW);
    return 1;
}

void ProgressWindowRelease(void) {
    if (progressWindow.window)
        DestroyWindow(progressWindow.window);
    DeleteObject(progressWindow.font);
    UnregisterClassA(kProgressWindowClass, GetModuleHandleA(NULL));
    RegionHeapFree(progressWindow.statusText);
    BitmapFree(progressWindow.brandBitmap);
    BitmapFree(progressWindow.centreBitmap);
    memset(&progressWindow, 0, sizeof progressWindow);
}

void ProgressWindowRun(InstallDescription *description) {
    // The install pumps no messages for as long as it takes; Windows must
    // not swap the window for a "not responding" ghost that offers to end
    // the installer half-way.
    DisableProcessWindowsGhosting();
    if (ProgressWindowCreate(description)) {
        // Posted messages come before paint requests: the install starts
        // before the first WM_PAINT, which its confirmation box dispatches.
        PostMessageA(progressWindow.window, MSG_START_INSTALL, 0, 0);
        MSG message;
        while (GetMessageA(&message, NULL, 0, 0) > 0)
            DispatchMessageA(&message);
    }
    ProgressWindowRelease();
}

LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_DESTROY:
            progressWindow.window = NULL; // SetStatus and the teardown must not use it
            PostQuitMessage(0);
            return 0;
        case WM_PAINT:
            ProgressWindowPaint(window);
            return 0;
        case MSG_START_INSTALL:
            progressWindow.installing = 1;
            if (progressWindowSequence != nullptr)
                progressWindowSequence(window);
            else
                PostMessageA(window, WM_CLOSE, 0, 0);
            progressWindow.installing = 0;
            return 0;
        case WM_DPICHANGED: {
            // Moved to a monitor of another DPI: cover that monitor's work
            // area, drawn for its DPI.
            ProgressDpiSet(HIWORD(wParam));
            MONITORINFO monitor;
            monitor.cbSize = sizeof monitor;
            GetMonitorInfoA(
                MonitorFromRect(reinterpret_cast<RECT *>(lParam), MONITOR_DEFAULTTONEAREST),
                &monitor);
            const RECT *area = &monitor.rcWork;
            MoveWindow(window, area->left, area->top, area->right - area->left,
                       area->bottom - area->top, FALSE);
            InvalidateRect(window, NULL, FALSE);
            return 0;
        }
        case WM_CLOSE:
        case WM_QUERYENDSESSION: // FALSE: "not now"
            if (progressWindow.installing)
                return 0;
            break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static void FillRectangle(HDC dc, const ProgressRectangle *rectangle) {
    if (ProgressRectangleIsDrawn(rectangle))
        BitBlt(dc, rectangle->x, rectangle->y, rectangle->width, rectangle->height, NULL, 0, 0,
               PATCOPY);
}

static void FillWithBrush(HDC dc, HBRUSH brush, const ProgressRectangle *rectangle) {
    SelectObject(dc, brush);
    FillRectangle(dc, rectangle);
}

void ProgressWindowPaint(HWND window) {
    const InstallDescription *description = progressWindow.description;
    RECT client;
    GetClientRect(window, &client);
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);

    ProgressRectangle whole = {0, 0, client.right, client.bottom};
    HBRUSH background = CreateSolidBrush(description->backgroundColour);
    HGDIOBJ previousBrush = SelectObject(dc, background);
    FillRectangle(dc, &whole);
    SelectObject(dc, previousBrush);
    DeleteObject(background);

    const uint32_t dpi = progressWindow.dpi;
    const PackageBitmap *brand = progressWindow.brandBitmap;
    if (brand) {
        SIZE drawn = BitmapDrawnSize(brand, dpi);
        POINT at = {ProgressCentredX(client.right, drawn.cx),
                    ProgressScale(PROGRESS_BRAND_TOP, dpi)};
        BitmapDraw(dc, brand, at, drawn);
    }
    const PackageBitmap *centre = progressWindow.centreBitmap;
    if (centre) {
        SIZE drawn = BitmapDrawnSize(centre, dpi);
        POINT at;
        int32_t x, y;
        ProgressCentrePlace(client.right, client.bottom, drawn.cx, drawn.cy, dpi, &x, &y,
                            &progressWindow.barTop);
        at.x = x;
        at.y = y;
        if (progressWindow.statusText)
            BitmapDraw(dc, centre, at, drawn);
    }
    PaintStatusAndBar(dc, &client);
    EndPaint(window, &paint);
}

// The status strip along the bottom edge, filled with the background and
// holding the text from its top-left corner. Returns the line height.
static int32_t PaintStatusLine(HDC dc, const RECT *clientRectangle) {
    const InstallDescription *description = progressWindow.description;
    const char *text = progressWindow.statusText ? progressWindow.statusText : "";
    SetBkColor(dc, description->backgroundColour);
    SetBkMode(dc, OPAQUE);
    SetTextColor(dc, description->statusTextColour);
    HGDIOBJ previousFont = SelectObject(dc, progressWindow.font);
    SIZE size = {0, 0};
    GetTextExtentPointA(dc, "Xy", 2, &size);
    int32_t lineHeight = size.cy;
    RECT strip = {0, clientRectangle->bottom - lineHeight, clientRectangle->right,
                  clientRectangle->bottom};
    ExtTextOutA(dc, 0, strip.top, ETO_OPAQUE, &strip, text, static_cast<UINT>(strlen(text)), NULL);
    SelectObject(dc, previousFont);
    return lineHeight;
}

void PaintStatusAndBar(HDC dc, const RECT *clientRectangle) {
    const InstallDescription *description = progressWindow.description;
    int32_t lineHeight = PaintStatusLine(dc, clientRectangle);
    ProgressBarGeometry bar;
    ProgressBarLayout(clientRectangle->right, clientRectangle->bottom, lineHeight,
                      progressWindow.barTop, progressWindow.fraction, progressWindow.dpi, &bar);

    HBRUSH border = CreateSolidBrush(description->progressBorderColour);
    HBRUSH done = CreateSolidBrush(description->progressBarColour);
    HBRUSH background = CreateSolidBrush(description->backgroundColour);
    // The first brush selected gives back the one to select again at the end.
    HGDIOBJ previousBrush;
    if (progressWindow.statusText) {
        previousBrush = SelectObject(dc, border);
        for (int part = PROGRESS_TOP_FRAME; part <= PROGRESS_MARKER; part++)
            FillRectangle(dc, &bar.parts[part]);
        FillWithBrush(dc, done, &bar.parts[PROGRESS_DONE]);
        FillWithBrush(dc, background, &bar.parts[PROGRESS_REMAINING]);
    } else {
        previousBrush = SelectObject(dc, background);
        FillRectangle(dc, &bar.parts[PROGRESS_BAR_ERASED]);
    }
    SelectObject(dc, previousBrush);
    DeleteObject(border);
    DeleteObject(done);
    DeleteObject(background);
}

// A copy the heap cannot supply leaves no status, never a stale pointer.
static void StatusTextReplace(const char *text) {
    RegionHeapFree(progressWindow.statusText);
    progressWindow.statusText = NULL;
    if (text)
        DupString(&progressWindow.statusText, text);
}

void SetStatusWithoutPaint(const char *text, float fraction) {
    StatusTextReplace(text);
    progressWindow.fraction = fraction;
}

void SetStatus(const char *text, float fraction) {
    SetStatusWithoutPaint(text, fraction);
    StatusPaint();
}

void StatusPaint(void) {
    HWND window = progressWindow.window;
    if (!window)
        return;
    RECT client;
    GetClientRect(window, &client);
    HDC dc = GetDC(window);
    PaintStatusAndBar(dc, &client);
    ReleaseDC(window, dc);
    // Looking at the queue without taking anything tells Windows the
    // thread is alive, so a long install keeps its window, not a ghost.
    MSG message;
    PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE);
}

SIZE BitmapDrawnSize(const PackageBitmap *bitmap, uint32_t dpi) {
    SIZE drawn = {ProgressScale(bitmap->width, dpi), ProgressScale(bitmap->height, dpi)};
    return drawn;
}

// Not inlined: the paint draws two bitmaps, and one copy of the long call does.
// At its own size the bitmap is copied pixel for pixel; stretched, it is
// halftoned, which averages the source pixels under each drawn one: GDI's
// best stretch. (The brush origin that halftoning asks for matters to
// patterned brushes only.)
int BitmapDraw(HDC dc, const PackageBitmap *bitmap, POINT point, SIZE drawn) {
    if (drawn.cx != bitmap->width || drawn.cy != bitmap->height)
        SetStretchBltMode(dc, HALFTONE);
    return StretchDIBits(
        dc, point.x, point.y, drawn.cx, drawn.cy, 0, 0, bitmap->width, bitmap->height, bitmap->bits,
        reinterpret_cast<const BITMAPINFO *>(bitmap->info), DIB_RGB_COLORS, SRCCOPY);
}
