// The CP2102 bridge library over libusb-1.0, with the CP210x vendor requests
// of Silicon Labs AN571 (the same ones the Linux kernel's cp210x driver
// sends). This file is the only one that calls libusb for the bridge.
#include "cp2102_bridge.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <libusb.h>
#include <string>
#include <thread>
#include <vector>

#include "interrupt.h"
#include "link_failure.h"
#include "read_deadline.h"
#include "tty_users.h"
#include "usb_ids.h"

namespace {

using namespace cp2102;

constexpr int kInterface = 0;
constexpr size_t kPacketSize = 64;
constexpr size_t kPacketsPerRead = 16;
constexpr unsigned kControlTimeoutMs = 1000;
constexpr uint32_t kBitsPerByte8N1 = 10;

// The bridge's transmit buffer (640 bytes, CP2102 data sheet): a write
// completes on the USB side once the bytes are in it, before they have left;
// WaitUntilSent waits for them.

// A stuck bridge gets this long on top of the line time.
constexpr std::chrono::milliseconds kStallMargin(1000);

// CP210x vendor requests to the interface.
constexpr uint8_t kRequestTypeOut = LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_INTERFACE | LIBUSB_ENDPOINT_OUT;
constexpr uint8_t kRequestTypeIn = LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_INTERFACE | LIBUSB_ENDPOINT_IN;
constexpr uint8_t kIfcEnable = 0x00;
constexpr uint8_t kSetLineCtl = 0x03;
constexpr uint8_t kSetMhs = 0x07;
constexpr uint8_t kGetCommStatus = 0x10;
constexpr uint8_t kPurge = 0x12;
constexpr uint8_t kSetFlow = 0x13;
constexpr uint8_t kSetBaudRate = 0x1E;

constexpr uint16_t kUartEnable = 0x0001;
constexpr uint16_t kUartDisable = 0x0000;

// SET_MHS: line states in the low byte (DTR 0x01, RTS 0x02), which lines to
// change in the high byte. The lines are only ever set low here: states 0.
constexpr uint16_t kMhsDtrMask = 0x0100;
constexpr uint16_t kMhsRtsMask = 0x0200;

// PURGE: both bit pairs, as the bridges differ in which one they honour.
constexpr uint16_t kPurgeTransmit = 0x0001 | 0x0004;
constexpr uint16_t kPurgeReceive = 0x0002 | 0x0008;

// SET_FLOW record: control handshake word.
constexpr uint32_t kDtrControlShift = 0;  // two bits: 0 inactive, 1 active, 2 flow control
constexpr uint32_t kCtsHandshake = 1u << 3;
constexpr uint32_t kDsrHandshake = 1u << 4;
constexpr uint32_t kDcdHandshake = 1u << 5;
// SET_FLOW record: flow replace word.
constexpr uint32_t kAutoTransmit = 1u << 0;  // XON/XOFF on what we send
constexpr uint32_t kAutoReceive = 1u << 1;   // XON/XOFF on what we receive
constexpr uint32_t kRtsControlShift = 6;     // two bits: 0 inactive, 1 active, 2 flow control, 3 transmit active
constexpr uint32_t kXonLimit = 128;
constexpr uint32_t kXoffLimit = 128;

// The library's one set of time-outs, for every device.
struct BridgeLibrary {
    libusb_context* context = nullptr;
    std::vector<libusb_device*> devices;  // the last enumeration, referenced
    uint32_t readTimeoutMs = 0;
    uint32_t writeTimeoutMs = 0;
};

BridgeLibrary& Library()
{
    static BridgeLibrary library;
    return library;
}

// The bridges this link drives: the ids of kCp2102LinkIds.
bool IsBridge(libusb_device* device)
{
    libusb_device_descriptor descriptor;
    return libusb_get_device_descriptor(device, &descriptor) == 0 &&
           UsbIdListed(kCp2102LinkIds, descriptor.idVendor, descriptor.idProduct);
}

std::string NodeOf(libusb_device* device)
{
    return UsbDeviceName(libusb_get_bus_number(device), libusb_get_device_address(device));
}

// Why libusb could not open or claim the bridge, for the driver to explain.
void RecordUsbError(int error, libusb_device* device)
{
    const LinkFailureKind kind = error == LIBUSB_ERROR_ACCESS ? LinkFailureKind::kUsbAccessDenied
                                 : error == LIBUSB_ERROR_BUSY ? LinkFailureKind::kConverterBusy
                                                              : LinkFailureKind::kOther;
    RecordLinkFailure(kind, libusb_strerror(libusb_error(error)), NodeOf(device));
}

void ForgetDevices(BridgeLibrary& library)
{
    for (libusb_device* device : library.devices)
        libusb_unref_device(device);
    library.devices.clear();
}

int ControlOut(libusb_device_handle* usb, uint8_t request, uint16_t value, unsigned char* data, uint16_t length)
{
    const int result = libusb_control_transfer(usb, kRequestTypeOut, request, value, kInterface, data, length,
                                               kControlTimeoutMs);
    if (result == length)
        return kSuccess;
    RecordLinkFailure(LinkFailureKind::kOther, result < 0 ? libusb_strerror(libusb_error(result)) : "short transfer");
    return kDeviceIoFailed;
}

void PutLittleEndian32(unsigned char* bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::chrono::nanoseconds LineTime(uint64_t bytes, uint32_t baudRate)
{
    return std::chrono::nanoseconds(bytes * kBitsPerByte8N1 * 1000000000 / std::max<uint32_t>(baudRate, 1));
}

// GET_COMM_STATUS answers with this record (AN571), little-endian:
//   0  ulErrors            4  ulHoldReasons
//   8  ulAmountInInQueue  12  ulAmountInOutQueue
//  16  bEofReceived       17  bWaitForImmed      18  bReserved
constexpr uint16_t kCommStatusSize = 19;
constexpr size_t kAmountInOutQueue = 12;

uint32_t GetLittleEndian32(const unsigned char* bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

// Bytes the bridge still holds for its line, the one in the shift register
// included.
int BytesWaitingToGoOut(libusb_device_handle* usb, uint32_t* waiting)
{
    unsigned char status[kCommStatusSize];
    const int result = libusb_control_transfer(usb, kRequestTypeIn, kGetCommStatus, 0, kInterface, status,
                                               sizeof status, kControlTimeoutMs);
    if (result != int(sizeof status)) {
        RecordLinkIoFailure(LinkIoOperation::kWrite, result < 0 ? libusb_strerror(libusb_error(result)) : "short transfer");
        return kDeviceIoFailed;
    }
    *waiting = GetLittleEndian32(status + kAmountInOutQueue);
    return kSuccess;
}

// The bulk endpoints as the bridge's interface declares them, as the kernel's
// usb-serial core finds them: 0x81 and 0x01 on a CP2102, but a bridge made
// by a USB device controller gets whichever its controller assigns.
bool FindBulkEndpoints(libusb_device* device, unsigned char* in, unsigned char* out)
{
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0)
        return false;
    bool foundIn = false;
    bool foundOut = false;
    if (config->bNumInterfaces > kInterface && config->interface[kInterface].num_altsetting > 0) {
        const libusb_interface_descriptor& setting = config->interface[kInterface].altsetting[0];
        for (int i = 0; i < setting.bNumEndpoints; ++i) {
            const libusb_endpoint_descriptor& endpoint = setting.endpoint[i];
            if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK)
                continue;
            const bool isIn = (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
            bool& found = isIn ? foundIn : foundOut;
            if (!found)
                *(isIn ? in : out) = endpoint.bEndpointAddress;
            found = true;
        }
    }
    libusb_free_config_descriptor(config);
    return foundIn && foundOut;
}

}  // namespace

namespace cp2102 {

// An open bridge: its USB handle and what a read took beyond what was asked.
struct Device {
    libusb_device_handle* usb = nullptr;
    std::vector<unsigned char> surplus;
    uint32_t baudRate = 0;
    unsigned char endpointIn = 0;
    unsigned char endpointOut = 0;
};

int GetNumDevices(uint32_t* count)
{
    BridgeLibrary& library = Library();
    if (!library.context) {
        const int result = libusb_init(&library.context);
        if (result != 0) {
            RecordLinkFailure(LinkFailureKind::kOther, libusb_strerror(libusb_error(result)));
            library.context = nullptr;
            return kDeviceNotFound;
        }
    }
    ForgetDevices(library);
    libusb_device** list = nullptr;
    const ssize_t listed = libusb_get_device_list(library.context, &list);
    if (listed < 0) {
        RecordLinkFailure(LinkFailureKind::kOther, libusb_strerror(libusb_error(listed)));
        return kDeviceNotFound;
    }
    for (ssize_t i = 0; i < listed; ++i) {
        if (IsBridge(list[i]))
            library.devices.push_back(libusb_ref_device(list[i]));
    }
    libusb_free_device_list(list, 1);
    // libusb lists in no fixed order: bus, then address, makes the index stable.
    std::sort(library.devices.begin(), library.devices.end(), [](libusb_device* a, libusb_device* b) {
        const int busA = libusb_get_bus_number(a), busB = libusb_get_bus_number(b);
        return busA != busB ? busA < busB : libusb_get_device_address(a) < libusb_get_device_address(b);
    });
    *count = uint32_t(library.devices.size());
    return kSuccess;
}

// The strings need the device opened for a moment.
int GetProductString(uint32_t index, char* buffer, uint8_t option)
{
    BridgeLibrary& library = Library();
    if (index >= library.devices.size())
        return kInvalidParameter;
    libusb_device* device = library.devices[index];
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) != 0)
        return kDeviceIoFailed;
    uint8_t stringIndex = 0;
    if (option == kDescription)
        stringIndex = descriptor.iProduct;
    else if (option == kSerialNumber)
        stringIndex = descriptor.iSerialNumber;
    else
        return kInvalidParameter;
    buffer[0] = '\0';
    if (stringIndex == 0)
        return kSuccess;
    libusb_device_handle* usb = nullptr;
    const int opened = libusb_open(device, &usb);
    if (opened != 0) {
        RecordUsbError(opened, device);
        return kDeviceNotFound;
    }
    const int length = libusb_get_string_descriptor_ascii(usb, stringIndex, reinterpret_cast<unsigned char*>(buffer),
                                                          int(kProductStringSize));
    libusb_close(usb);
    if (length < 0) {
        RecordUsbError(length, device);
        buffer[0] = '\0';
        return kDeviceIoFailed;
    }
    buffer[std::min<uint32_t>(uint32_t(length), kProductStringSize - 1)] = '\0';
    return kSuccess;
}

