// The uninstaller's entry point: the shell's start, the uninstaller's
// sequence, the shell's stop.
#include <windows.h>

#include "shell/shell.h"
#include "uninstaller/uninstaller.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;

    ShellRun shell;
    int exitCode = UNINSTALL_EXIT_STOPPED;
    if (ShellStart(&shell))
        exitCode = UninstallSequenceRun(&shell.description);
    ShellStop(&shell);
    return exitCode;
}
