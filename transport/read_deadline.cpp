#include "read_deadline.h"

#include <algorithm>

#include "interrupt.h"

namespace {

ReadDeadline::Now now = ReadDeadline::Clock::now;

// t*n+t reaches 2^64 ms for the largest time-outs and counts, far past what
// the clock can add; no read waits anywhere near this long in practice.
constexpr uint64_t kLongestTotalMs = uint64_t(100) * 365 * 24 * 3600 * 1000;

}  // namespace

void ReadDeadline::SetClock(Now clock)
{
    now = clock ? clock : Clock::now;
}

ReadDeadline::ReadDeadline(const Timeouts& timeouts, uint32_t wanted)
    : interval_(timeouts.readInterval)
{
    // 64-bit arithmetic: t*n+t overflows 32 bits for large reads.
    const uint64_t totalMs = uint64_t(timeouts.readTotalMultiplier) * wanted + timeouts.readTotalConstant;
    total_ = now() + std::chrono::milliseconds(std::min(totalMs, kLongestTotalMs));
}

void ReadDeadline::BytesArrived()
{
    anyByte_ = true;
    lastByte_ = now();
}

std::chrono::nanoseconds ReadDeadline::Remaining() const
{
    Clock::time_point end = total_;
    if (anyByte_ && interval_.count() > 0 && lastByte_ + interval_ < end)
        end = lastByte_ + interval_;
    return end - now();
}

std::chrono::nanoseconds ReadDeadline::NextWait() const
{
    const std::chrono::nanoseconds left = Remaining();
    if (left.count() <= 0)
        return std::chrono::nanoseconds(0);
    return std::min<std::chrono::nanoseconds>(left, std::chrono::milliseconds(kInterruptPollMs));
}

unsigned ReadDeadline::Milliseconds(std::chrono::nanoseconds wait)
{
    const int64_t ms = (wait.count() + 999999) / 1000000;
    return unsigned(std::max<int64_t>(ms, 1));
}
