// The generated uninstaller with the real programs: qpack.exe builds the
// installer (and its uninstaller) from a payload folder, the stub installs
// it, and qunpack-uninstall.exe takes it away again.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <set>

#include "../unit/icon_bytes.h"
#include "e2e_support.h"

namespace {

const char kProduct[] = "E2E Removal";

std::string InstallFolder(const std::string &product = kProduct) {
    return SpecialFolder(CSIDL_PROGRAM_FILES) + "\\" + product;
}

std::string ProgramsFolder(const std::string &product = kProduct) {
    return SpecialFolder(CSIDL_PROGRAMS) + "\\" + product;
}

// Every file and folder below root, "\" separated; empty when root is gone.
void ContentsCollect(const std::string &root, const std::string &below,
                     std::set<std::string> *found) {
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((root + below + "\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string name = data.cFileName;
        if (name == "." || name == "..")
            continue;
        found->insert((below + "\\" + name).substr(1));
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ContentsCollect(root, below + "\\" + name, found);
    } while (FindNextFileA(search, &data));
    FindClose(search);
}

std::set<std::string> Contents(const std::string &root) {
    std::set<std::string> found;
    ContentsCollect(root, "", &found);
    return found;
}

std::string UninstallString(void) {
    char value[MAX_PATH + 3] = "";
    DWORD size = sizeof value - 1;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return "(no key)";
    RegQueryValueExA(key, "UninstallString", NULL, NULL, reinterpret_cast<BYTE *>(value), &size);
    RegCloseKey(key);
    return value;
}

void SetUninstallString(const std::string &command) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kUninstallKey, &key), ERROR_SUCCESS);
    RegSetValueExA(key, "UninstallString", 0, REG_SZ,
                   reinterpret_cast<const BYTE *>(command.c_str()),
                   static_cast<DWORD>(command.size() + 1));
    RegCloseKey(key);
}

DWORD RunToEnd(const std::string &program, const std::string &arguments) {
    Program started;
    if (!StartProgram(program, arguments, &started))
        return 0xFFFFFFFF;
    DWORD code = WaitProgram(&started, E2E_TIMEOUT_MS);
    CloseProgram(&started);
    return code;
}

// Where the manifest puts the product: its directory below Program Files,
// its uninstaller and the shortcut to its guide, "\" or "/" separated.
struct ProductNames {
    std::string directory = kProduct;
    std::string uninstaller = "uninstall.exe";
    std::string guide = "Help\\Guide";
    std::string product = kProduct;
};

// Builds the installer with qpack.exe from a payload with subfolders, an
// empty file, two shortcuts (one in a subfolder) and an origin; extra is
// added to qpack's arguments. Returns the installer's path.
std::string BuildProduct(const std::string &folder, const std::string &extra,
                         bool vendorUninstaller = false, const ProductNames &names = {}) {
    std::string payload = folder + "\\payload";
    CreateDirectoryA(payload.c_str(), NULL);
    CreateDirectoryA((payload + "\\docs").c_str(), NULL);
    CreateDirectoryA((payload + "\\docs\\deep").c_str(), NULL);
    WriteFileBytes(payload + "\\app.txt", "the product\r\n");
    WriteFileBytes(payload + "\\empty.dat", "");
    WriteFileBytes(payload + "\\docs\\guide.txt", "a guide\r\n");
    WriteFileBytes(payload + "\\docs\\deep\\notes.txt", std::string(20000, 'n'));
    if (vendorUninstaller)
        WriteFileBytes(payload + "\\uninstall.exe", "the vendor's own");
    WriteFileBytes(folder + "\\manifest.txt",
                   std::string("productname = \"") + names.product + "\"\r\ndirectory = \"" +
                       names.directory + "\"\r\norigin = \"e2e\"\r\nuninstaller = \"" +
                       names.uninstaller +
                       "\"\r\nmainwindowname = \"E2E Removal Product\"\r\n"
                       "shortcut = \"App\", \"app.txt\", 0\r\n"
                       "shortcut = \"" +
                       names.guide + "\", \"docs/guide.txt\", 0\r\n");
    std::string installer = folder + "\\setup.exe";
    DWORD code = RunToEnd(BesideTests("qpack.exe"),
                          "build -o \"" + installer + "\" --stub \"" + BesideTests("qunpack.exe") +
                              "\" --manifest \"" + folder + "\\manifest.txt\" " + extra + " \"" +
                              payload + "\"");
    EXPECT_EQ(code, 0u);
    return installer;
}

