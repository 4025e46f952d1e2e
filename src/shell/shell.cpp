// The start and stop of both programs' runs.
#include "shell/shell.h"

#include "heap/region_heap.h"
#include "package/package.h"

// A program started from a Downloads folder (or, for the uninstaller, a
// folder its user may write to) would load a DLL dropped beside it under a
// name Windows loads on its behalf. Load DLLs from the system folder only.
// SetDefaultDllDirectories is missing on Windows 7 without its update, where
// removing the current directory from the search is the best there is;
// Windows Vista's shell link object fails to load once the search is
// restricted, so Vista keeps the fallback too.
static void RestrictDllSearch(void) {
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    DWORD version = GetVersion();
    int isVista = LOBYTE(LOWORD(version)) == 6 && HIBYTE(LOWORD(version)) == 0;
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC found = kernel ? GetProcAddress(kernel, "SetDefaultDllDirectories") : NULL;
    if (found && !isVista) {
        SetDefaultDllDirectoriesFunction restrict =
            reinterpret_cast<SetDefaultDllDirectoriesFunction>(
                reinterpret_cast<void (*)(void)>(found));
        if (restrict(LOAD_LIBRARY_SEARCH_SYSTEM32))
            return;
    }
    SetDllDirectoryA("");
}

int ShellStart(ShellRun *run) {
    *run = {};
    // Before anything loads a DLL on the program's behalf.
    RestrictDllSearch();
    // The heap first: it asks the system for no memory until its first
    // block, and ShellStop then undoes the same steps whatever was reached.
    RegionHeapInit();
    run->com = CoInitialize(NULL);
    if (FAILED(run->com))
        return 0;
    // A second installer ends without a word. A lock left held would be
    // found abandoned by the next installer, which then refuses: every way
    // out passes ShellStop.
    if (!InstallerLockAcquire(&run->lock))
        return 0;
    // A package that cannot say what to install, or where, is as useless as
    // a damaged one: the sequences never see a missing name.
    if (PackageOpen() && ManifestLoad(&run->description) && ManifestIsUsable(&run->description))
        return 1;
    ShowPackageFailure();
    return 0;
}

void ShellStop(ShellRun *run) {
    // Each step undoes nothing that ShellStart did not reach: the
    // description of an unread package is empty, the reader of an unopened
    // one clear, a refused lock null, and COM is matched only once it
    // started.
    ManifestFree(&run->description);
    PackageClose();
    InstallerLockRelease(&run->lock);
    if (run->com == S_OK)
        CoUninitialize();
    RegionHeapShutdown();
}
