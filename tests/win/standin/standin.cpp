#include "standin.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

namespace standin {

namespace {

std::string Environment(const char* name)
{
    const char* value = getenv(name);
    return value ? value : "";
}

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream stream(text);
    while (std::getline(stream, part, separator)) {
        if (!part.empty())
            parts.push_back(part);
    }
    return parts;
}

struct FailRequest {
    std::string function;
    int call = 0;  // 0: every call
    bool hasStatus = false;
    int status = 0;
};

std::vector<FailRequest> ParseFailRequests()
{
    std::vector<FailRequest> requests;
    for (const std::string& entry : Split(Environment("STANDIN_FAIL"), ',')) {
        FailRequest request;
        std::string rest = entry;
        const size_t equals = rest.find('=');
        if (equals != std::string::npos) {
            request.hasStatus = true;
            request.status = int(strtol(rest.c_str() + equals + 1, nullptr, 0));
            rest.resize(equals);
        }
        const size_t hash = rest.find('#');
        if (hash != std::string::npos) {
            request.call = atoi(rest.c_str() + hash + 1);
            rest.resize(hash);
        }
        request.function = rest;
        requests.push_back(request);
    }
    return requests;
}

struct TargetSetup {
    TargetBehaviour behaviour;
    int preload = 0;  // stale bytes waiting before the first block
};

TargetSetup ParseTargetSetup()
{
    TargetSetup setup;
    TargetBehaviour& behaviour = setup.behaviour;
    for (const std::string& word : Split(Environment("STANDIN_TARGET"), ' ')) {
        const size_t equals = word.find('=');
        const std::string name = word.substr(0, equals);
        const char* value = equals == std::string::npos ? "" : word.c_str() + equals + 1;
        if (name == "reject") {
            const char* at = strchr(value, '@');
            behaviour.rejections[at ? atol(at + 1) : -1] = atoi(value);
        } else if (name == "reject-all") {
            behaviour.rejectAll = true;
        } else if (name == "silent-from") {
            behaviour.silentFrom = atol(value);
        } else if (name == "vanish-after") {
            behaviour.vanishAfter = atol(value);
        } else if (name == "stale") {
            behaviour.staleAfterReply = atoi(value);
        } else if (name == "preload") {
            setup.preload = atoi(value);
        }
    }
    return setup;
}

const TargetSetup& Setup()
{
    static const TargetSetup setup = ParseTargetSetup();
    return setup;
}

void AppendReceived(const uint8_t* bytes, uint32_t count)
{
    const std::string path = Environment("STANDIN_RECEIVED");
    if (path.empty() || count == 0)
        return;
    FILE* file = fopen(path.c_str(), "ab");
    if (file) {
        fwrite(bytes, 1, count, file);
        fclose(file);
    }
}

}  // namespace

void Log(const char* format, ...)
{
    static FILE* file = nullptr;
    if (!file) {
        const std::string path = Environment("STANDIN_LOG");
        if (path.empty())
            return;
        file = fopen(path.c_str(), "ab");
        if (!file)
            return;
    }
    va_list arguments;
    va_start(arguments, format);
    vfprintf(file, format, arguments);
    va_end(arguments);
    fputc('\n', file);
    fflush(file);
}

bool ShouldFail(const char* function, int* status)
{
    static const std::vector<FailRequest> requests = ParseFailRequests();
    static std::map<std::string, int> calls;
    const int call = ++calls[function];
    for (const FailRequest& request : requests) {
        if (request.function != function || (request.call != 0 && request.call != call))
            continue;
        if (request.hasStatus && status)
            *status = request.status;
        return true;
    }
    return false;
}

const std::vector<std::string>& Descriptions()
{
    static const std::vector<std::string> descriptions = Split(Environment("STANDIN_DEVICES"), '|');
    return descriptions;
}

void WaitUntil(Clock::time_point when)
{
    for (Clock::time_point now = Clock::now(); now < when; now = Clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(when - now).count();
        Sleep(DWORD(std::min<int64_t>((left + 999) / 1000, 0x7FFFFFFF)));
    }
}

