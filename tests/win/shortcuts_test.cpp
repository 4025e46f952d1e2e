// CreateShortcuts and RemoveAutostart in-process: links saved when only the
// icon cannot be set, and the Programs and Startup folders of a profile
// whose path the ANSI code page cannot hold.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <string>

#include "system/system.h"

static const wchar_t kShellFolders[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

// ---- A link object whose setters can be made to fail --------------------------------

enum LinkStep { FAIL_NONE, FAIL_PATH, FAIL_ICON, FAIL_WORKING_DIRECTORY };

static LinkStep failingStep;

// Forwards everything to the shell's own link object but the failing step.
struct FailingLink final : IShellLinkA {
    IShellLinkA *real;
    LONG references = 1;

    HRESULT Fail(LinkStep step) { return failingStep == step ? E_FAIL : S_OK; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        return real->QueryInterface(iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG left = InterlockedDecrement(&references);
        if (left == 0) {
            real->Release();
            delete this;
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetPath(LPSTR file, int size, WIN32_FIND_DATAA *data,
                                      DWORD flags) override {
        return real->GetPath(file, size, data, flags);
    }
    HRESULT STDMETHODCALLTYPE GetIDList(PIDLIST_ABSOLUTE *list) override {
        return real->GetIDList(list);
    }
    HRESULT STDMETHODCALLTYPE SetIDList(PCIDLIST_ABSOLUTE list) override {
        return real->SetIDList(list);
    }
    HRESULT STDMETHODCALLTYPE GetDescription(LPSTR text, int size) override {
        return real->GetDescription(text, size);
    }
    HRESULT STDMETHODCALLTYPE SetDescription(LPCSTR text) override {
        return real->SetDescription(text);
    }
    HRESULT STDMETHODCALLTYPE GetWorkingDirectory(LPSTR text, int size) override {
        return real->GetWorkingDirectory(text, size);
    }
    HRESULT STDMETHODCALLTYPE SetWorkingDirectory(LPCSTR text) override {
        return FAILED(Fail(FAIL_WORKING_DIRECTORY)) ? E_FAIL : real->SetWorkingDirectory(text);
    }
    HRESULT STDMETHODCALLTYPE GetArguments(LPSTR text, int size) override {
        return real->GetArguments(text, size);
    }
    HRESULT STDMETHODCALLTYPE SetArguments(LPCSTR text) override {
        return real->SetArguments(text);
    }
    HRESULT STDMETHODCALLTYPE GetHotkey(WORD *key) override { return real->GetHotkey(key); }
    HRESULT STDMETHODCALLTYPE SetHotkey(WORD key) override { return real->SetHotkey(key); }
    HRESULT STDMETHODCALLTYPE GetShowCmd(int *show) override { return real->GetShowCmd(show); }
    HRESULT STDMETHODCALLTYPE SetShowCmd(int show) override { return real->SetShowCmd(show); }
    HRESULT STDMETHODCALLTYPE GetIconLocation(LPSTR path, int size, int *index) override {
        return real->GetIconLocation(path, size, index);
    }
    HRESULT STDMETHODCALLTYPE SetIconLocation(LPCSTR path, int index) override {
        return FAILED(Fail(FAIL_ICON)) ? E_FAIL : real->SetIconLocation(path, index);
    }
    HRESULT STDMETHODCALLTYPE SetRelativePath(LPCSTR path, DWORD reserved) override {
        return real->SetRelativePath(path, reserved);
    }
    HRESULT STDMETHODCALLTYPE Resolve(HWND window, DWORD flags) override {
        return real->Resolve(window, flags);
    }
    HRESULT STDMETHODCALLTYPE SetPath(LPCSTR file) override {
        return FAILED(Fail(FAIL_PATH)) ? E_FAIL : real->SetPath(file);
    }
};

static HRESULT FailingLinkCreate(IShellLinkA **link) {
    FailingLink *wrapper = new FailingLink;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                  reinterpret_cast<void **>(&wrapper->real));
    if (FAILED(hr)) {
        delete wrapper;
        return hr;
    }
    *link = wrapper;
    return S_OK;
}

// ---- Helpers ---------------------------------------------------------------------------

static std::wstring SpecialFolder(int which) {
    wchar_t path[MAX_PATH] = L"";
    SHGetSpecialFolderPathW(NULL, path, which, FALSE);
    return path;
}

static bool Exists(const std::wstring &path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

static void RemoveFolderTree(const std::wstring &folder) {
    std::wstring copy = folder + L'\0'; // SHFileOperation wants two terminators
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = copy.c_str();
    operation.fFlags = FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI;
    SHFileOperationW(&operation);
}

struct LinkFields {
    std::string target, workingDirectory, iconPath;
    int iconIndex = -1;
};

static bool ReadLink(const std::wstring &path, LinkFields *fields) {
    IShellLinkA *link = nullptr;
    IPersistFile *file = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                  reinterpret_cast<void **>(&link));
    if (SUCCEEDED(hr))
        hr = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file));
    if (SUCCEEDED(hr))
        hr = file->Load(path.c_str(), STGM_READ);
    char text[MAX_PATH] = "";
    if (SUCCEEDED(hr) && SUCCEEDED(link->GetPath(text, MAX_PATH, NULL, SLGP_RAWPATH)))
        fields->target = text;
    if (SUCCEEDED(hr) && SUCCEEDED(link->GetWorkingDirectory(text, MAX_PATH)))
        fields->workingDirectory = text;
    text[0] = 0;
    if (SUCCEEDED(hr) && SUCCEEDED(link->GetIconLocation(text, MAX_PATH, &fields->iconIndex)))
        fields->iconPath = text;
    if (file)
        file->Release();
    if (link)
        link->Release();
    return SUCCEEDED(hr);
}

class ShortcutsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitialize(NULL);
        RemoveFolderTree(SpecialFolder(CSIDL_PROGRAMS) + L"\\" + kProductW);
    }
    void TearDown() override {
        shortcutLinkCreate = savedCreate;
        RemoveFolderTree(SpecialFolder(CSIDL_PROGRAMS) + L"\\" + kProductW);
        CoUninitialize();
    }

    // A description with one shortcut "App" to "bin\app.exe", icon 2.
    int CreateOne(const char *directory) {
        ShortcutEntry entry = {name, target, 2, nullptr};
        InstallDescription description = {};
        description.productName = product;
        description.shortcuts = &entry;
        return CreateShortcuts(&description, directory);
    }

    static constexpr const wchar_t *kProductW = L"Shortcut Test Product";
    char product[32] = "Shortcut Test Product";
    char name[8] = "App";
    char target[16] = "bin\\app.exe";
    ShortcutLinkCreateFunction savedCreate = shortcutLinkCreate;
};

