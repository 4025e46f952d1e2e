// The uninstaller's entry point and run sequence: the installer's start-up
// (COM, the region heap, the installer-wide lock, its own package and
// manifest), then the check that it stands in the product's folder, the
// product's running copy, and the removal in the progress window.
#include <windows.h>

#include <stdio.h>

#include "driver/driver.h"
#include "heap/region_heap.h"
#include "manifest/manifest.h"
#include "package/package.h"
#include "text/text_format.h"
#include "ui/progress_window.h"
#include "removal/removal.h"
#include "uninstaller/uninstaller.h"

// Inflates "#Files" into a region-heap block; 0 when it is missing or
// damaged.
static int FileListLoad(void) {
    const DirectoryRecord *record = PackageFindEntry(REMOVAL_LIST_ENTRY_NAME);
    if (record == nullptr)
        return 0;
    uint32_t size = DirectoryRecordSize(record);
    char *list = static_cast<char *>(RegionHeapAlloc(size + 1));
    if (list == nullptr)
        return 0;
    if (!PackageReadEntryFull(list, record)) {
        RegionHeapFree(list);
        return 0;
    }
    uninstallRun.list = list;
    uninstallRun.listLength = size;
    return 1;
}

static int OwnPathFind(void) {
    DWORD length = GetModuleFileNameA(NULL, uninstallRun.ownPath, MAX_PATH);
    return length > 0 && length < MAX_PATH;
}

// Everything after the manifest: where it stands, the running product, the
// removal. Returns the exit code.
static int UninstallRunChecked(InstallDescription *description) {
    if (!UninstallFolderFind(description)) {
        ShowFormattedMessage(GetDesktopWindow(), MB_ICONERROR,
                             "This uninstaller is not in the install folder of %s.\n\nNothing "
                             "has been removed.",
                             description->productName);
        return UNINSTALL_EXIT_DECLINED;
    }
    if (!CheckPreviousInstance(description->mutexName, description->mainWindowName,
                               description->productName))
        return UNINSTALL_EXIT_DECLINED;
    uninstallRun.exitCode = UNINSTALL_EXIT_DECLINED;
    progressWindowSequence = RunUninstall;
    progressWindowVerb = "Removing";
    ProgressWindowRun(description);
    return uninstallRun.exitCode;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;

    RestrictDllSearch();
    HRESULT com = CoInitialize(NULL);
    if (FAILED(com))
        return UNINSTALL_EXIT_STOPPED;
    RegionHeapInit();

    // An install and an uninstall never run at once.
    InstallerLock lock;
    if (!InstallerLockAcquire(&lock)) {
        if (com == S_OK)
            CoUninitialize();
        RegionHeapShutdown();
        return UNINSTALL_EXIT_STOPPED;
    }

    InstallDescription description = {};
    int exitCode = UNINSTALL_EXIT_STOPPED;
    if (!PackageOpen() || !ManifestLoad(&description) || !ManifestIsUsable(&description) ||
        !FileListLoad() || !OwnPathFind())
        MessageBoxA(GetDesktopWindow(), kPackageFailureText, kMessageCaption, MB_ICONERROR);
    else
        exitCode = UninstallRunChecked(&description);

    if (uninstallRun.list != nullptr)
        RegionHeapFree(const_cast<char *>(uninstallRun.list));
    ManifestFree(&description);
    PackageClose();
    InstallerLockRelease(&lock);
    if (com == S_OK)
        CoUninitialize();
    RegionHeapShutdown();
    return exitCode;
}
