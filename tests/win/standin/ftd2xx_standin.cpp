// Stand-in FTD2XX.dll: the Win32-compatible functions of FTDI's D2XX library,
// FT_SetLatencyTimer and the status calls FT_GetQueueStatus, FT_GetStatus and
// FT_GetDeviceInfo, as the D2XX Programmer's Guide describes them, over
// converters (FT232R unless STANDIN_CHIP names another type: AM, BM, 2232C,
// 232R, 2232H, 4232H, 232H, X) with the simulated target on their lines. Every
// call is recorded with its arguments (see standin.h).
#include <windows.h>

#include <algorithm>
#include <cstdlib>
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

// FT_DEVICE, as FT_GetDeviceInfo returns it (D2XX Programmer's Guide).
enum FtDevice : ULONG {
    kDeviceBm = 0,
    kDeviceAm = 1,
    kDevice2232c = 4,
    kDevice232r = 5,
    kDevice2232h = 6,
    kDevice4232h = 7,
    kDevice232h = 8,
    kDeviceXSeries = 9,
};

// A chip type: its transmit buffer (bytes from USB waiting for the line, from
// each chip's data sheet: FT232R "256 byte receive buffer and 128 byte
// transmit buffer", FT232BM and FT8U232AM 128 bytes, FT2232C 128 bytes per
// channel, FT2232H 4 KiB, FT4232H 2 KiB, FT232H 1 KiB, FT-X series 512 bytes),
// received bytes held up to the latency timer (16 ms unless set otherwise),
// and whether its baud-rate generator also has the 12 MHz clock of the
// Hi-Speed chips (FT2232H, FT4232H, FT232H data sheets).
struct ChipType {
    const char* name;
    FtDevice device;
    uint32_t transmitBuffer;
    bool twelveMegahertz;
};
constexpr ChipType kChipTypes[] = {
    {"AM", kDeviceAm, 128, false},       {"BM", kDeviceBm, 128, false},        {"2232C", kDevice2232c, 128, false},
    {"232R", kDevice232r, 128, false},   {"2232H", kDevice2232h, 4096, true},  {"4232H", kDevice4232h, 2048, true},
    {"232H", kDevice232h, 1024, true},   {"X", kDeviceXSeries, 512, false},
};

const ChipType& TheChipType()
{
    static const ChipType* type = [] {
        const char* name = getenv("STANDIN_CHIP");
        for (const ChipType& candidate : kChipTypes) {
            if (name && strcmp(name, candidate.name) == 0)
                return &candidate;
        }
        return &kChipTypes[3];  // FT232R
    }();
    return *type;
}

// The rate a chip runs at for a requested one. D2XX computes the divisor
// itself and documents no refusal, so the stand-in takes the worst case: any
// rate, run at the nearest the chip can make. FTDI AN232B-05 ("Configuring
// FT232R, FT2232 and FT232B Baud Rates"): 3 MHz divided by n + k/8, n from 2
// to 16383, k any eighth (the AM: 0, 1/8, 1/4, 1/2 only), or by exactly 1 or
// 1.5; the Hi-Speed chips also divide 12 MHz the same way.
uint32_t RateMade(uint32_t requested)
{
    if (requested == 0)
        return 0;
    const ChipType& type = TheChipType();
    uint32_t best = 0;
    for (const uint64_t clock : {uint64_t(3000000), uint64_t(12000000)}) {
        if (clock == 12000000 && !type.twelveMegahertz)
            continue;
        std::vector<uint64_t> eighths = {8, 12};
        const uint64_t nearest = (clock * 8 + requested / 2) / requested;
        for (uint64_t d = nearest > 8 ? nearest - 8 : 0; d <= nearest + 8; ++d) {
            const uint64_t fraction = d % 8;
            const bool amFraction = fraction == 0 || fraction == 1 || fraction == 2 || fraction == 4;
            if (d >= 16 && d <= 16383 * 8 + 7 && (type.device != kDeviceAm || amFraction))
                eighths.push_back(d);
        }
        eighths.push_back(16383 * 8 + (type.device == kDeviceAm ? 4 : 7));
        for (uint64_t d : eighths) {
            const uint32_t made = uint32_t((clock * 8 + d / 2) / d);
            const auto off = [requested](uint32_t rate) { return rate > requested ? rate - requested : requested - rate; };
            if (best == 0 || off(made) < off(best))
                best = made;
        }
    }
    return best;
}

