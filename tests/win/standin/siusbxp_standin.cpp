// Stand-in SiUSBXp.dll: the SI_* functions of Silicon Labs' USBXpress library
// as AN169 describes them, over CP2102 bridges with the simulated target on
// their lines. The read and write time-outs are the library's, for all
// devices. Every call is recorded with its arguments (see standin.h).
#include <windows.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "standin.h"

using namespace standin;

namespace {

using SiStatus = int;
constexpr SiStatus kSuccess = 0x00;
constexpr SiStatus kInvalidHandle = 0x01;
constexpr SiStatus kReadError = 0x02;
constexpr SiStatus kWriteError = 0x04;
constexpr SiStatus kInvalidParameter = 0x06;
constexpr SiStatus kInvalidRequestLength = 0x07;
constexpr SiStatus kDeviceIoFailed = 0x08;
constexpr SiStatus kInvalidBaudRate = 0x09;
constexpr SiStatus kReadTimedOut = 0x0D;
constexpr SiStatus kWriteTimedOut = 0x0E;
constexpr SiStatus kDeviceNotFound = 0xFF;

// SI_GetProductString options.
constexpr DWORD kReturnSerialNumber = 0x00;
constexpr DWORD kReturnDescription = 0x01;
constexpr DWORD kReturnLinkName = 0x02;
constexpr DWORD kReturnVid = 0x03;
constexpr DWORD kReturnPid = 0x04;
constexpr size_t kMaxDeviceString = 256;

// The library's limits on one transfer (SiUSBXp.h as AN169 documents it:
// SI_MAX_READ_SIZE 4096*16, SI_MAX_WRITE_SIZE 4096); more is
// SI_INVALID_REQUEST_LENGTH.
constexpr DWORD kMaxReadSize = 4096 * 16;
constexpr DWORD kMaxWriteSize = 4096;

// SI_CheckRXQueue's queue status (AN169): SI_RX_EMPTY, SI_RX_READY.
constexpr DWORD kRxEmpty = 0x00;
constexpr DWORD kRxReady = 0x02;

// The library's time-outs until set: none.
constexpr DWORD kInfinite = 0xFFFFFFFF;

// CP2102: a 640-byte transmit buffer; received bytes reach the host with the
// next 1 ms USB frame.
const ChipModel kCp2102 = {640, std::chrono::milliseconds(1)};
constexpr uintptr_t kFirstHandle = 0x2001;

struct Bridge {
    std::string description;
    std::unique_ptr<Chip> chip;  // while open
};

std::vector<Bridge>& Bridges()
{
    static std::vector<Bridge> bridges = [] {
        std::vector<Bridge> list;
        for (const std::string& description : Descriptions())
            list.push_back({description, nullptr});
        return list;
    }();
    return bridges;
}

DWORD readTimeoutMs = kInfinite;
DWORD writeTimeoutMs = kInfinite;

Bridge* Open(HANDLE handle)
{
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value < kFirstHandle || value >= kFirstHandle + Bridges().size())
        return nullptr;
    Bridge& bridge = Bridges()[value - kFirstHandle];
    return bridge.chip ? &bridge : nullptr;
}

std::string HandleText(HANDLE handle)
{
    char text[32];
    snprintf(text, sizeof text, "0x%llx", (unsigned long long)reinterpret_cast<uintptr_t>(handle));
    return text;
}

// kSuccess, unless this call is to fail: then the status asked for, or the one given.
SiStatus Requested(const char* function, SiStatus failure)
{
    SiStatus status = failure;
    return ShouldFail(function, &status) ? status : kSuccess;
}

// The same for a call on an open bridge.
SiStatus Checked(const char* function, Bridge* bridge)
{
    return bridge ? Requested(function, kDeviceIoFailed) : kInvalidHandle;
}

bool Limited(DWORD timeoutMs)
{
    return timeoutMs != kInfinite;
}

}  // namespace

