#include "sim_target.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace {

constexpr uint64_t kHashStart = 0xcbf29ce484222325ull;  // 64-bit FNV-1a
constexpr uint64_t kHashPrime = 0x100000001b3ull;

bool ParseHexByte(const std::string& text, uint8_t* value)
{
    char* end = nullptr;
    const unsigned long number = strtoul(text.c_str(), &end, 16);
    if (text.empty() || *end != '\0' || number > 0xFF)
        return false;
    *value = uint8_t(number);
    return true;
}

bool ParseCount(const std::string& text, uint32_t* value)
{
    char* end = nullptr;
    const unsigned long number = strtoul(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || number > UINT32_MAX)
        return false;
    *value = uint32_t(number);
    return true;
}

// "N:XX", a count of bytes of one value.
bool ParseRun(const std::string& text, uint32_t* count, uint8_t* value)
{
    const size_t colon = text.find(':');
    return colon != std::string::npos && ParseCount(text.substr(0, colon), count) &&
           ParseHexByte(text.substr(colon + 1), value);
}

}  // namespace

bool ParseScriptLine(const std::string& line, TargetBehaviour* behaviour)
{
    std::istringstream words(line);
    std::string first;
    if (!(words >> first) || first[0] == '#')
        return true;
    long block = 0;
    int send = 0;
    std::string action;
    char* end = nullptr;
    block = strtol(first.c_str(), &end, 10);
    if (*end != '\0' || block < 0 || !(words >> send) || send < 1 || !(words >> action))
        return false;

    SendScript script;
    std::string value;
    if (action == "reply") {
        if (!(words >> value) || !ParseHexByte(value, &script.reply))
            return false;
    } else if (action == "silent") {
        script.action = SendScript::kSilent;
    } else if (action == "hangup") {
        script.action = SendScript::kHangUp;
        if (!(words >> value) || !ParseCount(value, &script.hangUpAt))
            return false;
    } else {
        return false;
    }
    std::string key;
    while (words >> key) {
        if (!(words >> value))
            return false;
        bool ok = false;
        if (key == "delay")
            ok = ParseCount(value, &script.delayMs);
        else if (key == "stale")
            ok = ParseRun(value, &script.stale, &script.staleByte);
        else if (key == "trickle")
            ok = ParseRun(value, &script.trickle, &script.trickleByte);
        if (!ok)
            return false;
    }
    behaviour->script[{block, send}] = script;
    return true;
}

SimTarget::SimTarget(const TargetBehaviour& behaviour) : behaviour_(behaviour) {}

int SimTarget::RejectionsFor(long block) const
{
    auto entry = behaviour_.rejections.find(block);
    if (entry == behaviour_.rejections.end())
        entry = behaviour_.rejections.find(-1);
    return entry == behaviour_.rejections.end() ? 0 : entry->second;
}

const SendScript* SimTarget::ScriptFor(long block, int send) const
{
    const auto entry = behaviour_.script.find({block, send});
    return entry == behaviour_.script.end() ? nullptr : &entry->second;
}

// Gone while the next block, or the given part of it, is on its way.
bool SimTarget::HangsUpNow() const
{
    if (behaviour_.vanishAfter >= 0 && current_ >= behaviour_.vanishAfter)
        return true;
    const int send = sends_.size() > size_t(current_) ? sends_[size_t(current_)] + 1 : 1;
    const SendScript* script = ScriptFor(current_, send);
    return script && script->action == SendScript::kHangUp && blockTaken_ == script->hangUpAt;
}

void SimTarget::Receive(const uint8_t* data, size_t count, std::vector<uint8_t>* answer)
{
    std::vector<TargetAnswer> answers;
    Receive(data, count, &answers);
    for (const TargetAnswer& each : answers) {
        answer->insert(answer->end(), each.bytes.begin(), each.bytes.end());
        answer->insert(answer->end(), each.trickle, each.trickleByte);
    }
}

void SimTarget::Receive(const uint8_t* data, size_t count, std::vector<TargetAnswer>* answers)
{
    received_.insert(received_.end(), data, data + count);
    for (size_t i = 0; i < count && !vanished_; ++i) {
        if (HangsUpNow()) {
            LogSend("hangup");
            vanished_ = true;
            break;
        }
        if (blockTaken_ == 0)
            blockHash_ = kHashStart;
        blockHash_ = (blockHash_ ^ data[i]) * kHashPrime;
        ++blockTaken_;
        if (headerHave_ < 2) {
            header_[headerHave_++] = data[i];
            if (headerHave_ == 2)
                payloadLeft_ = 256u * header_[0] + header_[1];
        } else {
            --payloadLeft_;
        }
        if (headerHave_ == 2 && payloadLeft_ == 0)
            BlockComplete(answers);
    }
}

void SimTarget::LogSend(const char* outcome)
{
    const int send = sends_.size() > size_t(current_) ? sends_[size_t(current_)] : 0;
    char line[128];
    if (std::string(outcome) == "hangup") {
        snprintf(line, sizeof line, "block %ld send %d hangup %u hash %016" PRIx64 "\n", current_, send + 1,
                 blockTaken_, blockTaken_ ? blockHash_ : kHashStart);
    } else {
        snprintf(line, sizeof line, "block %ld send %d size %u hash %016" PRIx64 " %s\n", current_, send, blockTaken_,
                 blockHash_, outcome);
    }
    log_ += line;
}

void SimTarget::BlockComplete(std::vector<TargetAnswer>* answers)
{
    const uint32_t size = 256u * header_[0] + header_[1] + 2;
    headerHave_ = 0;
    const int upcoming = sends_.size() > size_t(current_) ? sends_[size_t(current_)] + 1 : 1;
    const SendScript* script = ScriptFor(current_, upcoming);
    if (script && script->action == SendScript::kHangUp) {
        // Taken whole, then the line goes instead of a reply.
        LogSend("hangup");
        blockTaken_ = 0;
        vanished_ = true;
        return;
    }
    if (sends_.size() <= size_t(current_))
        sends_.resize(size_t(current_) + 1, 0);
    const int sends = ++sends_[size_t(current_)];

    TargetAnswer answer;
    const bool silent = script ? script->action == SendScript::kSilent
                               : behaviour_.silentFrom >= 0 && current_ >= behaviour_.silentFrom;
    if (silent) {
        LogSend("silent");
        blockTaken_ = 0;
        return;
    }
    if (script) {
        answer.bytes.push_back(script->reply);
        answer.bytes.insert(answer.bytes.end(), script->stale, script->staleByte);
        answer.delayMs = script->delayMs;
        answer.trickle = script->trickle;
        answer.trickleByte = script->trickleByte;
    } else {
        const bool reject = behaviour_.rejectAll || sends <= RejectionsFor(current_);
        answer.bytes.push_back(reject ? behaviour_.rejectByte : kTargetAccept);
        answer.bytes.insert(answer.bytes.end(), size_t(behaviour_.staleAfterReply), behaviour_.staleByte);
    }
    char outcome[16];
    snprintf(outcome, sizeof outcome, "reply %02X", answer.bytes[0]);
    LogSend(outcome);
    blockTaken_ = 0;
    if (answer.bytes[0] == kTargetAccept) {
        bytesAccepted_ += size;
        ++current_;
    }
    answers->push_back(answer);
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
