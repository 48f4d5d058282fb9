// What the emulated devices are on the bus, apart from any one bus: shared by
// the umockdev testbed and the gadget that puts the same models on a real
// kernel's USB host side.
#include "usb_testbed.h"

namespace {

constexpr uint8_t kDescriptorDevice = 0x01;
constexpr uint8_t kDescriptorConfiguration = 0x02;

}  // namespace

std::vector<uint8_t> SerialBridgeDescriptors(uint16_t vendor, uint16_t product, uint16_t release, uint8_t endpointIn,
                                             uint8_t endpointOut, uint8_t interfaceClass)
{
    constexpr uint8_t kMaxPacket = 64;
    constexpr uint8_t kBulk = 0x02;
    return {
        // device: USB 2.0, control packets of 64 bytes, strings 1 to 3, one configuration
        18, kDescriptorDevice, 0x00, 0x02, 0, 0, 0, kMaxPacket, uint8_t(vendor), uint8_t(vendor >> 8),
        uint8_t(product), uint8_t(product >> 8), uint8_t(release), uint8_t(release >> 8), 1, 2, 3, 1,
        // configuration 1: 32 bytes in all, one interface, bus powered, 90 mA
        9, kDescriptorConfiguration, 32, 0, 1, 1, 0, 0x80, 45,
        // interface 0: two endpoints
        9, 0x04, 0, 0, 2, interfaceClass, 0, 0, 2,
        // bulk IN and bulk OUT, 64-byte packets
        7, 0x05, endpointIn, kBulk, kMaxPacket, 0, 0,
        7, 0x05, endpointOut, kBulk, kMaxPacket, 0, 0,
    };
}

std::chrono::microseconds LineTime8N1(size_t bytes, uint32_t baudRate)
{
    constexpr uint64_t kBitsPerByte = 10;
    if (baudRate == 0)
        return std::chrono::microseconds(0);
    return std::chrono::microseconds(bytes * kBitsPerByte * 1000000 / baudRate);
}
