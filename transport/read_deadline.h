// When a read under a time-out record must give up: the total time-out counts
// from the start of the read, the interval time-out from the last byte received.
#pragma once

#include <chrono>
#include <cstdint>

#include "line_settings.h"

class ReadDeadline {
public:
    using Clock = std::chrono::steady_clock;

    ReadDeadline(const Timeouts& timeouts, uint32_t wanted);

    // Bytes arrived now: from here on the interval time-out applies too.
    void BytesArrived();

    // Time left before the read gives up; zero or less once it has expired.
    std::chrono::nanoseconds Remaining() const;

private:
    Clock::time_point total_;
    std::chrono::milliseconds interval_;
    Clock::time_point lastByte_;
    bool anyByte_ = false;
};