extern "C" {

SiStatus WINAPI SI_GetNumDevices(LPDWORD count)
{
    const SiStatus status = Requested("SI_GetNumDevices", kDeviceIoFailed);
    if (status == kSuccess)
        *count = DWORD(Bridges().size());
    Log("SI_GetNumDevices() = %d count=%lu", status, status == kSuccess ? *count : 0);
    return status;
}

SiStatus WINAPI SI_GetProductString(DWORD index, LPVOID buffer, DWORD options)
{
    std::string text;
    SiStatus status = kSuccess;
    if (index >= Bridges().size())
        status = kDeviceNotFound;
    else if (options == kReturnDescription)
        text = Bridges()[index].description;
    else if (options == kReturnSerialNumber)
        text = "SI" + std::to_string(1000 + index);
    else if (options == kReturnLinkName)
        text = "\\\\?\\usb#vid_10c4&pid_ea60#si" + std::to_string(1000 + index);
    else if (options == kReturnVid)
        text = "10C4";
    else if (options == kReturnPid)
        text = "EA60";
    else
        status = kInvalidParameter;
    if (status == kSuccess)
        status = Requested("SI_GetProductString", kDeviceIoFailed);
    if (status == kSuccess) {
        text.resize(std::min(text.size(), kMaxDeviceString - 1));
        memcpy(buffer, text.c_str(), text.size() + 1);
    }
    Log("SI_GetProductString(%lu, %lu) = %d \"%s\"", index, options, status, text.c_str());
    return status;
}

SiStatus WINAPI SI_Open(DWORD index, HANDLE* handle)
{
    SiStatus status = kSuccess;
    if (index >= Bridges().size())
        status = kDeviceNotFound;
    else if (Bridges()[index].chip)  // held already
        status = kDeviceIoFailed;
    else
        status = Requested("SI_Open", kDeviceNotFound);
    if (status == kSuccess) {
        Bridges()[index].chip.reset(new Chip(kCp2102));
        *handle = reinterpret_cast<HANDLE>(kFirstHandle + index);
    }
    Log("SI_Open(%lu) = %d handle=%s", index, status, status == kSuccess ? HandleText(*handle).c_str() : "none");
    return status;
}

SiStatus WINAPI SI_Close(HANDLE handle)
{
    Bridge* bridge = Open(handle);
    const SiStatus status = bridge ? kSuccess : kInvalidHandle;
    if (bridge)
        bridge->chip.reset();
    Log("SI_Close(%s) = %d", HandleText(handle).c_str(), status);
    return status;
}

SiStatus WINAPI SI_SetBaudRate(HANDLE handle, DWORD baudRate)
{
    Bridge* bridge = Open(handle);
    SiStatus status = Checked("SI_SetBaudRate", bridge);
    if (status == kSuccess && baudRate == 0)
        status = kInvalidBaudRate;
    if (status == kSuccess)
        bridge->chip->SetLine(baudRate, 10);
    Log("SI_SetBaudRate(%s, %lu) = %d", HandleText(handle).c_str(), baudRate, status);
    return status;
}

SiStatus WINAPI SI_SetLineControl(HANDLE handle, WORD lineControl)
{
    const SiStatus status = Checked("SI_SetLineControl", Open(handle));
    Log("SI_SetLineControl(%s, 0x%04X) = %d", HandleText(handle).c_str(), lineControl, status);
    return status;
}

SiStatus WINAPI SI_SetFlowControl(HANDLE handle, BYTE cts, BYTE rts, BYTE dtr, BYTE dsr, BYTE dcd, BOOL xonXoff)
{
    const SiStatus status = Checked("SI_SetFlowControl", Open(handle));
    Log("SI_SetFlowControl(%s, cts=%u, rts=%u, dtr=%u, dsr=%u, dcd=%u, xonxoff=%d) = %d", HandleText(handle).c_str(),
        cts, rts, dtr, dsr, dcd, xonXoff, status);
    return status;
}

SiStatus WINAPI SI_FlushBuffers(HANDLE handle, BYTE transmit, BYTE receive)
{
    Bridge* bridge = Open(handle);
    const SiStatus status = Checked("SI_FlushBuffers", bridge);
    if (status == kSuccess)
        bridge->chip->Purge(transmit, receive);
    Log("SI_FlushBuffers(%s, %u, %u) = %d", HandleText(handle).c_str(), transmit, receive, status);
    return status;
}

SiStatus WINAPI SI_SetTimeouts(DWORD readMs, DWORD writeMs)
{
    const SiStatus status = Requested("SI_SetTimeouts", kDeviceIoFailed);
    if (status == kSuccess) {
        readTimeoutMs = readMs;
        writeTimeoutMs = writeMs;
    }
    Log("SI_SetTimeouts(%lu, %lu) = %d", readMs, writeMs, status);
    return status;
}

SiStatus WINAPI SI_GetTimeouts(LPDWORD readMs, LPDWORD writeMs)
{
    const SiStatus status = Requested("SI_GetTimeouts", kDeviceIoFailed);
    if (status == kSuccess) {
        *readMs = readTimeoutMs;
        *writeMs = writeTimeoutMs;
    }
    Log("SI_GetTimeouts() = %d read=%lu write=%lu", status, readTimeoutMs, writeTimeoutMs);
    return status;
}

// Waits for the bytes asked for until the library's read time-out; fewer is
// SI_READ_TIMED_OUT with what came. At most SI_MAX_READ_SIZE bytes a call.
SiStatus WINAPI SI_Read(HANDLE handle, LPVOID buffer, DWORD wanted, LPDWORD returned, OVERLAPPED* overlapped)
{
    Bridge* bridge = Open(handle);
    SiStatus status = Checked("SI_Read", bridge);
    uint32_t got = 0;
    if (status == kSuccess && wanted > kMaxReadSize) {
        status = kInvalidRequestLength;
    } else if (status == kSuccess && bridge->chip->Gone()) {
        status = kReadError;
    } else if (status == kSuccess) {
        Chip::ReadLimits limits;
        limits.total = Limited(readTimeoutMs);
        limits.end = Clock::now() + std::chrono::milliseconds(limits.total ? readTimeoutMs : 0);
        bridge->chip->Read(static_cast<uint8_t*>(buffer), wanted, limits, &got);
        if (got < wanted)
            status = kReadTimedOut;
    }
    *returned = got;
    Log("SI_Read(%s, %lu, %s) = %d returned=%u", HandleText(handle).c_str(), wanted, overlapped ? "set" : "null",
        status, got);
    return status;
}

// At most SI_MAX_WRITE_SIZE bytes a call. The bridge takes bytes as fast as
// its line sends them; what has not gone in by the library's write time-out is
// SI_WRITE_TIMED_OUT.
SiStatus WINAPI SI_Write(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD written, OVERLAPPED* overlapped)
{
    Bridge* bridge = Open(handle);
    SiStatus status = Checked("SI_Write", bridge);
    uint32_t taken = 0;
    if (status == kSuccess && count > kMaxWriteSize) {
        status = kInvalidRequestLength;
    } else if (status == kSuccess && bridge->chip->Gone()) {
        status = kWriteError;
    } else if (status == kSuccess) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(writeTimeoutMs);
        bridge->chip->Write(static_cast<const uint8_t*>(buffer), count, Limited(writeTimeoutMs) ? &deadline : nullptr,
                            0, &taken);
        if (taken < count)
            status = kWriteTimedOut;
    }
    *written = taken;
    Log("SI_Write(%s, %lu, %s) = %d written=%u", HandleText(handle).c_str(), count, overlapped ? "set" : "null",
        status, taken);
    return status;
}

// How many received bytes wait in the library's queue, at once (AN169).
SiStatus WINAPI SI_CheckRXQueue(HANDLE handle, LPDWORD queued, LPDWORD queueStatus)
{
    Bridge* bridge = Open(handle);
    SiStatus status = Checked("SI_CheckRXQueue", bridge);
    DWORD count = 0;
    if (status == kSuccess && bridge->chip->Gone())
        status = kDeviceIoFailed;
    else if (status == kSuccess)
        count = bridge->chip->Arrived();
    if (status == kSuccess) {
        *queued = count;
        *queueStatus = count ? kRxReady : kRxEmpty;
    }
    Log("SI_CheckRXQueue(%s) = %d queued=%lu", HandleText(handle).c_str(), status, count);
    return status;
}

}  // extern "C"
