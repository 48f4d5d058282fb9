// The link over an FTDI USB-to-serial converter driven directly over USB,
// chosen by its USB product description: 8 data bits, no parity, one stop bit.
#pragma once

#include "com.h"
#include "line_settings.h"


class ComFTDI : public Com {
public:
    ComFTDI() = default;
    ComFTDI(const ComFTDI&) = delete;
    ComFTDI& operator=(const ComFTDI&) = delete;
    ~ComFTDI() override;

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

    // The converter holds received bytes up to this long before sending them.
    static constexpr unsigned char kLatencyTimerMs = 2;

private:
    // The open converter as the platform's FTDI interface knows it; defined
    // by the one source file that drives that interface.
    struct Device;

    bool Configure(const LineSettings& settings);
    void Release();

    // The device handle: null when closed.
    Device* device_ = nullptr;
    Timeouts timeouts_;
};
