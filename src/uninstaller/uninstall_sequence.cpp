// The uninstall sequence: where the uninstaller stands, the running
// product, then the question, the removal while the progress window shows
// each file, the uninstaller's own file left to the next restart, and the
// closing message.
#include "uninstaller/uninstaller.h"

#include <string.h>

#include "heap/region_heap.h"
#include "package/package.h"
#include "platform/platform.h"
#include "removal/removal.h"
#include "removal/uninstaller_folder.h"
#include "shell/shell.h"
#include "system/system.h"
#include "text/text_format.h"
#include "ui/progress_window.h"

UninstallRun uninstallRun;

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

// Sets the install directory, the folder it was made in and the own entry's
// name from ownPath; 0 when the program is not in the product's install
// folder.
static int UninstallRunFolderSet(const InstallDescription *description) {
    const char *path = uninstallRun.ownPath;
    UninstallerFolder folder;
    if (!UninstallerFolderFind(path, description->uninstaller, description->directoryName, &folder))
        return 0;
    memcpy(uninstallRun.directory, path, folder.directoryLength);
    uninstallRun.directory[folder.directoryLength] = 0;
    uninstallRun.baseLength = folder.baseLength;
    TextFormat(uninstallRun.ownEntryName, MAX_PATH, "%s", path + folder.directoryLength);
    return 1;
}

// A running program cannot delete its own file: it and the folders it
// stands in (those the removal could not take because of it), up to and
// including a vendor's folder around the install folder but never Program
// Files, are deleted at the next restart, the file first, each folder only
// if empty by then, and never a link. Returns 0 when
// Windows would not take the request.
static int ScheduleSelfRemoval(void) {
    char path[MAX_PATH];
    TextFormat(path, sizeof path, "%s", uninstallRun.ownPath);
    int scheduled = MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
    for (size_t end = strlen(path); end > uninstallRun.baseLength + 1; end--) {
        if (path[end - 1] != '\\')
            continue;
        path[end - 1] = 0;
        if (PlatformPathKindGet(path) == PLATFORM_PATH_FOLDER)
            MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    return scheduled;
}

static void ShowOutcome(HWND window, const InstallDescription *description, uint32_t failed) {
    if (failed == 0) {
        ShowFormattedMessage(window, MB_ICONINFORMATION, "%s has been removed.",
                             description->productName);
        uninstallRun.exitCode = UNINSTALL_EXIT_REMOVED;
        return;
    }
    ShowFormattedMessage(
        window, MB_ICONWARNING,
        "%s was not removed completely: %u %s could not be removed (in use, access "
        "denied or behind a link).\n\nClose any program that may be using them, or restart "
        "your computer, and run this uninstaller again to finish.",
        description->productName, failed, failed == 1 ? "file" : "files");
    uninstallRun.exitCode = UNINSTALL_EXIT_INCOMPLETE;
}

static void UninstallConfirmed(HWND window, const InstallDescription *description) {
    SetStatus("Removing", 0.0f);
    InvalidateRect(window, NULL, FALSE);
    UpdateWindow(window);

    const char *directory = uninstallRun.directory;
    RemovalReport report = {};
    RemovalRemoveListedFiles(directory, uninstallRun.list, uninstallRun.listLength,
                             uninstallRun.ownEntryName, SetStatus, &report);
    RemovalRemoveOwnFile(directory, ".origin", &report);
    SetStatus("Removing shortcuts", 1.0f);
    if (!RemoveShortcuts(description))
        report.failed++;
    SetStatus(NULL, 1.0f);
    // While anything of the product stays, so do its entry and this
    // program: a second run finishes the job.
    if (report.failed == 0 && !UnregisterUninstaller(uninstallRun.ownPath))
        report.failed++;
    RemovalRemoveListedFolders(directory, uninstallRun.list, uninstallRun.listLength);
    if (report.failed == 0 && !ScheduleSelfRemoval())
        report.failed++;
    ShowOutcome(window, description, report.failed);
}

void RunUninstall(HWND window) {
    const InstallDescription *description = progressWindow.description;
    uninstallRun.exitCode = UNINSTALL_EXIT_DECLINED;
    if (ShowFormattedMessage(window, MB_ICONQUESTION | MB_YESNO,
                             "Do you want to remove %s and all of its components?",
                             description->productName) == IDYES)
        UninstallConfirmed(window, description);
    PostMessageA(window, WM_CLOSE, 0, 0);
}

// Everything after the file list and the own path: where it stands, the
// running product, the removal. Returns the exit code.
static int UninstallRunChecked(InstallDescription *description) {
    if (!UninstallRunFolderSet(description)) {
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

int UninstallSequenceRun(InstallDescription *description) {
    int exitCode = UNINSTALL_EXIT_STOPPED;
    if (!FileListLoad() || !OwnPathFind())
        ShowPackageFailure();
    else
        exitCode = UninstallRunChecked(description);
    RegionHeapFree(const_cast<char *>(uninstallRun.list));
    uninstallRun.list = nullptr;
    return exitCode;
}
