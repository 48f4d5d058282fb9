#include "cp2102_model.h"

#include <algorithm>

namespace {

// CP210x vendor requests (AN571).
constexpr uint8_t kIfcEnable = 0x00;
constexpr uint8_t kSetLineCtl = 0x03;
constexpr uint8_t kGetLineCtl = 0x04;
constexpr uint8_t kSetMhs = 0x07;
constexpr uint8_t kGetMdmsts = 0x08;
constexpr uint8_t kGetCommStatus = 0x10;
constexpr uint8_t kPurge = 0x12;
constexpr uint8_t kSetFlow = 0x13;
constexpr uint8_t kGetFlow = 0x14;
constexpr uint8_t kGetBaudRate = 0x1D;
constexpr uint8_t kSetBaudRate = 0x1E;

constexpr uint16_t kMhsDtr = 0x0001;
constexpr uint16_t kMhsRts = 0x0002;
constexpr uint16_t kMhsDtrMask = 0x0100;
constexpr uint16_t kMhsRtsMask = 0x0200;
constexpr uint16_t kPurgeTransmit = 0x0001 | 0x0004;
constexpr uint16_t kPurgeReceive = 0x0002 | 0x0008;

constexpr size_t kPacketSize = 64;

// GET_COMM_STATUS record: errors, hold reasons, bytes in the receive queue,
// bytes in the transmit queue (little-endian 32-bit each), then three bytes.
constexpr size_t kCommStatusSize = 19;

// AN205 table 1: each rate the bridge makes, and the highest request it takes for it.
struct TableRate {
    uint32_t rate;
    uint32_t highestRequest;
};
constexpr TableRate kAn205Rates[] = {
    {300, 300},       {600, 600},       {1200, 1200},     {1800, 1800},     {2400, 2400},     {4000, 4000},
    {4800, 4803},     {7200, 7207},     {9600, 9612},     {14400, 14428},   {16000, 16062},   {19200, 19250},
    {28800, 28912},   {38400, 38601},   {51200, 51558},   {56000, 56280},   {57600, 58053},   {64000, 64111},
    {76800, 77608},   {115200, 117028}, {128000, 129347}, {153600, 156868}, {230400, 237832}, {250000, 254234},
    {256000, 273066}, {460800, 491520}, {500000, 567138}, {576000, 670254}, {921600, 0xFFFFFFFF},
};

void PutLittleEndian(std::vector<uint8_t>* data, uint32_t value, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i)
        data->push_back(uint8_t(value >> (8 * i)));
}

}  // namespace

uint32_t FlowWord(const std::array<uint8_t, 16>& record, size_t offset)
{
    return uint32_t(record[offset]) | uint32_t(record[offset + 1]) << 8 | uint32_t(record[offset + 2]) << 16 |
           uint32_t(record[offset + 3]) << 24;
}

uint32_t Cp2102LineRate(uint32_t requested)
{
    for (const TableRate& entry : kAn205Rates) {
        if (requested <= entry.highestRequest)
            return entry.rate;
    }
    return kAn205Rates[0].rate;
}

Cp2102Model::Cp2102Model(const std::string& product, const TargetBehaviour& behaviour)
    : product_(product), line_(kTransmitBufferSize, behaviour)
{
}

std::vector<uint8_t> Cp2102Model::Descriptors() const
{
    return SerialBridgeDescriptors(kVendor, productId, kRelease, kEndpointIn, kEndpointOut, 0xFF);
}

std::string Cp2102Model::String(uint8_t index) const
{
    switch (index) {
    case 1:
        return "Silicon Labs";
    case 2:
        return product_;
    case 3:
        return "0001";
    default:
        return "";
    }
}

bool Cp2102Model::Control(const SetupPacket& setup, std::vector<uint8_t>* data)
{
    // The UART answers configuration only once the interface is enabled.
    if (!interfaceEnabled && setup.request != kIfcEnable) {
        ++requestsWhileDisabled;
        return false;
    }
    if (setup.requestType & kDirectionIn)
        return VendorIn(setup, data);
    return VendorOut(setup, *data);
}

bool Cp2102Model::VendorOut(const SetupPacket& setup, const std::vector<uint8_t>& data)
{
    switch (setup.request) {
    case kIfcEnable:
        interfaceEnabled = setup.value != 0;
        enables += interfaceEnabled;
        disables += !interfaceEnabled;
        return true;
    case kSetLineCtl:
        lineControl = setup.value;
        return true;
    case kSetMhs:
        if (setup.value & kMhsDtrMask)
            dtr = setup.value & kMhsDtr;
        if (setup.value & kMhsRtsMask)
            rts = setup.value & kMhsRts;
        return true;
    case kPurge:
        ++purges;
        if (setup.value & kPurgeReceive)
            line_.Arrived().clear();
        if (setup.value & kPurgeTransmit)
            line_.PurgeTransmit();
        return true;
    case kSetFlow:
        if (data.size() != flowRecord.size())
            return false;
        std::copy(data.begin(), data.end(), flowRecord.begin());
        flowSet = true;
        return true;
    case kSetBaudRate:
        if (data.size() != 4)
            return false;
        baudRate = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
        lineBaudRate = Cp2102LineRate(baudRate);
        line_.SetBaudRate(lineBaudRate);
        return true;
    default:
        return false;
    }
}

bool Cp2102Model::VendorIn(const SetupPacket& setup, std::vector<uint8_t>* data)
{
    data->clear();
    switch (setup.request) {
    case kGetLineCtl:
        PutLittleEndian(data, lineControl, 2);
        return true;
    case kGetMdmsts:
        data->push_back(uint8_t((dtr ? kMhsDtr : 0) | (rts ? kMhsRts : 0)));
        return true;
    case kGetFlow:
        data->assign(flowRecord.begin(), flowRecord.end());
        return true;
    case kGetBaudRate:
        PutLittleEndian(data, baudRate, 4);
        return true;
    case kGetCommStatus:
        ++commStatusReads;
        line_.Advance();
        PutLittleEndian(data, 0, 4);  // errors
        PutLittleEndian(data, 0, 4);  // hold reasons
        PutLittleEndian(data, uint32_t(line_.Arrived().size()), 4);
        PutLittleEndian(data, uint32_t(line_.WaitingToGoOut()), 4);
        data->resize(kCommStatusSize, 0);
        return true;
    default:
        return false;
    }
}

size_t Cp2102Model::BulkOut(uint8_t, const uint8_t* data, size_t length)
{
    return line_.Accept(data, length, kPacketSize);
}

// Sends what it has at once, in packets of 64 bytes; a transfer with room for
// less than the packet it gets overflows, as on a real bus.
bool Cp2102Model::BulkIn(uint8_t, size_t maxLength, std::vector<uint8_t>* data)
{
    line_.Advance();
    std::deque<uint8_t>& toHost = line_.Arrived();
    if (toHost.empty())
        return false;
    const size_t whole = maxLength / kPacketSize * kPacketSize;
    size_t length = std::min(toHost.size(), whole);
    if (length == 0)
        length = std::min(toHost.size(), kPacketSize);  // more than maxLength when it overflows
    data->assign(toHost.begin(), toHost.begin() + long(length));
    toHost.erase(toHost.begin(), toHost.begin() + long(length));
    return true;
}
