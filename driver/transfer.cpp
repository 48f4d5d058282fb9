#include "transfer.h"

#include "com.h"
#include "diagnostics.h"
#include "interrupt.h"

namespace {

const char kSpinner[] = {'-', '-', '\\', '\\', '|', '|', '/', '/'};
constexpr int kSpinnerSteps = sizeof kSpinner;

// Input left over from an earlier reply must not be taken for this block's reply.
void DrainStaleInput(Com* link)
{
    link->SetTimeout(kDrainTimeoutMs);
    uint8_t discarded = 0;
    uint32_t received = 0;
    while (link->Read(&discarded, 1, &received) && received == 1 && !InterruptRequested())
        received = 0;
}

void PrintProgress(int32_t acknowledged, int32_t count, int* spinner)
{
    printf("\r                        \rTransferring.. %c %d%% done.", kSpinner[*spinner],
           int(int64_t(acknowledged) * 100 / count));
    *spinner = (*spinner + 1) % kSpinnerSteps;
    fflush(stdout);
}

bool Fail(const char* message, Com* link, FILE* file)
{
    printf("%s", message);
    link->Close();
    fclose(file);
    return false;
}

}  // namespace

bool TransferImage(Com* link, const Image& image, FILE* file)
{
    int32_t position = 0;
    int32_t acknowledged = 0;
    int rejections = 0;
    int spinner = 0;
    const bool trace = TraceWanted();
    int block = 1;

    while (position < image.count) {
        const int32_t size = BlockSize(image.bytes, position);
        DrainStaleInput(link);
        if (InterruptRequested())
            return Fail(kInterruptedMessage, link, file);
        link->SetTimeout(kReplyTimeoutMs);
        PrintProgress(acknowledged, image.count, &spinner);
        // A block that did not go out whole shows up as a missing or rejecting reply.
        const auto sent = std::chrono::steady_clock::now();
        link->Write(image.bytes + position, uint32_t(size));

        uint8_t reply = 0;
        uint32_t received = 0;
        const bool replied = link->Read(&reply, 1, &received) && received != 0;
        if (trace)
            TraceBlock(block, position, size, rejections + 1, replied ? reply : -1, std::chrono::steady_clock::now() - sent);
        if (!replied) {
            // A link that gave up because of the interrupt is no silent target.
            if (InterruptRequested())
                return Fail(kInterruptedMessage, link, file);
            return Fail("\nFailed: Target is not responding.\n", link, file);
        }
        if (reply == kBlockAccepted) {
            ++block;
            acknowledged += size;
            position += size;
            rejections = 0;
        } else if (++rejections == kRejectionsPerBlock) {
            return Fail("\nCRC error. File damaged.\n", link, file);
        }
    }

    printf("\rTransferring.. 100%% done.  \n");
    fclose(file);
    link->Close();
    printf("Target updated successfully.\n");
    return true;
}
