// The link over a CP2102 USB-to-serial bridge driven directly over USB, found
// by enumerating the attached bridges and matching their product string.
#pragma once

#include "com.h"
#include "line_settings.h"

namespace cp2102 {
struct Device;
}

class ComCP2102 : public Com {
public:
    ComCP2102();
    ComCP2102(const ComCP2102&) = delete;
    ComCP2102& operator=(const ComCP2102&) = delete;
    ~ComCP2102() override;

    bool Escape(uint32_t code) override;
    bool Read(void* buffer, uint32_t wanted, uint32_t* received) override;
    bool Write(const void* buffer, uint32_t count) override;
    bool Close() override;
    bool Purge() override;
    // The bridge library's time-outs are global: these need no open device.
    bool SetTimeout(uint32_t milliseconds) override;
    bool GetTimeout(uint32_t* milliseconds) override;
    bool Open(const char* name, uint32_t baudRate, uint32_t milliseconds) override;
    bool IsOpen() override;

    // The line-control word: data bits in bits 8-15, parity in 4-7, stop bits in 0-3.
    static uint16_t LineControlWord(const LineSettings& settings);

    // The rate the bridge runs at when asked for this one.
    static uint32_t RateMade(uint32_t requested);

private:
    bool FindAndOpen(const char* name);
    bool Configure(uint32_t baudRate, uint32_t milliseconds);

    // The device handle of the bridge library: null when closed.
    cp2102::Device* handle_ = nullptr;
    LineSettings settings_;
};
