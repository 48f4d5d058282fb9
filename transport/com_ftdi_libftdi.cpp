// FTDI converter through libftdi1. libftdi owns the USB side (libusb); this
// file is the only one that calls it.
#include "com_ftdi.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ftdi.h>
#include <libusb.h>
#include <string>
#include <thread>
#include <vector>

#include "interrupt.h"
#include "link_failure.h"
#include "read_deadline.h"
#include "tty_users.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// Product descriptions are USB string descriptors: at most 126 characters.
constexpr int kDescriptionSize = 256;

constexpr uint64_t kBitsPerByte8N1 = 10;

// The line-status byte of the modem status (SIO_POLL_MODEM_STATUS, FTDI
// AN232B-04 "Data Transfer Concept"): bit 6 TEMT, transmitter empty, set
// once the transmit buffer and the shift register are both empty. libftdi
// returns it as the high byte.
constexpr unsigned short kTransmitterEmpty = 0x4000;

// A stuck converter gets this long on top of the line time before a write
// or the wait for its transmitter counts as failed.
constexpr milliseconds kStallMargin(1000);

// Transmit buffer of each chip (the chips' data sheets): what may still be
// waiting for the line when a write has completed on the USB side.
uint32_t TransmitBufferSize(ftdi_chip_type type)
{
    switch (type) {
    case TYPE_2232H:
        return 4096;
    case TYPE_4232H:
        return 2048;
    case TYPE_232H:
        return 1024;
    case TYPE_230X:
        return 512;
    default:  // AM, BM, 2232C, R
        return 128;
    }
}

nanoseconds LineTime(uint64_t bytes, int baudRate)
{
    return nanoseconds(bytes * kBitsPerByte8N1 * 1000000000 / uint64_t(std::max(baudRate, 1)));
}

ftdi_parity_type ParityOf(const LineSettings& settings)
{
    switch (settings.parity) {
    case kParityOdd:
        return ODD;
    case kParityEven:
        return EVEN;
    default:
        return NONE;
    }
}

// libftdi's codes for "libusb_open() failed" (reading the strings opens the
// device too) and "unable to claim usb device".
constexpr int kFtdiOpenFailed = -4;
constexpr int kFtdiClaimFailed = -5;

// The time-out of each control transfer of the wait for the transmitter: a
// converter on a busy bus may take longer than the read time-out that the
// last read left in libftdi's context (a millisecond or two).
constexpr int kStatusPollTimeoutMs = 1000;

std::string NodeOf(libusb_device* device)
{
    return UsbDeviceName(libusb_get_bus_number(device), libusb_get_device_address(device));
}

// libftdi 1.5's ftdi_usb_open_dev, on a failure after the claim took the
// kernel's driver away (the reset or the first baud rate refused: -6, -7,
// and later ones), closes the device without releasing the interface: the
// auto-detach then never binds ftdi_sio again and /dev/ttyUSB* stays gone
// until the converter is plugged in again. Binding it again here is
// harmless where nothing was detached (the kernel binds only an interface
// without a driver, and refuses one that another program has claimed).
void GiveBackKernelDriver(ftdi_context* context, libusb_device* device)
{
    libusb_device_handle* usb = nullptr;
    if (libusb_open(device, &usb) != 0)
        return;
    libusb_attach_kernel_driver(usb, context->interface);
    libusb_close(usb);
}

// Opens the first attached converter whose description equals the name, in
// bus, then address order (libusb lists in no fixed order: the converter
// plugged in last comes first). One whose tty another program has open is
// not taken from it: detaching ftdi_sio would hang that program up.
bool OpenByDescription(ftdi_context* context, const char* name)
{
    ftdi_device_list* devices = nullptr;
    // Vendor and product 0: every converter with FTDI's default ids.
    if (ftdi_usb_find_all(context, &devices, 0, 0) < 0) {
        RecordLinkFailure(LinkFailureKind::kOther, ftdi_get_error_string(context));
        return false;
    }
    std::vector<libusb_device*> ordered;
    for (ftdi_device_list* entry = devices; entry; entry = entry->next)
        ordered.push_back(entry->dev);
    std::sort(ordered.begin(), ordered.end(), [](libusb_device* a, libusb_device* b) {
        const int busA = libusb_get_bus_number(a), busB = libusb_get_bus_number(b);
        return busA != busB ? busA < busB : libusb_get_device_address(a) < libusb_get_device_address(b);
    });
    bool opened = false;
    bool matched = false;
    // Why nothing matched, kept for the driver: the descriptions there are,
    // or a converter whose description this user may not read.
    LinkFailure notFound;
    notFound.kind = LinkFailureKind::kNoSuchConverter;
    for (libusb_device* device : ordered) {
        char description[kDescriptionSize] = {};
        const int read = ftdi_usb_get_strings(context, device, nullptr, 0, description, sizeof description, nullptr, 0);
        if (read != 0) {
            if (read == kFtdiOpenFailed) {
                notFound.kind = LinkFailureKind::kUsbAccessDenied;
                notFound.device = NodeOf(device);
            }
            notFound.systemText = ftdi_get_error_string(context);
            continue;
        }
        notFound.attached.push_back(description);
        if (std::strcmp(description, name) != 0)
            continue;
        matched = true;
        if (ConverterTtyRefused(UsbDeviceTtyUse(libusb_get_bus_number(device), libusb_get_device_address(device)),
                                NodeOf(device)))
            break;
        const int result = ftdi_usb_open_dev(context, device);
        opened = result == 0;
        if (!opened) {
            RecordLinkFailure(result == kFtdiClaimFailed  ? LinkFailureKind::kConverterBusy
                              : result == kFtdiOpenFailed ? LinkFailureKind::kUsbAccessDenied
                                                          : LinkFailureKind::kOther,
                              ftdi_get_error_string(context), NodeOf(device));
            GiveBackKernelDriver(context, device);
        }
        break;
    }
    ftdi_list_free(&devices);
    if (!matched)
        RecordLinkFailure(notFound);
    return opened;
}