// Installs a fresh copy of the product with its generated uninstaller.
std::string InstallProduct(const std::string &folder) {
    RemoveTree(InstallFolder());
    RemoveTree(ProgramsFolder());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey);
    InstallerRun run;
    RunInstaller(BuildProduct(folder, ""), IDYES, &run);
    ExpectBox(run.outcome, std::string(kProduct) + " has been successfully installed.",
              MB_ICONINFORMATION | MB_OK, kProgressWindowClass);
    EXPECT_TRUE(FileExists(InstallFolder() + "\\uninstall.exe"));
    return InstallFolder() + "\\uninstall.exe";
}

// Starts the uninstaller at path, answers its question with answer and
// presses OK on the message that follows (if any). Returns the messages.
std::vector<std::string> Uninstall(const std::string &path, int answer, DWORD *exitCode,
                                   const std::string &product = kProduct) {
    std::vector<std::string> texts;
    Program program;
    if (!StartProgram(path, "", &program)) {
        ADD_FAILURE() << "cannot start " << path;
        return texts;
    }
    SeenBox box;
    if (WaitForBox(&program, E2E_TIMEOUT_MS, &box)) {
        texts.push_back(box.text);
        bool question = box.text.find("Do you want") == 0;
        if (question) {
            EXPECT_EQ(box.type, static_cast<UINT>(MB_ICONQUESTION | MB_YESNO));
            EXPECT_EQ(box.ownerTitle, "Removing " + product);
        }
        AnswerBox(box, question ? answer : IDOK);
        SeenBox outcome;
        if (question && answer == IDYES && WaitForBox(&program, E2E_TIMEOUT_MS, &outcome)) {
            texts.push_back(outcome.text);
            bool removed = outcome.text.find(" has been removed.") != std::string::npos;
            EXPECT_EQ(outcome.type,
                      static_cast<UINT>((removed ? MB_ICONINFORMATION : MB_ICONWARNING) | MB_OK))
                << outcome.text;
            AnswerBox(outcome, IDOK);
        }
    }
    *exitCode = WaitProgram(&program, E2E_TIMEOUT_MS);
    CloseProgram(&program);
    return texts;
}

// What a restart does to the files Windows was asked to delete then.
void Restart(void) {
    RunToEnd(SpecialFolder(CSIDL_SYSTEM) + "\\wineboot.exe", "-r");
}

TEST(UninstallE2E, RoundTripLeavesOnlyTheUsersFiles) {
    std::string folder = MakeTestFolder("uninstall-round-trip");
    std::string uninstaller = InstallProduct(folder);
    EXPECT_EQ(UninstallString(), "\"" + uninstaller + "\"");
    EXPECT_TRUE(FileExists(ProgramsFolder() + "\\Help\\Guide.lnk"));
    EXPECT_TRUE(FileExists(InstallFolder() + "\\.origin"));
    WriteFileBytes(InstallFolder() + "\\mine.txt", "the user's");
    WriteFileBytes(InstallFolder() + "\\docs\\deep\\mine.txt", "the user's too");

    DWORD code = 0;
    std::vector<std::string> texts = Uninstall(uninstaller, IDYES, &code);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0],
              std::string("Do you want to remove ") + kProduct + " and all of its components?");
    EXPECT_EQ(texts[1], std::string(kProduct) + " has been removed.");
    EXPECT_EQ(code, 0u);
    Restart();
    EXPECT_EQ(Contents(InstallFolder()),
              (std::set<std::string>{"docs", "docs\\deep", "docs\\deep\\mine.txt", "mine.txt"}));
    EXPECT_FALSE(FileExists(ProgramsFolder()));
    EXPECT_EQ(UninstallString(), "(no key)");
    RemoveTree(InstallFolder());
    RemoveTree(folder);
}