int Open(uint32_t index, Device** device)
{
    BridgeLibrary& library = Library();
    if (index >= library.devices.size())
        return kInvalidParameter;
    // A bridge whose tty another program has open is not taken from it:
    // detaching cp210x would hang that program up.
    libusb_device* bridge = library.devices[index];
    if (ConverterTtyRefused(UsbDeviceTtyUse(libusb_get_bus_number(bridge), libusb_get_device_address(bridge)),
                            NodeOf(bridge)))
        return kDeviceNotFound;
    unsigned char endpointIn = 0;
    unsigned char endpointOut = 0;
    if (!FindBulkEndpoints(bridge, &endpointIn, &endpointOut))
        return kDeviceIoFailed;
    libusb_device_handle* usb = nullptr;
    const int opened = libusb_open(bridge, &usb);
    if (opened != 0) {
        RecordUsbError(opened, bridge);
        return kDeviceNotFound;
    }
    // The kernel's serial driver lets go while we hold the bridge, and gets it back
    // when we release it; where the platform cannot detach, the claim decides.
    libusb_set_auto_detach_kernel_driver(usb, 1);
    const int claimed = libusb_claim_interface(usb, kInterface);
    if (claimed != 0) {
        RecordUsbError(claimed, bridge);
        libusb_close(usb);
        return kDeviceNotFound;
    }
    if (ControlOut(usb, kIfcEnable, kUartEnable, nullptr, 0) != kSuccess) {
        libusb_release_interface(usb, kInterface);
        libusb_close(usb);
        return kDeviceIoFailed;
    }
    *device = new Device;
    (*device)->usb = usb;
    (*device)->endpointIn = endpointIn;
    (*device)->endpointOut = endpointOut;
    return kSuccess;
}

