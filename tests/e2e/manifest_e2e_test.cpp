// Packages whose manifest cannot drive an install are refused like damaged
// ones: the package failure message, then exit code -1.
#include <gtest/gtest.h>

#include "e2e_support.h"

// An installer with one file and, when manifest is not null, that manifest.
static std::string InstallerWithManifest(const char *manifest) {
    std::vector<TestEntry> entries = {{"\\readme.txt", std::string(100, 'r')}};
    if (manifest != NULL)
        entries.push_back({"\\#Manifest", manifest});
    return MakeInstaller(entries);
}

TEST(ManifestE2E, UnusableManifestsAreRefusedLikeDamagedPackages) {
    ASSERT_FALSE(StubImage().empty());
    std::string folder = MakeTestFolder("manifest");
    struct Case {
        const char *file;
        const char *manifest;
    } cases[] = {
        {"no_manifest.exe", NULL},
        {"no_directory.exe", "productname = \"E2E Product\"\r\n"},
        {"unsafe_directory.exe",
         "productname = \"E2E Product\"\r\ndirectory = \"..\\Windows\"\r\n"},
    };
    for (const Case &c : cases) {
        std::string path = folder + "\\" + c.file;
        WriteFileBytes(path, InstallerWithManifest(c.manifest));
        ExpectPackageFailure(path);
    }
}
