#include "vendor_dll_win32.h"

HMODULE LoadVendorDll(const char* name)
{
    // A DLL that is damaged or lacks a DLL of its own would otherwise bring up
    // a message box and wait for a click, in the middle of a production line.
    DWORD previous = 0;
    const BOOL quiet = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
    const HMODULE module = LoadLibraryA(name);
    if (quiet)
        SetThreadErrorMode(previous, nullptr);
    return module;
}
