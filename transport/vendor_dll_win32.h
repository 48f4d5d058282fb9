// Vendor libraries on Windows are loaded at run time, never through an import
// library: a machine without the vendor's driver gets a failed open of that
// one link instead of a program that does not start.
#pragma once

#include <string>
#include <windows.h>

// Loads the vendor's DLL without any error dialog from update.exe's folder or
// System32 (the folders the process allows, see BeginRun), else from an
// absolute folder on the PATH, by its full name there. Never from the current
// folder or a relative PATH entry: an image the user has just unpacked may
// bring a DLL of that name with it. Null when it cannot be loaded; *failure
// then says why and where it was looked for, beginning with the name.
HMODULE LoadVendorDll(const char* name, std::string* failure);

// Looks up one function; false, and the pointer null, when the DLL lacks it.
template <typename Function>
bool FindFunction(HMODULE module, const char* name, Function* function)
{
    // Through void(*)(): the one cast between function types GCC takes silently.
    *function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    return *function != nullptr;
}