int Close(Device* device)
{
    if (!device)
        return kInvalidHandle;
    ControlOut(device->usb, kIfcEnable, kUartDisable, nullptr, 0);
    libusb_release_interface(device->usb, kInterface);
    libusb_close(device->usb);
    delete device;
    return kSuccess;
}

int SetBaudRate(Device* device, uint32_t baudRate)
{
    unsigned char rate[4];
    PutLittleEndian32(rate, baudRate);
    const int status = ControlOut(device->usb, kSetBaudRate, 0, rate, sizeof rate);
    if (status == kSuccess)
        device->baudRate = baudRate;
    return status;
}

int SetLineControl(Device* device, uint16_t lineControl)
{
    return ControlOut(device->usb, kSetLineCtl, lineControl, nullptr, 0);
}

int SetFlowControl(Device* device, uint8_t cts, uint8_t rts, uint8_t dtr, uint8_t dsr, uint8_t dcd, bool xonXoff)
{
    uint32_t controlHandshake = uint32_t(dtr & 0x03) << kDtrControlShift;
    if (cts == kHandshakeLine)
        controlHandshake |= kCtsHandshake;
    if (dsr == kHandshakeLine)
        controlHandshake |= kDsrHandshake;
    if (dcd == kHandshakeLine)
        controlHandshake |= kDcdHandshake;
    uint32_t flowReplace = uint32_t(rts & 0x03) << kRtsControlShift;
    if (xonXoff)
        flowReplace |= kAutoTransmit | kAutoReceive;

    unsigned char record[16];
    PutLittleEndian32(record, controlHandshake);
    PutLittleEndian32(record + 4, flowReplace);
    PutLittleEndian32(record + 8, kXonLimit);
    PutLittleEndian32(record + 12, kXoffLimit);
    if (ControlOut(device->usb, kSetFlow, 0, record, sizeof record) != kSuccess)
        return kDeviceIoFailed;
    // Lines held inactive start out low too.
    uint16_t lines = 0;
    if (dtr == kHeldInactive)
        lines |= kMhsDtrMask;
    if (rts == kHeldInactive)
        lines |= kMhsRtsMask;
    return lines ? ControlOut(device->usb, kSetMhs, lines, nullptr, 0) : kSuccess;
}

