// A simulated target: reads blocks by their length fields and answers each
// with one byte according to a chosen behaviour. It knows nothing of the link
// that carries the bytes, so a pseudo-terminal or an emulated USB converter
// can put it on the other end.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

constexpr uint8_t kTargetAccept = 0x11;

struct TargetBehaviour {
    // Block index to the number of times it is rejected before it is accepted;
    // index -1 applies to every block without an entry of its own.
    std::map<long, int> rejections;
    bool rejectAll = false;
    // Answers nothing from the block with this index on; -1: always answers.
    long silentFrom = -1;
    // The link goes away when the block after this many accepted ones comes; -1: never.
    long vanishAfter = -1;
    // Bytes sent after every reply, which the host must not take for a reply.
    int staleAfterReply = 0;
    uint8_t staleByte = kTargetAccept;
    uint8_t rejectByte = 0x15;
};

class SimTarget {
public:
    explicit SimTarget(const TargetBehaviour& behaviour);

    // Takes bytes from the host; appends what the target sends back.
    void Receive(const uint8_t* data, size_t count, std::vector<uint8_t>* answer);

    // True once the link should disappear (a cable pulled, a converter unplugged).
    bool Vanished() const { return vanished_; }

    long BlocksAccepted() const { return current_; }
    uint64_t BytesAccepted() const { return bytesAccepted_; }
    // Every byte the host sent, resends included.
    const std::vector<uint8_t>& Received() const { return received_; }
    // How often each block was received whole, the one in progress included.
    const std::vector<int>& SendsPerBlock() const { return sends_; }
    std::string Summary() const;

private:
    void BlockComplete(std::vector<uint8_t>* answer);
    int RejectionsFor(long block) const;

    TargetBehaviour behaviour_;
    std::vector<uint8_t> received_;
    std::vector<int> sends_;
    long current_ = 0;  // index of the block awaited, the count of accepted ones
    uint8_t header_[2] = {0, 0};
    size_t headerHave_ = 0;
    uint32_t payloadLeft_ = 0;
    uint64_t bytesAccepted_ = 0;
    bool vanished_ = false;
};

// Holds bytes back to the pace of a serial line at a given rate.
class LinePacer {
public:
    LinePacer(uint32_t baudRate, int bitsPerByte);
    // Returns once the line would have carried these bytes too.
    void Carry(size_t count);

private:
    std::chrono::steady_clock::time_point lineFree_;
    double secondsPerByte_;
};
