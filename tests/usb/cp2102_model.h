// A CP2102 USB-to-serial bridge with the simulated target on its serial side.
#pragma once

#include <array>
#include <string>

#include "serial_line.h"
#include "target/sim_target.h"
#include "usb_testbed.h"

class Cp2102Model : public UsbDeviceModel {
public:
    static constexpr uint16_t kVendor = 0x10C4;
    static constexpr uint16_t kProduct = 0xEA60;
    static constexpr uint16_t kRelease = 0x0100;
    static constexpr uint8_t kEndpointIn = 0x81;
    static constexpr uint8_t kEndpointOut = 0x01;
    // CP2102 data sheet: 640-byte transmit buffer, 576-byte receive buffer.
    static constexpr size_t kTransmitBufferSize = 640;

    Cp2102Model(const std::string& product, const TargetBehaviour& behaviour);

    std::vector<uint8_t> Descriptors() const override;
    std::string String(uint8_t index) const override;
    bool Control(const SetupPacket& setup, std::vector<uint8_t>* data) override;
    size_t BulkOut(uint8_t endpoint, const uint8_t* data, size_t length) override;
    bool BulkIn(uint8_t endpoint, size_t maxLength, std::vector<uint8_t>* data) override;
    bool Vanished() const override { return line_.Vanished(); }
    std::string KernelDriver() const override { return "cp210x"; }

    // The product id on the bus; set before the device is attached.
    uint16_t productId = kProduct;

    // What the host configured; read with the testbed's lock held.
    bool interfaceEnabled = false;
    int enables = 0;
    int disables = 0;
    uint32_t baudRate = 0;      // as asked for
    uint32_t lineBaudRate = 0;  // what the bridge makes of it
    int commStatusReads = 0;
    uint16_t lineControl = 0;
    std::array<uint8_t, 16> flowRecord{};
    bool flowSet = false;
    bool dtr = true;
    bool rts = true;
    int purges = 0;
    int requestsWhileDisabled = 0;
    const SimTarget& Target() const { return line_.Target(); }
    // Bytes still waiting for the line now.
    size_t TransmitQueued()
    {
        line_.Advance();
        return line_.WaitingToGoOut();
    }

private:
    bool VendorOut(const SetupPacket& setup, const std::vector<uint8_t>& data);
    bool VendorIn(const SetupPacket& setup, std::vector<uint8_t>* data);

    std::string product_;
    SerialLine line_;
};

// The rate a CP2101/2/3 runs at when asked for this one (its fixed table of
// rates, Silicon Labs AN205 table 1).
uint32_t Cp2102LineRate(uint32_t requested);

// Reads a little-endian 32-bit field of the flow-control record.
uint32_t FlowWord(const std::array<uint8_t, 16>& record, size_t offset);
