// The Start-menu shortcuts: one shell link per manifest entry, in a folder
// named after the product inside the user's Programs folder. Their removal
// is a file of its own (shortcut_removal.cpp), so that the uninstaller
// carries no link making and the installer no link removal.
#include <windows.h>

#include <shlobj.h>

#include "package/relative_names.h"
#include "system/system.h"
#include "system/wide_path.h"

static HRESULT ShellLinkCreate(IShellLinkA **link) {
    return CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                            reinterpret_cast<void **>(link));
}

ShortcutLinkCreateFunction shortcutLinkCreate = ShellLinkCreate;

// Creates every folder along the link's path up to its last "\", from the
// fifth character on (a drive root is never created). Folders that exist or
// cannot be made are passed over: the save then tells.
static void MakeLinkFolders(WCHAR *link) {
    if (lstrlenW(link) < 4) {
        return;
    }
    for (WCHAR *c = link + 4; *c != 0; c++) {
        if (*c == L'\\') {
            *c = 0;
            CreateDirectoryW(link, NULL);
            *c = L'\\';
        }
    }
}

// One link object per shortcut, released before the next one is made. The
// icon is a nicety: a link whose icon cannot be set is saved all the same.
static int ShortcutSave(const WCHAR *link, const char *target, int32_t iconIndex,
                        const char *workingDirectory) {
    IShellLinkA *shellLink = nullptr;
    IPersistFile *file = nullptr;
    HRESULT hr = shortcutLinkCreate(&shellLink);
    if (SUCCEEDED(hr)) {
        hr = shellLink->SetPath(target);
    }
    if (SUCCEEDED(hr)) {
        shellLink->SetIconLocation(target, iconIndex);
        hr = shellLink->SetWorkingDirectory(workingDirectory);
    }
    if (SUCCEEDED(hr)) {
        hr = shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file));
    }
    if (SUCCEEDED(hr)) {
        hr = file->Save(link, TRUE);
    }
    if (shellLink != nullptr) {
        shellLink->Release();
    }
    if (file != nullptr) {
        file->Release();
    }
    return SUCCEEDED(hr);
}

// A name or target that would leave its folder, or a path that would not
// fit MAX_PATH, makes no link and counts as a failure. The link's path is
// wide below the Programs folder; the target stays ANSI, as the install
// directory is.
static int ShortcutCreate(const ShortcutEntry *entry, const WCHAR *programs,
                          const char *productName, const char *directory) {
    char target[MAX_PATH];
    WCHAR link[MAX_PATH];
    if (!ShortcutLinkPath(link, programs, productName, entry) ||
        !RelativePathBuild(target, directory, entry->targetPath, nullptr)) {
        return 0;
    }
    MakeLinkFolders(link);
    return ShortcutSave(link, target, entry->iconIndex, directory);
}

// The list runs from its head, so of two links with one name the one whose
// manifest line stands first is saved last and remains.
int CreateShortcuts(const InstallDescription *description, const char *directory) {
    if (description->shortcuts == nullptr) {
        return 1;
    }
    WCHAR programs[MAX_PATH];
    if (!SHGetSpecialFolderPathW(NULL, programs, CSIDL_PROGRAMS, FALSE) ||
        !ProductNameIsSafe(description->productName)) {
        return 0;
    }
    int allSaved = 1;
    for (const ShortcutEntry *entry = description->shortcuts; entry != nullptr;
         entry = entry->next) {
        if (!ShortcutCreate(entry, programs, description->productName, directory)) {
            allSaved = 0;
        }
    }
    return allSaved;
}
