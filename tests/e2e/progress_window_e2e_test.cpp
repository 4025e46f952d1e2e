// The real stub's progress window: a popup of its own class over the work
// area, titled after the product, which closes again and ends the run with
// exit code 0. The window is read through its confirmation box, which it
// owns and which keeps it up until answered.
#include <gtest/gtest.h>

#include "e2e_support.h"

static std::string WindowInstaller(const std::string &productName) {
    std::string manifest = "productname = \"" + productName +
                           "\"\r\ndirectory = \"E2E\\Window\"\r\n"
                           "BKColour = #204060\r\nProgressBarColour = #00C000\r\n";
    return MakeInstaller({{"\\readme.txt", std::string(100, 'r')}, {"\\#Manifest", manifest}});
}

TEST(ProgressWindowE2E, CoversTheWorkAreaTitledAfterTheProductThenClosesAndExitsZero) {
    std::string folder = MakeTestFolder("window");
    std::string path = folder + "\\setup.exe";
    WriteFileBytes(path, WindowInstaller("Window Product"));
    // Declining the confirmation closes the window.
    InstallerRun run;
    RunInstaller(path, IDNO, &run);
    EXPECT_EQ(run.exitCode, 0u);
    const SeenBox &question = run.question;
    ASSERT_EQ(question.ownerClass, kProgressWindowClass) << "no progress window";
    EXPECT_EQ(question.ownerTitle, "Installing Window Product");
    RECT workArea;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
    EXPECT_EQ(question.ownerRectangle.left, workArea.left);
    EXPECT_EQ(question.ownerRectangle.top, workArea.top);
    EXPECT_EQ(question.ownerRectangle.right, workArea.right);
    EXPECT_EQ(question.ownerRectangle.bottom, workArea.bottom);
}
