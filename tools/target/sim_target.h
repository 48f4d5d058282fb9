// A simulated target: reads blocks by their length fields and answers each
// with one byte according to a chosen behaviour. It knows nothing of the link
// that carries the bytes, so a pseudo-terminal or an emulated USB converter
// can put it on the other end.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

constexpr uint8_t kTargetAccept = 0x11;

// What the target does with one send of one block when a script names it.
struct SendScript {
    enum Action { kAnswer, kSilent, kHangUp };
    Action action = kAnswer;
    uint8_t reply = kTargetAccept;
    // The reply goes out this long after the block came in.
    uint32_t delayMs = 0;
    // Stale bytes that follow the reply in the same write.
    uint32_t stale = 0;
    uint8_t staleByte = kTargetAccept;
    // Stale bytes that keep coming after that, a few at a time.
    uint32_t trickle = 0;
    uint8_t trickleByte = kTargetAccept;
    // kHangUp: bytes of the block taken before the line goes (0: at its first byte).
    uint32_t hangUpAt = 0;
};

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
    // (block index, send number from 1) to what that send gets; a send with an
    // entry here ignores the settings above.
    std::map<std::pair<long, int>, SendScript> script;
};

// Reads one script line, "BLOCK SEND ACTION [KEY VALUE]...", into the behaviour:
//   ACTION  reply XX | silent | hangup N (bytes of the block taken first)
//   KEY     delay MS | stale N:XX | trickle N:XX
// Blank lines and lines starting with # are skipped. False for a line it cannot read.
bool ParseScriptLine(const std::string& line, TargetBehaviour* behaviour);

// What the target sends back for one block: the bytes in one go after the
// delay, then the trickle.
struct TargetAnswer {
    std::vector<uint8_t> bytes;
    uint32_t delayMs = 0;
    uint32_t trickle = 0;
    uint8_t trickleByte = 0;
};

class SimTarget {
public:
    explicit SimTarget(const TargetBehaviour& behaviour);

    // Takes bytes from the host; appends what the target sends back.
    void Receive(const uint8_t* data, size_t count, std::vector<uint8_t>* answer);
    // The same, for a link that keeps the target's timing.
    void Receive(const uint8_t* data, size_t count, std::vector<TargetAnswer>* answers);

    // True once the link should disappear (a cable pulled, a converter unplugged).
    bool Vanished() const { return vanished_; }

    long BlocksAccepted() const { return current_; }
    uint64_t BytesAccepted() const { return bytesAccepted_; }
    // Every byte the host sent, resends included.
    const std::vector<uint8_t>& Received() const { return received_; }
    // How often each block was received whole, the one in progress included.
    const std::vector<int>& SendsPerBlock() const { return sends_; }
    std::string Summary() const;
    // One line per send received, in order, for a program to compare:
    //   block B send S size N hash H reply XX | silent
    //   block B send S hangup N hash H       (the line went after N bytes)
    // H is the 64-bit FNV-1a hash of the bytes of the send, in hex.
    const std::string& Log() const { return log_; }

private:
    void BlockComplete(std::vector<TargetAnswer>* answers);
    int RejectionsFor(long block) const;
    const SendScript* ScriptFor(long block, int send) const;
    bool HangsUpNow() const;
    void LogSend(const char* outcome);

    TargetBehaviour behaviour_;
    std::vector<uint8_t> received_;
    std::vector<int> sends_;
    long current_ = 0;  // index of the block awaited, the count of accepted ones
    uint8_t header_[2] = {0, 0};
    size_t headerHave_ = 0;
    uint32_t payloadLeft_ = 0;
    uint32_t blockTaken_ = 0;  // bytes of the block in progress
    uint64_t blockHash_ = 0;
    uint64_t bytesAccepted_ = 0;
    bool vanished_ = false;
    std::string log_;
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
