// The Start-menu shortcuts: one shell link per manifest entry, in a folder
// named after the product inside the user's Programs folder.
#include <windows.h>

#include <shlobj.h>

#include "package/extract.h"
#include "package/relative_names.h"
#include "system/system.h"

// One link object per shortcut, released before the next one is made.
static int ShortcutSave(const char *link, const char *target, int32_t iconIndex,
                        const char *workingDirectory) {
    IShellLinkA *shellLink = nullptr;
    IPersistFile *file = nullptr;
    WCHAR wideLink[MAX_PATH];
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                  reinterpret_cast<void **>(&shellLink));
    if (SUCCEEDED(hr)) {
        hr = shellLink->SetPath(target);
    }
    if (SUCCEEDED(hr)) {
        hr = shellLink->SetIconLocation(target, iconIndex);
    }
    if (SUCCEEDED(hr)) {
        hr = shellLink->SetWorkingDirectory(workingDirectory);
    }
    if (SUCCEEDED(hr)) {
        hr = shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file));
    }
    if (SUCCEEDED(hr) &&
        MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, link, -1, wideLink, MAX_PATH) == 0) {
        hr = E_FAIL;
    }
    if (SUCCEEDED(hr)) {
        hr = file->Save(wideLink, TRUE);
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
// fit MAX_PATH, makes no link and counts as a failure.
static int ShortcutCreate(const ShortcutEntry *entry, const char *productFolder,
                          const char *directory) {
    char link[MAX_PATH];
    char target[MAX_PATH];
    if (!RelativePathBuild(link, productFolder, entry->shortcutName, ".lnk") ||
        !RelativePathBuild(target, directory, entry->targetPath, nullptr)) {
        return 0;
    }
    MakeParentDirectories(link);
    return ShortcutSave(link, target, entry->iconIndex, directory);
}

// The list runs from its head, so of two links with one name the one whose
// manifest line stands first is saved last and remains.
int CreateShortcuts(const InstallDescription *description, const char *directory) {
    if (description->shortcuts == nullptr) {
        return 1;
    }
    char programs[MAX_PATH];
    char productFolder[MAX_PATH];
    if (!SHGetSpecialFolderPathA(NULL, programs, CSIDL_PROGRAMS, FALSE) ||
        !ManifestProductNameIsSafe(description->productName) ||
        !RelativePathBuild(productFolder, programs, description->productName, nullptr)) {
        return 0;
    }
    int allSaved = 1;
    for (const ShortcutEntry *entry = description->shortcuts; entry != nullptr;
         entry = entry->next) {
        if (!ShortcutCreate(entry, productFolder, directory)) {
            allSaved = 0;
        }
    }
    return allSaved;
}
