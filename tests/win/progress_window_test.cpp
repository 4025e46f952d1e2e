// The progress window in-process on the display: it is created from a
// description with chosen colours and a package with chosen bitmaps, driven
// with WM_PAINT and SetStatus, and read back pixel by pixel from a capture
// of its client area. SetStatus is checked without pumping any message in
// between, since the install gives the window none.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../unit/bitmap_bytes.h"
#include "heap/region_heap.h"
#include "package/package.h"
#include "platform/platform.h"
#include "qpack/package_writer.h"
#include "ui/progress_geometry.h"
#include "ui/progress_window.h"

namespace {

// The height of the status line's text drawn in font on window.
int TextHeight(HWND window, HGDIOBJ font) {
    HDC dc = GetDC(window);
    HGDIOBJ previous = SelectObject(dc, font);
    SIZE size = {0, 0};
    GetTextExtentPointA(dc, "Xy", 2, &size);
    SelectObject(dc, previous);
    ReleaseDC(window, dc);
    return size.cy;
}

const COLORREF kBackground = RGB(0x20, 0x30, 0x40);
const COLORREF kBar = RGB(0x00, 0xC0, 0x00);
const COLORREF kBorder = RGB(0xFF, 0x00, 0x00);
const COLORREF kText = RGB(0xFF, 0xFF, 0xFF);
// Bitmap colours, 0x00RRGGBB as a palette holds them and as COLORREF.
const uint32_t kBrandFill = 0xFFFF00, kBrandCorner = 0x00FFFF;
const uint32_t kCentreFill = 0xFF00FF, kCentreCorner = 0x808080;
const int32_t kBrandWidth = 120, kBrandHeight = 30;
const int32_t kCentreWidth = 200, kCentreHeight = 50;

COLORREF AsColorRef(uint32_t rgb) {
    return RGB(rgb >> 16, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

// A bitmap of one colour whose top-left pixel has another, so that both its
// place and its orientation show.
PackageBytes MarkedBitmap(int32_t width, int32_t height, uint32_t fill, uint32_t corner) {
    return PalettizedBitmap(width, height, {fill, corner},
                            [](int32_t x, int32_t y) { return x == 0 && y == 0 ? 1 : 0; });
}

// The client area as COLORREF values, read through the window's own DC.
struct Capture {
    int width = 0;
    int height = 0;
    std::vector<COLORREF> pixels;

    COLORREF At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

Capture CaptureClient(HWND window) {
    Capture capture;
    RECT client;
    GetClientRect(window, &client);
    capture.width = client.right;
    capture.height = client.bottom;
    BITMAPINFO info;
    ZeroMemory(&info, sizeof info);
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = capture.width;
    info.bmiHeader.biHeight = -capture.height; // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    HDC windowDc = GetDC(window);
    HDC memoryDc = CreateCompatibleDC(windowDc);
    void *bits = NULL;
    HBITMAP section = CreateDIBSection(windowDc, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    HGDIOBJ previous = SelectObject(memoryDc, section);
    BitBlt(memoryDc, 0, 0, capture.width, capture.height, windowDc, 0, 0, SRCCOPY);
    GdiFlush();
    const uint32_t *rgb = static_cast<const uint32_t *>(bits);
    capture.pixels.resize(static_cast<size_t>(capture.width) * capture.height);
    for (size_t i = 0; i < capture.pixels.size(); i++)
        capture.pixels[i] = AsColorRef(rgb[i] & 0xFFFFFF);
    SelectObject(memoryDc, previous);
    DeleteObject(section);
    DeleteDC(memoryDc);
    ReleaseDC(window, windowDc);
    return capture;
}

// Every pixel of the rectangle (clipped to the capture) has colour.
::testing::AssertionResult AreaIs(const Capture &capture, int x, int y, int width, int height,
                                  COLORREF colour) {
    int wrong = 0;
    std::string first;
    for (int row = y; row < y + height; row++) {
        for (int column = x; column < x + width; column++) {
            if (row < 0 || column < 0 || row >= capture.height || column >= capture.width)
                continue;
            COLORREF found = capture.At(column, row);
            if (found != colour && wrong++ == 0) {
                char text[96];
                snprintf(text, sizeof text, " first at (%d, %d): 0x%06lx", column, row,
                         static_cast<unsigned long>(found));
                first = text;
            }
        }
    }
    if (wrong == 0)
        return ::testing::AssertionSuccess();
    char text[96];
    snprintf(text, sizeof text, "%d pixels are not 0x%06lx;", wrong,
             static_cast<unsigned long>(colour));
    return ::testing::AssertionFailure() << text << first;
}

int CountColour(const Capture &capture, int x, int y, int width, int height, COLORREF colour) {
    int count = 0;
    for (int row = y; row < y + height; row++)
        for (int column = x; column < x + width; column++)
            count += capture.At(column, row) == colour;
    return count;
}

uint32_t UsedBlocks() {
    RegionHeapStats stats;
    RegionHeapReadStats(&stats);
    return stats.usedBlocks;
}

class ProgressWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        usedBlocks = UsedBlocks();
        ZeroMemory(&description, sizeof description);
        description.productName = productName;
        description.backgroundColour = kBackground;
        description.progressBarColour = kBar;
        description.progressBorderColour = kBorder;
        description.statusTextColour = kText;
    }

    void TearDown() override {
        ProgressWindowRelease();
        MSG message; // the quit message that the destruction posted
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        }
        PackageClose();
        PlatformPagesFailAt(0);
        static const ProgressWindow clear = ProgressWindow();
        EXPECT_EQ(memcmp(&progressWindow, &clear, sizeof clear), 0);
        EXPECT_EQ(UsedBlocks(), usedBlocks) << "heap blocks leaked";
        EXPECT_EQ(RegionHeapCheck(), 1);
    }

    // Opens a package with the given bitmaps, creates the window, lets it
    // paint once and learns the layout it should have.
    void Show(const PackageBytes &brand, const PackageBytes &centre) {
        std::vector<PackageWriterEntry> entries = {{"\\readme.txt", PackageBytes(10, 'r')}};
        if (!brand.empty())
            entries.push_back({"\\#brand.bmp", brand});
        if (!centre.empty())
            entries.push_back({"\\#installingtext.bmp", centre});
        std::string error;
        ASSERT_TRUE(PackageWrite(PackageBytes{'M', 'Z'}, entries, PackageWriterOptions(),
                                 &installer, &error))
            << error;
        ASSERT_EQ(PackageOpenMemory(installer.data(), static_cast<uint32_t>(installer.size())), 1);
        ASSERT_EQ(ProgressWindowCreate(&description), 1);
        window = progressWindow.window;
        UpdateWindow(window);

        RECT client;
        GetClientRect(window, &client);
        W = client.right;
        H = client.bottom;
        L = TextHeight(window, progressWindow.font);
        BW = W / 2;
        BX = (W - BW) / 2;
    }

    void ShowDefault() {
        Show(MarkedBitmap(kBrandWidth, kBrandHeight, kBrandFill, kBrandCorner),
             MarkedBitmap(kCentreWidth, kCentreHeight, kCentreFill, kCentreCorner));
        centreX = (W - kCentreWidth) / 2;
        centreY = (H - kCentreHeight) / 2;
        T = centreY + kCentreHeight + 20;
    }

    void Repaint() {
        InvalidateRect(window, NULL, FALSE);
        UpdateWindow(window);
    }

    // The frame of the bar, two pixels wide around its interior.
    void ExpectFrame(const Capture &capture) {
        EXPECT_TRUE(AreaIs(capture, BX, T - 2, BW, 2, kBorder)) << "top frame";
        EXPECT_TRUE(AreaIs(capture, BX, T + L, BW, 2, kBorder)) << "bottom frame";
        EXPECT_TRUE(AreaIs(capture, BX - 2, T - 2, 2, L + 4, kBorder)) << "left frame";
        EXPECT_TRUE(AreaIs(capture, BX + BW, T - 2, 2, L + 4, kBorder)) << "right frame";
    }

    void ExpectCentreBitmap(const Capture &capture, bool shown) {
        if (shown) {
            EXPECT_EQ(capture.At(centreX, centreY), AsColorRef(kCentreCorner));
            EXPECT_TRUE(AreaIs(capture, centreX + 1, centreY, kCentreWidth - 1, kCentreHeight,
                               AsColorRef(kCentreFill)));
            EXPECT_EQ(capture.At(centreX - 1, centreY), kBackground);
            EXPECT_EQ(capture.At(centreX + kCentreWidth, centreY), kBackground);
            EXPECT_EQ(capture.At(centreX, centreY + kCentreHeight), kBackground);
        } else {
            EXPECT_TRUE(
                AreaIs(capture, centreX, centreY, kCentreWidth, kCentreHeight, kBackground));
        }
    }

    char productName[16] = "Pixel Product";
    InstallDescription description;
    PackageBytes installer;
    HWND window = NULL;
    uint32_t usedBlocks = 0;
    int W = 0, H = 0, L = 0, BW = 0, BX = 0, T = 0, centreX = 0, centreY = 0;
};

} // namespace

TEST_F(ProgressWindowTest, CoversTheWorkAreaWithItsClassAndTitle) {
    ShowDefault();
    char name[64];
    ASSERT_GT(GetClassNameA(window, name, sizeof name), 0);
    EXPECT_STREQ(name, "QUnpack_WindowClass");
    char title[300];
    GetWindowTextA(window, title, sizeof title);
    EXPECT_STREQ(title, "Installing Pixel Product");
    LONG style = GetWindowLongA(window, GWL_STYLE);
    EXPECT_EQ(style & ~WS_VISIBLE & ~WS_CLIPSIBLINGS, static_cast<LONG>(WS_POPUP | WS_BORDER));
    EXPECT_TRUE(IsWindowVisible(window));
    RECT workArea, placed;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
    GetWindowRect(window, &placed);
    EXPECT_TRUE(EqualRect(&workArea, &placed));
    EXPECT_GT(L, 10);
}

TEST_F(ProgressWindowTest, FirstPaintShowsBackgroundAndBrandOnly) {
    ShowDefault();
    EXPECT_EQ(progressWindow.barTop, T);
    Capture capture = CaptureClient(window);
    int brandX = (W - kBrandWidth) / 2;
    EXPECT_EQ(capture.At(brandX, 20), AsColorRef(kBrandCorner));
    EXPECT_TRUE(
        AreaIs(capture, brandX + 1, 20, kBrandWidth - 1, kBrandHeight, AsColorRef(kBrandFill)));
    EXPECT_TRUE(AreaIs(capture, 0, 0, W, 20, kBackground)) << "above the brand bitmap";
    EXPECT_TRUE(AreaIs(capture, 0, 20, brandX, kBrandHeight, kBackground)) << "left of it";
    EXPECT_TRUE(AreaIs(capture, brandX + kBrandWidth, 20, W - brandX - kBrandWidth, kBrandHeight,
                       kBackground))
        << "right of it";
    // No status yet: no centre bitmap, no bar, an empty status strip.
    EXPECT_TRUE(AreaIs(capture, 0, 20 + kBrandHeight, W, H - 20 - kBrandHeight, kBackground));
}

TEST_F(ProgressWindowTest, SetStatusPaintsTheBarAtOnceAtZeroHalfAndFull) {
    ShowDefault();
    SetStatus("Installing", 0.0f);
    Capture capture = CaptureClient(window);
    ExpectFrame(capture);
    // first column; nothing is done yet.
    EXPECT_TRUE(AreaIs(capture, BX - 1, T - 2, 2, L + 4, kBorder)) << "marker at 0";
    EXPECT_TRUE(AreaIs(capture, BX + 1, T, BW - 1, L, kBackground)) << "remaining at 0";
    EXPECT_EQ(CountColour(capture, 0, 0, W, H, kBar), 0);
    // The text, from the strip's left edge; the rest of the strip is plain.
    EXPECT_GT(CountColour(capture, 0, H - L, 100, L, kText), 10) << "status text";
    EXPECT_TRUE(AreaIs(capture, W / 2, H - L, W - W / 2, L, kBackground)) << "strip";
    ExpectCentreBitmap(capture, false); // until the next full paint
    Repaint();
    ExpectCentreBitmap(CaptureClient(window), true);

    SetStatus("Unpacking: C:\\Program Files\\Pixel\\readme.txt", 0.5f);
    int M = BW / 2;
    capture = CaptureClient(window);
    ExpectFrame(capture);
    EXPECT_TRUE(AreaIs(capture, BX, T, M - 1, L, kBar)) << "done at 0.5";
    EXPECT_TRUE(AreaIs(capture, BX + M - 1, T - 2, 2, L + 4, kBorder)) << "marker at 0.5";
    EXPECT_TRUE(AreaIs(capture, BX + M + 1, T, BW - M - 1, L, kBackground)) << "remaining";
    EXPECT_GT(CountColour(capture, 0, H - L, 300, L, kText), 10);
    ExpectCentreBitmap(capture, true);

    SetStatus("Building shortcuts", 1.0f);
    capture = CaptureClient(window);
    ExpectFrame(capture);
    EXPECT_TRUE(AreaIs(capture, BX, T, BW - 1, L, kBar)) << "done at 1";
    EXPECT_TRUE(AreaIs(capture, BX + BW - 1, T - 2, 2, L + 4, kBorder)) << "marker at 1";
    EXPECT_TRUE(AreaIs(capture, BX + BW + 2, T - 2, 4, L + 4, kBackground)) << "past the frame";
}

TEST_F(ProgressWindowTest, ClearingTheStatusErasesBarAndStripButNotTheCentreBitmap) {
    ShowDefault();
    SetStatus("Installing", 0.0f);
    Repaint();
    SetStatus("Building shortcuts", 1.0f);
    SetStatus(NULL, 1.0f);
    EXPECT_EQ(progressWindow.statusText, (char *)NULL);
    EXPECT_EQ(progressWindow.fraction, 1.0f);
    Capture capture = CaptureClient(window);
    EXPECT_TRUE(AreaIs(capture, BX - 2, T - 2, BW + 4, L + 4, kBackground)) << "bar erased";
    EXPECT_TRUE(AreaIs(capture, 0, H - L, W, L, kBackground)) << "strip emptied";
    ExpectCentreBitmap(capture, true); // until a full paint
    Repaint();
    ExpectCentreBitmap(CaptureClient(window), false);
}

TEST_F(ProgressWindowTest, WithoutUsableBitmapsTheBarTakesTheTopRows) {
    PackageBytes upsideDown = MarkedBitmap(kBrandWidth, kBrandHeight, kBrandFill, kBrandCorner);
    PutLittleEndian(&upsideDown, 22, static_cast<uint32_t>(-kBrandHeight), 4);
    Show(upsideDown, PackageBytes());
    EXPECT_EQ(progressWindow.brandBitmap, (PackageBitmap *)NULL);
    EXPECT_EQ(progressWindow.centreBitmap, (PackageBitmap *)NULL);
    EXPECT_TRUE(AreaIs(CaptureClient(window), 0, 0, W, H, kBackground));

    SetStatus("Installing", 0.5f);
    Repaint();
    EXPECT_EQ(progressWindow.barTop, 0);
    Capture capture = CaptureClient(window);
    int M = BW / 2;
    EXPECT_TRUE(AreaIs(capture, BX, 0, M - 1, L, kBar)) << "done part in the first rows";
    EXPECT_TRUE(AreaIs(capture, BX, L, BW, 2, kBorder)) << "bottom frame";
    EXPECT_TRUE(AreaIs(capture, BX - 2, 0, 2, L + 2, kBorder)) << "left frame";
}

namespace {

// The window at dpi with the status "Installing" at one half, its status
// text lineAtBase high at baseDpi: every size scales by dpi / 96 (the
// bitmaps stretched, their place computed from the drawn size), the frame
// and marker by whole pixels (2 from 144 DPI on).
void ExpectPictureAt(HWND window, int dpi, int lineAtBase, int baseDpi) {
    SCOPED_TRACE(dpi);
    EXPECT_EQ(progressWindow.dpi, static_cast<uint32_t>(dpi));
    RECT client;
    GetClientRect(window, &client);
    const int W = client.right, H = client.bottom, BW = W / 2, BX = (W - BW) / 2, M = BW / 2;
    const int line = TextHeight(window, progressWindow.font);
    EXPECT_NEAR(line, lineAtBase * dpi / baseDpi, 2) << "status text height";

    const int unit = dpi < 144 ? 1 : 2, frame = 2 * unit, margin = 20 * dpi / 96;
    const int brandWidth = kBrandWidth * dpi / 96, brandHeight = kBrandHeight * dpi / 96;
    const int centreWidth = kCentreWidth * dpi / 96, centreHeight = kCentreHeight * dpi / 96;
    const int brandX = (W - brandWidth) / 2;
    const int x = (W - centreWidth) / 2, y = (H - centreHeight) / 2;
    const int top = y + centreHeight + margin;
    EXPECT_EQ(progressWindow.barTop, top);
    Capture capture = CaptureClient(window);
    // Inside, the plain colour (a stretched marked corner is averaged into
    // its neighbours); outside, the background.
    EXPECT_TRUE(AreaIs(capture, brandX + 4, margin + 4, brandWidth - 8, brandHeight - 8,
                       AsColorRef(kBrandFill)));
    EXPECT_TRUE(AreaIs(capture, 0, 0, W, margin, kBackground)) << "above the brand";
    EXPECT_TRUE(AreaIs(capture, brandX - 2, margin, 2, brandHeight, kBackground));
    EXPECT_TRUE(AreaIs(capture, brandX + brandWidth, margin, 2, brandHeight, kBackground));
    EXPECT_TRUE(AreaIs(capture, 0, margin + brandHeight, W, 2, kBackground)) << "below it";
    EXPECT_TRUE(
        AreaIs(capture, x + 4, y + 4, centreWidth - 8, centreHeight - 8, AsColorRef(kCentreFill)));
    EXPECT_TRUE(AreaIs(capture, x - 2, y, 2, centreHeight, kBackground));
    EXPECT_TRUE(AreaIs(capture, x + centreWidth, y, 2, centreHeight, kBackground));
    // The bar: half the width as always, its frame and marker scaled.
    EXPECT_TRUE(AreaIs(capture, BX, top - frame, BW, frame, kBorder)) << "top frame";
    EXPECT_TRUE(AreaIs(capture, BX, top + line, BW, frame, kBorder)) << "bottom frame";
    EXPECT_TRUE(AreaIs(capture, BX - frame, top - frame, frame, line + 2 * frame, kBorder));
    EXPECT_TRUE(AreaIs(capture, BX + M - unit, top, frame, line, kBorder)) << "marker";
    EXPECT_TRUE(AreaIs(capture, BX, top, M - unit, line, kBar)) << "done part";
    EXPECT_TRUE(AreaIs(capture, BX + M + unit, top, BW - M - 2 * unit, line, kBackground));
    EXPECT_TRUE(AreaIs(capture, BX, top + line + frame, BW, 2, kBackground)) << "below the bar";
    EXPECT_GT(CountColour(capture, 0, H - line, 200, line, kText), 10) << "status text";
    EXPECT_TRUE(AreaIs(capture, W / 2, H - line, W - W / 2, line, kBackground)) << "strip";
}

int ScreenDpi(void) {
    HDC screen = GetDC(NULL);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(NULL, screen);
    return dpi;
}

} // namespace

// The window takes the display's DPI (Wine's LogPixels; the ctest entry
// win_tests_dpi runs this at 144 and 192).
TEST_F(ProgressWindowTest, DrawsForTheDisplaysDpi) {
    ShowDefault();
    SetStatus("Installing", 0.5f);
    Repaint();
    const int dpi = ScreenDpi();
    // The text's height at 96 DPI, from a font as large as the status's is there.
    HFONT font96 =
        CreateFontA(20, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_TT_PRECIS,
                    CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "Arial");
    const int line96 = TextHeight(window, font96);
    DeleteObject(font96);
    ExpectPictureAt(window, dpi, line96, 96);
}

// Moved to monitors of 144 and 192 DPI and back, the window covers the
// monitor's work area and draws for its DPI.
TEST_F(ProgressWindowTest, ADpiChangeScalesTheBitmapsTheTextAndTheBar) {
    ShowDefault();
    const int base = static_cast<int>(progressWindow.dpi);
    SetStatus("Installing", 0.5f);
    for (int dpi : {144, 192, base}) {
        RECT workArea;
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
        RECT suggested = workArea;
        SendMessageA(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                     reinterpret_cast<LPARAM>(&suggested));
        UpdateWindow(window);
        RECT placed;
        GetWindowRect(window, &placed);
        EXPECT_TRUE(EqualRect(&workArea, &placed)) << "over the monitor's work area";
        ExpectPictureAt(window, dpi, L, base);
    }
}

TEST_F(ProgressWindowTest, AStatusTheHeapCannotCopyLeavesNoStatus) {
    ShowDefault();
    SetStatus("Installing", 0.5f);
    // Longer than a standard region: the copy needs pages of its own.
    std::string huge(1 << 20, 'x');
    PlatformPagesFailAt(1);
    SetStatus(huge.c_str(), 0.75f);
    PlatformPagesFailAt(0);
    EXPECT_EQ(progressWindow.statusText, (char *)NULL);
    EXPECT_EQ(progressWindow.fraction, 0.75f);
    Capture capture = CaptureClient(window);
    EXPECT_TRUE(AreaIs(capture, BX - 2, T - 2, BW + 4, L + 4, kBackground));
    EXPECT_TRUE(AreaIs(capture, 0, H - L, W, L, kBackground));
}

TEST_F(ProgressWindowTest, ALongProductNameIsCutToTheTitleBuffer) {
    std::string longName(400, 'n');
    description.productName = &longName[0];
    ShowDefault();
    char title[600];
    int length = GetWindowTextA(window, title, sizeof title);
    EXPECT_EQ(length, 255);
    EXPECT_EQ(std::string(title, length), "Installing " + longName.substr(0, 244));
}

// Not a check but a picture for people: with QUNPACK_SCREENSHOT naming a
// .bmp file and QUNPACK_DEMO the folder of the demo bitmaps, the window is
// shown as the demo product's install shows it halfway, and its client area
// is saved (scripts/screenshot.sh, `make screenshot`).
TEST_F(ProgressWindowTest, SavesAScreenshotWhenAsked) {
    const char *output = getenv("QUNPACK_SCREENSHOT");
    const char *demo = getenv("QUNPACK_DEMO");
    if (!output || !demo)
        GTEST_SKIP() << "set QUNPACK_SCREENSHOT and QUNPACK_DEMO to take a screenshot";
    PackageBytes brand, centre;
    std::string error;
    ASSERT_TRUE(PackageReadFile(std::string(demo) + "\\brand.bmp", &brand, &error)) << error;
    ASSERT_TRUE(PackageReadFile(std::string(demo) + "\\installingtext.bmp", &centre, &error))
        << error;
    // The demo manifest's colours: BKColour #1E2A3A, ProgressBarColour
    // #3FA7D6, ProgressBorderColour #A8B8C8, StatusTextColour #F2F5F8.
    description.backgroundColour = RGB(0x1E, 0x2A, 0x3A);
    description.progressBarColour = RGB(0x3F, 0xA7, 0xD6);
    description.progressBorderColour = RGB(0xA8, 0xB8, 0xC8);
    description.statusTextColour = RGB(0xF2, 0xF5, 0xF8);
    snprintf(productName, sizeof productName, "Quorvane");
    Show(brand, centre);
    SetStatus("Unpacking: C:\\Program Files\\Quorvane\\bin\\quorvane.exe", 0.5f);
    Repaint();
    Capture capture = CaptureClient(window);

    // A 24-bit bottom-up BMP of the capture.
    uint32_t stride = (static_cast<uint32_t>(capture.width) * 3 + 3) / 4 * 4;
    std::vector<unsigned char> file(54 + stride * capture.height, 0);
    file[0] = 'B';
    file[1] = 'M';
    PutLittleEndian(&file, 2, static_cast<uint32_t>(file.size()), 4);
    PutLittleEndian(&file, 10, 54, 4);
    PutLittleEndian(&file, 14, 40, 4);
    PutLittleEndian(&file, 18, static_cast<uint32_t>(capture.width), 4);
    PutLittleEndian(&file, 22, static_cast<uint32_t>(capture.height), 4);
    PutLittleEndian(&file, 26, 1, 2);
    PutLittleEndian(&file, 28, 24, 2);
    for (int y = 0; y < capture.height; y++) {
        unsigned char *row = &file[54 + static_cast<size_t>(capture.height - 1 - y) * stride];
        for (int x = 0; x < capture.width; x++) {
            COLORREF colour = capture.At(x, y);
            row[3 * x] = GetBValue(colour);
            row[3 * x + 1] = GetGValue(colour);
            row[3 * x + 2] = GetRValue(colour);
        }
    }
    ASSERT_TRUE(PackageWriteFile(output, file, &error)) << error;
}
