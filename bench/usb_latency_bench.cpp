// Time per block over the emulated USB links, and what the FTDI converter's
// latency timer adds to every acknowledgement: the same update with the timer
// at the 2 ms the link sets, at the chip's default of 16 ms, and at 0.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cp2102_model.h"
#include "ft232r_model.h"
#include "process.h"
#include "usb_testbed.h"

namespace {

constexpr int kBlocks = 200;
constexpr int kPayload = 62;
constexpr int kRuns = 3;

double MedianMsPerBlock(const char* type, const char* name, const std::string& image)
{
    std::vector<double> perBlock;
    for (int run = 0; run < kRuns; ++run) {
        const ProcessResult result =
            RunProcess({UPDATE_BINARY, "-F" + image, type, "-115200", std::string("-D") + name},
                       UsbTestbed::ChildEnvironment());
        if (result.status != 0) {
            fprintf(stderr, "update failed (%d): %s\n", result.status, result.out.c_str());
            return -1;
        }
        perBlock.push_back(result.seconds * 1000 / kBlocks);
    }
    std::sort(perBlock.begin(), perBlock.end());
    return perBlock[kRuns / 2];
}

double FtdiWithLatency(int overrideMs, const std::string& image)
{
    UsbTestbed bed;
    auto model = std::make_shared<Ft232rModel>("Bench FTDI", TargetBehaviour());
    model->latencyOverrideMs = overrideMs;
    bed.Add(model);
    return MedianMsPerBlock("-T1", "Bench FTDI", image);
}

}  // namespace

int main()
{
    ScratchDir scratch;
    std::vector<int> lengths(kBlocks, kPayload);
    const std::string image = scratch.Write("image.hex", HexText(BlockImage(lengths)));

    const double asSet = FtdiWithLatency(-1, image);
    const double chipDefault = FtdiWithLatency(Ft232rModel::kDefaultLatencyMs, image);
    const double none = FtdiWithLatency(0, image);
    printf("FTDI, %d blocks of %d bytes, median of %d runs:\n", kBlocks, kPayload + 2, kRuns);
    printf("  latency timer 2 ms (as the link sets it): %.2f ms a block\n", asSet);
    printf("  latency timer 16 ms (chip default):       %.2f ms a block\n", chipDefault);
    printf("  latency timer 0 (no holding):             %.2f ms a block\n", none);
    printf("  cost of the 2 ms timer: %.2f ms a block; of the default: %.2f ms a block\n", asSet - none,
           chipDefault - none);

    UsbTestbed bed;
    bed.Add(std::make_shared<Cp2102Model>("Bench CP2102", TargetBehaviour()));
    printf("CP2102, same image: %.2f ms a block\n", MedianMsPerBlock("-T2", "Bench CP2102", image));
    return 0;
}
