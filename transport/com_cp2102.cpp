// CP2102 bridge over libusb-1.0 with the CP210x vendor requests (Silicon Labs
// AN571). The first half is a small bridge library in the shape the link
// relies on: devices by index, status codes, global time-outs. The second
// half is ComCP2102 on top of it. This file is the only one that calls libusb
// for the bridge.
#include "com_cp2102.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <libusb.h>
#include <vector>

namespace {

// Status codes of the bridge library calls.
enum BridgeStatus : int {
    kStatusSuccess = 0x00,
    kStatusInvalidHandle = 0x01,
    kStatusReadError = 0x02,
    kStatusRxQueueNotReady = 0x03,
    kStatusWriteError = 0x04,
    kStatusInvalidParameter = 0x06,
    kStatusDeviceIoFailed = 0x08,
    kStatusReadTimedOut = 0x0D,
    kStatusWriteTimedOut = 0x0E,
    kStatusDeviceNotFound = 0xFF,
};

// The bridges this link drives.
constexpr uint16_t kSiliconLabsVendor = 0x10C4;
constexpr uint16_t kCp210xProducts[] = {0xEA60, 0xEA61};

constexpr int kInterface = 0;
constexpr unsigned char kEndpointIn = 0x81;
constexpr unsigned char kEndpointOut = 0x01;
constexpr size_t kPacketSize = 64;
constexpr size_t kPacketsPerRead = 16;
constexpr unsigned kControlTimeoutMs = 1000;
constexpr uint32_t kBitsPerByte8N1 = 10;

// CP210x vendor requests to the interface.
constexpr uint8_t kRequestTypeOut = LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_INTERFACE | LIBUSB_ENDPOINT_OUT;
constexpr uint8_t kIfcEnable = 0x00;
constexpr uint8_t kSetLineCtl = 0x03;
constexpr uint8_t kSetMhs = 0x07;
constexpr uint8_t kPurge = 0x12;
constexpr uint8_t kSetFlow = 0x13;
constexpr uint8_t kSetBaudRate = 0x1E;

constexpr uint16_t kUartEnable = 0x0001;
constexpr uint16_t kUartDisable = 0x0000;

// SET_MHS: line states in the low byte, which lines to change in the high byte.
constexpr uint16_t kMhsDtr = 0x0001;
constexpr uint16_t kMhsRts = 0x0002;
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

// Codes of the flow-control call.
constexpr uint8_t kHandshakeLine = 0x01;  // an input line used for handshake

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

bool IsBridge(libusb_device* device)
{
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) != 0 || descriptor.idVendor != kSiliconLabsVendor)
        return false;
    return std::find(std::begin(kCp210xProducts), std::end(kCp210xProducts), descriptor.idProduct) !=
           std::end(kCp210xProducts);
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
    return result == length ? kStatusSuccess : kStatusDeviceIoFailed;
}

void PutLittleEndian32(unsigned char* bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

// An open bridge: its USB handle and what a read took beyond what was asked.
struct Cp210xDevice {
    libusb_device_handle* usb = nullptr;
    std::vector<unsigned char> surplus;
    uint32_t baudRate = 0;
};

namespace {

int GetNumDevices(uint32_t* count)
{
    BridgeLibrary& library = Library();
    if (!library.context && libusb_init(&library.context) != 0) {
        library.context = nullptr;
        return kStatusDeviceNotFound;
    }
    ForgetDevices(library);
    libusb_device** list = nullptr;
    const ssize_t listed = libusb_get_device_list(library.context, &list);
    if (listed < 0)
        return kStatusDeviceNotFound;
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
    return kStatusSuccess;
}

// The product string needs the device opened for a moment.
int GetProductString(uint32_t index, char* buffer, size_t size)
{
    BridgeLibrary& library = Library();
    if (index >= library.devices.size() || size == 0)
        return kStatusInvalidParameter;
    libusb_device* device = library.devices[index];
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) != 0)
        return kStatusDeviceIoFailed;
    buffer[0] = '\0';
    if (descriptor.iProduct == 0)
        return kStatusSuccess;
    libusb_device_handle* usb = nullptr;
    if (libusb_open(device, &usb) != 0)
        return kStatusDeviceNotFound;
    const int length = libusb_get_string_descriptor_ascii(usb, descriptor.iProduct,
                                                          reinterpret_cast<unsigned char*>(buffer), int(size));
    libusb_close(usb);
    if (length < 0) {
        buffer[0] = '\0';
        return kStatusDeviceIoFailed;
    }
    buffer[std::min<size_t>(size_t(length), size - 1)] = '\0';
    return kStatusSuccess;
}

