// Serial port on Windows through the Win32 communications functions.
#include "com_port.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <windows.h>

#include "error_text_win32.h"
#include "interrupt.h"
#include "interrupt_win32.h"
#include "line_settings_win32.h"
#include "link_failure.h"

namespace {

constexpr intptr_t kInvalidHandle = -1;

HANDLE Handle(intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

// Why the open failed, in Windows' words; the driver explains it.
void RecordFailure(LinkFailureKind kind, const char* call, DWORD error, const std::string& device)
{
    std::string text = std::string(call) + ": " + ErrorText(error);
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
        text += " (another program holds the port)";
    RecordLinkFailure(kind, text, device);
}

bool ReadLineState(HANDLE port, DCB* record)
{
    std::memset(record, 0, sizeof *record);
    record->DCBlength = sizeof *record;
    return GetCommState(port, record) != FALSE;
}

bool WriteLineState(HANDLE port, const LineSettings& settings, DCB* record)
{
    SetLineRecord(settings, record);
    return SetCommState(port, record) != FALSE;
}

// Returns once a block of count bytes, written from start on, has had its
// time on the line; false when interrupted first.
bool WaitForLine(uint32_t lineRate, std::chrono::steady_clock::time_point start, uint32_t count)
{
    if (lineRate == 0)
        return true;
    // 11 bits a byte: start bit, 8 data bits, parity, stop bit.
    const auto lineTime = std::chrono::microseconds(uint64_t(count) * 11 * 1000000 / lineRate);
    const auto end = start + lineTime;
    for (auto now = std::chrono::steady_clock::now(); now < end; now = std::chrono::steady_clock::now()) {
        if (InterruptRequested())
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count() + 1;
        Sleep(DWORD(std::min<long long>(left, kInterruptPollMs)));
    }
    return true;
}

}  // namespace

// CreateFileA("COM10") fails: from COM10 up, ports exist only in the device
// namespace. The prefix is harmless for COM1 to COM9 as well.
std::string ComPort::DevicePath(const char* name)
{
    if (std::strncmp(name, "\\\\", 2) == 0)
        return name;
    return std::string("\\\\.\\") + name;
}

LineSettings ComPort::LineSettingsFor(uint32_t baudRate)
{
    return DefaultLineSettings(baudRate, kParityEven);
}

ComPort::~ComPort()
{
    if (handle_ != kInvalidHandle)
        Release();
}

bool ComPort::Open(const char* name, uint32_t baudRate, uint32_t milliseconds)
{
    if (handle_ != kInvalidHandle)
        return false;
    // Share mode 0: a port that another program holds cannot be opened.
    const std::string path = DevicePath(name);
    const HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        RecordFailure(LinkFailureKind::kOther, "CreateFileA", GetLastError(), path);
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(port);
    const char* failed = nullptr;
    DCB record;
    LinkFailureKind kind = LinkFailureKind::kOther;
    lineRate_ = baudRate;
    if (!SetupComm(port, kInputQueueSize, kOutputQueueSize)) {
        failed = "SetupComm";
    } else if (!ReadLineState(port, &record)) {
        failed = "GetCommState";
    } else if (!WriteLineState(port, LineSettingsFor(baudRate), &record)) {
        failed = "SetCommState";
        kind = LinkFailureKind::kRateRefused;
    } else if (!SetTimeout(milliseconds)) {
        failed = "SetCommTimeouts";
    }
    if (failed) {
        RecordFailure(kind, failed, GetLastError(), path);
        Release();
        return false;
    }
    return true;
}

// Microsoft's way: the driver's record first (it may hold reserved bits of
// its own), then every field the link depends on.
bool ComPort::ApplyLineSettings(const LineSettings& settings)
{
    DCB record;
    return ReadLineState(Handle(handle_), &record) && WriteLineState(Handle(handle_), settings, &record);
}

void ComPort::Release()
{
    CloseHandle(Handle(handle_));
    handle_ = kInvalidHandle;
}

bool ComPort::Close()
{
    if (handle_ != kInvalidHandle)
        Release();
    return true;
}

bool ComPort::IsOpen()
{
    return handle_ != kInvalidHandle;
}

// Not guarded: with the port closed the call fails on the invalid handle.
bool ComPort::SetTimeout(uint32_t milliseconds)
{
    COMMTIMEOUTS record = TimeoutRecord(TimeoutsFor(milliseconds));
    return SetCommTimeouts(Handle(handle_), &record) != FALSE;
}

bool ComPort::GetTimeout(uint32_t* milliseconds)
{
    COMMTIMEOUTS record;
    std::memset(&record, 0, sizeof record);
    const bool ok = GetCommTimeouts(Handle(handle_), &record) != FALSE;
    *milliseconds = TimeoutOfRecord(record);
    return ok;
}

bool ComPort::Purge()
{
    if (handle_ == kInvalidHandle)
        return false;
    return PurgeComm(Handle(handle_), PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE;
}

bool ComPort::Read(void* buffer, uint32_t wanted, uint32_t* received)
{
    if (handle_ == kInvalidHandle)
        return false;
    InterruptibleCall call;
    if (call.Interrupted())
        return false;
    DWORD got = 0;
    if (!ReadFile(Handle(handle_), buffer, wanted, &got, nullptr)) {
        if (!InterruptRequested())
            RecordLinkIoFailure(LinkIoOperation::kRead, ErrorText(GetLastError()));
        return false;
    }
    if (received)
        *received = got;
    return true;
}

bool ComPort::Write(const void* buffer, uint32_t count)
{
    if (handle_ == kInvalidHandle)
        return false;
    InterruptibleCall call;
    if (call.Interrupted())
        return false;
    const auto start = std::chrono::steady_clock::now();
    DWORD written = 0;
    const bool ok = WriteFile(Handle(handle_), buffer, count, &written, nullptr);
    if (!ok || written != count) {
        // A write time-out completes with fewer bytes and no error.
        if (!InterruptRequested())
            RecordLinkIoFailure(LinkIoOperation::kWrite, ok ? "wrote " + std::to_string(written) + " of " + std::to_string(count) +
                                                  " bytes"
                                            : ErrorText(GetLastError()));
        return false;
    }
    // The reply time-out must not start while the block is still going out: a
    // driver that completes writes from a buffer of its own (USB serial
    // drivers, Wine over a tty) sends it out here. serial.sys has already sent
    // all but its FIFO when the write completes; a driver without flush
    // support fails this, which costs nothing but the wait.
    FlushFileBuffers(Handle(handle_));
    // The flush is not enough on a USB virtual COM port: its driver may
    // complete it once the bulk transfer is done, with up to the chip's
    // transmit buffer (FT-X 512 bytes to FT2232H 4 KiB, CP2102 640 bytes)
    // still to go out, and ClearCommError's cbOutQue counts only the driver's
    // own queue. A full 4 KiB buffer at 4800 baud takes 9.4 s, more than the
    // reply time-out. No byte leaves faster than the line rate, so the write
    // returns no earlier than the block's line time after it began: bounded
    // by that time, looking at the interrupt between slices. Behind
    // serial.sys the write has taken that long already.
    return WaitForLine(lineRate_, start, count);
}

bool ComPort::Escape(uint32_t code)
{
    return EscapeCommFunction(Handle(handle_), code) != FALSE;
}
