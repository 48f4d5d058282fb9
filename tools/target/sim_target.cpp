#include "sim_target.h"

#include <thread>

SimTarget::SimTarget(const TargetBehaviour& behaviour) : behaviour_(behaviour) {}

int SimTarget::RejectionsFor(long block) const
{
    auto entry = behaviour_.rejections.find(block);
    if (entry == behaviour_.rejections.end())
        entry = behaviour_.rejections.find(-1);
    return entry == behaviour_.rejections.end() ? 0 : entry->second;
}

void SimTarget::Receive(const uint8_t* data, size_t count, std::vector<uint8_t>* answer)
{
    received_.insert(received_.end(), data, data + count);
    for (size_t i = 0; i < count && !vanished_; ++i) {
        // Gone while the next block is on its way.
        if (behaviour_.vanishAfter >= 0 && current_ >= behaviour_.vanishAfter) {
            vanished_ = true;
            break;
        }
        if (headerHave_ < 2) {
            header_[headerHave_++] = data[i];
            if (headerHave_ == 2)
                payloadLeft_ = 256u * header_[0] + header_[1];
        } else {
            --payloadLeft_;
        }
        if (headerHave_ == 2 && payloadLeft_ == 0)
            BlockComplete(answer);
    }
}

void SimTarget::BlockComplete(std::vector<uint8_t>* answer)
{
    const uint32_t size = 256u * header_[0] + header_[1] + 2;
    headerHave_ = 0;
    if (sends_.size() <= size_t(current_))
        sends_.resize(size_t(current_) + 1, 0);
    const int sends = ++sends_[size_t(current_)];

    if (behaviour_.silentFrom >= 0 && current_ >= behaviour_.silentFrom)
        return;
    if (behaviour_.rejectAll || sends <= RejectionsFor(current_)) {
        answer->push_back(behaviour_.rejectByte);
    } else {
        answer->push_back(kTargetAccept);
        bytesAccepted_ += size;
        ++current_;
    }
    answer->insert(answer->end(), size_t(behaviour_.staleAfterReply), behaviour_.staleByte);
}

std::string SimTarget::Summary() const
{
    std::string text = "blocks " + std::to_string(current_) + "\nbytes " + std::to_string(bytesAccepted_) +
                       "\nreceived " + std::to_string(received_.size()) + "\nsends";
    for (int sends : sends_)
        text += " " + std::to_string(sends);
    return text + "\n";
}

LinePacer::LinePacer(uint32_t baudRate, int bitsPerByte)
    : lineFree_(std::chrono::steady_clock::now()),
      secondsPerByte_(baudRate ? double(bitsPerByte) / baudRate : 0.0)
{
}

void LinePacer::Carry(size_t count)
{
    if (secondsPerByte_ <= 0.0)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (lineFree_ < now)
        lineFree_ = now;
    lineFree_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(secondsPerByte_ * double(count)));
    std::this_thread::sleep_until(lineFree_);
}
