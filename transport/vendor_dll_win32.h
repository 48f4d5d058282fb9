// Vendor libraries on Windows are loaded at run time, never through an import
// library: a machine without the vendor's driver gets a failed open of that
// one link instead of a program that does not start.
#pragma once

#include <windows.h>

// Loads the DLL from the standard search path (the program's folder first)
// without any error dialog; null when it cannot be loaded.
HMODULE LoadVendorDll(const char* name);

// Looks up one function; false, and the pointer null, when the DLL lacks it.
template <typename Function>
bool FindFunction(HMODULE module, const char* name, Function* function)
{
    // Through void(*)(): the one cast between function types GCC takes silently.
    *function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    return *function != nullptr;
}