TEST(UninstallE2E, DeclinedOrMisplacedRemovesNothing) {
    std::string folder = MakeTestFolder("uninstall-declined");
    std::string uninstaller = InstallProduct(folder);
    std::set<std::string> installed = Contents(InstallFolder());

    DWORD code = 0;
    std::vector<std::string> texts = Uninstall(uninstaller, IDNO, &code);
    EXPECT_EQ(texts.size(), 1u);
    EXPECT_EQ(code, 2u);
    EXPECT_EQ(Contents(InstallFolder()), installed);

    // A copy somewhere else knows the product's files by name only.
    std::string copy = folder + "\\uninstall.exe";
    ASSERT_TRUE(CopyFileA(uninstaller.c_str(), copy.c_str(), FALSE));
    WriteFileBytes(folder + "\\app.txt", "not the product's");
    texts = Uninstall(copy, IDYES, &code);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].find("This uninstaller is not in the install folder"), 0u) << texts[0];
    EXPECT_EQ(code, 2u);
    EXPECT_EQ(Contents(InstallFolder()), installed);
    EXPECT_TRUE(FileExists(folder + "\\app.txt"));
    EXPECT_TRUE(FileExists(ProgramsFolder() + "\\App.lnk"));
    EXPECT_EQ(UninstallString(), "\"" + uninstaller + "\"");

    // A damaged uninstaller says so and removes nothing.
    std::string bytes = ReadFileBytes(uninstaller);
    bytes[bytes.size() - 40] ^= 0x55;
    WriteFileBytes(uninstaller, bytes);
    texts = Uninstall(uninstaller, IDYES, &code);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].find("Failed to read package file."), 0u) << texts[0];
    EXPECT_EQ(code, 0xFFFFFFFFu);
    EXPECT_EQ(Contents(InstallFolder()), installed);
    RemoveTree(folder);
}

// A file held without sharing and a hidden file of the user's at a listed
// path stay and are counted; the rest goes, and the entry and the
// uninstaller stay for a second run, which finishes the job once the
// files are free, and leaves the key that a later install of another
// product rewrote.
TEST(UninstallE2E, FilesThatStayKeepTheEntryForASecondRun) {
    std::string folder = MakeTestFolder("uninstall-in-use");
    std::string uninstaller = InstallProduct(folder);
    std::string held = InstallFolder() + "\\docs\\guide.txt";
    HANDLE file = CreateFileA(held.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::string hidden = InstallFolder() + "\\app.txt";
    WriteFileBytes(hidden, "the user's, hidden");
    ASSERT_TRUE(SetFileAttributesA(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN));

    DWORD code = 0;
    std::vector<std::string> texts = Uninstall(uninstaller, IDYES, &code);
    CloseHandle(file);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_NE(texts[1].find("2 files could not be removed"), std::string::npos) << texts[1];
    EXPECT_EQ(code, 1u);
    Restart();
    EXPECT_EQ(Contents(InstallFolder()),
              (std::set<std::string>{"app.txt", "docs", "docs\\guide.txt", "uninstall.exe"}));
    EXPECT_EQ(ReadFileBytes(hidden), "the user's, hidden");
    EXPECT_FALSE(FileExists(ProgramsFolder()));
    EXPECT_EQ(UninstallString(), "\"" + uninstaller + "\"");

    SetFileAttributesA(hidden.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(hidden.c_str());
    SetUninstallString("\"C:\\Program Files\\Other\\uninstall.exe\"");
    texts = Uninstall(uninstaller, IDYES, &code);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1], std::string(kProduct) + " has been removed.");
    EXPECT_EQ(code, 0u);
    Restart();
    EXPECT_FALSE(FileExists(InstallFolder()));
    EXPECT_EQ(UninstallString(), "\"C:\\Program Files\\Other\\uninstall.exe\"");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey);
    RemoveTree(folder);
}

