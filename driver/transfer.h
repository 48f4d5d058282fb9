// Sends the image block by block, each acknowledged by the target with one byte.
#pragma once

#include <cstdio>
#include <string>

#include "image.h"

class Com;

constexpr uint32_t kDrainTimeoutMs = 1;
constexpr uint32_t kReplyTimeoutMs = 4000;
constexpr uint8_t kBlockAccepted = 0x11;
constexpr int kRejectionsPerBlock = 4;

// The end of a run that an interrupt cut short.
constexpr char kInterruptedMessage[] = "\nFailed: Update interrupted.\n";

// Bytes of the drains kept to show; the rest are only counted.
constexpr int kDrainedBytesKept = 8;

// What the transfer saw up to its end, for the explanation of a failure.
struct TransferFacts {
    enum End { kComplete, kNotResponding, kRejected, kInterrupted };
    enum Step { kDraining, kSending, kWaiting };
    End end = kComplete;
    Step step = kDraining;  // where an interrupt came
    int block = 0;          // from 1
    int blocks = 0;
    int32_t offset = 0;
    int32_t size = 0;
    int send = 0;  // from 1
    // The replies to the sends of the block, this send's last when it had one.
    int replies[kRejectionsPerBlock] = {};
    int replyCount = 0;
    double waitedMs = 0;  // the wait for this send's reply
    uint64_t drained = 0;  // bytes discarded by the drains of the whole run
    uint8_t firstDrained[kDrainedBytesKept] = {};
    // Why the link's write or read failed during this send; empty when it did not.
    std::string writeFailure;
    std::string readFailure;
};

// Closes the file and the link on every outcome; true when the target took it all.
// Every block must lie within the image's count (ImageBlocksComplete). An
// interrupt request ends it in order before the next step. Facts, when given,
// tell how it ended.
bool TransferImage(Com* link, const Image& image, FILE* file, TransferFacts* facts = nullptr);
