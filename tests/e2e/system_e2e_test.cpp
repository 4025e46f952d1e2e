// The install steps around the extraction, with the real stub: stale files,
// the origin marker, the Start-menu shortcuts and the uninstall entry.
#include <gtest/gtest.h>
#include <shlobj.h>

#include "e2e_support.h"

static const char kProduct[] = "E2E System Product";
static const char kWarningText[] =
    "E2E System Product has been installed, but its Start menu shortcuts or its uninstall "
    "entry could not be created.";

static std::string ProductLinks(void) {
    return SpecialFolder(CSIDL_PROGRAMS) + "\\" + kProduct;
}

// A clean install directory below Program Files, with its parent made.
static std::string FreshInstallDirectory(const std::string &name) {
    std::string parent = SpecialFolder(CSIDL_PROGRAM_FILES) + "\\E2E System";
    std::string directory = parent + "\\" + name;
    RemoveTree(directory);
    RemoveTree(ProductLinks());
    CreateDirectoryA(parent.c_str(), NULL);
    return directory;
}

static std::string MakeSystemInstaller(const std::string &name, const std::string &lines,
                                       std::vector<TestEntry> entries) {
    std::string manifest = std::string("productname = \"") + kProduct +
                           "\"\r\ndirectory = \"E2E System\\" + name + "\"\r\n" + lines;
    entries.push_back({"\\#Manifest", manifest});
    std::string path = MakeTestFolder("system-" + name) + "\\setup.exe";
    WriteFileBytes(path, MakeInstaller(entries));
    return path;
}

static bool ReadRegistryString(const char *name, std::string *value) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    char data[1024] = "";
    DWORD type = 0, size = sizeof data;
    LONG result = RegQueryValueExA(key, name, NULL, &type, reinterpret_cast<BYTE *>(data), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ)
        return false;
    value->assign(data, size);
    return true;
}

static void WriteRegistryString(const char *name, const std::string &value) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kUninstallKey, &key), ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
}

static void ExpectLink(const std::string &link, const std::string &target,
                       const std::string &directory, int iconIndex) {
    ShellLinkFields fields;
    ASSERT_TRUE(ReadShellLink(link, &fields)) << link;
    EXPECT_EQ(fields.target, target) << link;
    EXPECT_EQ(fields.workingDirectory, directory) << link;
    EXPECT_EQ(fields.iconPath, target) << link;
    EXPECT_EQ(fields.iconIndex, iconIndex) << link;
}

TEST(SystemE2E, FullManifestMakesLinksRegistersAndReplacesStaleFiles) {
    std::string directory = FreshInstallDirectory("Full");
    CreateDirectoryA(directory.c_str(), NULL);
    WriteFileBytes(directory + "\\old.txt", "stale");
    WriteFileBytes(directory + "\\readme.txt", "old readme");
    WriteFileBytes(directory + "\\unlisted.txt", "stays");
    // An earlier install's values, and one that another program put there.
    WriteRegistryString("DisplayName", "Earlier Product");
    WriteRegistryString("UninstallString", "C:\\earlier.exe");
    WriteRegistryString("Extra", "left alone");

    std::string path =
        MakeSystemInstaller("Full",
                            "origin = \"made by the e2e test\"\r\n"
                            "uninstaller = \"bin\\uninstall.exe\"\r\n"
                            "shortcut = \"Same\", \"first.txt\", 0\r\n"
                            "shortcut = \"Tools\\Run tool\", \"bin\\tool.txt\", 3\r\n"
                            "shortcut = \"Same\", \"second.txt\", 1\r\n"
                            "delfile = \"old.txt\"\r\n"
                            "delfile = \"readme.txt\"\r\n"
                            "delfile = \"old.txt\"\r\n"
                            "delfile = \"missing.txt\"\r\n",
                            {{"\\first.txt", "1"},
                             {"\\second.txt", "2"},
                             {"\\readme.txt", "new readme"},
                             {"\\bin\\tool.txt", "tool"},
                             {"\\bin\\uninstall.exe", "MZ"}});
    InstallerRun run;
    RunInstaller(path, IDYES, &run);
    ExpectBox(run.outcome, std::string(kProduct) + " has been successfully installed.",
              MB_ICONINFORMATION | MB_OK, kProgressWindowClass);
    EXPECT_EQ(run.exitCode, 0u);

    EXPECT_FALSE(FileExists(directory + "\\old.txt"));
    EXPECT_EQ(ReadFileBytes(directory + "\\readme.txt"), "new readme");
    EXPECT_EQ(ReadFileBytes(directory + "\\unlisted.txt"), "stays");
    EXPECT_EQ(ReadFileBytes(directory + "\\.origin"), "made by the e2e test");

    ExpectLink(ProductLinks() + "\\Same.lnk", directory + "\\first.txt", directory, 0);
    ExpectLink(ProductLinks() + "\\Tools\\Run tool.lnk", directory + "\\bin\\tool.txt", directory,
               3);

    std::string value;
    EXPECT_TRUE(ReadRegistryString("", &value));
    EXPECT_EQ(value, std::string("", 1));
    EXPECT_TRUE(ReadRegistryString("DisplayName", &value));
    EXPECT_EQ(value, std::string(kProduct) + std::string("", 1));
    EXPECT_TRUE(ReadRegistryString("UninstallString", &value));
    EXPECT_EQ(value, "\"" + directory + "\\bin\\uninstall.exe\"" + std::string("", 1));
    EXPECT_TRUE(ReadRegistryString("Extra", &value));
    EXPECT_EQ(value, std::string("left alone", 11));
}