// "/" in the directory, the uninstaller's and a shortcut's name, and a
// vendor's folder around the install folder: every step builds the same
// paths, the entry names the uninstaller, and after the restart nothing is
// left but the user's files; an empty vendor folder goes too, never
// Program Files.
TEST(UninstallE2E, RoundTripsWithSlashesAndVendorFoldersLeaveOnlyTheUsersFiles) {
    struct Case {
        ProductNames names;
        std::string vendor, installFolder, uninstaller, guideLink;
        std::set<std::string> left; // below the vendor's folder, after the restart
    };
    const Case cases[] = {
        {{"E2E Slash/Removal", "bin/uninstall.exe", "Tools/Guide"},
         "E2E Slash",
         "E2E Slash\\Removal",
         "bin\\uninstall.exe",
         "Tools\\Guide.lnk",
         {"mine.txt"}},
        {{"E2E Vendor\\Two\\Removal", "uninstall.exe", "Help\\Guide"},
         "E2E Vendor",
         "E2E Vendor\\Two\\Removal",
         "uninstall.exe",
         "Help\\Guide.lnk",
         {}},
    };
    std::string programFiles = SpecialFolder(CSIDL_PROGRAM_FILES);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.names.directory);
        std::string folder = MakeTestFolder("uninstall-names");
        std::string vendor = programFiles + "\\" + c.vendor;
        std::string target = programFiles + "\\" + c.installFolder;
        RemoveTree(vendor);
        RemoveTree(ProgramsFolder());
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey);
        InstallerRun run;
        RunInstaller(BuildProduct(folder, "", false, c.names), IDYES, &run);
        ExpectBox(run.outcome, std::string(kProduct) + " has been successfully installed.",
                  MB_ICONINFORMATION | MB_OK, kProgressWindowClass);
        EXPECT_TRUE(FileExists(target + "\\docs\\deep\\notes.txt"));
        EXPECT_TRUE(FileExists(ProgramsFolder() + "\\" + c.guideLink));
        std::string uninstaller = target + "\\" + c.uninstaller;
        EXPECT_EQ(UninstallString(), "\"" + uninstaller + "\"");
        for (const std::string &mine : c.left)
            WriteFileBytes(vendor + "\\" + mine, "the user's");

        DWORD code = 0;
        std::vector<std::string> texts = Uninstall(uninstaller, IDYES, &code);
        ASSERT_EQ(texts.size(), 2u);
        EXPECT_EQ(texts[1], std::string(kProduct) + " has been removed.");
        EXPECT_EQ(code, 0u);
        EXPECT_EQ(UninstallString(), "(no key)");
        Restart();
        EXPECT_EQ(Contents(vendor), c.left);
        EXPECT_EQ(FileExists(vendor), !c.left.empty());
        EXPECT_TRUE(FileExists(programFiles));
        EXPECT_FALSE(FileExists(ProgramsFolder()));
        RemoveTree(vendor);
        RemoveTree(folder);
    }
}

TEST(UninstallE2E, ARunningProductIsNamedFirstAndCancelRemovesNothing) {
    std::string folder = MakeTestFolder("uninstall-running");
    std::string uninstaller = InstallProduct(folder);
    std::set<std::string> installed = Contents(InstallFolder());
    std::string readyName = "qunpack-e2e-uninstall-ready-" + std::to_string(GetCurrentProcessId());
    HANDLE ready = CreateEventA(NULL, TRUE, FALSE, readyName.c_str());
    Program product = {}, program = {};
    ASSERT_TRUE(StartProgram(
        BesideTests("fake_product.exe"),
        "--ready " + readyName + " --window \"E2E Removal Product\" --close ignore", &product));
    HANDLE both[2] = {ready, product.info.hProcess};
    ASSERT_EQ(WaitForMultipleObjects(2, both, FALSE, E2E_TIMEOUT_MS), WAIT_OBJECT_0);
    CloseHandle(ready);

    ASSERT_TRUE(StartProgram(uninstaller, "", &program));
    SeenBox box;
    ASSERT_TRUE(WaitForBox(&program, E2E_TIMEOUT_MS, &box));
    EXPECT_EQ(box.text.find(std::string("A version of ") + kProduct + " is still running."), 0u)
        << box.text;
    AnswerBox(box, IDCANCEL);
    EXPECT_EQ(WaitProgram(&program, E2E_TIMEOUT_MS), 2u);
    CloseProgram(&program);
    CloseProgram(&product);
    EXPECT_EQ(Contents(InstallFolder()), installed);
    EXPECT_TRUE(FileExists(ProgramsFolder() + "\\App.lnk"));
    RemoveTree(folder);
}

