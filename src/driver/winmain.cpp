// The stub's entry point: the shell's start, the installer's sequence, the
// shell's stop.
#include <windows.h>

#include "driver/install_sequence.h"
#include "shell/shell.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;

    ShellRun shell;
    int exitCode = SHELL_EXIT_STOPPED;
    if (ShellStart(&shell)) {
        InstallSequenceRun(&shell.description);
        exitCode = 0; // the run reached its end, whether or not the user installed
    }
    ShellStop(&shell);
    return exitCode;
}
