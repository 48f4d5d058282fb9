// When a read under a time-out record must give up: the total time-out counts
// from the start of the read, the interval time-out from the last byte received.
#pragma once

#include <chrono>
#include <cstdint>

#include "line_settings.h"

class ReadDeadline {
public:
    using Clock = std::chrono::steady_clock;
    using Now = Clock::time_point (*)();

    ReadDeadline(const Timeouts& timeouts, uint32_t wanted);

    // Bytes arrived now: from here on the interval time-out applies too.
    void BytesArrived();

    // Time left before the read gives up; zero or less once it has expired.
    // An expired read still takes what is already there: a process that was
    // preempted past its deadline must not leave queued input behind.
    std::chrono::nanoseconds Remaining() const;

    // Time left, capped at the longest single wait between two looks at the
    // interrupt request; zero once expired. A read ends only after a look made
    // with a zero wait: the deadline may pass while the process is stopped
    // between a look and the test of the clock, and input that came in
    // meanwhile must still be taken.
    std::chrono::nanoseconds NextWait() const;
    // A wait in whole milliseconds for interfaces that count them and take 0
    // for no limit: rounded up, at least 1 (the shortest look they make).
    static unsigned Milliseconds(std::chrono::nanoseconds wait);

    // Tests stand in a clock that jumps, as a preempted process sees it;
    // null restores the steady clock.
    static void SetClock(Now now);

private:
    Clock::time_point total_;
    std::chrono::milliseconds interval_;
    Clock::time_point lastByte_;
    bool anyByte_ = false;
};
