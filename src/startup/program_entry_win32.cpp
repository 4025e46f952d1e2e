// The entry point of our small GUI programs, which link without the C
// runtime's start-up code: they have no static constructors, no atexit
// handlers and no use for argv, so the start-up code would only add bytes.
// WinMain gets what the runtime would give it, and its result ends the
// process.
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

// The linker (binutils 2.40) crashes after link-time optimisation unless the
// C runtime's relocator was loaded before it, as the runtime's start-up code
// would load it. This object is not optimised at link time, so this unused
// pointer loads it; the linker then drops both as unreferenced.
extern "C" void _pei386_runtime_relocator(void);
__attribute__((used)) static void (*const kLoadRuntimeRelocator)(void) = _pei386_runtime_relocator;

// The command line after the program's own name, as WinMain expects it.
static char *CommandLineArguments(void) {
    char *at = GetCommandLineA();
    if (*at == '"') {
        for (at++; *at && *at != '"'; at++)
            ;
        at += *at == '"';
    } else {
        while (*at > ' ')
            at++;
    }
    while (*at == ' ' || *at == '\t')
        at++;
    return at;
}

extern "C" void ProgramEntry(void) {
    STARTUPINFOA startup;
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    ExitProcess(
        static_cast<UINT>(WinMain(GetModuleHandleA(NULL), NULL, CommandLineArguments(), show)));
}