int OpenDevice(uint32_t index, Cp210xDevice** handle)
{
    BridgeLibrary& library = Library();
    if (index >= library.devices.size())
        return kStatusInvalidParameter;
    libusb_device_handle* usb = nullptr;
    if (libusb_open(library.devices[index], &usb) != 0)
        return kStatusDeviceNotFound;
    // The kernel's serial driver lets go while we hold the bridge, and gets it back
    // when we release it; where the platform cannot detach, the claim decides.
    libusb_set_auto_detach_kernel_driver(usb, 1);
    if (libusb_claim_interface(usb, kInterface) != 0) {
        libusb_close(usb);
        return kStatusDeviceNotFound;
    }
    if (ControlOut(usb, kIfcEnable, kUartEnable, nullptr, 0) != kStatusSuccess) {
        libusb_release_interface(usb, kInterface);
        libusb_close(usb);
        return kStatusDeviceIoFailed;
    }
    *handle = new Cp210xDevice;
    (*handle)->usb = usb;
    return kStatusSuccess;
}

int CloseDevice(Cp210xDevice* handle)
{
    if (!handle)
        return kStatusInvalidHandle;
    ControlOut(handle->usb, kIfcEnable, kUartDisable, nullptr, 0);
    libusb_release_interface(handle->usb, kInterface);
    libusb_close(handle->usb);
    delete handle;
    return kStatusSuccess;
}

int SetBaudRate(Cp210xDevice* handle, uint32_t baudRate)
{
    unsigned char rate[4];
    PutLittleEndian32(rate, baudRate);
    const int status = ControlOut(handle->usb, kSetBaudRate, 0, rate, sizeof rate);
    if (status == kStatusSuccess)
        handle->baudRate = baudRate;
    return status;
}

int SetLineControl(Cp210xDevice* handle, uint16_t lineControl)
{
    return ControlOut(handle->usb, kSetLineCtl, lineControl, nullptr, 0);
}

// Codes: CTS, DSR and DCD 0 status input or 1 handshake; RTS and DTR 0 held
// inactive, 1 held active, 2 flow control (RTS also 3, transmit active).
int SetFlowControl(Cp210xDevice* handle, uint8_t cts, uint8_t rts, uint8_t dtr, uint8_t dsr, uint8_t dcd,
                   bool xonXoff)
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
    if (ControlOut(handle->usb, kSetFlow, 0, record, sizeof record) != kStatusSuccess)
        return kStatusDeviceIoFailed;
    // Lines held inactive start out low too.
    uint16_t lines = 0;
    if (dtr == 0)
        lines |= kMhsDtrMask;
    if (rts == 0)
        lines |= kMhsRtsMask;
    return lines ? ControlOut(handle->usb, kSetMhs, lines, nullptr, 0) : kStatusSuccess;
}

int FlushBuffers(Cp210xDevice* handle, bool transmit, bool receive)
{
    uint16_t what = 0;
    if (transmit)
        what |= kPurgeTransmit;
    if (receive) {
        what |= kPurgeReceive;
        handle->surplus.clear();
    }
    return ControlOut(handle->usb, kPurge, what, nullptr, 0);
}

int SetTimeouts(uint32_t readMs, uint32_t writeMs)
{
    Library().readTimeoutMs = readMs;
    Library().writeTimeoutMs = writeMs;
    return kStatusSuccess;
}

int GetTimeouts(uint32_t* readMs, uint32_t* writeMs)
{
    *readMs = Library().readTimeoutMs;
    *writeMs = Library().writeTimeoutMs;
    return kStatusSuccess;
}

// libusb takes 0 for no limit; a time-out that has run out still waits 1 ms.
unsigned TransferTimeout(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return unsigned(std::max<int64_t>(left.count(), 1));
}

// Reads whole packets, so that the bridge never sends more than there is room
// for; what goes beyond the request waits for the next read.
int ReadData(Cp210xDevice* handle, unsigned char* buffer, uint32_t wanted, uint32_t* returned)
{
    uint32_t got = std::min<uint32_t>(wanted, uint32_t(handle->surplus.size()));
    std::copy(handle->surplus.begin(), handle->surplus.begin() + got, buffer);
    handle->surplus.erase(handle->surplus.begin(), handle->surplus.begin() + got);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Library().readTimeoutMs);
    unsigned char packets[kPacketSize * kPacketsPerRead];
    int status = kStatusSuccess;
    while (got < wanted) {
        if (std::chrono::steady_clock::now() >= deadline) {
            status = kStatusReadTimedOut;
            break;
        }
        // Room for several packets: a burst arrives in one transfer, not one per packet.
        int length = 0;
        const int result = libusb_bulk_transfer(handle->usb, kEndpointIn, packets, int(sizeof packets), &length,
                                                TransferTimeout(deadline));
        const uint32_t used = std::min<uint32_t>(uint32_t(std::max(length, 0)), wanted - got);
        std::copy(packets, packets + used, buffer + got);
        handle->surplus.insert(handle->surplus.end(), packets + used, packets + std::max(length, 0));
        got += used;
        if (result == LIBUSB_ERROR_TIMEOUT) {
            status = kStatusReadTimedOut;
            break;
        }
        if (result != 0) {
            status = kStatusReadError;
            break;
        }
    }
    *returned = got;
    return status;
}