int FlushBuffers(Device* device, uint8_t transmit, uint8_t receive)
{
    uint16_t what = 0;
    if (transmit)
        what |= kPurgeTransmit;
    if (receive) {
        what |= kPurgeReceive;
        device->surplus.clear();
    }
    return ControlOut(device->usb, kPurge, what, nullptr, 0);
}

int SetTimeouts(uint32_t readMs, uint32_t writeMs)
{
    Library().readTimeoutMs = readMs;
    Library().writeTimeoutMs = writeMs;
    return kSuccess;
}

int GetTimeouts(uint32_t* readMs, uint32_t* writeMs)
{
    *readMs = Library().readTimeoutMs;
    *writeMs = Library().writeTimeoutMs;
    return kSuccess;
}

// Reads whole packets, so that the bridge never sends more than there is room
// for; what goes beyond the request waits for the next read.
int Read(Device* device, void* buffer, uint32_t wanted, uint32_t* returned)
{
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    uint32_t got = std::min<uint32_t>(wanted, uint32_t(device->surplus.size()));
    std::copy(device->surplus.begin(), device->surplus.begin() + got, bytes);
    device->surplus.erase(device->surplus.begin(), device->surplus.begin() + got);

    Timeouts timeouts;
    timeouts.readTotalConstant = Library().readTimeoutMs;
    ReadDeadline deadline(timeouts, wanted);
    unsigned char packets[kPacketSize * kPacketsPerRead];
    int status = kSuccess;
    while (got < wanted) {
        // Room for several packets: a burst arrives in one transfer, not one per
        // packet. Past the deadline one more transfer of the shortest time still
        // looks for input already there, however late the process got to run.
        const std::chrono::nanoseconds wait = deadline.NextWait();
        int length = 0;
        const int result = libusb_bulk_transfer(device->usb, device->endpointIn, packets, int(sizeof packets), &length,
                                                ReadDeadline::Milliseconds(wait));
        length = std::max(length, 0);
        const uint32_t used = std::min<uint32_t>(uint32_t(length), wanted - got);
        std::copy(packets, packets + used, bytes + got);
        device->surplus.insert(device->surplus.end(), packets + used, packets + length);
        got += used;
        if (result != 0 && result != LIBUSB_ERROR_TIMEOUT) {
            RecordLinkIoFailure(LinkIoOperation::kRead, libusb_strerror(libusb_error(result)));
            status = kReadError;
            break;
        }
        if (length > 0)
            continue;
        // Done once the look made past the deadline found nothing: the
        // deadline may have passed while the process was stopped after a
        // waiting look, and what came meanwhile is still taken.
        if (wait.count() == 0 || InterruptRequested()) {
            status = kReadTimedOut;
            break;
        }
    }
    *returned = got;
    return status;
}

