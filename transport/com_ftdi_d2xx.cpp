// FTDI converter through FTDI's D2XX library (FTD2XX.dll), with its
// Win32-compatible functions (FTDI, "D2XX Programmer's Guide", FT_W32_*):
// each mirrors the communications function of the same name, so this link has
// the shape of the serial port's. The DLL is loaded when the link is first
// used; this file is the only one that calls it.
#include "com_ftdi.h"

#include <cstring>
#include <string>
#include <windows.h>

#include "error_text_win32.h"
#include "interrupt.h"
#include "interrupt_win32.h"
#include "line_settings_win32.h"
#include "link_failure.h"
#include "vendor_dll_win32.h"

namespace {

// FT_HANDLE: the library's handle of an open converter.
using FtHandle = void*;
// FT_STATUS: 0 (FT_OK) for success.
using FtStatus = ULONG;

// FT_OPEN_BY_DESCRIPTION, added to the create flags: the name is the USB
// product description of the converter to open.
constexpr DWORD kOpenByDescription = 0x02;

struct D2xx {
    FtHandle(WINAPI* createFile)(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                                 DWORD creation, DWORD flags, HANDLE templateFile);
    BOOL(WINAPI* closeHandle)(FtHandle handle);
    BOOL(WINAPI* readFile)(FtHandle handle, LPVOID buffer, DWORD wanted, LPDWORD received, LPOVERLAPPED overlapped);
    BOOL(WINAPI* writeFile)(FtHandle handle, LPVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped);
    BOOL(WINAPI* setupComm)(FtHandle handle, DWORD inputQueue, DWORD outputQueue);
    // FTDCB and FTTIMEOUTS have the layout of DCB and COMMTIMEOUTS.
    BOOL(WINAPI* setCommState)(FtHandle handle, DCB* settings);
    BOOL(WINAPI* setCommTimeouts)(FtHandle handle, COMMTIMEOUTS* timeouts);
    BOOL(WINAPI* getCommTimeouts)(FtHandle handle, COMMTIMEOUTS* timeouts);
    BOOL(WINAPI* purgeComm)(FtHandle handle, DWORD flags);
    BOOL(WINAPI* escapeCommFunction)(FtHandle handle, DWORD function);
    // Optional: without it the converter keeps its default latency.
    FtStatus(WINAPI* setLatencyTimer)(FtHandle handle, UCHAR milliseconds);
};

// The library as loaded on first use and kept for the process: the functions,
// or why it cannot be used.
struct LoadedD2xx {
    D2xx functions = {};
    std::string failure;
};

LoadedD2xx Load()
{
    LoadedD2xx loaded;
    D2xx* d2xx = &loaded.functions;
    const HMODULE module = LoadVendorDll("FTD2XX.dll");
    if (!module) {
        loaded.failure = "FTD2XX.dll: " + ErrorText(GetLastError()) + " (FTDI's D2XX driver installs it)";
        return loaded;
    }
    FindFunction(module, "FT_SetLatencyTimer", &d2xx->setLatencyTimer);
    const struct {
        const char* name;
        bool found;
    } required[] = {
        {"FT_W32_CreateFile", FindFunction(module, "FT_W32_CreateFile", &d2xx->createFile)},
        {"FT_W32_CloseHandle", FindFunction(module, "FT_W32_CloseHandle", &d2xx->closeHandle)},
        {"FT_W32_ReadFile", FindFunction(module, "FT_W32_ReadFile", &d2xx->readFile)},
        {"FT_W32_WriteFile", FindFunction(module, "FT_W32_WriteFile", &d2xx->writeFile)},
        {"FT_W32_SetupComm", FindFunction(module, "FT_W32_SetupComm", &d2xx->setupComm)},
        {"FT_W32_SetCommState", FindFunction(module, "FT_W32_SetCommState", &d2xx->setCommState)},
        {"FT_W32_SetCommTimeouts", FindFunction(module, "FT_W32_SetCommTimeouts", &d2xx->setCommTimeouts)},
        {"FT_W32_GetCommTimeouts", FindFunction(module, "FT_W32_GetCommTimeouts", &d2xx->getCommTimeouts)},
        {"FT_W32_PurgeComm", FindFunction(module, "FT_W32_PurgeComm", &d2xx->purgeComm)},
        {"FT_W32_EscapeCommFunction", FindFunction(module, "FT_W32_EscapeCommFunction", &d2xx->escapeCommFunction)},
    };
    for (const auto& function : required) {
        if (!function.found) {
            loaded.failure = std::string("FTD2XX.dll has no ") + function.name;
            break;
        }
    }
    return loaded;
}

const LoadedD2xx& Loaded()
{
    static const LoadedD2xx loaded = Load();
    return loaded;
}

// The library; null when the DLL or one of the functions it must have is missing.
const D2xx* Library()
{
    return Loaded().failure.empty() ? &Loaded().functions : nullptr;
}

}  // namespace

