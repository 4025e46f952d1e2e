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

static HFONT StatusFontCreate(void) {
    return CreateFontA(20, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_TT_PRECIS,
                       CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                       "Arial");
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
    progressWindow.font = StatusFontCreate();
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

    const PackageBitmap *brand = progressWindow.brandBitmap;
    if (brand) {
        POINT at = {ProgressCentredX(client.right, brand->width), PROGRESS_BRAND_TOP};
        BitmapDraw(dc, brand, at);
    }
    const PackageBitmap *centre = progressWindow.centreBitmap;
    if (centre) {
        POINT at;
        int32_t x, y;
        ProgressCentrePlace(client.right, client.bottom, centre->width, centre->height, &x, &y,
                            &progressWindow.barTop);
        at.x = x;
        at.y = y;
        if (progressWindow.statusText)
            BitmapDraw(dc, centre, at);
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
                      progressWindow.barTop, progressWindow.fraction, &bar);

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

// Not inlined: the sequences call it several times each.
__attribute__((noinline)) void SetStatus(const char *text, float fraction) {
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

// Not inlined: the paint draws two bitmaps, and one copy of the long call does.
__attribute__((noinline)) int BitmapDraw(HDC dc, const PackageBitmap *bitmap, POINT point) {
    return SetDIBitsToDevice(dc, point.x, point.y, static_cast<DWORD>(bitmap->width),
                             static_cast<DWORD>(bitmap->height), 0, 0, 0,
                             static_cast<UINT>(bitmap->height), bitmap->bits,
                             reinterpret_cast<const BITMAPINFO *>(bitmap->info), DIB_RGB_COLORS);
}