// Waits until the bridge has put the last byte on the line: the reply
// time-out must not start while a long block is still going out. Bounded by
// the time the bytes it reports need at the line rate.
int WaitUntilSent(Device* device)
{
    uint32_t waiting = 0;
    int status = BytesWaitingToGoOut(device->usb, &waiting);
    const auto limit = std::chrono::steady_clock::now() + LineTime(waiting, device->baudRate) + kStallMargin;
    while (status == kSuccess && waiting > 0) {
        if (InterruptRequested())
            return kWriteError;
        if (std::chrono::steady_clock::now() > limit) {
            RecordLinkIoFailure(LinkIoOperation::kWrite, "the bridge did not send its bytes in time");
            return kWriteTimedOut;
        }
        // Ask again about when the bytes it holds should be out, but at least
        // once per interrupt check and at most once a millisecond.
        std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(
            std::max<std::chrono::nanoseconds>(LineTime(waiting, device->baudRate), std::chrono::milliseconds(1)),
            std::chrono::milliseconds(kInterruptPollMs)));
        status = BytesWaitingToGoOut(device->usb, &waiting);
    }
    return status;
}

int Write(Device* device, const void* buffer, uint32_t count, uint32_t* written)
{
    *written = 0;
    if (count > uint32_t(INT32_MAX))
        return kInvalidParameter;
    unsigned char* bytes = const_cast<unsigned char*>(static_cast<const unsigned char*>(buffer));
    // The bridge takes data only as fast as its line sends it: a long block at a
    // low rate must not run out of time while it is still going out. It is
    // handed over in transfers of one interrupt check each; libusb reports
    // what went through when a transfer's time is up, so nothing is lost.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Library().writeTimeoutMs) +
                          LineTime(count, device->baudRate);
    while (*written < count) {
        if (InterruptRequested())
            return kWriteError;
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left.count() <= 0)
            return kWriteTimedOut;
        const auto slice = std::min<std::chrono::nanoseconds>(left, std::chrono::milliseconds(kInterruptPollMs));
        int length = 0;
        const int result =
            libusb_bulk_transfer(device->usb, device->endpointOut, bytes + *written, int(count - *written), &length,
                                 unsigned(std::max<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(slice).count(), 1)));
        *written += uint32_t(std::max(length, 0));
        if (result != 0 && result != LIBUSB_ERROR_TIMEOUT) {
            RecordLinkIoFailure(LinkIoOperation::kWrite, libusb_strerror(libusb_error(result)));
            return kWriteError;
        }
    }
    return WaitUntilSent(device);
}

}  // namespace cp2102