TEST_F(ShortcutsTest, OnlyAMissingIconStillSavesTheLink) {
    struct Case {
        LinkStep failing;
        int result;
        bool saved;
    } cases[] = {{FAIL_NONE, 1, true},
                 {FAIL_ICON, 1, true},
                 {FAIL_PATH, 0, false},
                 {FAIL_WORKING_DIRECTORY, 0, false}};
    std::wstring link = SpecialFolder(CSIDL_PROGRAMS) + L"\\" + kProductW + L"\\App.lnk";
    shortcutLinkCreate = FailingLinkCreate;
    for (const Case &c : cases) {
        failingStep = c.failing;
        DeleteFileW(link.c_str());
        EXPECT_EQ(CreateOne("C:\\Program Files\\Shortcut Test"), c.result) << c.failing;
        LinkFields fields;
        ASSERT_EQ(ReadLink(link, &fields), c.saved) << c.failing;
        if (!c.saved)
            continue;
        EXPECT_EQ(fields.target, "C:\\Program Files\\Shortcut Test\\bin\\app.exe") << c.failing;
        EXPECT_EQ(fields.workingDirectory, "C:\\Program Files\\Shortcut Test") << c.failing;
        if (c.failing == FAIL_ICON) {
            EXPECT_EQ(fields.iconPath, "") << "saved without its icon";
        } else {
            EXPECT_EQ(fields.iconIndex, 2);
        }
    }
}

