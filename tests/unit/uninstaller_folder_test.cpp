// Where the uninstaller stands: its install folder found in its own path
// from the manifest's uninstaller and directory names.
#include <gtest/gtest.h>

#include <string>

#include "removal/uninstaller_folder.h"

TEST(UninstallerFolder, TheDirectoryAndItsBaseAreFoundOnlyWhereBothNamesEndThePath) {
    const char *const absent = nullptr;
    struct Case {
        const char *path, *uninstallerName, *directoryName;
        const char *directory, *base; // null: not found
    } cases[] = {
        // Found, with the uninstaller's own name where the manifest names none.
        {"C:\\Program Files\\Vendor\\Product\\uninstall.exe", "uninstall.exe", "Vendor\\Product",
         "C:\\Program Files\\Vendor\\Product", "C:\\Program Files"},
        {"C:\\Program Files\\Product\\unins.exe", absent, "Product", "C:\\Program Files\\Product",
         "C:\\Program Files"},
        {"C:\\P\\A\\B\\C\\D\\bin\\tools\\u.exe", "bin\\tools\\u.exe", "A\\B\\C\\D",
         "C:\\P\\A\\B\\C\\D", "C:\\P"},
        {"D:\\x\\P\\u.exe", "u.exe", "P", "D:\\x\\P", "D:\\x"},
        // "/" in the manifest's names is taken as "\"; ASCII case is ignored.
        {"C:\\Program Files\\Vendor\\Product\\bin\\Uninstall.EXE", "BIN/uninstall.exe",
         "vendor/PRODUCT", "C:\\Program Files\\Vendor\\Product", "C:\\Program Files"},
        // Beyond ASCII no case is folded: the code page decides what matches.
        {"C:\\Program Files\\\xC9t\xE9\\u.exe", "u.exe", "\xE9t\xE9", nullptr, nullptr},
        {"C:\\Program Files\\\xE9t\xE9\\u.exe", "u.exe", "\xE9t\xE9",
         "C:\\Program Files\\\xE9t\xE9", "C:\\Program Files"},
        // Names that do not match, or match only part of a component.
        {"C:\\Program Files\\Product\\uninstall.exe", "remove.exe", "Product", nullptr, nullptr},
        {"C:\\Program Files\\Product\\uninstall.exe", "uninstall.exe", "Other", nullptr, nullptr},
        {"C:\\Program Files\\Product\\myuninstall.exe", "uninstall.exe", "Product", nullptr,
         nullptr},
        {"C:\\Program Files\\MyProduct\\uninstall.exe", "uninstall.exe", "Product", nullptr,
         nullptr},
        {"C:\\Program Files\\Product\\bin\\uninstall.exe", "uninstall.exe", "Product", nullptr,
         nullptr},
        // Within the names a "/" of the path is taken as "\" too, but the "\"
        // before each name must be one.
        {"C:\\P\\A/B\\u.exe", "u.exe", "A\\B", "C:\\P\\A/B", "C:\\P"},
        {"C:\\Program Files/Product\\uninstall.exe", "uninstall.exe", "Product", nullptr, nullptr},
        // A path that is only the tail, or leaves nothing before the directory.
        {"uninstall.exe", "uninstall.exe", "Product", nullptr, nullptr},
        {"uninstall.exe", absent, "Product", nullptr, nullptr},
        {"\\uninstall.exe", "uninstall.exe", "Product", nullptr, nullptr},
        {"Product\\uninstall.exe", "uninstall.exe", "Product", nullptr, nullptr},
        {"\\Product\\uninstall.exe", "uninstall.exe", "Product", nullptr, nullptr},
        {"C:\\Product\\uninstall.exe", "uninstall.exe", "C:\\Product", nullptr, nullptr},
        // Empty names and paths, and no directory at all.
        {"C:\\Program Files\\Product\\uninstall.exe", "", "Product", nullptr, nullptr},
        {"C:\\Program Files\\Product\\uninstall.exe", "uninstall.exe", "", nullptr, nullptr},
        {"C:\\Program Files\\Product\\uninstall.exe", "uninstall.exe", nullptr, nullptr, nullptr},
        {"C:\\Program Files\\Product\\", absent, "Product", nullptr, nullptr},
        {"", absent, "Product", nullptr, nullptr},
        {"", "uninstall.exe", "Product", nullptr, nullptr},
    };
    for (const Case &c : cases) {
        std::string label = std::string(c.path) + " | " +
                            (c.uninstallerName ? c.uninstallerName : "(none)") + " | " +
                            (c.directoryName ? c.directoryName : "(none)");
        UninstallerFolder folder = {12345, 67890};
        int found = UninstallerFolderFind(c.path, c.uninstallerName, c.directoryName, &folder);
        if (c.directory == nullptr) {
            EXPECT_EQ(found, 0) << label;
            EXPECT_EQ(folder.directoryLength, 12345u) << label << ": unchanged when not found";
            continue;
        }
        ASSERT_EQ(found, 1) << label;
        EXPECT_EQ(std::string(c.path, folder.directoryLength), c.directory) << label;
        EXPECT_EQ(std::string(c.path, folder.baseLength), c.base) << label;
    }
}
