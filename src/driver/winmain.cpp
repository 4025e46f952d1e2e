// The stub's entry point and run sequence: COM, the region heap, the
// installer-wide lock, the package, and the teardown in reverse order.
#include <windows.h>

#include "driver/driver.h"
#include "driver/install_sequence.h"
#include "heap/region_heap.h"
#include "manifest/manifest.h"
#include "package/package.h"
#include "ui/progress_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;

    RestrictDllSearch();

    HRESULT com = CoInitialize(NULL);
    if (FAILED(com))
        return -1;
    RegionHeapInit();

    // One installer at a time on the machine, whatever product it carries;
    // a second one ends without a word. Every way out below passes the
    // teardown at the end: a lock left held would be found abandoned by
    // the next installer, which then refuses.
    int exitCode = -1;
    InstallerLock lock;
    if (InstallerLockAcquire(&lock)) {
        // A package that cannot say what to install, or where, is as useless
        // as a damaged one: the later stages never see a missing name.
        // (Freeing the empty description of an unread package releases
        // nothing.)
        InstallDescription description = {};
        if (!PackageOpen() || !ManifestLoad(&description) || !ManifestIsUsable(&description)) {
            MessageBoxA(GetDesktopWindow(), kPackageFailureText, kMessageCaption, MB_ICONERROR);
        } else {
            exitCode = 0;
            if (CheckPreviousInstance(description.mutexName, description.mainWindowName,
                                      description.productName)) {
                progressWindowSequence = RunInstall;
                ProgressWindowRun(&description);
            }
        }
        ManifestFree(&description);
        PackageClose();
        InstallerLockRelease(&lock);
    }
    if (com == S_OK)
        CoUninitialize();
    RegionHeapShutdown();
    return exitCode;
}
