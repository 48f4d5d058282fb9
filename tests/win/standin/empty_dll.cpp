// A DLL with nothing in it, built for 32-bit Windows: what update.exe meets
// when a 32-bit vendor DLL lies beside it.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