int WriteData(Cp210xDevice* handle, const unsigned char* buffer, uint32_t count, uint32_t* written)
{
    *written = 0;
    if (count > uint32_t(INT32_MAX))
        return kStatusInvalidParameter;
    // The bridge takes data only as fast as its line sends it: a long block at a
    // low rate must not run out of time while it is still going out.
    const uint64_t lineMs = uint64_t(count) * kBitsPerByte8N1 * 1000 / std::max<uint32_t>(handle->baudRate, 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Library().writeTimeoutMs) +
                          std::chrono::milliseconds(lineMs);
    int length = 0;
    const int result = libusb_bulk_transfer(handle->usb, kEndpointOut, const_cast<unsigned char*>(buffer),
                                            int(count), &length, TransferTimeout(deadline));
    *written = uint32_t(std::max(length, 0));
    if (result == LIBUSB_ERROR_TIMEOUT)
        return kStatusWriteTimedOut;
    return result == 0 ? kStatusSuccess : kStatusWriteError;
}

constexpr size_t kProductStringSize = 256;

}  // namespace

ComCP2102::ComCP2102()
{
    settings_.dtrControl = kLineDisabled;
    settings_.rtsControl = kLineDisabled;
    settings_.byteSize = 8;
    settings_.parity = kParityNone;
    settings_.stopBits = kOneStopBit;
}

ComCP2102::~ComCP2102()
{
    if (handle_)
        CloseDevice(handle_);
}

uint16_t ComCP2102::LineControlWord(const LineSettings& settings)
{
    return uint16_t(settings.byteSize << 8 | (settings.parity & 0x0F) << 4 | (settings.stopBits & 0x0F));
}

bool ComCP2102::Open(const char* name, uint32_t baudRate, uint32_t milliseconds)
{
    if (handle_)
        return false;
    if (!FindAndOpen(name) || !handle_)
        return false;
    if (!Configure(baudRate, milliseconds)) {
        CloseDevice(handle_);
        handle_ = nullptr;
        return false;
    }
    return true;
}

// The first bridge whose product string equals the name; a string that cannot
// be read ends the search.
bool ComCP2102::FindAndOpen(const char* name)
{
    uint32_t count = 0;
    if (GetNumDevices(&count) != kStatusSuccess)
        return false;
    for (uint32_t index = 0; index < count; ++index) {
        char product[kProductStringSize];
        if (GetProductString(index, product, sizeof product) != kStatusSuccess)
            return false;
        if (std::strcmp(product, name) == 0) {
            if (OpenDevice(index, &handle_) != kStatusSuccess)
                handle_ = nullptr;
            break;
        }
    }
    return true;
}

bool ComCP2102::Configure(uint32_t baudRate, uint32_t milliseconds)
{
    settings_.baudRate = baudRate;
    return SetBaudRate(handle_, settings_.baudRate) == kStatusSuccess &&
           SetLineControl(handle_, LineControlWord(settings_)) == kStatusSuccess &&
           SetFlowControl(handle_, 0, settings_.rtsControl, settings_.dtrControl, 0, 0, false) == kStatusSuccess &&
           SetTimeout(milliseconds);
}

bool ComCP2102::Close()
{
    if (!handle_)
        return false;
    CloseDevice(handle_);
    handle_ = nullptr;
    return true;
}

bool ComCP2102::IsOpen()
{
    return handle_ != nullptr;
}

bool ComCP2102::SetTimeout(uint32_t milliseconds)
{
    return SetTimeouts(milliseconds, milliseconds) == kStatusSuccess;
}

bool ComCP2102::GetTimeout(uint32_t* milliseconds)
{
    uint32_t readMs = 0;
    uint32_t writeMs = 0;
    if (GetTimeouts(&readMs, &writeMs) != kStatusSuccess)
        return false;
    *milliseconds = readMs;
    return true;
}

bool ComCP2102::Purge()
{
    if (!handle_)
        return false;
    return FlushBuffers(handle_, true, true) == kStatusSuccess;
}

bool ComCP2102::Read(void* buffer, uint32_t wanted, uint32_t* received)
{
    if (!handle_)
        return false;
    uint32_t returned = 0;
    const int status = ReadData(handle_, static_cast<unsigned char*>(buffer), wanted, &returned);
    if (status != kStatusSuccess && status != kStatusRxQueueNotReady && status != kStatusReadTimedOut)
        return false;
    if (received)
        *received = returned;
    return true;
}

bool ComCP2102::Write(const void* buffer, uint32_t count)
{
    if (!handle_)
        return false;
    uint32_t written = 0;
    const int status = WriteData(handle_, static_cast<const unsigned char*>(buffer), count, &written);
    return status == kStatusSuccess && written == count;
}

bool ComCP2102::Escape(uint32_t)
{
    // The bridge's lines are not switched.
    return true;
}
