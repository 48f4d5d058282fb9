// The CP2102 bridge library over Silicon Labs' USBXpress library (SiUSBXp.dll,
// Silicon Labs AN169 "USBXpress Programmer's Guide"), whose SI_* functions
// have exactly the shape of cp2102_bridge.h. The DLL is loaded on first use;
// this file is the only one that calls it.
//
// No call of the library is left to block for long: Ctrl-C must be seen
// between calls. Current SiUSBXp runs over WinUSB with overlapped I/O that
// CancelSynchronousIo does not reach. Reads poll the receive queue
// (SI_CheckRXQueue) and take only what is there; writes go in pieces of about
// one interrupt check of line time.
#include "cp2102_bridge.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <windows.h>

#include "error_text_win32.h"
#include "interrupt.h"
#include "link_failure.h"
#include "vendor_dll_win32.h"

namespace {

using namespace cp2102;

// SI_STATUS: the status codes of cp2102_bridge.h.
using SiStatus = int;

// The library's "no time-out" for SI_SetTimeouts.
constexpr DWORD kInfinite = 0xFFFFFFFF;

// A write whose time on the line takes this share of the write time-out or
// more gets the line time added to it (see Write).
constexpr uint64_t kWideningShareDivisor = 2;
constexpr uint32_t kBitsPerByte8N1 = 10;

// The CP2102's transmit buffer (data sheet): a write completes once the bytes
// are in it, up to this many of them not yet sent.
constexpr uint32_t kTransmitBufferBytes = 640;

// The library's limits on one call (SiUSBXp.h, AN169: SI_MAX_WRITE_SIZE 4096,
// SI_MAX_READ_SIZE 4096*16); more is SI_INVALID_REQUEST_LENGTH.
constexpr uint32_t kMaxWriteSize = 4096;
constexpr uint32_t kMaxReadSize = 4096 * 16;

// Between two looks at the receive queue while a read waits.
constexpr std::chrono::milliseconds kQueuePoll(1);

// Milliseconds the line needs for so many bytes, rounded up.
uint64_t LineMs(uint64_t bytes, uint32_t baudRate)
{
    const uint64_t bits = bytes * kBitsPerByte8N1 * 1000;
    const uint64_t rate = std::max<uint32_t>(baudRate, 1);
    return (bits + rate - 1) / rate;
}

// Waits the time given, looking at the interrupt request in between.
void WaitOutLine(uint64_t milliseconds)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (ULONGLONG now = GetTickCount64(); now < end && !InterruptRequested(); now = GetTickCount64())
        Sleep(DWORD(std::min<ULONGLONG>(end - now, kInterruptPollMs)));
}

struct SiUsbXp {
    SiStatus(WINAPI* getNumDevices)(LPDWORD count);
    SiStatus(WINAPI* getProductString)(DWORD index, LPVOID buffer, DWORD options);
    SiStatus(WINAPI* open)(DWORD index, HANDLE* handle);
    SiStatus(WINAPI* close)(HANDLE handle);
    SiStatus(WINAPI* read)(HANDLE handle, LPVOID buffer, DWORD wanted, LPDWORD returned, OVERLAPPED* overlapped);
    SiStatus(WINAPI* write)(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD written, OVERLAPPED* overlapped);
    SiStatus(WINAPI* flushBuffers)(HANDLE handle, BYTE transmit, BYTE receive);
    SiStatus(WINAPI* setTimeouts)(DWORD readMs, DWORD writeMs);
    SiStatus(WINAPI* getTimeouts)(LPDWORD readMs, LPDWORD writeMs);
    SiStatus(WINAPI* setBaudRate)(HANDLE handle, DWORD baudRate);
    SiStatus(WINAPI* setLineControl)(HANDLE handle, WORD lineControl);
    SiStatus(WINAPI* setFlowControl)(HANDLE handle, BYTE cts, BYTE rts, BYTE dtr, BYTE dsr, BYTE dcd, BOOL xonXoff);
    SiStatus(WINAPI* checkRxQueue)(HANDLE handle, LPDWORD queued, LPDWORD queueStatus);
};

// The library as loaded on first use and kept for the process: the functions,
// or why it cannot be used.
struct LoadedSiUsbXp {
    SiUsbXp functions = {};
    std::string failure;
};