// Points the user's Programs and Startup folders at a profile folder named
// in Cyrillic, which the ANSI functions see as "????", for one test.
class ForeignProfileTest : public ShortcutsTest {
  protected:
    void SetUp() override {
        CoInitialize(NULL);
        profile = SpecialFolder(CSIDL_APPDATA) + L"\\\x041f\x0440\x043e\x0444\x0438\x043b\x044c";
        RemoveFolderTree(profile);
        ASSERT_TRUE(CreateDirectoryW(profile.c_str(), NULL));
        CreateDirectoryW((profile + L"\\Programs").c_str(), NULL);
        CreateDirectoryW((profile + L"\\Startup").c_str(), NULL);
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kShellFolders, 0, KEY_ALL_ACCESS, &key),
                  ERROR_SUCCESS);
        Redirect(L"Programs", profile + L"\\Programs", &savedPrograms);
        Redirect(L"Startup", profile + L"\\Startup", &savedStartup);
    }
    void TearDown() override {
        Restore(L"Programs", savedPrograms);
        Restore(L"Startup", savedStartup);
        RegCloseKey(key);
        RemoveFolderTree(profile);
        CoUninitialize();
    }

    struct SavedValue {
        bool present = false;
        DWORD type = REG_EXPAND_SZ;
        std::wstring data;
    };
    void Redirect(const wchar_t *name, const std::wstring &folder, SavedValue *saved) {
        wchar_t data[1024];
        DWORD size = sizeof data - sizeof(wchar_t);
        if (RegQueryValueExW(key, name, NULL, &saved->type, reinterpret_cast<BYTE *>(data),
                             &size) == ERROR_SUCCESS) {
            saved->present = true;
            saved->data.assign(data, size / sizeof(wchar_t));
        }
        Write(name, REG_SZ, folder + L'\0');
    }
    void Restore(const wchar_t *name, const SavedValue &saved) {
        if (saved.present)
            Write(name, saved.type, saved.data);
        else
            RegDeleteValueW(key, name);
    }
    void Write(const wchar_t *name, DWORD type, const std::wstring &data) {
        RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE *>(data.c_str()),
                       static_cast<DWORD>(data.size() * sizeof(wchar_t)));
    }

    std::wstring profile;
    HKEY key = NULL;
    SavedValue savedPrograms, savedStartup;
};

TEST_F(ForeignProfileTest, LinksAreMadeAndTheStartupLinkIsFound) {
    ASSERT_EQ(SpecialFolder(CSIDL_PROGRAMS), profile + L"\\Programs");
    char ansi[MAX_PATH] = "";
    SHGetSpecialFolderPathA(NULL, ansi, CSIDL_PROGRAMS, FALSE);
    ASSERT_EQ(std::string(ansi).find('?') != std::string::npos, true)
        << "the ANSI path must lose the name for this test to mean anything";

    EXPECT_EQ(CreateOne("C:\\Program Files\\Shortcut Test"), 1);
    LinkFields fields;
    EXPECT_TRUE(ReadLink(profile + L"\\Programs\\" + kProductW + L"\\App.lnk", &fields));
    EXPECT_EQ(fields.target, "C:\\Program Files\\Shortcut Test\\bin\\app.exe");

    std::wstring startupLink = profile + L"\\Startup\\Shortcut Test Product.lnk";
    HANDLE file = CreateFileW(startupLink.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    RemoveAutostart("Shortcut Test Product");
    EXPECT_FALSE(Exists(startupLink));
}
