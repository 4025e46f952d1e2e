// RemoveAutostart in-process, in this user's Startup folder and Run key
// (the Startup link of a profile the code page cannot name is in
// shortcuts_test.cpp; the removal for a product stuck in its start-up in
// previous_instance_test.cpp).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "system/system.h"
#include "win_test_support.h"

TEST(AutostartRemoval, LeavesAloneWhatItCannotNameExactly) {
    std::string folder = StartupFolder();
    ASSERT_FALSE(folder.empty());

    // "<Startup>\<name>.lnk" longer than MAX_PATH: the path cut to fit names
    // another file, which must survive. The Run value still goes.
    std::string name = UniqueName("long") + std::string(MAX_PATH - folder.size(), 'n');
    std::string cutPath = (folder + "\\" + name + ".lnk").substr(0, MAX_PATH - 1);
    ASSERT_TRUE(MakeFile(cutPath));
    SetRunValue(name);
    RemoveAutostart(name.c_str());
    EXPECT_TRUE(FileExists(cutPath));
    EXPECT_FALSE(RunValueExists(name));
    DeleteFileA(cutPath.c_str());

    // A name that climbs out of the Startup folder deletes nothing there.
    std::string outside = UniqueName("outside");
    std::string outsidePath = folder + "\\..\\" + outside + ".lnk";
    ASSERT_TRUE(MakeFile(outsidePath));
    RemoveAutostart(("..\\" + outside).c_str());
    EXPECT_TRUE(FileExists(outsidePath));
    DeleteFileA(outsidePath.c_str());

    // An empty name leaves the Run key's default value.
    SetRunValue("");
    RemoveAutostart("");
    RemoveAutostart(NULL);
    EXPECT_TRUE(RunValueExists(""));
    HKEY run;
    ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, kRunKey, &run), ERROR_SUCCESS);
    RegDeleteValueA(run, "");
    RegCloseKey(run);
}