LoadedSiUsbXp Load()
{
    LoadedSiUsbXp loaded;
    SiUsbXp* library = &loaded.functions;
    std::string reason;
    const HMODULE module = LoadVendorDll("SiUSBXp.dll", &reason);
    if (!module) {
        loaded.failure = reason + " (it comes with Silicon Labs' USBXpress driver: put it next to update.exe or "
                                  "in an absolute folder on the PATH)";
        return loaded;
    }
    const struct {
        const char* name;
        bool found;
    } required[] = {
        {"SI_GetNumDevices", FindFunction(module, "SI_GetNumDevices", &library->getNumDevices)},
        {"SI_GetProductString", FindFunction(module, "SI_GetProductString", &library->getProductString)},
        {"SI_Open", FindFunction(module, "SI_Open", &library->open)},
        {"SI_Close", FindFunction(module, "SI_Close", &library->close)},
        {"SI_Read", FindFunction(module, "SI_Read", &library->read)},
        {"SI_Write", FindFunction(module, "SI_Write", &library->write)},
        {"SI_FlushBuffers", FindFunction(module, "SI_FlushBuffers", &library->flushBuffers)},
        {"SI_SetTimeouts", FindFunction(module, "SI_SetTimeouts", &library->setTimeouts)},
        {"SI_GetTimeouts", FindFunction(module, "SI_GetTimeouts", &library->getTimeouts)},
        {"SI_SetBaudRate", FindFunction(module, "SI_SetBaudRate", &library->setBaudRate)},
        {"SI_SetLineControl", FindFunction(module, "SI_SetLineControl", &library->setLineControl)},
        {"SI_SetFlowControl", FindFunction(module, "SI_SetFlowControl", &library->setFlowControl)},
        {"SI_CheckRXQueue", FindFunction(module, "SI_CheckRXQueue", &library->checkRxQueue)},
    };
    for (const auto& function : required) {
        if (!function.found) {
            loaded.failure = std::string("SiUSBXp.dll has no ") + function.name;
            break;
        }
    }
    return loaded;
}

const LoadedSiUsbXp& Loaded()
{
    static const LoadedSiUsbXp loaded = Load();
    return loaded;
}

// The library; null when the DLL or one of its functions is missing, which
// reads as "no bridge".
const SiUsbXp* Library()
{
    return Loaded().failure.empty() ? &Loaded().functions : nullptr;
}

// A status of the library as the reason a bridge did not open.
void RecordStatus(const char* call, int status)
{
    char text[64];
    snprintf(text, sizeof text, "%s: status 0x%02X", call, unsigned(status));
    RecordLinkFailure(LinkFailureKind::kOther, text);
}

// The time-outs last set through this file; the library keeps them for the
// whole process, and nothing else sets them.
struct TimeoutsSet {
    bool known = false;
    DWORD readMs = 0;
    DWORD writeMs = 0;
};

TimeoutsSet& LastTimeouts()
{
    static TimeoutsSet timeouts;
    return timeouts;
}

}  // namespace

namespace cp2102 {

struct Device {
    HANDLE handle = INVALID_HANDLE_VALUE;
    uint32_t baudRate = 0;
};

int GetNumDevices(uint32_t* count)
{
    const SiUsbXp* library = Library();
    if (!library) {
        RecordLinkFailure(LinkFailureKind::kOther, Loaded().failure);
        return kDeviceNotFound;
    }
    DWORD devices = 0;
    const int status = library->getNumDevices(&devices);
    if (status == kSuccess)
        *count = devices;
    else
        RecordStatus("SI_GetNumDevices", status);
    return status;
}

int GetProductString(uint32_t index, char* buffer, uint8_t option)
{
    const SiUsbXp* library = Library();
    if (!library)
        return kDeviceNotFound;
    const int status = library->getProductString(index, buffer, option);
    // The library fills at most the buffer; a string that filled it whole
    // would lack its terminator.
    buffer[kProductStringSize - 1] = '\0';
    if (status != kSuccess)
        RecordStatus("SI_GetProductString", status);
    return status;
}

int Open(uint32_t index, Device** device)
{
    const SiUsbXp* library = Library();
    if (!library)
        return kDeviceNotFound;
    HANDLE handle = INVALID_HANDLE_VALUE;
    const int status = library->open(index, &handle);
    if (status != kSuccess) {
        RecordStatus("SI_Open", status);
        return status;
    }
    *device = new Device;
    (*device)->handle = handle;
    return kSuccess;
}

int Close(Device* device)
{
    if (!device)
        return kInvalidHandle;
    const int status = Library()->close(device->handle);
    delete device;
    return status;
}

int SetBaudRate(Device* device, uint32_t baudRate)
{
    const int status = Library()->setBaudRate(device->handle, baudRate);
    if (status == kSuccess)
        device->baudRate = baudRate;
    return status;
}

int SetLineControl(Device* device, uint16_t lineControl)
{
    return Library()->setLineControl(device->handle, lineControl);
}

int SetFlowControl(Device* device, uint8_t cts, uint8_t rts, uint8_t dtr, uint8_t dsr, uint8_t dcd, bool xonXoff)
{
    return Library()->setFlowControl(device->handle, cts, rts, dtr, dsr, dcd, xonXoff ? TRUE : FALSE);
}

int FlushBuffers(Device* device, uint8_t transmit, uint8_t receive)
{
    return Library()->flushBuffers(device->handle, transmit, receive);
}

int SetTimeouts(uint32_t readMs, uint32_t writeMs)
{
    const SiUsbXp* library = Library();
    if (!library)
        return kDeviceNotFound;
    const int status = library->setTimeouts(readMs, writeMs);
    if (status == kSuccess)
        LastTimeouts() = {true, readMs, writeMs};
    return status;
}

int GetTimeouts(uint32_t* readMs, uint32_t* writeMs)
{
    const SiUsbXp* library = Library();
    if (!library)
        return kDeviceNotFound;
    DWORD readTimeout = 0;
    DWORD writeTimeout = 0;
    const int status = library->getTimeouts(&readTimeout, &writeTimeout);
    if (status == kSuccess) {
        *readMs = readTimeout;
        *writeMs = writeTimeout;
    }
    return status;
}

// Waits for the bytes up to the read time-out by looking at the receive queue,
// and reads only what has arrived, so that the library's read returns at once.
// Fewer than wanted is kReadTimedOut, as the library's own read.
int Read(Device* device, void* buffer, uint32_t wanted, uint32_t* returned)
{
    const SiUsbXp* library = Library();
    const TimeoutsSet set = LastTimeouts();
    const bool limited = set.known && set.readMs != kInfinite;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limited ? set.readMs : 0);
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    uint32_t got = 0;
    int status = kSuccess;
    while (got < wanted) {
        // Read before the look: the read ends only after a look made once the
        // time-out had passed, so input that came while the process was
        // stopped past it is still taken.
        const auto looked = std::chrono::steady_clock::now();
        DWORD queued = 0;
        DWORD queueStatus = 0;
        status = library->checkRxQueue(device->handle, &queued, &queueStatus);
        if (status != kSuccess)
            break;
        DWORD count = 0;
        if (queued > 0) {
            const DWORD ask = std::min({queued, DWORD(wanted - got), DWORD(kMaxReadSize)});
            status = library->read(device->handle, bytes + got, ask, &count, nullptr);
            got += count;
            // Fewer than asked, or none, is no failure: look again.
            if (status != kSuccess && status != kReadTimedOut && status != kRxQueueNotReady)
                break;
            status = kSuccess;
        }
        if (count > 0)
            continue;
        if (InterruptRequested()) {
            status = kReadError;
            break;
        }
        if (limited && looked >= end) {
            status = kReadTimedOut;
            break;
        }
        const auto left = end - std::chrono::steady_clock::now();
        std::this_thread::sleep_for(limited ? std::max<std::chrono::nanoseconds>(
                                                  std::chrono::nanoseconds(0),
                                                  std::min<std::chrono::nanoseconds>(left, kQueuePoll))
                                            : std::chrono::nanoseconds(kQueuePoll));
    }
    *returned = got;
    return status;
}

