#include "transfer.h"

#include "com.h"
#include "diagnostics.h"
#include "interrupt.h"
#include "link_failure.h"

namespace {

const char kSpinner[] = {'-', '-', '\\', '\\', '|', '|', '/', '/'};
constexpr int kSpinnerSteps = sizeof kSpinner;

// Input left over from an earlier reply must not be taken for this block's
// reply. What it discards is counted: a drain that keeps finding bytes points
// at a line that garbles.
void DrainStaleInput(Com* link, TransferFacts* facts)
{
    link->SetTimeout(kDrainTimeoutMs);
    uint8_t discarded = 0;
    uint32_t received = 0;
    while (link->Read(&discarded, 1, &received) && received == 1 && !InterruptRequested()) {
        if (facts->drained < kDrainedBytesKept)
            facts->firstDrained[facts->drained] = discarded;
        ++facts->drained;
        received = 0;
    }
}

void PrintProgress(int32_t acknowledged, int32_t count, int* spinner)
{
    printf("\r                        \rTransferring.. %c %d%% done.", kSpinner[*spinner],
           int(int64_t(acknowledged) * 100 / count));
    *spinner = (*spinner + 1) % kSpinnerSteps;
    fflush(stdout);
}

int BlockCount(const Image& image)
{
    int blocks = 0;
    for (int32_t position = 0; position < image.count; position += BlockSize(image.bytes, position))
        ++blocks;
    return blocks;
}

bool Fail(const char* message, TransferFacts::End end, TransferFacts* facts, Com* link, FILE* file)
{
    printf("%s", message);
    facts->end = end;
    facts->writeFailure = LastLinkIoFailure().write;
    facts->readFailure = LastLinkIoFailure().read;
    link->Close();
    fclose(file);
    return false;
}

double Milliseconds(std::chrono::steady_clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

}  // namespace

bool TransferImage(Com* link, const Image& image, FILE* file, TransferFacts* given)
{
    TransferFacts local;
    TransferFacts* facts = given ? given : &local;
    *facts = TransferFacts();
    facts->blocks = BlockCount(image);
    int32_t position = 0;
    int32_t acknowledged = 0;
    int rejections = 0;
    int spinner = 0;
    const bool trace = TraceWanted();
    int block = 1;

    while (position < image.count) {
        const int32_t size = BlockSize(image.bytes, position);
        facts->block = block;
        facts->offset = position;
        facts->size = size;
        facts->send = rejections + 1;
        facts->replyCount = rejections;
        facts->waitedMs = 0;
        facts->step = TransferFacts::kDraining;
        ClearLinkIoFailure();
        DrainStaleInput(link, facts);
        if (InterruptRequested())
            return Fail(kInterruptedMessage, TransferFacts::kInterrupted, facts, link, file);
        link->SetTimeout(kReplyTimeoutMs);
        PrintProgress(acknowledged, image.count, &spinner);
        // A block that did not go out whole shows up as a missing or rejecting reply.
        facts->step = TransferFacts::kSending;
        const auto sent = std::chrono::steady_clock::now();
        link->Write(image.bytes + position, uint32_t(size));

        // A write cut short by an interrupt was still sending.
        if (!InterruptRequested())
            facts->step = TransferFacts::kWaiting;
        const auto waitStart = std::chrono::steady_clock::now();
        uint8_t reply = 0;
        uint32_t received = 0;
        const bool replied = link->Read(&reply, 1, &received) && received != 0;
        const auto now = std::chrono::steady_clock::now();
        facts->waitedMs = Milliseconds(now - waitStart);
        if (trace)
            TraceBlock(block, position, size, rejections + 1, replied ? reply : -1, now - sent);
        if (!replied) {
            // A link that gave up because of the interrupt is no silent target.
            if (InterruptRequested())
                return Fail(kInterruptedMessage, TransferFacts::kInterrupted, facts, link, file);
            return Fail("\nFailed: Target is not responding.\n", TransferFacts::kNotResponding, facts, link, file);
        }
        facts->replies[rejections] = reply;
        facts->replyCount = rejections + 1;
        if (reply == kBlockAccepted) {
            ++block;
            acknowledged += size;
            position += size;
            rejections = 0;
        } else if (++rejections == kRejectionsPerBlock) {
            return Fail("\nCRC error. File damaged.\n", TransferFacts::kRejected, facts, link, file);
        }
    }

    printf("\rTransferring.. 100%% done.  \n");
    fclose(file);
    link->Close();
    printf("Target updated successfully.\n");
    return true;
}
