#include "read_deadline.h"

ReadDeadline::ReadDeadline(const Timeouts& timeouts, uint32_t wanted)
    : interval_(timeouts.readInterval)
{
    // 64-bit arithmetic: t*n+t overflows 32 bits for large reads.
    const uint64_t totalMs = uint64_t(timeouts.readTotalMultiplier) * wanted + timeouts.readTotalConstant;
    total_ = Clock::now() + std::chrono::milliseconds(totalMs);
}

void ReadDeadline::BytesArrived()
{
    anyByte_ = true;
    lastByte_ = Clock::now();
}

std::chrono::nanoseconds ReadDeadline::Remaining() const
{
    Clock::time_point end = total_;
    if (anyByte_ && interval_.count() > 0 && lastByte_ + interval_ < end)
        end = lastByte_ + interval_;
    return end - Clock::now();
}
