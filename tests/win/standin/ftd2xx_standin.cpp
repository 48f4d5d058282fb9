// Stand-in FTD2XX.dll: the Win32-compatible functions of FTDI's D2XX library
// and FT_SetLatencyTimer, as the D2XX Programmer's Guide describes them, over
// FT232R converters with the simulated target on their lines. Every call is
// recorded with its arguments (see standin.h).
#include <windows.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "standin.h"

using namespace standin;

namespace {

using FtHandle = void*;
using FtStatus = ULONG;
constexpr FtStatus kFtOk = 0;
constexpr FtStatus kFtInvalidHandle = 1;
constexpr FtStatus kFtInvalidParameter = 6;
constexpr FtStatus kFtIoError = 4;

constexpr DWORD kOpenBySerialNumber = 0x01;
constexpr DWORD kOpenByDescription = 0x02;

// FT232R: a 128-byte transmit buffer; received bytes wait up to the latency
// timer, 16 ms unless set otherwise, before they go to the host. Its baud-rate
// divisor reaches from 3 Mbaud down to 183 baud (3,000,000 / 16384).
const ChipModel kFt232r = {128, std::chrono::milliseconds(16)};
constexpr DWORD kSlowestRate = 183;
constexpr DWORD kFastestRate = 3000000;
constexpr uintptr_t kFirstHandle = 0x1001;

struct Converter {
    std::string description;
    std::string serial;
    std::unique_ptr<Chip> chip;  // while open
    COMMTIMEOUTS timeouts = {};
};

std::vector<Converter>& Converters()
{
    static std::vector<Converter> converters = [] {
        std::vector<Converter> list;
        for (size_t i = 0; i < Descriptions().size(); ++i)
            list.push_back({Descriptions()[i], "FT" + std::to_string(1000 + i), nullptr, {}});
        return list;
    }();
    return converters;
}

// The open converter behind a handle, or null.
Converter* Open(FtHandle handle)
{
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value < kFirstHandle || value >= kFirstHandle + Converters().size())
        return nullptr;
    Converter& converter = Converters()[value - kFirstHandle];
    return converter.chip ? &converter : nullptr;
}

std::string HandleText(FtHandle handle)
{
    if (handle == INVALID_HANDLE_VALUE)
        return "INVALID";
    char text[32];
    snprintf(text, sizeof text, "0x%llx", (unsigned long long)reinterpret_cast<uintptr_t>(handle));
    return text;
}

const char* PointerText(const void* pointer)
{
    return pointer ? "set" : "null";
}

// Sets the error, as the Win32 functions do, and returns FALSE.
BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

bool Failing(const char* function)
{
    return ShouldFail(function, nullptr);
}

int BitsPerByte(const DCB& record)
{
    return 1 + record.ByteSize + (record.Parity != NOPARITY ? 1 : 0) + (record.StopBits == ONESTOPBIT ? 1 : 2);
}

}  // namespace