// Returns once the bytes have left the bridge, so that the reply time-out
// does not start while the block is still going out.
//
// The library takes at most SI_MAX_WRITE_SIZE bytes a call, and the bridge
// takes data only as fast as its line sends them: the block goes in pieces of
// about one interrupt check of line time (never more than the library's
// limit), and the first piece that fails or goes short ends the write. The
// library's write time-out covers one call: a piece whose line time takes
// half of it or more gets the time-out widened by its line time, and the
// time-out set before is put back at once. The library's time-outs are
// global, nothing else runs meanwhile.
//
// The last piece completes with up to a transmit buffer's worth still in the
// bridge: 640 bytes are 5.3 s at 1200 baud, more than the reply time-out.
// USBXpress has no call that tells how much is left (the bridge's own
// GET_COMM_STATUS is not reachable through it), so the write waits the time
// the line needs for what may be left.
int Write(Device* device, const void* buffer, uint32_t count, uint32_t* written)
{
    const SiUsbXp* library = Library();
    const TimeoutsSet set = LastTimeouts();
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    const uint32_t piece = std::max<uint32_t>(
        1, uint32_t(std::min<uint64_t>(uint64_t(device->baudRate) * kInterruptPollMs / 1000 / kBitsPerByte8N1,
                                       kMaxWriteSize)));
    int status = kSuccess;
    uint32_t sent = 0;
    while (sent < count) {
        if (InterruptRequested()) {
            status = kWriteError;
            break;
        }
        const uint32_t size = std::min(piece, count - sent);
        const uint64_t lineMs = LineMs(size, device->baudRate);
        const bool widen = set.known && set.writeMs != kInfinite && lineMs * kWideningShareDivisor >= set.writeMs;
        if (widen)
            library->setTimeouts(set.readMs, DWORD(std::min<uint64_t>(set.writeMs + lineMs, kInfinite - 1)));
        DWORD done = 0;
        // The library's declaration lacks the const; it does not write to the buffer.
        status = library->write(device->handle, const_cast<uint8_t*>(bytes + sent), size, &done, nullptr);
        if (widen)
            library->setTimeouts(set.readMs, set.writeMs);
        sent += std::min<uint32_t>(done, size);
        if (status != kSuccess)
            break;
        if (done < size) {
            status = kWriteTimedOut;
            break;
        }
    }
    *written = sent;
    if (status == kSuccess)
        WaitOutLine(LineMs(std::min(sent, kTransmitBufferBytes), device->baudRate));
    if (status == kSuccess && InterruptRequested())
        status = kWriteError;
    return status;
}

}  // namespace cp2102
