#include "vendor_dll_win32.h"

#include <vector>

#include "error_text_win32.h"

namespace {

constexpr DWORD kProcessFolders = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
// A DLL loaded by its full path: its own dependencies come from its folder or
// System32, still never from the current folder.
constexpr DWORD kFolderOfDll = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;

std::wstring Wide(const char* text)
{
    std::wstring wide;
    for (; *text; ++text)
        wide += wchar_t(static_cast<unsigned char>(*text));  // the names are ASCII
    return wide;
}

// For messages: the path as the program's other text is written.
std::string Narrow(const std::wstring& wide)
{
    if (wide.empty())
        return "";
    const int size = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(size_t(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, wide.c_str(), int(wide.size()), &narrow[0], size, nullptr, nullptr);
    return narrow;
}

std::wstring ProgramFolder()
{
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
        if (length == 0)
            return L"";
        if (length < path.size()) {
            std::wstring file(path.data(), length);
            const size_t slash = file.find_last_of(L"\\/");
            return slash == std::wstring::npos ? L"" : file.substr(0, slash);
        }
        path.resize(path.size() * 2);
    }
}

std::wstring SystemFolder()
{
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(path, length) : L"";
}

// C:\folder or \\server\share: a relative entry (".", "bin", "C:bin") would
// be looked up from the current folder.
bool Absolute(const std::wstring& folder)
{
    if (folder.size() >= 3 && folder[1] == L':' && (folder[2] == L'\\' || folder[2] == L'/'))
        return true;
    return folder.size() >= 3 && folder[0] == L'\\' && folder[1] == L'\\';
}

std::vector<std::wstring> AbsolutePathFolders()
{
    std::vector<std::wstring> folders;
    const DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (size == 0)
        return folders;
    std::wstring path(size, L'\0');
    path.resize(GetEnvironmentVariableW(L"PATH", &path[0], size));
    size_t begin = 0;
    while (begin <= path.size()) {
        size_t end = path.find(L';', begin);
        if (end == std::wstring::npos)
            end = path.size();
        std::wstring folder = path.substr(begin, end - begin);
        if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"')
            folder = folder.substr(1, folder.size() - 2);
        if (Absolute(folder))
            folders.push_back(folder);
        begin = end + 1;
    }
    return folders;
}

std::wstring Join(const std::wstring& folder, const std::wstring& name)
{
    if (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/'))
        return folder + name;
    return folder + L"\\" + name;
}

bool Exists(const std::wstring& file)
{
    const DWORD attributes = GetFileAttributesW(file.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The machine a PE file is built for (IMAGE_FILE_MACHINE_*), 0 when unknown.
WORD MachineOf(const std::wstring& file)
{
    const HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    unsigned char header[4096] = {};
    DWORD got = 0;
    const BOOL read = ReadFile(handle, header, sizeof header, &got, nullptr);
    CloseHandle(handle);
    if (!read || got < 0x40 || header[0] != 'M' || header[1] != 'Z')
        return 0;
    const DWORD pe = DWORD(header[0x3C]) | DWORD(header[0x3D]) << 8 | DWORD(header[0x3E]) << 16 |
                     DWORD(header[0x3F]) << 24;
    if (pe > got - 6 || header[pe] != 'P' || header[pe + 1] != 'E' || header[pe + 2] || header[pe + 3])
        return 0;
    return WORD(header[pe + 4] | header[pe + 5] << 8);
}

int BitsOf(WORD machine)
{
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
        return 32;
    case IMAGE_FILE_MACHINE_AMD64:
        return 64;
    default:
        return 0;
    }
}

// Why one file that is there did not load.
std::string Refusal(const char* name, const std::wstring& file, DWORD error)
{
    const int own = int(sizeof(void*) * 8);
    const int bits = error == ERROR_BAD_EXE_FORMAT ? BitsOf(MachineOf(file)) : 0;
    if (bits != 0 && bits != own)
        return Narrow(file) + " is a " + std::to_string(bits) + "-bit " + name + "; update.exe needs the " +
               std::to_string(own) + "-bit one";
    // Windows' texts for load errors hold the file as an insert ("%1 is not
    // a valid Win32 application."), left as it is by ErrorText.
    std::string text = ErrorText(error);
    const size_t insert = text.find("%1");
    if (insert != std::string::npos)
        text.replace(insert, 2, "the file");
    return Narrow(file) + ": " + text;
}

}  // namespace

HMODULE LoadVendorDll(const char* name, std::string* failure)
{
    // A DLL that is damaged or lacks a DLL of its own would otherwise bring up
    // a message box and wait for a click, in the middle of a production line.
    DWORD previous = 0;
    const BOOL quiet = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
    const std::wstring wide = Wide(name);
    const std::wstring programFolder = ProgramFolder();
    const std::wstring systemFolder = SystemFolder();

    HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, kProcessFolders);
    DWORD error = module ? ERROR_SUCCESS : GetLastError();
    // The file that is there but did not load (of the wrong bitness, or
    // lacking a DLL of its own).
    std::wstring refused;
    if (!module) {
        for (const std::wstring& folder : {programFolder, systemFolder}) {
            if (!folder.empty() && Exists(Join(folder, wide))) {
                refused = Join(folder, wide);
                break;
            }
        }
    }
    if (!module && refused.empty()) {
        for (const std::wstring& folder : AbsolutePathFolders()) {
            const std::wstring file = Join(folder, wide);
            if (!Exists(file))
                continue;
            module = LoadLibraryExW(file.c_str(), nullptr, kFolderOfDll);
            if (module)
                break;
            if (refused.empty()) {
                refused = file;
                error = GetLastError();
            }
        }
    }
    if (quiet)
        SetThreadErrorMode(previous, nullptr);
    if (module)
        return module;
    if (!refused.empty())
        *failure = std::string(name) + ": " + Refusal(name, refused, error);
    else
        *failure = std::string(name) + ": not found in " + Narrow(programFolder) + " (update.exe's folder), " +
                   Narrow(systemFolder) + " or an absolute folder on the PATH (the current folder is not searched)";
    return nullptr;
}
