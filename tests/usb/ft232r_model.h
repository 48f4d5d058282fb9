// An FT232R USB-to-serial converter with the simulated target on its serial side.
#pragma once

#include <chrono>
#include <string>

#include "serial_line.h"
#include "target/sim_target.h"
#include "usb_testbed.h"

class Ft232rModel : public UsbDeviceModel {
public:
    static constexpr uint16_t kVendor = 0x0403;
    static constexpr uint16_t kProduct = 0x6001;
    static constexpr uint16_t kRelease = 0x0600;  // tells libftdi the chip type
    static constexpr uint8_t kEndpointIn = 0x81;
    static constexpr uint8_t kEndpointOut = 0x02;
    static constexpr uint8_t kDefaultLatencyMs = 16;
    // FT232R data sheet: 128-byte transmit buffer, 256-byte receive buffer.
    static constexpr size_t kTransmitBufferSize = 128;

    Ft232rModel(const std::string& description, const TargetBehaviour& behaviour);

    std::vector<uint8_t> Descriptors() const override;
    std::string String(uint8_t index) const override;
    bool Control(const SetupPacket& setup, std::vector<uint8_t>* data) override;
    size_t BulkOut(uint8_t endpoint, const uint8_t* data, size_t length) override;
    bool BulkIn(uint8_t endpoint, size_t maxLength, std::vector<uint8_t>* data) override;
    bool Vanished() const override { return line_.Vanished(); }
    std::string KernelDriver() const override { return "ftdi_sio"; }

    // The product id on the bus; set before the device is attached.
    uint16_t productId = kProduct;

    // What the host configured; read with the testbed's lock held.
    uint32_t baudRate = 0;      // decoded from the divisor
    uint16_t dataSetting = 0;   // SET_DATA value: bits, parity, stop bits, break
    uint16_t flowControl = 0xFFFF;  // SET_FLOW_CTRL mode (high byte of wIndex)
    bool dtr = true;
    bool rts = true;
    int modemControlRequests = 0;
    uint8_t latencyMs = kDefaultLatencyMs;
    int purgesRx = 0;
    int purgesTx = 0;
    // For measuring: the timer the chip runs with, whatever the host set; -1 follows the host.
    int latencyOverrideMs = -1;
    // A converter that answers a bulk IN with nothing (a NAK) while it has no
    // data, instead of a status packet each latency period (QEMU's model does).
    bool nakWhenIdle = false;
    // A wedged chip: it stalls every vendor request with this bRequest (a
    // chip answers a request it cannot serve with a STALL, USB 2.0 8.5.3.4);
    // -1: none.
    int stalledRequest = -1;
    const SimTarget& Target() const { return line_.Target(); }
    // Bytes still waiting for the line now.
    size_t TransmitQueued()
    {
        line_.Advance();
        return line_.WaitingToGoOut();
    }

private:
    bool VendorOut(const SetupPacket& setup);
    // The two status bytes that lead every packet and answer a status poll.
    std::vector<uint8_t> Status();

    std::string description_;
    SerialLine line_;
    std::chrono::steady_clock::time_point lastPacket_;
};
