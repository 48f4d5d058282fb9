// A process preempted or stopped (Ctrl-Z, then fg) during a read: the clock
// runs as usual until the first look at it made `after` or later since the
// first look (the deadline's start); the process is stopped there, while
// `meanwhile` runs (input arrives), and from then on every look finds the
// deadline long past. By default it is stopped right after it set the
// deadline. Stands in for the steady clock while in scope.
#pragma once

#include <chrono>
#include <functional>
#include <utility>

#include "read_deadline.h"

class PreemptedClock {
public:
    explicit PreemptedClock(std::chrono::nanoseconds after = std::chrono::nanoseconds(0),
                            std::function<void()> meanwhile = {})
    {
        readings_ = 0;
        stopped_ = false;
        after_ = after;
        meanwhile_ = std::move(meanwhile);
        ReadDeadline::SetClock(Now);
    }
    ~PreemptedClock()
    {
        ReadDeadline::SetClock(nullptr);
        meanwhile_ = nullptr;
    }
    PreemptedClock(const PreemptedClock&) = delete;
    PreemptedClock& operator=(const PreemptedClock&) = delete;

    // The process was stopped: a look at the clock came at or past `after`.
    static bool Stopped() { return stopped_; }

private:
    static ReadDeadline::Clock::time_point Now()
    {
        const ReadDeadline::Clock::time_point now = ReadDeadline::Clock::now();
        if (readings_++ == 0)
            first_ = now;
        else if (!stopped_ && now - first_ >= after_) {
            stopped_ = true;
            if (meanwhile_)
                meanwhile_();
        }
        return stopped_ ? now + std::chrono::hours(1) : now;
    }
    static inline int readings_ = 0;
    static inline bool stopped_ = false;
    static inline ReadDeadline::Clock::time_point first_;
    static inline std::chrono::nanoseconds after_;
    static inline std::function<void()> meanwhile_;
};