// ftdi_read_data hands on libusb's error code.
bool ReadFailed(int error)
{
    RecordLinkIoFailure(LinkIoOperation::kRead, libusb_strerror(libusb_error(error)));
    return false;
}

// Waits until the converter has put the last byte on the line: a write
// completes on the USB side once the chip has taken the bytes into its
// transmit buffer, and the reply time-out must not start while they are still
// going out. Bounded by the time a full buffer needs at the line rate.
bool WaitForTransmitterEmpty(ftdi_context* context)
{
    const auto start = std::chrono::steady_clock::now();
    const nanoseconds limit = LineTime(TransmitBufferSize(context->type), context->baudrate) + kStallMargin;
    // The poll is a control transfer under libftdi's read time-out; each read
    // sets its own again.
    context->usb_read_timeout = kStatusPollTimeoutMs;
    for (;;) {
        unsigned short status = 0;
        if (ftdi_poll_modem_status(context, &status) != 0) {
            RecordLinkIoFailure(LinkIoOperation::kWrite, ftdi_get_error_string(context));
            return false;
        }
        if (status & kTransmitterEmpty)
            return true;
        if (InterruptRequested())
            return false;
        if (std::chrono::steady_clock::now() - start > limit) {
            RecordLinkIoFailure(LinkIoOperation::kWrite, "the converter did not empty its transmitter in time");
            return false;
        }
        // A byte takes 87 us at 115200 baud and 33 ms at 300: look again after
        // about one byte, but not more than once a millisecond and not less
        // than once per interrupt check.
        const nanoseconds pause = std::min<nanoseconds>(
            std::max<nanoseconds>(LineTime(1, context->baudrate), milliseconds(1)), milliseconds(kInterruptPollMs));
        std::this_thread::sleep_for(pause);
    }
}

}  // namespace

struct ComFTDI::Device {
    ftdi_context* context = nullptr;
};

LineSettings ComFTDI::LineSettingsFor(uint32_t baudRate)
{
    return DefaultLineSettings(baudRate, kParityNone);
}

ComFTDI::~ComFTDI()
{
    Release();
}

bool ComFTDI::Open(const char* name, uint32_t baudRate, uint32_t milliseconds)
{
    if (device_)
        return false;
    ftdi_context* context = ftdi_new();
    if (!context) {
        RecordLinkFailure(LinkFailureKind::kOther, "libftdi could not start (ftdi_new)");
        return false;
    }
    // Take the converter from the kernel's serial driver and give it back at close.
    context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    if (!OpenByDescription(context, name)) {
        ftdi_free(context);  // also closes a half-opened device
        return false;
    }
    device_ = new Device;
    device_->context = context;
    if (!Configure(LineSettingsFor(baudRate)) || !SetTimeout(milliseconds)) {
        RecordLinkFailure(LinkFailureKind::kRateRefused, ftdi_get_error_string(device_->context));
        Release();
        return false;
    }
    return true;
}

bool ComFTDI::Configure(const LineSettings& settings)
{
    if (settings.baudRate > uint32_t(INT32_MAX))
        return false;
    // libftdi refuses a rate that the converter cannot make within a few percent.
    return ftdi_read_data_set_chunksize(device_->context, kInputQueueSize) == 0 &&
           ftdi_write_data_set_chunksize(device_->context, kOutputQueueSize) == 0 &&
           ftdi_set_baudrate(device_->context, int(settings.baudRate)) == 0 &&
           ftdi_set_line_property(device_->context, BITS_8, settings.stopBits == kOneStopBit ? STOP_BIT_1 : STOP_BIT_2,
                                  ParityOf(settings)) == 0 &&
           ftdi_setflowctrl(device_->context, SIO_DISABLE_FLOW_CTRL) == 0 &&
           ftdi_setdtr_rts(device_->context, settings.dtrControl != kLineDisabled, settings.rtsControl != kLineDisabled) == 0 &&
           ftdi_set_latency_timer(device_->context, kLatencyTimerMs) == 0;
}

