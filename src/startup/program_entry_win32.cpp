// The entry point of our small GUI programs, which link without the C
// runtime's start-up code: they have no static constructors, no atexit
// handlers and no use for argv, so the start-up code would only add bytes.
// WinMain's result ends the process.
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

// The linker (binutils 2.40) crashes after link-time optimisation unless the
// C runtime's relocator was loaded before it, as the runtime's start-up code
// would load it. This object is not optimised at link time, so this unused
// pointer loads it; the linker then drops both as unreferenced.
extern "C" void _pei386_runtime_relocator(void);
__attribute__((used)) static void (*const kLoadRuntimeRelocator)(void) = _pei386_runtime_relocator;

// Both programs ignore WinMain's arguments but the instance (the installer
// and the uninstaller have no command line, and their window always covers
// the work area), so the command line and the show state are not looked up.
extern "C" void ProgramEntry(void) {
    char noArguments[] = "";
    ExitProcess(
        static_cast<UINT>(WinMain(GetModuleHandleA(NULL), NULL, noArguments, SW_SHOWDEFAULT)));
}
