#include "serial_line.h"

#include <algorithm>

SerialLine::SerialLine(size_t transmitBufferSize, const TargetBehaviour& behaviour)
    : capacity_(transmitBufferSize), target_(behaviour)
{
}

void SerialLine::SetBaudRate(uint32_t baudRate)
{
    Advance();
    baudRate_ = baudRate ? baudRate : kDefaultBaudRate;
}

SerialLine::Clock::duration SerialLine::ByteTime() const
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
        uint64_t(kBitsPerByte8N1) * 1000000000 / baudRate_));
}

void SerialLine::Advance()
{
    const Clock::time_point now = Clock::now();
    std::vector<TargetAnswer> answers;
    while (!transmit_.empty() && frontSent_ <= now) {
        const uint8_t byte = transmit_.front();
        transmit_.pop_front();
        const Clock::time_point sent = frontSent_;
        answers.clear();
        target_.Receive(&byte, 1, &answers);
        // The target starts its answer after its delay, a byte time apiece.
        for (const TargetAnswer& answer : answers) {
            const Clock::time_point start = sent + std::chrono::milliseconds(answer.delayMs);
            std::vector<uint8_t> bytes = answer.bytes;
            bytes.insert(bytes.end(), answer.trickle, answer.trickleByte);
            for (uint8_t reply : bytes) {
                returnLineFree_ = std::max(returnLineFree_, start) + ByteTime();
                answers_.emplace_back(returnLineFree_, reply);
            }
        }
        frontSent_ += ByteTime();
    }
    while (!answers_.empty() && answers_.front().first <= now) {
        arrived_.push_back(answers_.front().second);
        answers_.pop_front();
    }
}

size_t SerialLine::Accept(const uint8_t* data, size_t length, size_t packetSize)
{
    Advance();
    size_t taken = 0;
    while (taken < length) {
        const size_t packet = std::min(packetSize, length - taken);
        if (capacity_ - transmit_.size() < packet)
            break;
        if (transmit_.empty())
            frontSent_ = Clock::now() + ByteTime();
        transmit_.insert(transmit_.end(), data + taken, data + taken + packet);
        taken += packet;
    }
    return taken;
}