struct ComFTDI::Device {
    FtHandle handle = INVALID_HANDLE_VALUE;
};

LineSettings ComFTDI::LineSettingsFor(uint32_t baudRate)
{
    return DefaultLineSettings(baudRate, kParityNone);
}

ComFTDI::~ComFTDI()
{
    Release();
}

bool ComFTDI::Open(const char* name, uint32_t baudRate, uint32_t milliseconds)
{
    if (device_)
        return false;
    const D2xx* d2xx = Library();
    if (!d2xx) {
        RecordLinkFailure(LinkFailureKind::kOther, Loaded().failure);
        return false;
    }
    // No sharing: a converter that another program holds does not open.
    const FtHandle handle = d2xx->createFile(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL | kOpenByDescription, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        // The library does not say which.
        RecordLinkFailure(LinkFailureKind::kOther,
                          "no attached converter has this description, or another program holds it");
        return false;
    }
    device_ = new Device;
    device_->handle = handle;
    // The converter holds received bytes up to its latency timer (16 ms by
    // default) before it sends them: each acknowledgement would wait that
    // long. A library or converter that refuses only costs speed.
    if (d2xx->setLatencyTimer)
        d2xx->setLatencyTimer(handle, kLatencyTimerMs);
    if (!Configure(LineSettingsFor(baudRate))) {
        RecordLinkFailure(LinkFailureKind::kRateRefused, "FT_W32_SetupComm or FT_W32_SetCommState failed");
        Release();
        return false;
    }
    if (!SetTimeout(milliseconds)) {
        RecordLinkFailure(LinkFailureKind::kOther, "FT_W32_SetCommTimeouts failed");
        Release();
        return false;
    }
    return true;
}

bool ComFTDI::Configure(const LineSettings& settings)
{
    const D2xx* d2xx = Library();
    DCB record = LineRecord(settings);
    return d2xx->setupComm(device_->handle, kInputQueueSize, kOutputQueueSize) &&
           d2xx->setCommState(device_->handle, &record);
}

void ComFTDI::Release()
{
    if (device_) {
        Library()->closeHandle(device_->handle);
        delete device_;
        device_ = nullptr;
    }
}

bool ComFTDI::Close()
{
    Release();
    return true;
}

bool ComFTDI::IsOpen()
{
    return device_ != nullptr;
}

// Not guarded: with the object closed the library gets the invalid handle.
bool ComFTDI::SetTimeout(uint32_t milliseconds)
{
    const D2xx* d2xx = Library();
    if (!d2xx)
        return false;
    COMMTIMEOUTS record = TimeoutRecord(TimeoutsFor(milliseconds));
    return d2xx->setCommTimeouts(device_ ? device_->handle : INVALID_HANDLE_VALUE, &record) != FALSE;
}

bool ComFTDI::GetTimeout(uint32_t* milliseconds)
{
    COMMTIMEOUTS record;
    std::memset(&record, 0, sizeof record);
    const D2xx* d2xx = Library();
    const bool ok = d2xx && d2xx->getCommTimeouts(device_ ? device_->handle : INVALID_HANDLE_VALUE, &record);
    *milliseconds = record.ReadIntervalTimeout;
    return ok;
}

bool ComFTDI::Purge()
{
    if (!device_)
        return false;
    return Library()->purgeComm(device_->handle, PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE;
}

bool ComFTDI::Read(void* buffer, uint32_t wanted, uint32_t* received)
{
    if (!device_)
        return false;
    InterruptibleCall call;
    if (call.Interrupted())
        return false;
    DWORD got = 0;
    if (!Library()->readFile(device_->handle, buffer, wanted, &got, nullptr)) {
        // The library keeps its error apart from the system's (FT_W32_GetLastError).
        if (!InterruptRequested())
            RecordLinkIoFailure(LinkIoOperation::kRead, "FT_W32_ReadFile failed");
        return false;
    }
    if (received)
        *received = got;
    return true;
}

bool ComFTDI::Write(const void* buffer, uint32_t count)
{
    if (!device_)
        return false;
    InterruptibleCall call;
    if (call.Interrupted())
        return false;
    DWORD written = 0;
    // The library's declaration lacks the const; it does not write to the buffer.
    const bool ok = Library()->writeFile(device_->handle, const_cast<void*>(buffer), count, &written, nullptr);
    if (ok && written == count)
        return true;
    if (!InterruptRequested())
        RecordLinkIoFailure(LinkIoOperation::kWrite, ok ? "FT_W32_WriteFile wrote " + std::to_string(written) + " of " +
                                              std::to_string(count) + " bytes"
                                        : std::string("FT_W32_WriteFile failed"));
    return false;
}

// Not guarded, as SetTimeout.
bool ComFTDI::Escape(uint32_t code)
{
    const D2xx* d2xx = Library();
    return d2xx && d2xx->escapeCommFunction(device_ ? device_->handle : INVALID_HANDLE_VALUE, code);
}