constexpr uintptr_t kFirstHandle = 0x1001;

struct Converter {
    std::string description;
    std::string serial;
    std::unique_ptr<Chip> chip;  // while open
    COMMTIMEOUTS timeouts = {};
    // The driver's transmit queue in front of the chip: the write buffer
    // FT_W32_SetupComm sets (the D2XX guide: "sets the read and write
    // buffers"); FT_W32_WriteFile may return with it full.
    uint32_t transmitQueue = 0;
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
                converter.chip.reset(new Chip({TheChipType().transmitBuffer, std::chrono::milliseconds(16)}));
                converter.timeouts = {};
                converter.transmitQueue = 0;
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
    Converter* converter = Open(handle);
    const bool ok = converter && !Failing("FT_W32_SetupComm");
    Log("FT_W32_SetupComm(%s, %lu, %lu) = %d", HandleText(handle).c_str(), inputQueue, outputQueue, ok);
    if (!ok)
        return Fail(ERROR_INVALID_HANDLE);
    converter->transmitQueue = outputQueue;
    return TRUE;
}

BOOL WINAPI FT_W32_SetCommState(FtHandle handle, DCB* record)
{
    Converter* converter = Open(handle);
    const bool ok = converter && record && record->BaudRate > 0 && !Failing("FT_W32_SetCommState");
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
    converter->chip->SetLine(RateMade(record->BaudRate), BitsPerByte(*record));
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
        converter->chip->Read(static_cast<uint8_t*>(buffer), wanted, limits, &got);
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
        converter->chip->Write(static_cast<const uint8_t*>(buffer), count, totalMs ? &deadline : nullptr,
                               converter->transmitQueue, &taken);
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

// Bytes received and waiting in the driver (D2XX guide, FT_GetQueueStatus).
FtStatus WINAPI FT_GetQueueStatus(FtHandle handle, DWORD* received)
{
    Converter* converter = Open(handle);
    FtStatus status = kFtOk;
    DWORD count = 0;
    if (!converter)
        status = kFtInvalidHandle;
    else if (converter->chip->Gone() || Failing("FT_GetQueueStatus"))
        status = kFtIoError;
    else
        count = converter->chip->Arrived();
    if (status == kFtOk)
        *received = count;
    Log("FT_GetQueueStatus(%s) = %lu rx=%lu", HandleText(handle).c_str(), status, count);
    return status;
}

// The receive queue, the transmit queue (bytes the driver has not yet handed
// to the chip) and the events (D2XX guide, FT_GetStatus).
FtStatus WINAPI FT_GetStatus(FtHandle handle, DWORD* received, DWORD* transmit, DWORD* events)
{
    Converter* converter = Open(handle);
    FtStatus status = kFtOk;
    DWORD rx = 0;
    DWORD tx = 0;
    if (!converter) {
        status = kFtInvalidHandle;
    } else if (converter->chip->Gone() || Failing("FT_GetStatus")) {
        status = kFtIoError;
    } else {
        rx = converter->chip->Arrived();
        const uint32_t unsent = converter->chip->Unsent();
        const uint32_t buffer = converter->chip->TransmitBuffer();
        tx = unsent > buffer ? unsent - buffer : 0;
    }
    if (status == kFtOk) {
        *received = rx;
        *transmit = tx;
        *events = 0;
    }
    Log("FT_GetStatus(%s) = %lu rx=%lu tx=%lu", HandleText(handle).c_str(), status, rx, tx);
    return status;
}

// The chip type (FT_DEVICE) and its ids; the strings are 16 and 64 bytes
// (D2XX guide, FT_GetDeviceInfo).
FtStatus WINAPI FT_GetDeviceInfo(FtHandle handle, ULONG* type, DWORD* id, char* serial, char* description,
                                 void*)
{
    Converter* converter = Open(handle);
    FtStatus status = kFtOk;
    if (!converter)
        status = kFtInvalidHandle;
    else if (Failing("FT_GetDeviceInfo"))
        status = kFtIoError;
    if (status == kFtOk) {
        *type = TheChipType().device;
        *id = 0x04036001;
        if (serial)
            snprintf(serial, 16, "%s", converter->serial.c_str());
        if (description)
            snprintf(description, 64, "%s", converter->description.c_str());
    }
    Log("FT_GetDeviceInfo(%s) = %lu type=%lu", HandleText(handle).c_str(), status,
        status == kFtOk ? *type : 0);
    return status;
}

}  // extern "C"
