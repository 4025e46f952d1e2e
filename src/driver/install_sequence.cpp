// The install sequence: confirmation, install directory, the install steps
// in their fixed order while the progress window shows what happens, and
// the closing message.
#include "driver/install_sequence.h"

#include <shlobj.h>

#include "package/extract.h"
#include "package/install_directory.h"
#include "shell/shell.h"
#include "system/system.h"
#include "ui/progress_window.h"

// The Program Files folder, "\" and the manifest's directory; where the
// shell cannot say where Program Files is, the Windows directory's drive
// stands in. Returns 0 when the result would not fit MAX_PATH.
static int FindInstallDirectory(char *directory, const char *directoryName) {
    char programFiles[MAX_PATH];
    if (SHGetSpecialFolderPathA(NULL, programFiles, CSIDL_PROGRAM_FILES, FALSE))
        return InstallDirectoryBuild(directory, programFiles, NULL, directoryName);
    char windows[MAX_PATH];
    UINT length = GetWindowsDirectoryA(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 0;
    return InstallDirectoryBuild(directory, NULL, windows, directoryName);
}

// Each cause of the failures gets its sentence, in this order: files the
// package delivered damaged will be damaged on every try, so only a new
// download helps; files that found no room need space first; the others
// were most likely held by a program.
static const char kDamagedAdvice[] = "The installer may be damaged: download it again.";
static const char kDiskFullAdvice[] =
    "The disk is full: free some space on it and run this installer again.";
static const char kInUseAdvice[] =
    "Close any program that may be using them and run this installer again.";
static const char kOthersInUseAdvice[] =
    "Close any program that may be using the other files before you run it.";

// The sentences for the causes of an incomplete install, in order; the
// unused ones are empty. Returns how many there are.
static int IncompleteInstallAdvice(const ExtractionReport *files, const char *advice[3]) {
    int count = 0;
    if (files->damaged)
        advice[count++] = kDamagedAdvice;
    if (files->full)
        advice[count++] = kDiskFullAdvice;
    if (files->damaged + files->full < files->failed) {
        advice[count] = count == 0 ? kInUseAdvice : kOthersInUseAdvice;
        count++;
    }
    for (int unused = count; unused < 3; unused++)
        advice[unused] = "";
    return count;
}

static void ShowOutcome(HWND window, const InstallDescription *description,
                        const ExtractionReport *files, int systemStepsDone) {
    const char *product = description->productName;
    if (files->failed > 0) {
        const char *advice[3];
        int sentences = IncompleteInstallAdvice(files, advice);
        ShowFormattedMessage(window, MB_ICONERROR,
                             "%s was not installed completely: %u of %u files could not be "
                             "written.\n\n%s%s%s%s%s",
                             product, files->failed, files->files, advice[0],
                             sentences > 1 ? " " : "", advice[1], sentences > 2 ? " " : "",
                             advice[2]);
    } else if (!systemStepsDone) {
        ShowFormattedMessage(
            window, MB_ICONWARNING,
            "%s has been installed, but its Start menu shortcuts or its uninstall entry "
            "could not be created.",
            product);
    } else {
        ShowFormattedMessage(window, MB_ICONINFORMATION, "%s has been successfully installed.",
                             product);
    }
}

// A paint of the status costs the window system several round trips,
// about as much as writing a small file, and names that change faster than
// the screen shows them tell nobody anything. So each file's status is
// stored at once and painted when the last paint is old enough.
static struct {
    DWORD lastPaint;
    int painted; // a file's status has been painted in this extraction
    int owed;    // the stored status has not been painted
} fileStatus;

static void InstallFileStatus(const char *text, float fraction) {
    SetStatusWithoutPaint(text, fraction);
    DWORD now = GetTickCount();
    if (fileStatus.painted && now - fileStatus.lastPaint < INSTALL_STATUS_PAINT_MS) {
        fileStatus.owed = 1;
        return;
    }
    StatusPaint();
    fileStatus.lastPaint = now;
    fileStatus.painted = 1;
    fileStatus.owed = 0;
}

void InstallExtractFiles(const char *directory, ExtractionReport *files) {
    fileStatus.painted = 0;
    fileStatus.owed = 0;
    ExtractAllFiles(directory, InstallFileStatus, files);
    if (fileStatus.owed)
        StatusPaint();
}

static void InstallConfirmed(HWND window, const InstallDescription *description) {
    SetStatus("Installing", 0.0f);
    // The centre bitmap and the empty bar appear only once a status is set.
    InvalidateRect(window, NULL, FALSE);
    UpdateWindow(window);

    char directory[MAX_PATH];
    if (!FindInstallDirectory(directory, description->directoryName) ||
        !InstallDirectoryHoldsFiles(directory)) {
        SetStatus(NULL, 0.0f);
        ShowFormattedMessage(
            window, MB_ICONERROR,
            "%s cannot be installed: the path of its install folder is too long.\n\n"
            "Nothing has been installed.",
            description->productName);
        return;
    }

    DeleteStaleFiles(description, directory);
    ExtractionReport files = {};
    InstallExtractFiles(directory, &files);
    WriteOriginFile(description, directory);
    SetStatus("Building shortcuts", 1.0f);
    int shortcutsMade = CreateShortcuts(description, directory);
    SetStatus(NULL, 1.0f);
    int uninstallerRegistered = RegisterUninstaller(description, directory);
    ShowOutcome(window, description, &files, shortcutsMade && uninstallerRegistered);
}

void RunInstall(HWND window) {
    const InstallDescription *description = progressWindow.description;
    if (ShowFormattedMessage(
            window, MB_ICONQUESTION | MB_YESNO,
            "This program will install %s on this system.\n\nDo you want to continue?",
            description->productName) == IDYES)
        InstallConfirmed(window, description);
    PostMessageA(window, WM_CLOSE, 0, 0);
}

void InstallSequenceRun(InstallDescription *description) {
    if (!CheckPreviousInstance(description->mutexName, description->mainWindowName,
                               description->productName))
        return;
    progressWindowSequence = RunInstall;
    ProgressWindowRun(description);
}