Chip::Chip(const ChipModel& model)
    : model_(model), target_(Setup().behaviour), latency_(model.defaultLatency), lineFree_(Clock::now())
{
    // Stale bytes that wait in the chip before the program opens it.
    for (int i = 0; i < Setup().preload; ++i)
        toHost_.push_back({lineFree_, Setup().behaviour.staleByte});
}

void Chip::SetLine(uint32_t baudRate, int bitsPerByte)
{
    byteTime_ = baudRate ? std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(double(bitsPerByte) / baudRate))
                         : Clock::duration(0);
}

void Chip::Purge(bool, bool receive)
{
    if (receive)
        toHost_.clear();
}

void Chip::Write(const uint8_t* bytes, uint32_t count, const Clock::time_point* deadline, uint32_t hostQueue,
                 uint32_t* taken)
{
    *taken = 0;
    const Clock::time_point now = Clock::now();
    const Clock::time_point start = std::max(now, lineFree_);
    // Byte i is taken once the bytes before it that have not gone out on the
    // line fit the buffer and the queue, that is once byte i - capacity of
    // everything still unsent has left (the bytes of earlier writes first).
    const int64_t capacity = int64_t(model_.transmitBuffer) + hostQueue;
    auto takenAt = [&](uint32_t i) { return std::max(now, start + byteTime_ * (int64_t(i) - capacity + 1)); };
    Clock::time_point done = count ? takenAt(count - 1) : now;
    if (deadline && done > *deadline)
        done = *deadline;
    WaitUntil(done);
    uint32_t k = 0;
    while (k < count && takenAt(k) <= done)
        ++k;
    *taken = k;

    std::vector<uint8_t> answer;
    target_.Receive(bytes, k, &answer);
    AppendReceived(bytes, k);
    lineFree_ = start + byteTime_ * k;
    // The target answers once the last byte is in; its bytes come back at the
    // line's pace and wait in the chip for its latency.
    Clock::time_point arrival = lineFree_;
    for (uint8_t byte : answer) {
        arrival += byteTime_;
        toHost_.push_back({arrival + latency_, byte});
    }
}

uint32_t Chip::Unsent() const
{
    const Clock::time_point now = Clock::now();
    if (lineFree_ <= now || byteTime_.count() == 0)
        return 0;
    // A byte counts until its last bit has left.
    return uint32_t((lineFree_ - now + byteTime_ - Clock::duration(1)) / byteTime_);
}

uint32_t Chip::Arrived() const
{
    const Clock::time_point now = Clock::now();
    uint32_t count = 0;
    for (const Arrival& arrival : toHost_) {
        if (arrival.when > now)
            break;
        ++count;
    }
    return count;
}

void Chip::Read(uint8_t* buffer, uint32_t wanted, const ReadLimits& limits, uint32_t* got)
{
    *got = 0;
    Clock::time_point lastByte;
    for (;;) {
        const Clock::time_point now = Clock::now();
        while (*got < wanted && !toHost_.empty() && toHost_.front().when <= now) {
            buffer[(*got)++] = toHost_.front().byte;
            lastByte = toHost_.front().when;
            toHost_.pop_front();
        }
        if (*got == wanted)
            return;
        bool limited = limits.total;
        Clock::time_point end = limits.end;
        if (*got > 0 && limits.interval.count() > 0) {
            const Clock::time_point intervalEnd = lastByte + limits.interval;
            end = limited ? std::min(end, intervalEnd) : intervalEnd;
            limited = true;
        }
        if (limited && now >= end)
            return;
        // Without any limit and any byte to come, the read waits for good, as
        // a real one does.
        Clock::time_point wake = limited ? end : now + std::chrono::hours(1);
        if (!toHost_.empty())
            wake = std::min(wake, toHost_.front().when);
        WaitUntil(wake);
    }
}

}  // namespace standin