TEST(UninstallE2E, QpackGeneratesOnlyWhatThePayloadLacks) {
    std::string folder = MakeTestFolder("uninstall-qpack");
    std::string generated = BuildProduct(folder, "");
    std::string noneFolder = MakeTestFolder("uninstall-qpack-none");
    std::string vendorFolder = MakeTestFolder("uninstall-qpack-vendor");
    std::string none = BuildProduct(noneFolder, "--no-uninstaller");
    std::string vendor = BuildProduct(vendorFolder, "", true);
    std::string uninstallerStub = ReadFileBytes(BesideTests("qunpack-uninstall.exe"));
    std::string built = ReadFileBytes(generated);
    EXPECT_GT(built.size(), ReadFileBytes(none).size() + uninstallerStub.size() / 4);
    EXPECT_LT(ReadFileBytes(vendor).size(), ReadFileBytes(none).size() + 200);
    EXPECT_EQ(RunToEnd(BesideTests("qpack.exe"), "verify \"" + generated + "\""), 0u);
    RemoveTree(folder);
    RemoveTree(noneFolder);
    RemoveTree(vendorFolder);
}

// ---- The entry in Programs and Features -------------------------------------------

// A value of the key as "type:text" ("dword:5"), "(none)" when missing.
std::string RegistryValue(const std::string &keyPath, const char *name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return "(no key)";
    char data[1024] = "";
    DWORD size = sizeof data - 1, type = 0;
    LONG read = RegQueryValueExA(key, name, NULL, &type, reinterpret_cast<BYTE *>(data), &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS)
        return "(none)";
    if (type == REG_DWORD)
        return "dword:" + std::to_string(*reinterpret_cast<DWORD *>(data));
    return (type == REG_SZ ? "sz:" : "type " + std::to_string(type) + ":") + std::string(data);
}

std::string ProductKey(const std::string &name) {
    return std::string("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\") + name;
}

// What the installed files take, in KiB rounded up.
std::string InstalledKibibytes(const std::string &folder) {
    uint64_t total = 0;
    for (const std::string &name : Contents(folder)) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (name != ".origin" &&
            GetFileAttributesExA((folder + "\\" + name).c_str(), GetFileExInfoStandard, &data) &&
            !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            total += data.nFileSizeLow;
    }
    return "dword:" + std::to_string((total + 1023) / 1024);
}

std::string Today(void) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return "sz:" + std::to_string(now.wYear * 10000 + now.wMonth * 100 + now.wDay);
}

