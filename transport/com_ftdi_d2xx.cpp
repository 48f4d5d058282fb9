// FTDI converter through FTDI's D2XX library (FTD2XX.dll), with its
// Win32-compatible functions (FTDI, "D2XX Programmer's Guide", FT_W32_*):
// each mirrors the communications function of the same name, so this link has
// the shape of the serial port's. The DLL is loaded when the link is first
// used; this file is the only one that calls it.
//
// No call of the library is left to block for long: Ctrl-C must be seen
// between calls, since nothing documents that CancelSynchronousIo reaches the
// library's I/O. Reads poll the receive queue (FT_GetQueueStatus) and take
// only what is there; writes go in pieces of about one interrupt check of
// line time.
#include "com_ftdi.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <windows.h>

#include "error_text_win32.h"
#include "interrupt.h"
#include "line_settings_win32.h"
#include "link_failure.h"
#include "read_deadline.h"
#include "vendor_dll_win32.h"

namespace {

// FT_HANDLE: the library's handle of an open converter.
using FtHandle = void*;
// FT_STATUS: 0 (FT_OK) for success.
using FtStatus = ULONG;

constexpr FtStatus kFtOk = 0;

// FT_OPEN_BY_DESCRIPTION, added to the create flags: the name is the USB
// product description of the converter to open.
constexpr DWORD kOpenByDescription = 0x02;

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr uint64_t kBitsPerByte8N1 = 10;

// A stuck converter gets this long on top of the line time before the wait
// for its transmit queue counts as failed.
constexpr milliseconds kStallMargin(1000);

// Between two looks at the receive queue while a read waits: short against
// the converter's 2 ms latency timer.
constexpr milliseconds kQueuePoll(1);

// FT_DEVICE, the chip type FT_GetDeviceInfo reports (D2XX Programmer's Guide).
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

// The chip's transmit buffer (the data sheets): what may still wait for the
// line when the driver has handed everything over. Unknown types get the
// largest.
uint32_t TransmitBufferSize(ULONG type)
{
    switch (type) {
    case kDeviceAm:
    case kDeviceBm:
    case kDevice2232c:
    case kDevice232r:
        return 128;
    case kDevice2232h:
        return 4096;
    case kDevice4232h:
        return 2048;
    case kDevice232h:
        return 1024;
    case kDeviceXSeries:
        return 512;
    default:
        return 4096;
    }
}

// The rate the chip makes of a requested one. D2XX computes the divisor
// itself and documents no refusal, so the link checks what the chip can do
// (FTDI AN232B-05 "Configuring FT232R, FT2232 and FT232B Baud Rates": 3 MHz
// divided by n + k/8 with n from 2 to 16383 and k any eighth, the AM only
// 0, 1/8, 1/4 and 1/2; or by exactly 1 or 1.5. The Hi-Speed chips' data
// sheets add a 12 MHz clock with the same divisors.)
uint32_t RateMade(uint32_t requested, ULONG type)
{
    if (requested == 0)
        return 0;
    const bool hiSpeed = type == kDevice2232h || type == kDevice4232h || type == kDevice232h;
    const uint64_t largest = 16383 * 8 + (type == kDeviceAm ? 4 : 7);  // in eighths
    uint32_t best = 0;
    auto consider = [&](uint64_t clock, uint64_t eighths) {
        const uint32_t made = uint32_t((clock * 8 + eighths / 2) / eighths);
        const uint32_t off = made > requested ? made - requested : requested - made;
        const uint32_t bestOff = best > requested ? best - requested : requested - best;
        if (best == 0 || off < bestOff)
            best = made;
    };
    for (const uint64_t clock : {uint64_t(3000000), uint64_t(12000000)}) {
        if (clock == 12000000 && !hiSpeed)
            continue;
        consider(clock, 8);
        consider(clock, 12);
        consider(clock, largest);
        const uint64_t nearest = (clock * 8 + requested / 2) / requested;
        for (uint64_t eighths = std::max<uint64_t>(nearest, 24) - 8; eighths <= std::min(nearest + 8, largest);
             ++eighths) {
            const uint64_t fraction = eighths % 8;
            if (type != kDeviceAm || fraction == 0 || fraction == 1 || fraction == 2 || fraction == 4)
                consider(clock, eighths);
        }
    }
    return best;
}

// A UART tolerates a few percent between the two ends; more is garbage.
constexpr uint32_t kRateTolerancePercent = 2;

nanoseconds LineTime(uint64_t bytes, uint32_t baudRate)
{
    return nanoseconds(bytes * kBitsPerByte8N1 * 1000000000 / std::max<uint64_t>(baudRate, 1));
}

// Sleeps so long, looking at the interrupt request in between; false when interrupted.
bool WaitOut(nanoseconds time)
{
    const auto end = std::chrono::steady_clock::now() + time;
    for (auto now = std::chrono::steady_clock::now(); now < end; now = std::chrono::steady_clock::now()) {
        if (InterruptRequested())
            return false;
        std::this_thread::sleep_for(std::min<nanoseconds>(end - now, milliseconds(kInterruptPollMs)));
    }
    return !InterruptRequested();
}

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
    FtStatus(WINAPI* getQueueStatus)(FtHandle handle, DWORD* received);
    FtStatus(WINAPI* getStatus)(FtHandle handle, DWORD* received, DWORD* transmit, DWORD* events);
    FtStatus(WINAPI* getDeviceInfo)(FtHandle handle, ULONG* type, DWORD* id, char* serial, char* description,
                                    void* dummy);
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
    std::string reason;
    const HMODULE module = LoadVendorDll("FTD2XX.dll", &reason);
    if (!module) {
        loaded.failure = reason + " (FTDI's D2XX driver installs it)";
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
        {"FT_GetQueueStatus", FindFunction(module, "FT_GetQueueStatus", &d2xx->getQueueStatus)},
        {"FT_GetStatus", FindFunction(module, "FT_GetStatus", &d2xx->getStatus)},
        {"FT_GetDeviceInfo", FindFunction(module, "FT_GetDeviceInfo", &d2xx->getDeviceInfo)},
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
    uint32_t baudRate = 0;
    uint32_t transmitBuffer = 0;
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
    device_->baudRate = baudRate;
    // The chip type tells its transmit buffer and the rates it makes; without
    // it, the largest buffer and the rates every type makes.
    ULONG type = ULONG(-1);
    DWORD id = 0;
    char serial[16] = {};
    char description[64] = {};
    if (d2xx->getDeviceInfo(handle, &type, &id, serial, description, nullptr) != kFtOk)
        type = ULONG(-1);
    device_->transmitBuffer = TransmitBufferSize(type);
    const uint32_t made = RateMade(baudRate, type);
    const uint64_t off = made > baudRate ? made - baudRate : baudRate - made;
    if (off * 100 > uint64_t(baudRate) * kRateTolerancePercent) {
        LinkFailure failure;
        failure.kind = LinkFailureKind::kRateRefused;
        failure.actualRate = made;
        RecordLinkFailure(failure);
        Release();
        return false;
    }
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
    if (!d2xx->setCommTimeouts(device_ ? device_->handle : INVALID_HANDLE_VALUE, &record))
        return false;
    // Reads keep these rules themselves (see Read).
    timeouts_ = TimeoutsFor(milliseconds);
    return true;
}

bool ComFTDI::GetTimeout(uint32_t* milliseconds)
{
    COMMTIMEOUTS record;
    std::memset(&record, 0, sizeof record);
    const D2xx* d2xx = Library();
    const bool ok = d2xx && d2xx->getCommTimeouts(device_ ? device_->handle : INVALID_HANDLE_VALUE, &record);
    *milliseconds = TimeoutOfRecord(record);
    return ok;
}

bool ComFTDI::Purge()
{
    if (!device_)
        return false;
    return Library()->purgeComm(device_->handle, PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE;
}

// Waits for the bytes under the time-out rules last set by looking at the
// receive queue, and reads only what has arrived, so that the library's read
// returns at once.
bool ComFTDI::Read(void* buffer, uint32_t wanted, uint32_t* received)
{
    if (!device_)
        return false;
    const D2xx* d2xx = Library();
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    uint32_t got = 0;
    ReadDeadline deadline(timeouts_, wanted);
    while (got < wanted) {
        // Taken before the look: a read ends only after a look made once the
        // deadline had passed, so input that came while the process was
        // stopped past it is still taken.
        const nanoseconds wait = deadline.NextWait();
        DWORD queued = 0;
        if (d2xx->getQueueStatus(device_->handle, &queued) != kFtOk) {
            RecordLinkIoFailure(LinkIoOperation::kRead, "FT_GetQueueStatus failed");
            return false;  // unplugged or broken
        }
        DWORD count = 0;
        if (queued > 0 && !d2xx->readFile(device_->handle, bytes + got, std::min<DWORD>(queued, wanted - got), &count,
                                          nullptr)) {
            // The library keeps its error apart from the system's (FT_W32_GetLastError).
            RecordLinkIoFailure(LinkIoOperation::kRead, "FT_W32_ReadFile failed");
            return false;
        }
        if (count > 0) {
            got += count;
            deadline.BytesArrived();
            continue;
        }
        if (InterruptRequested())
            return false;
        if (wait.count() == 0)
            break;
        std::this_thread::sleep_for(std::min<nanoseconds>(wait, kQueuePoll));
    }
    if (received)
        *received = got;
    return true;
}

// Returns once the bytes have left the converter, so that the reply time-out
// does not start while the block is still going out: first the driver's
// transmit queue must empty (FT_GetStatus), then the chip's buffer. The D2XX
// guide documents only OE, PE, FE and BI in the line-status byte of
// FT_GetModemStatus, no transmitter-empty bit: the link waits the time the
// line needs for what the chip's buffer may still hold.
bool ComFTDI::Write(const void* buffer, uint32_t count)
{
    if (!device_)
        return false;
    const D2xx* d2xx = Library();
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    // The chip takes data only as fast as its line sends it once its buffer
    // and the driver's queue are full: hand it over in pieces of about one
    // interrupt check of line time, so that no call blocks for long.
    const uint32_t piece = std::max<uint32_t>(
        1, std::min<uint64_t>(uint64_t(device_->baudRate) * kInterruptPollMs / 1000 / kBitsPerByte8N1,
                              kOutputQueueSize));
    uint32_t written = 0;
    while (written < count) {
        if (InterruptRequested())
            return false;
        const DWORD size = std::min(piece, count - written);
        DWORD done = 0;
        // The library's declaration lacks the const; it does not write to the buffer.
        if (!d2xx->writeFile(device_->handle, const_cast<uint8_t*>(bytes + written), size, &done, nullptr)) {
            RecordLinkIoFailure(LinkIoOperation::kWrite, "FT_W32_WriteFile failed");
            return false;
        }
        if (done != size) {
            RecordLinkIoFailure(LinkIoOperation::kWrite, "FT_W32_WriteFile wrote " + std::to_string(written + done) +
                                                             " of " + std::to_string(count) + " bytes");
            return false;
        }
        written += size;
    }

    const auto start = std::chrono::steady_clock::now();
    nanoseconds limit(0);
    for (bool first = true;; first = false) {
        DWORD rx = 0;
        DWORD tx = 0;
        DWORD events = 0;
        if (d2xx->getStatus(device_->handle, &rx, &tx, &events) != kFtOk) {
            RecordLinkIoFailure(LinkIoOperation::kWrite, "FT_GetStatus failed");
            return false;
        }
        if (tx == 0)
            break;
        if (first)
            limit = LineTime(tx, device_->baudRate) + kStallMargin;
        if (InterruptRequested() || std::chrono::steady_clock::now() - start > limit)
            return false;
        std::this_thread::sleep_for(std::min<nanoseconds>(std::max<nanoseconds>(LineTime(1, device_->baudRate), kQueuePoll),
                                                          milliseconds(kInterruptPollMs)));
    }
    return WaitOut(LineTime(std::min(count, device_->transmitBuffer), device_->baudRate));
}

// Not guarded, as SetTimeout.
bool ComFTDI::Escape(uint32_t code)
{
    const D2xx* d2xx = Library();
    return d2xx && d2xx->escapeCommFunction(device_ ? device_->handle : INVALID_HANDLE_VALUE, code);
}
