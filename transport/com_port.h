// The link over a serial port of the computer: 8 data bits, even parity, one stop bit.
#pragma once

#include <cstdint>
#include <string>

#include "com.h"
#include "line_settings.h"

class ComPort : public Com {
public:
    ComPort() = default;
    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;
    ~ComPort() override;

    bool Escape(uint32_t code) override;
    bool Read(void* buffer, uint32_t wanted, uint32_t* received) override;
    bool Write(const void* buffer, uint32_t count) override;
    bool Close() override;
    bool Purge() override;
    bool SetTimeout(uint32_t milliseconds) override;
    bool GetTimeout(uint32_t* milliseconds) override;
    bool Open(const char* name, uint32_t baudRate, uint32_t milliseconds) override;
    bool IsOpen() override;

    // The line settings that Open applies.
    static LineSettings LineSettingsFor(uint32_t baudRate);

    // The device that a port name stands for on this platform; empty for none.
    static std::string DevicePath(const char* name);

    // Linux only (com_port_linux.cpp), where the driver tells its UART:
    // the rate a UART whose clock over 16 is baudBase makes when asked for
    // this one: the clock over the nearest whole divisor.
    static uint32_t RateFromClock(uint32_t baudBase, uint32_t rate);

    // The rate the port runs at, from what its driver tells (Linux TIOCGSERIAL:
    // the UART's type and baud_base, 0 where it tells none) and the rate it
    // reported back after setting.
    static uint32_t RateMade(int uartType, uint32_t baudBase, uint32_t reported);
    // A UART of a type known to divide its clock by a whole number.
    static bool WholeDivisorUart(int uartType);
    // A port that runs at `made` when asked for `wanted` is close enough.
    static bool RateTaken(uint32_t wanted, uint32_t made);

private:
    bool ApplyLineSettings(const LineSettings& settings);
    void Release();

    // The device handle: a file descriptor or a Windows HANDLE; -1 when closed.
    intptr_t handle_ = -1;
    Timeouts timeouts_;
    // Open made the port exclusive: Close ends it.
    bool setExclusive_ = false;
    // What undoes Open's lowering of the latency (Linux: the port's former
    // flags); -1: unchanged.
    int formerSerialFlags_ = -1;
    // The rate Open set, for the time a block needs on the line.
    uint32_t lineRate_ = 0;
};