// A branded install, an upgrade to another version, and an unbranded
// reinstall: each leaves exactly its own values, and the uninstaller takes
// the key away.
TEST(UninstallE2E, TheEntryShowsWhatTheInstallerCarriesAndNothingStale) {
    std::string folder = MakeTestFolder("uninstall-entry");
    std::vector<unsigned char> icon = TestIcon();
    WriteFileBytes(folder + "\\product.ico", std::string(icon.begin(), icon.end()));
    std::string branding = "--icon \"" + folder + "\\product.ico\" --version-info \"CompanyName=" +
                           "Vendor Ltd\" --version-info ProductVersion=";
    RemoveTree(InstallFolder());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey);
    const std::string uninstaller = InstallFolder() + "\\uninstall.exe";
    struct Step {
        const char *what;
        std::string extra;
        std::string publisher, version, icon;
    } steps[] = {
        {"branded", branding + "2.5.1", "sz:Vendor Ltd", "sz:2.5.1", "sz:" + uninstaller + ",0"},
        {"an upgrade", branding + "2.6", "sz:Vendor Ltd", "sz:2.6", "sz:" + uninstaller + ",0"},
        {"unbranded", "", "(none)", "(none)", "(none)"},
    };
    for (const Step &step : steps) {
        InstallerRun run;
        RunInstaller(BuildProduct(folder, step.extra), IDYES, &run);
        ExpectBox(run.outcome, std::string(kProduct) + " has been successfully installed.",
                  MB_ICONINFORMATION | MB_OK, kProgressWindowClass);
        std::string key = kUninstallKey;
        EXPECT_EQ(RegistryValue(key, "DisplayName"), std::string("sz:") + kProduct) << step.what;
        EXPECT_EQ(RegistryValue(key, "UninstallString"), "sz:\"" + uninstaller + "\"");
        EXPECT_EQ(RegistryValue(key, "Publisher"), step.publisher) << step.what;
        EXPECT_EQ(RegistryValue(key, "DisplayVersion"), step.version) << step.what;
        EXPECT_EQ(RegistryValue(key, "DisplayIcon"), step.icon) << step.what;
        EXPECT_EQ(RegistryValue(key, "EstimatedSize"), InstalledKibibytes(InstallFolder()));
        EXPECT_EQ(RegistryValue(key, "InstallLocation"), "sz:" + InstallFolder());
        EXPECT_EQ(RegistryValue(key, "InstallDate"), Today());
        EXPECT_EQ(RegistryValue(key, "NoModify"), "dword:1");
        EXPECT_EQ(RegistryValue(key, "NoRepair"), "dword:1");
    }
    DWORD code = 0;
    EXPECT_EQ(Uninstall(uninstaller, IDYES, &code).size(), 2u);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(RegistryValue(kUninstallKey, "DisplayName"), "(no key)");
    Restart();
    RemoveTree(InstallFolder());
    RemoveTree(folder);
}

// Built with keys of their own, two products keep two entries, and each
// uninstaller takes only its own; neither touches the shared default key.
TEST(UninstallE2E, TwoProductsWithTheirOwnKeysKeepTwoEntries) {
    const std::string products[2] = {"E2E Removal One", "E2E Removal Two"};
    std::string folders[2];
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey);
    for (int i = 0; i < 2; i++) {
        folders[i] = MakeTestFolder("uninstall-two-" + std::to_string(i));
        RemoveTree(InstallFolder(products[i]));
        RemoveTree(ProgramsFolder(products[i]));
        InstallerRun run;
        ProductNames names;
        names.product = names.directory = products[i];
        RunInstaller(
            BuildProduct(folders[i], "--uninstall-key \"" + products[i] + " Key\"", false, names),
            IDYES, &run);
        ExpectBox(run.outcome, products[i] + " has been successfully installed.",
                  MB_ICONINFORMATION | MB_OK, kProgressWindowClass);
    }
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(RegistryValue(ProductKey(products[i] + " Key"), "DisplayName"),
                  "sz:" + products[i]);
    }
    EXPECT_FALSE(UninstallKeyExists());

    DWORD code = 0;
    EXPECT_EQ(
        Uninstall(InstallFolder(products[0]) + "\\uninstall.exe", IDYES, &code, products[0]).size(),
        2u);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(RegistryValue(ProductKey(products[0] + " Key"), "DisplayName"), "(no key)");
    EXPECT_EQ(RegistryValue(ProductKey(products[1] + " Key"), "DisplayName"), "sz:" + products[1]);
    EXPECT_EQ(
        Uninstall(InstallFolder(products[1]) + "\\uninstall.exe", IDYES, &code, products[1]).size(),
        2u);
    EXPECT_EQ(RegistryValue(ProductKey(products[1] + " Key"), "DisplayName"), "(no key)");
    Restart();
    for (int i = 0; i < 2; i++) {
        RemoveTree(InstallFolder(products[i]));
        RemoveTree(folders[i]);
    }
}

} // namespace
