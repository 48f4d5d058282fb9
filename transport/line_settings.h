// Settings shared by the links: the serial line record and the time-out record.
#pragma once

#include <cstdint>

// Function codes of the escape operation (the classic serial escape functions).
enum EscapeCode : uint32_t {
    kEscapeSetXoff = 1,
    kEscapeSetXon = 2,
    kEscapeSetRts = 3,
    kEscapeClrRts = 4,
    kEscapeSetDtr = 5,
    kEscapeClrDtr = 6,
    kEscapeSetBreak = 8,
    kEscapeClrBreak = 9,
};

enum ParityCode : uint8_t {
    kParityNone = 0,
    kParityOdd = 1,
    kParityEven = 2,
};

enum StopBitsCode : uint8_t {
    kOneStopBit = 0,
};

// Modem line control: 0 holds the line inactive.
enum LineControlCode : uint8_t {
    kLineDisabled = 0,
};

// The fields of the serial line record that any of the links uses.
struct LineSettings {
    uint32_t baudRate = 0;
    bool binary = false;
    uint8_t dtrControl = kLineDisabled;
    uint8_t rtsControl = kLineDisabled;
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    bool outX = false;
    bool inX = false;
    bool parityCheck = false;
    uint8_t byteSize = 0;
    uint8_t parity = kParityNone;
    uint8_t stopBits = kOneStopBit;
};

// 8 data bits, one stop bit, binary, no flow control, DTR and RTS inactive.
LineSettings DefaultLineSettings(uint32_t baudRate, uint8_t parity);

// One time-out of t ms: a read of n bytes gives up t*n+t ms after it started,
// or t ms after the last byte once one has arrived; writes never time out.
struct Timeouts {
    uint32_t readInterval = 0;
    uint32_t readTotalMultiplier = 0;
    uint32_t readTotalConstant = 0;
    uint32_t writeTotalMultiplier = 0;
    uint32_t writeTotalConstant = 0;
};

Timeouts TimeoutsFor(uint32_t milliseconds);

// Serial queue sizes asked for at open.
constexpr uint32_t kInputQueueSize = 1024;
constexpr uint32_t kOutputQueueSize = 1024;
