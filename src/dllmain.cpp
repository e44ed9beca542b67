// The DLL's entry point. The library has no start-up or shut-down work of
// its own; the runtime's set-up runs before this, its tear-down after.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
