// A process preempted right after it set a read's deadline: every look at the
// clock after the first finds the deadline long past. Stands in for the
// steady clock while in scope.
#pragma once

#include <chrono>

#include "read_deadline.h"

class PreemptedClock {
public:
    PreemptedClock()
    {
        readings_ = 0;
        ReadDeadline::SetClock(Now);
    }
    ~PreemptedClock() { ReadDeadline::SetClock(nullptr); }
    PreemptedClock(const PreemptedClock&) = delete;
    PreemptedClock& operator=(const PreemptedClock&) = delete;

private:
    static ReadDeadline::Clock::time_point Now()
    {
        const ReadDeadline::Clock::time_point now = ReadDeadline::Clock::now();
        return readings_++ == 0 ? now : now + std::chrono::hours(1);
    }
    static inline int readings_ = 0;
};
