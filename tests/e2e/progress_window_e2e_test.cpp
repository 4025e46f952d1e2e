// The real stub's progress window: a popup of its own class over the work
// area, titled after the product, which closes again and ends the run with
// exit code 0. The window is looked for without pause, since it may live no
// longer than the install takes to close it.
#include <gtest/gtest.h>

#include "e2e_support.h"

static std::string WindowInstaller(const std::string &productName) {
    std::string manifest = "productname = \"" + productName +
                           "\"\r\ndirectory = \"E2E\\Window\"\r\n"
                           "BKColour = #204060\r\nProgressBarColour = #00C000\r\n";
    return MakeInstaller({{"\\readme.txt", std::string(100, 'r')}, {"\\#Manifest", manifest}});
}

struct SeenWindow {
    HWND window = NULL;
    std::string title;
    RECT rectangle = {0, 0, 0, 0};
};

// Polls without sleeping for the program's progress window and reads it at
// once. Returns false when the program ended or the time ran out first.
static bool CatchProgressWindow(const Program *program, SeenWindow *seen) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < E2E_TIMEOUT_MS) {
        for (HWND window : ProgramWindows(program)) {
            char name[64];
            if (!GetClassNameA(window, name, sizeof name) ||
                strcmp(name, "QUnpack_WindowClass") != 0)
                continue;
            seen->window = window;
            seen->title = WindowText(window);
            GetWindowRect(window, &seen->rectangle);
            return true;
        }
        if (WaitForSingleObject(program->info.hProcess, 0) == WAIT_OBJECT_0)
            return false;
        Sleep(1);
    }
    return false;
}

TEST(ProgressWindowE2E, CoversTheWorkAreaTitledAfterTheProductThenClosesAndExitsZero) {
    std::string folder = MakeTestFolder("window");
    std::string path = folder + "\\setup.exe";
    WriteFileBytes(path, WindowInstaller("Window Product"));
    Program program;
    ASSERT_TRUE(StartProgram(path, "", &program));
    SeenWindow seen;
    ASSERT_TRUE(CatchProgressWindow(&program, &seen)) << "no progress window";
    EXPECT_EQ(seen.title, "Installing Window Product");
    RECT workArea;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
    EXPECT_EQ(seen.rectangle.left, workArea.left);
    EXPECT_EQ(seen.rectangle.top, workArea.top);
    EXPECT_EQ(seen.rectangle.right, workArea.right);
    EXPECT_EQ(seen.rectangle.bottom, workArea.bottom);

    // Once the install asks for confirmation, declining it closes the window.
    HWND box = WaitForMessageBox(&program, 2000);
    if (box)
        PressButton(box, IDNO);
    EXPECT_EQ(WaitProgram(&program, E2E_TIMEOUT_MS), 0u);
    CloseProgram(&program);
}