extern "C" {

FtHandle WINAPI FT_W32_CreateFile(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                                  DWORD creation, DWORD flags, HANDLE templateFile)
{
    FtHandle handle = INVALID_HANDLE_VALUE;
    if (!Failing("FT_W32_CreateFile")) {
        for (size_t i = 0; i < Converters().size(); ++i) {
            Converter& converter = Converters()[i];
            const bool matches = (flags & kOpenByDescription) ? converter.description == name
                                 : (flags & kOpenBySerialNumber) ? converter.serial == name
                                                                 : false;
            if (!matches)
                continue;
            // Held already: no second open.
            if (!converter.chip) {
                converter.chip.reset(new Chip(kFt232r));
                converter.timeouts = {};
                handle = reinterpret_cast<FtHandle>(kFirstHandle + i);
            }
            break;
        }
    }
    Log("FT_W32_CreateFile(\"%s\", 0x%lX, 0x%lX, %s, %lu, 0x%lX, %s) = %s", name, access, shareMode,
        PointerText(security), creation, flags, PointerText(templateFile), HandleText(handle).c_str());
    if (handle == INVALID_HANDLE_VALUE)
        SetLastError(ERROR_FILE_NOT_FOUND);
    return handle;
}

BOOL WINAPI FT_W32_CloseHandle(FtHandle handle)
{
    Converter* converter = Open(handle);
    Log("FT_W32_CloseHandle(%s) = %d", HandleText(handle).c_str(), converter ? 1 : 0);
    if (!converter)
        return Fail(ERROR_INVALID_HANDLE);
    converter->chip.reset();
    return TRUE;
}

BOOL WINAPI FT_W32_SetupComm(FtHandle handle, DWORD inputQueue, DWORD outputQueue)
{
    const bool ok = Open(handle) && !Failing("FT_W32_SetupComm");
    Log("FT_W32_SetupComm(%s, %lu, %lu) = %d", HandleText(handle).c_str(), inputQueue, outputQueue, ok);
    return ok ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI FT_W32_SetCommState(FtHandle handle, DCB* record)
{
    Converter* converter = Open(handle);
    const bool ok = converter && record && record->BaudRate >= kSlowestRate && record->BaudRate <= kFastestRate &&
                    !Failing("FT_W32_SetCommState");
    if (record) {
        Log("FT_W32_SetCommState(%s, DCBlength=%lu BaudRate=%lu fBinary=%u fParity=%u fOutxCtsFlow=%u "
            "fOutxDsrFlow=%u fDtrControl=%u fDsrSensitivity=%u fTXContinueOnXoff=%u fOutX=%u fInX=%u "
            "fErrorChar=%u fNull=%u fRtsControl=%u fAbortOnError=%u fDummy2=%u wReserved=%u XonLim=%u "
            "XoffLim=%u ByteSize=%u Parity=%u StopBits=%u XonChar=%d XoffChar=%d ErrorChar=%d EofChar=%d "
            "EvtChar=%d wReserved1=%u) = %d",
            HandleText(handle).c_str(), record->DCBlength, record->BaudRate, record->fBinary, record->fParity,
            record->fOutxCtsFlow, record->fOutxDsrFlow, record->fDtrControl, record->fDsrSensitivity,
            record->fTXContinueOnXoff, record->fOutX, record->fInX, record->fErrorChar, record->fNull,
            record->fRtsControl, record->fAbortOnError, record->fDummy2, record->wReserved, record->XonLim,
            record->XoffLim, record->ByteSize, record->Parity, record->StopBits, record->XonChar,
            record->XoffChar, record->ErrorChar, record->EofChar, record->EvtChar, record->wReserved1, ok);
    } else {
        Log("FT_W32_SetCommState(%s, null) = 0", HandleText(handle).c_str());
    }
    if (!ok)
        return Fail(ERROR_INVALID_PARAMETER);
    converter->chip->SetLine(record->BaudRate, BitsPerByte(*record));
    return TRUE;
}

BOOL WINAPI FT_W32_SetCommTimeouts(FtHandle handle, COMMTIMEOUTS* timeouts)
{
    Converter* converter = Open(handle);
    const bool ok = converter && timeouts && !Failing("FT_W32_SetCommTimeouts");
    if (timeouts)
        Log("FT_W32_SetCommTimeouts(%s, ReadIntervalTimeout=%lu ReadTotalTimeoutMultiplier=%lu "
            "ReadTotalTimeoutConstant=%lu WriteTotalTimeoutMultiplier=%lu WriteTotalTimeoutConstant=%lu) = %d",
            HandleText(handle).c_str(), timeouts->ReadIntervalTimeout, timeouts->ReadTotalTimeoutMultiplier,
            timeouts->ReadTotalTimeoutConstant, timeouts->WriteTotalTimeoutMultiplier,
            timeouts->WriteTotalTimeoutConstant, ok);
    if (!ok)
        return Fail(ERROR_INVALID_HANDLE);
    converter->timeouts = *timeouts;
    return TRUE;
}

BOOL WINAPI FT_W32_GetCommTimeouts(FtHandle handle, COMMTIMEOUTS* timeouts)
{
    Converter* converter = Open(handle);
    const bool ok = converter && timeouts && !Failing("FT_W32_GetCommTimeouts");
    if (ok)
        *timeouts = converter->timeouts;
    Log("FT_W32_GetCommTimeouts(%s) = %d ReadIntervalTimeout=%lu", HandleText(handle).c_str(), ok,
        ok ? timeouts->ReadIntervalTimeout : 0);
    return ok ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI FT_W32_PurgeComm(FtHandle handle, DWORD flags)
{
    Converter* converter = Open(handle);
    const bool ok = converter && !Failing("FT_W32_PurgeComm");
    Log("FT_W32_PurgeComm(%s, 0x%lX) = %d", HandleText(handle).c_str(), flags, ok);
    if (!ok)
        return Fail(ERROR_INVALID_HANDLE);
    converter->chip->Purge(flags & PURGE_TXCLEAR, flags & PURGE_RXCLEAR);
    return TRUE;
}

BOOL WINAPI FT_W32_EscapeCommFunction(FtHandle handle, DWORD function)
{
    const bool known = function >= SETXOFF && function <= CLRBREAK && function != RESETDEV;
    const bool ok = Open(handle) && known && !Failing("FT_W32_EscapeCommFunction");
    Log("FT_W32_EscapeCommFunction(%s, %lu) = %d", HandleText(handle).c_str(), function, ok);
    return ok ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}

// Read and write keep the Win32 time-out rules of the record set last.
BOOL WINAPI FT_W32_ReadFile(FtHandle handle, LPVOID buffer, DWORD wanted, LPDWORD received, LPOVERLAPPED overlapped)
{
    Converter* converter = Open(handle);
    uint32_t got = 0;
    DWORD error = ERROR_INVALID_HANDLE;
    bool ok = converter && !Failing("FT_W32_ReadFile");
    if (ok && converter->chip->Gone()) {
        ok = false;
        error = ERROR_DEVICE_NOT_CONNECTED;
    } else if (ok) {
        const COMMTIMEOUTS& t = converter->timeouts;
        Chip::ReadLimits limits;
        if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
            t.ReadTotalTimeoutConstant == 0) {
            limits.total = true;  // what is there, at once
            limits.end = Clock::now();
        } else {
            const uint64_t totalMs = uint64_t(t.ReadTotalTimeoutMultiplier) * wanted + t.ReadTotalTimeoutConstant;
            limits.total = totalMs > 0;
            limits.end = Clock::now() + std::chrono::milliseconds(totalMs);
            limits.interval = std::chrono::milliseconds(t.ReadIntervalTimeout);
        }
        ok = converter->chip->Read(static_cast<uint8_t*>(buffer), wanted, limits, &got);
        error = ERROR_OPERATION_ABORTED;
    }
    if (received)
        *received = got;
    Log("FT_W32_ReadFile(%s, %lu, %s) = %d read=%u", HandleText(handle).c_str(), wanted, PointerText(overlapped), ok,
        got);
    return ok ? TRUE : Fail(error);
}

BOOL WINAPI FT_W32_WriteFile(FtHandle handle, LPVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped)
{
    Converter* converter = Open(handle);
    uint32_t taken = 0;
    DWORD error = ERROR_INVALID_HANDLE;
    bool ok = converter && !Failing("FT_W32_WriteFile");
    if (ok && converter->chip->Gone()) {
        ok = false;
        error = ERROR_DEVICE_NOT_CONNECTED;
    } else if (ok) {
        const COMMTIMEOUTS& t = converter->timeouts;
        const uint64_t totalMs = uint64_t(t.WriteTotalTimeoutMultiplier) * count + t.WriteTotalTimeoutConstant;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(totalMs);
        ok = converter->chip->Write(static_cast<const uint8_t*>(buffer), count, totalMs ? &deadline : nullptr,
                                    &taken);
        error = ERROR_OPERATION_ABORTED;
    }
    if (written)
        *written = taken;
    Log("FT_W32_WriteFile(%s, %lu, %s) = %d written=%u", HandleText(handle).c_str(), count, PointerText(overlapped),
        ok, taken);
    return ok ? TRUE : Fail(error);
}

FtStatus WINAPI FT_SetLatencyTimer(FtHandle handle, UCHAR milliseconds)
{
    Converter* converter = Open(handle);
    FtStatus status = kFtOk;
    if (!converter)
        status = kFtInvalidHandle;
    else if (milliseconds < 2)  // the FT232R's timer runs from 2 to 255 ms
        status = kFtInvalidParameter;
    else if (Failing("FT_SetLatencyTimer"))
        status = kFtIoError;
    Log("FT_SetLatencyTimer(%s, %u) = %lu", HandleText(handle).c_str(), milliseconds, status);
    if (status == kFtOk)
        converter->chip->SetLatency(std::chrono::milliseconds(milliseconds));
    return status;
}

}  // extern "C"
