// ComCP2102 on top of the bridge library: the search by product string, the
// configuration through the library's own calls, and the result rules of the
// link. The same on every platform; only the library beneath differs.
#include "com_cp2102.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "cp2102_bridge.h"
#include "interrupt.h"
#include "link_failure.h"

namespace {

// The CP2101/2/3 make only the rates of a fixed table and run at the entry
// that a request falls to (Silicon Labs AN205, table 1): each rate with the
// highest request that still gets it. 110 baud, for one, runs at 300.
struct BridgeRate {
    uint32_t rate;
    uint32_t highestRequest;
};
constexpr BridgeRate kBridgeRates[] = {
    {300, 300},       {600, 600},       {1200, 1200},     {1800, 1800},     {2400, 2400},     {4000, 4000},
    {4800, 4803},     {7200, 7207},     {9600, 9612},     {14400, 14428},   {16000, 16062},   {19200, 19250},
    {28800, 28912},   {38400, 38601},   {51200, 51558},   {56000, 56280},   {57600, 58053},   {64000, 64111},
    {76800, 77608},   {115200, 117028}, {128000, 129347}, {153600, 156868}, {230400, 237832}, {250000, 254234},
    {256000, 273066}, {460800, 491520}, {500000, 567138}, {576000, 670254}, {921600, UINT32_MAX},
};

// A UART tolerates a few percent between the two ends; more is garbage.
constexpr uint32_t kRateTolerancePercent = 2;

// The library's status in its own terms, where the layer beneath recorded nothing better.
std::string StatusText(int status)
{
    char text[48];
    snprintf(text, sizeof text, "the bridge library returned status 0x%02x", unsigned(status));
    return text;
}

}  // namespace

uint32_t ComCP2102::RateMade(uint32_t requested)
{
    for (const BridgeRate& entry : kBridgeRates) {
        if (requested <= entry.highestRequest)
            return entry.rate;
    }
    return kBridgeRates[0].rate;
}

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
        cp2102::Close(handle_);
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
        if (LastLinkFailure().kind != LinkFailureKind::kRateRefused)
            RecordLinkFailure(LinkFailureKind::kRateRefused, LastLinkFailure().systemText);
        cp2102::Close(handle_);
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
    if (cp2102::GetNumDevices(&count) != cp2102::kSuccess)
        return false;
    LinkFailure notFound;
    notFound.kind = LinkFailureKind::kNoSuchConverter;
    for (uint32_t index = 0; index < count; ++index) {
        char product[cp2102::kProductStringSize];
        if (cp2102::GetProductString(index, product, cp2102::kDescription) != cp2102::kSuccess)
            return false;
        if (std::strcmp(product, name) == 0) {
            if (cp2102::Open(index, &handle_) != cp2102::kSuccess)
                handle_ = nullptr;
            return true;
        }
        notFound.attached.push_back(product);
    }
    RecordLinkFailure(notFound);
    return true;
}

bool ComCP2102::Configure(uint32_t baudRate, uint32_t milliseconds)
{
    // The bridge takes any rate and quietly runs at its table's: refuse one it
    // cannot make, or the target would see garbage at the rate it expects.
    const uint32_t made = RateMade(baudRate);
    const uint64_t difference = made > baudRate ? made - baudRate : baudRate - made;
    if (difference * 100 > uint64_t(baudRate) * kRateTolerancePercent) {
        LinkFailure failure;
        failure.kind = LinkFailureKind::kRateRefused;
        failure.actualRate = made;
        RecordLinkFailure(failure);
        return false;
    }
    settings_.baudRate = baudRate;
    return cp2102::SetBaudRate(handle_, settings_.baudRate) == cp2102::kSuccess &&
           cp2102::SetLineControl(handle_, LineControlWord(settings_)) == cp2102::kSuccess &&
           cp2102::SetFlowControl(handle_, cp2102::kStatusInput, settings_.rtsControl, settings_.dtrControl,
                                  cp2102::kStatusInput, cp2102::kStatusInput, false) == cp2102::kSuccess &&
           SetTimeout(milliseconds);
}

bool ComCP2102::Close()
{
    if (!handle_)
        return false;
    cp2102::Close(handle_);
    handle_ = nullptr;
    return true;
}

bool ComCP2102::IsOpen()
{
    return handle_ != nullptr;
}

bool ComCP2102::SetTimeout(uint32_t milliseconds)
{
    return cp2102::SetTimeouts(milliseconds, milliseconds) == cp2102::kSuccess;
}

bool ComCP2102::GetTimeout(uint32_t* milliseconds)
{
    uint32_t readMs = 0;
    uint32_t writeMs = 0;
    if (cp2102::GetTimeouts(&readMs, &writeMs) != cp2102::kSuccess)
        return false;
    *milliseconds = readMs;
    return true;
}

bool ComCP2102::Purge()
{
    if (!handle_)
        return false;
    return cp2102::FlushBuffers(handle_, 1, 1) == cp2102::kSuccess;
}

bool ComCP2102::Read(void* buffer, uint32_t wanted, uint32_t* received)
{
    if (!handle_)
        return false;
    uint32_t returned = 0;
    const int status = cp2102::Read(handle_, buffer, wanted, &returned);
    if (status != cp2102::kSuccess && status != cp2102::kRxQueueNotReady && status != cp2102::kReadTimedOut) {
        RecordLinkIoFailure(LinkIoOperation::kRead, StatusText(status));
        return false;
    }
    if (received)
        *received = returned;
    return true;
}

bool ComCP2102::Write(const void* buffer, uint32_t count)
{
    if (!handle_)
        return false;
    uint32_t written = 0;
    const int status = cp2102::Write(handle_, buffer, count, &written);
    if (status == cp2102::kSuccess && written == count)
        return true;
    if (!InterruptRequested())
        RecordLinkIoFailure(LinkIoOperation::kWrite, status == cp2102::kSuccess ? "short write" : StatusText(status));
    return false;
}

bool ComCP2102::Escape(uint32_t)
{
    // The bridge's lines are not switched.
    return true;
}