// Gives the converter back (and with it the kernel's serial driver).
void ComFTDI::Release()
{
    if (device_) {
        ftdi_usb_close(device_->context);
        ftdi_free(device_->context);
        delete device_;
        device_ = nullptr;
    }
}

bool ComFTDI::Close()
{
    Release();
    return true;
}

bool ComFTDI::IsOpen()
{
    return device_ != nullptr;
}

bool ComFTDI::SetTimeout(uint32_t milliseconds)
{
    if (!device_)
        return false;
    timeouts_ = TimeoutsFor(milliseconds);
    return true;
}

bool ComFTDI::GetTimeout(uint32_t* milliseconds)
{
    if (!device_) {
        *milliseconds = 0;
        return false;
    }
    *milliseconds = timeouts_.readInterval;
    return true;
}

bool ComFTDI::Purge()
{
    if (!device_)
        return false;
    return ftdi_tcioflush(device_->context) == 0;
}

bool ComFTDI::Read(void* buffer, uint32_t wanted, uint32_t* received)
{
    if (!device_)
        return false;
    ftdi_context* context = device_->context;
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    const uint32_t limit = std::min<uint32_t>(wanted, INT32_MAX);
    uint32_t got = 0;
    ReadDeadline deadline(timeouts_, wanted);
    while (got < limit) {
        // libusb is given the time that is left, not a margin on top: a chip
        // that answers nothing while it has no data must not hold the read past
        // its deadline. Once the deadline has passed, one more transfer of the
        // shortest time libusb takes still looks for input already there.
        const nanoseconds wait = deadline.NextWait();
        context->usb_read_timeout = int(ReadDeadline::Milliseconds(wait));
        // libftdi loses what it had buffered when a later transfer in the same
        // call times out: ask for what it holds, or for one byte, which one
        // transfer either brings or not.
        const uint32_t buffered = context->readbuffer_remaining;
        const uint32_t ask = buffered > 0 ? std::min(limit - got, buffered) : 1;
        // Returns what arrived, or 0 once the converter's latency timer sent an empty packet.
        const int count = ftdi_read_data(context, bytes + got, int(ask));
        if (count > 0) {
            got += uint32_t(count);
            deadline.BytesArrived();
            continue;
        }
        if (count < 0 && count != LIBUSB_ERROR_TIMEOUT)
            return ReadFailed(count);  // unplugged or broken
        // Done once the look made past the deadline found nothing (see ComPort::Read).
        if (wait.count() == 0 || InterruptRequested())
            break;
    }
    if (received)
        *received = got;
    return true;
}

bool ComFTDI::Write(const void* buffer, uint32_t count)
{
    if (!device_ || count > uint32_t(INT32_MAX))
        return false;
    ftdi_context* context = device_->context;
    const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
    // The chip takes data only as fast as its line sends it once its buffer
    // is full: hand it over in pieces of about one interrupt check of line
    // time, so that a long block at a low rate can still be interrupted.
    const uint32_t piece = std::max<uint32_t>(
        1, std::min<uint32_t>(uint32_t(uint64_t(context->baudrate) * kInterruptPollMs / 1000 / kBitsPerByte8N1),
                              kOutputQueueSize));
    const nanoseconds pieceTime = LineTime(piece + TransmitBufferSize(context->type), context->baudrate);
    context->usb_write_timeout = int(std::chrono::duration_cast<milliseconds>(pieceTime + kStallMargin).count());
    uint32_t written = 0;
    while (written < count) {
        if (InterruptRequested())
            return false;
        const int size = int(std::min(piece, count - written));
        if (ftdi_write_data(context, bytes + written, size) != size) {
            if (!InterruptRequested())
                RecordLinkIoFailure(LinkIoOperation::kWrite, ftdi_get_error_string(context));
            return false;
        }
        written += uint32_t(size);
    }
    return WaitForTransmitterEmpty(context);
}

bool ComFTDI::Escape(uint32_t code)
{
    if (!device_)
        return false;
    switch (code) {
    case kEscapeSetDtr:
        return ftdi_setdtr(device_->context, 1) == 0;
    case kEscapeClrDtr:
        return ftdi_setdtr(device_->context, 0) == 0;
    case kEscapeSetRts:
        return ftdi_setrts(device_->context, 1) == 0;
    case kEscapeClrRts:
        return ftdi_setrts(device_->context, 0) == 0;
    case kEscapeSetBreak:
        return ftdi_set_line_property2(device_->context, BITS_8, STOP_BIT_1, NONE, BREAK_ON) == 0;
    case kEscapeClrBreak:
        return ftdi_set_line_property2(device_->context, BITS_8, STOP_BIT_1, NONE, BREAK_OFF) == 0;
    default:
        return false;
    }
}
