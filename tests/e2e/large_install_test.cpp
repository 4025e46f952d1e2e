// The real stub installs an installer of more than 1.2 GiB with a 3 GiB
// entry. `make test-large` builds it with qpack and names it in
// QUNPACK_LARGE_INSTALLER (a Windows path); the script then compares the
// installed files with their originals. Skipped without it.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "e2e_support.h"

TEST(LargeInstallE2E, InstallsByteForByteInBoundedMemory) {
    const char *path = getenv("QUNPACK_LARGE_INSTALLER");
    if (!path)
        GTEST_SKIP() << "QUNPACK_LARGE_INSTALLER is not set (make test-large sets it)";
    // Gigabytes inflated and written under an emulated Wine: the bound is an
    // hour, a net for a stuck installer, not a timing.
    const DWORD kHourMs = 3600000;
    Program installer;
    ASSERT_TRUE(StartProgram(path, "", &installer)) << path;
    SeenBox question, outcome;
    ASSERT_TRUE(WaitForBox(&installer, kHourMs, &question)) << DescribeWindows(&installer);
    ASSERT_EQ(question.text, "This program will install Large on this system.\n\n"
                             "Do you want to continue?");
    AnswerBox(question, IDYES);
    ASSERT_TRUE(WaitForBox(&installer, kHourMs, &outcome)) << DescribeWindows(&installer);
    ExpectBox(outcome, "Large has been successfully installed.", MB_ICONINFORMATION | MB_OK,
              kProgressWindowClass);
    AnswerBox(outcome, IDOK);
    EXPECT_EQ(WaitProgram(&installer, E2E_TIMEOUT_MS), 0u);
    CloseProgram(&installer);
}
