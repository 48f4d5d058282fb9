// The CP2102 bridge library: bridges enumerated by index, product strings,
// open and close, read and write, buffer flush, one set of time-outs for the
// whole library, baud rate, line control and flow control. Every call returns
// a status code. ComCP2102 runs its search and configuration on top of it;
// each platform has its own implementation of this one interface (over
// libusb with the CP210x vendor requests, or over the vendor's library).
#pragma once

#include <cstdint>

namespace cp2102 {

// Status codes, with the values of the vendor's library.
enum Status : int {
    kSuccess = 0x00,
    kInvalidHandle = 0x01,
    kReadError = 0x02,
    kRxQueueNotReady = 0x03,
    kWriteError = 0x04,
    kResetError = 0x05,
    kInvalidParameter = 0x06,
    kInvalidRequestLength = 0x07,
    kDeviceIoFailed = 0x08,
    kInvalidBaudRate = 0x09,
    kFunctionNotSupported = 0x0A,
    kGlobalDataError = 0x0B,
    kSystemErrorCode = 0x0C,
    kReadTimedOut = 0x0D,
    kWriteTimedOut = 0x0E,
    kIoPending = 0x0F,
    kDeviceNotFound = 0xFF,
};

// What GetProductString returns.
enum StringOption : uint8_t {
    kSerialNumber = 0x00,
    kDescription = 0x01,
};

// Buffer size that GetProductString fills, terminator included.
constexpr uint32_t kProductStringSize = 256;

// Codes of SetFlowControl: the inputs CTS, DSR and DCD are status inputs or
// handshake lines; the outputs RTS and DTR are held inactive, held active or
// run by the bridge for flow control (RTS also as a transmit-active signal).
enum FlowCode : uint8_t {
    kStatusInput = 0x00,
    kHandshakeLine = 0x01,
    kHeldInactive = 0x00,
    kHeldActive = 0x01,
    kFirmwareControlled = 0x02,
    kTransmitActiveSignal = 0x03,
};

// An open bridge; defined by the implementation.
struct Device;

int GetNumDevices(uint32_t* count);
int GetProductString(uint32_t index, char* buffer, uint8_t option);
int Open(uint32_t index, Device** device);
int Close(Device* device);
// Returns kReadTimedOut when fewer than wanted bytes came within the read
// time-out; what did come is in returned.
int Read(Device* device, void* buffer, uint32_t wanted, uint32_t* returned);
int Write(Device* device, const void* buffer, uint32_t count, uint32_t* written);
int FlushBuffers(Device* device, uint8_t transmit, uint8_t receive);
int SetTimeouts(uint32_t readMs, uint32_t writeMs);
int GetTimeouts(uint32_t* readMs, uint32_t* writeMs);
int SetBaudRate(Device* device, uint32_t baudRate);
int SetLineControl(Device* device, uint16_t lineControl);
int SetFlowControl(Device* device, uint8_t cts, uint8_t rts, uint8_t dtr, uint8_t dsr, uint8_t dcd, bool xonXoff);

}  // namespace cp2102
