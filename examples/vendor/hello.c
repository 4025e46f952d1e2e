/* The example vendor's product: a program that says hello. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;
    MessageBoxA(NULL, "Hello from the example vendor.", "Hello", MB_OK | MB_ICONINFORMATION);
    return 0;
}