TEST(SystemE2E, UnsafeNamesTouchNothingOutsideAndTheInstallSaysSo) {
    std::string directory = FreshInstallDirectory("Unsafe");
    std::string outside = SpecialFolder(CSIDL_PROGRAM_FILES) + "\\E2E System\\outside.txt";
    CreateDirectoryA(directory.c_str(), NULL);
    CreateDirectoryA((directory + "\\sub").c_str(), NULL);
    WriteFileBytes(outside, "outside");
    WriteFileBytes(directory + "\\.origin", "earlier origin");

    std::string path =
        MakeSystemInstaller("Unsafe",
                            "origin = \"new origin\"\r\n"
                            "delfile = \"..\\outside.txt\"\r\n"
                            "delfile = \"../outside.txt\"\r\n"
                            "delfile = \"sub\\..\\..\\outside.txt\"\r\n"
                            "delfile = \"sub/../../outside.txt\"\r\n"
                            "delfile = \"" +
                                outside +
                                "\"\r\n"
                                "shortcut = \"..\\..\\Escaped\", \"app.txt\", 0\r\n"
                                "shortcut = \"C:Escaped\", \"app.txt\", 0\r\n"
                                "shortcut = \"Outside target\", \"..\\outside.txt\", 0\r\n",
                            {{"\\app.txt", "app"}});
    InstallerRun run;
    RunInstaller(path, IDYES, &run);
    ExpectBox(run.outcome, kWarningText, MB_ICONWARNING | MB_OK, kProgressWindowClass);
    EXPECT_EQ(run.exitCode, 0u);

    EXPECT_EQ(ReadFileBytes(outside), "outside");
    EXPECT_EQ(ReadFileBytes(directory + "\\.origin"), "earlier origin");
    EXPECT_EQ(ReadFileBytes(directory + "\\app.txt"), "app");
    EXPECT_FALSE(FileExists(ProductLinks()));
    EXPECT_FALSE(FileExists(SpecialFolder(CSIDL_PROGRAMS) + "\\Escaped.lnk"));
    EXPECT_FALSE(FileExists(SpecialFolder(CSIDL_STARTMENU) + "\\Escaped.lnk"));
    DeleteFileA(outside.c_str());
}

TEST(SystemE2E, BareManifestMakesNoLinksNoOriginAndNoUninstallKey) {
    std::string directory = FreshInstallDirectory("Bare");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey);
    ASSERT_FALSE(UninstallKeyExists());

    std::string path = MakeSystemInstaller("Bare", "", {{"\\app.txt", "app"}});
    InstallerRun run;
    RunInstaller(path, IDYES, &run);
    ExpectBox(run.outcome, std::string(kProduct) + " has been successfully installed.",
              MB_ICONINFORMATION | MB_OK, kProgressWindowClass);
    EXPECT_EQ(run.exitCode, 0u);

    EXPECT_EQ(ReadFileBytes(directory + "\\app.txt"), "app");
    EXPECT_FALSE(FileExists(directory + "\\.origin"));
    EXPECT_FALSE(FileExists(ProductLinks()));
    EXPECT_FALSE(UninstallKeyExists());
}
