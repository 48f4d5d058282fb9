// Sends the image block by block, each acknowledged by the target with one byte.
#pragma once

#include <cstdio>

#include "image.h"

class Com;

constexpr uint32_t kDrainTimeoutMs = 1;
constexpr uint32_t kReplyTimeoutMs = 4000;
constexpr uint8_t kBlockAccepted = 0x11;
constexpr int kRejectionsPerBlock = 4;

// The end of a run that an interrupt cut short.
constexpr char kInterruptedMessage[] = "\nFailed: Update interrupted.\n";

// Closes the file and the link on every outcome; true when the target took it all.
// Every block must lie within the image's count (ImageBlocksComplete). An
// interrupt request ends it in order before the next step.
bool TransferImage(Com* link, const Image& image, FILE* file);
