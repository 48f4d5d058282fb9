// Emulated USB devices under umockdev: the real libusb (and libftdi on top of
// it) in a child process talks to device models in this process. umockdev
// forwards the child's usbfs ioctls to a handler here, which plays the kernel's
// side: URB submission and reaping, interface claims, and control requests.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct SetupPacket {
    uint8_t requestType;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
};

// Direction bit of a request type or endpoint address: device to host.
constexpr uint8_t kDirectionIn = 0x80;

// What a device is on the bus. Calls come from umockdev's worker thread with
// the testbed's lock held.
class UsbDeviceModel {
public:
    virtual ~UsbDeviceModel() = default;

    // Device descriptor followed by the whole configuration descriptor.
    virtual std::vector<uint8_t> Descriptors() const = 0;
    // String descriptor text by index; empty when there is none.
    virtual std::string String(uint8_t index) const = 0;
    // Vendor or class request; false stalls it. An IN request fills data.
    virtual bool Control(const SetupPacket& setup, std::vector<uint8_t>* data) = 0;
    // Takes what the device has room for now of a bulk OUT transfer; the bus
    // offers the rest again later, and the transfer completes once all is taken.
    virtual size_t BulkOut(uint8_t endpoint, const uint8_t* data, size_t length) = 0;
    // Completes a bulk IN transfer of at most maxLength now, if the device would;
    // more than maxLength is an overflow.
    virtual bool BulkIn(uint8_t endpoint, size_t maxLength, std::vector<uint8_t>* data) = 0;
    // Unplugged: every request fails as on a disconnected device.
    virtual bool Vanished() const = 0;
    // The kernel driver that binds to the device's interface when nobody holds it.
    virtual std::string KernelDriver() const = 0;
};

// What the emulated bus saw of one device.
struct UsbDeviceCounters {
    int opens = 0;        // connections to the device node
    int stringReads = 0;  // string descriptor requests
    int claims = 0;       // successful interface claims
    int releases = 0;
    int detaches = 0;     // the kernel driver taken from the interface
    int attaches = 0;     // and bound to it again
};

class UsbTestbed {
public:
    UsbTestbed();
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed&) = delete;
    UsbTestbed& operator=(const UsbTestbed&) = delete;

    // Attaches a device at the next address on bus 1.
    void Add(std::shared_ptr<UsbDeviceModel> model);
    // Its sysfs folder, such as /devices/usb1/1-2.
    std::string SysfsPath(size_t device) const;
    // Adds devices in umockdev's text form (P:, N:, S:, E:, A: lines).
    bool AddFromString(const std::string& entries);
    // The folder that stands for / in the emulated system.
    std::string RootDir() const;

    // Another program holds the device's interfaces: claims fail as busy.
    void SetClaimedElsewhere(size_t device, bool claimed);
    // The device refuses its string descriptors (a stall).
    void SetStringsRefused(size_t device, bool refused);
    // Its control transfers complete this long after they were submitted (a
    // busy bus or a slow chip); until then the host may cancel them, as it
    // does when their time-out runs out.
    void SetControlLatency(size_t device, std::chrono::microseconds latency);
    // The tty that the kernel's serial driver made for the device's first
    // interface (a ttyUSB node); returns its /dev path as the emulated
    // system names it.
    std::string AddTty(size_t device, const std::string& name);
    UsbDeviceCounters Counters(size_t device);
    // The kernel's serial driver is bound to the interface (it has its tty node).
    // Every device starts bound, as when it is plugged in.
    bool KernelDriverBound(size_t device);

    // Held while the handler runs; hold it to look into a model.
    std::recursive_mutex& Lock();

    // Environment entries that put a child process on the emulated bus.
    static std::vector<std::string> ChildEnvironment();

    struct Device;

private:
    struct Testbed;
    std::unique_ptr<Testbed> testbed_;
};

// How long an 8N1 line at this rate takes for these bytes.
std::chrono::microseconds LineTime8N1(size_t bytes, uint32_t baudRate);

// The bytes of a device descriptor and a one-interface, two-bulk-endpoint configuration.
std::vector<uint8_t> SerialBridgeDescriptors(uint16_t vendor, uint16_t product, uint16_t release, uint8_t endpointIn,
                                             uint8_t endpointOut, uint8_t interfaceClass);
