#include "ft232r_model.h"

#include <algorithm>

namespace {

// FTDI vendor requests (bRequest) that libftdi sends to the converter.
constexpr uint8_t kSioReset = 0x00;
constexpr uint8_t kSioModemCtrl = 0x01;
constexpr uint8_t kSioSetFlowCtrl = 0x02;
constexpr uint8_t kSioSetBaudRate = 0x03;
constexpr uint8_t kSioSetData = 0x04;
constexpr uint8_t kSioPollModemStatus = 0x05;
constexpr uint8_t kSioSetLatencyTimer = 0x09;
constexpr uint8_t kSioGetLatencyTimer = 0x0A;

// wValue of the reset request.
constexpr uint16_t kResetSio = 0;
constexpr uint16_t kResetPurgeRx = 1;  // data waiting for the host
constexpr uint16_t kResetPurgeTx = 2;  // data waiting for the line

// wValue of the modem-control request: state in the low byte, mask in the high byte.
constexpr uint16_t kModemDtr = 0x01;
constexpr uint16_t kModemRts = 0x02;

// Every bulk IN packet starts with the two status bytes (FTDI AN232B-04):
// the modem status (bit 0 always set; CTS, DSR, RI, DCD in bits 4 to 7, all
// inactive here) and the line status, whose bits 5 and 6 (THRE, TEMT) say
// that the transmitter holds nothing.
constexpr uint8_t kModemStatus = 0x01;
constexpr uint8_t kTransmitterEmpty = 0x60;
constexpr size_t kPacketSize = 64;
constexpr size_t kStatusSize = 2;
constexpr size_t kPayloadPerPacket = kPacketSize - kStatusSize;

// The divisor: 14 bits of integer part in units of the 3 MHz base clock, and
// a 3-bit code for eighths in bits 14 to 16 (bit 16 travels in wIndex).
constexpr uint32_t kBaseClock = 3000000;
constexpr uint8_t kEighthsOfCode[8] = {0, 4, 2, 1, 3, 5, 6, 7};

uint32_t DecodeBaudRate(uint16_t value, uint16_t index)
{
    const uint32_t encoded = value | uint32_t(index & 0x01) << 16;
    const uint32_t integer = encoded & 0x3FFF;
    const uint32_t eighths = kEighthsOfCode[(encoded >> 14) & 0x07];
    if (integer == 0 && eighths == 0)
        return kBaseClock;
    if (integer == 1 && eighths == 0)
        return 2000000;
    const uint32_t divisorEighths = integer * 8 + eighths;
    return (kBaseClock * 8 + divisorEighths / 2) / divisorEighths;
}

}  // namespace

Ft232rModel::Ft232rModel(const std::string& description, const TargetBehaviour& behaviour)
    : description_(description), line_(kTransmitBufferSize, behaviour), lastPacket_(std::chrono::steady_clock::now())
{
}

std::vector<uint8_t> Ft232rModel::Descriptors() const
{
    return SerialBridgeDescriptors(kVendor, productId, kRelease, kEndpointIn, kEndpointOut, 0xFF);
}

std::string Ft232rModel::String(uint8_t index) const
{
    switch (index) {
    case 1:
        return "FTDI";
    case 2:
        return description_;
    case 3:
        return "A10K0001";
    default:
        return "";
    }
}

bool Ft232rModel::Control(const SetupPacket& setup, std::vector<uint8_t>* data)
{
    if (setup.request == stalledRequest)
        return false;
    if (!(setup.requestType & kDirectionIn))
        return VendorOut(setup);
    if (setup.request == kSioPollModemStatus) {
        *data = Status();
        return true;
    }
    if (setup.request == kSioGetLatencyTimer) {
        *data = {latencyMs};
        return true;
    }
    return false;
}

bool Ft232rModel::VendorOut(const SetupPacket& setup)
{
    switch (setup.request) {
    case kSioReset:
        if (setup.value == kResetSio || setup.value == kResetPurgeRx) {
            line_.Arrived().clear();
            purgesRx += setup.value == kResetPurgeRx;
        }
        if (setup.value == kResetSio || setup.value == kResetPurgeTx) {
            line_.PurgeTransmit();
            purgesTx += setup.value == kResetPurgeTx;
        }
        return setup.value <= kResetPurgeTx;
    case kSioModemCtrl:
        ++modemControlRequests;
        if (setup.value & (kModemDtr << 8))
            dtr = setup.value & kModemDtr;
        if (setup.value & (kModemRts << 8))
            rts = setup.value & kModemRts;
        return true;
    case kSioSetFlowCtrl:
        flowControl = setup.index & 0xFF00;
        return true;
    case kSioSetBaudRate:
        baudRate = DecodeBaudRate(setup.value, setup.index);
        line_.SetBaudRate(baudRate);
        return true;
    case kSioSetData:
        dataSetting = setup.value;
        return true;
    case kSioSetLatencyTimer:
        if ((setup.value & 0xFF) == 0)
            return false;
        latencyMs = uint8_t(setup.value);
        return true;
    default:
        return false;
    }
}

std::vector<uint8_t> Ft232rModel::Status()
{
    line_.Advance();
    return {kModemStatus, uint8_t(line_.WaitingToGoOut() == 0 ? kTransmitterEmpty : 0)};
}

size_t Ft232rModel::BulkOut(uint8_t, const uint8_t* data, size_t length)
{
    return line_.Accept(data, length, kPacketSize);
}

// The chip sends a packet when it has a full one, or when its latency timer
// runs out: then with what it has, or only the two status bytes.
bool Ft232rModel::BulkIn(uint8_t, size_t maxLength, std::vector<uint8_t>* data)
{
    line_.Advance();
    std::deque<uint8_t>& toHost = line_.Arrived();
    const auto now = std::chrono::steady_clock::now();
    const int latency = latencyOverrideMs >= 0 ? latencyOverrideMs : latencyMs;
    const bool timerExpired = now - lastPacket_ >= std::chrono::milliseconds(latency);
    if (toHost.size() < kPayloadPerPacket && !timerExpired)
        return false;
    if (toHost.empty() && nakWhenIdle)
        return false;
    const std::vector<uint8_t> status = Status();
    data->clear();
    while (data->size() + kPacketSize <= std::max(maxLength, kPacketSize)) {
        const size_t payload = std::min(toHost.size(), kPayloadPerPacket);
        data->insert(data->end(), status.begin(), status.end());
        data->insert(data->end(), toHost.begin(), toHost.begin() + long(payload));
        toHost.erase(toHost.begin(), toHost.begin() + long(payload));
        if (payload < kPayloadPerPacket)
            break;  // a short packet ends the transfer
    }
    lastPacket_ = now;
    return true;
}
