// FTDI converter through libftdi1. libftdi owns the USB side (libusb); this
// file is the only one that calls it.
#include "com_ftdi.h"

#include <algorithm>
#include <cstring>
#include <ftdi.h>
#include <libusb.h>

#include "read_deadline.h"

namespace {

// Product descriptions are USB string descriptors: at most 126 characters.
constexpr int kDescriptionSize = 256;

// A bulk read that the converter leaves unanswered this much longer than the
// read's own deadline is broken; a healthy one answers every latency period.
constexpr int kReadStallMarginMs = 100;

// A write chunk may take this long at the line rate before it counts as stuck.
constexpr int kWriteStallMarginMs = 1000;
constexpr int kBitsPerByte8N1 = 10;

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

// Opens the first attached converter whose description equals the name.
bool OpenByDescription(ftdi_context* context, const char* name)
{
    ftdi_device_list* devices = nullptr;
    // Vendor and product 0: every converter with FTDI's default ids.
    if (ftdi_usb_find_all(context, &devices, 0, 0) < 0)
        return false;
    bool opened = false;
    for (ftdi_device_list* entry = devices; entry && !opened; entry = entry->next) {
        char description[kDescriptionSize] = {};
        if (ftdi_usb_get_strings(context, entry->dev, nullptr, 0, description, sizeof description, nullptr, 0) != 0)
            continue;
        if (std::strcmp(description, name) != 0)
            continue;
        opened = ftdi_usb_open_dev(context, entry->dev) == 0;
        break;
    }
    ftdi_list_free(&devices);
    return opened;
}

int WriteTimeoutMs(uint32_t baudRate, uint32_t chunkSize)
{
    const uint64_t lineMs = uint64_t(chunkSize) * kBitsPerByte8N1 * 1000 / std::max<uint32_t>(baudRate, 1);
    return int(std::min<uint64_t>(lineMs * 2 + kWriteStallMarginMs, 3600 * 1000));
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
    if (!context)
        return false;
    // Take the converter from the kernel's serial driver and give it back at close.
    context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    if (!OpenByDescription(context, name)) {
        ftdi_free(context);  // also closes a half-opened device
        return false;
    }
    device_ = new Device;
    device_->context = context;
    if (!Configure(LineSettingsFor(baudRate)) || !SetTimeout(milliseconds)) {
        Release();
        return false;
    }
    return true;
}

bool ComFTDI::Configure(const LineSettings& settings)
{
    if (settings.baudRate > uint32_t(INT32_MAX))
        return false;
    device_->context->usb_write_timeout = WriteTimeoutMs(settings.baudRate, kOutputQueueSize);
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
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    const uint32_t limit = std::min<uint32_t>(wanted, INT32_MAX);
    uint32_t got = 0;
    ReadDeadline deadline(timeouts_, wanted);
    while (got < limit) {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline.Remaining());
        if (remaining.count() <= 0)
            break;
        device_->context->usb_read_timeout = int(std::min<int64_t>(remaining.count(), INT32_MAX - kReadStallMarginMs)) +
                                     kReadStallMarginMs;
        // Returns what arrived, or 0 once the converter's latency timer sent an empty packet.
        const int count = ftdi_read_data(device_->context, bytes + got, int(limit - got));
        if (count > 0) {
            got += uint32_t(count);
            deadline.BytesArrived();
        } else if (count < 0 && count != LIBUSB_ERROR_TIMEOUT) {
            return false;  // unplugged or broken
        }
    }
    if (received)
        *received = got;
    return true;
}

bool ComFTDI::Write(const void* buffer, uint32_t count)
{
    if (!device_ || count > uint32_t(INT32_MAX))
        return false;
    const int written = ftdi_write_data(device_->context, static_cast<const unsigned char*>(buffer), int(count));
    return written >= 0 && uint32_t(written) == count;
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
