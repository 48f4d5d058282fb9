// The serial side of a USB-to-serial chip: the transmit buffer that the host
// fills over USB and that empties onto the line at the line rate, the
// simulated target at the far end, and the target's answers coming back at
// the same rate. A bulk OUT transfer completes once its bytes are in the
// buffer, long before they have left: just as on the real chips.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "target/sim_target.h"

class SerialLine {
public:
    using Clock = std::chrono::steady_clock;

    // Both chips come out of reset at 9600 baud.
    static constexpr uint32_t kDefaultBaudRate = 9600;
    // Start bit, 8 data bits, stop bit.
    static constexpr int kBitsPerByte8N1 = 10;

    SerialLine(size_t transmitBufferSize, const TargetBehaviour& behaviour);

    void SetBaudRate(uint32_t baudRate);
    uint32_t BaudRate() const { return baudRate_; }

    // Brings the line up to now: bytes that have left reach the target, and
    // its answers that have come back are ready for the host.
    void Advance();

    // Takes what fits of the data into the transmit buffer, in whole USB
    // packets (a packet finds room whole or is refused, as the chip NAKs it);
    // returns how many bytes it took.
    size_t Accept(const uint8_t* data, size_t length, size_t packetSize);

    // Bytes still waiting for the line, the one being sent included.
    size_t WaitingToGoOut() const { return transmit_.size(); }
    void PurgeTransmit() { transmit_.clear(); }

    // What the line has delivered for the host, oldest first.
    std::deque<uint8_t>& Arrived() { return arrived_; }

    const SimTarget& Target() const { return target_; }
    bool Vanished() const { return target_.Vanished(); }

private:
    Clock::duration ByteTime() const;

    size_t capacity_;
    uint32_t baudRate_ = kDefaultBaudRate;
    SimTarget target_;
    std::deque<uint8_t> transmit_;
    Clock::time_point frontSent_;  // when the byte at the front of transmit_ has left
    std::deque<std::pair<Clock::time_point, uint8_t>> answers_;  // on their way back
    Clock::time_point returnLineFree_;
    std::deque<uint8_t> arrived_;
};
