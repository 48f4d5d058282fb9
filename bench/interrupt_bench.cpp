// How long the update takes to end after SIGINT while it waits for the reply
// of a silent target, on each link: the serial port (a pseudo-terminal nobody
// answers) and the emulated FTDI and CP2102 converters, whose kernel driver
// must be bound again at the end.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "cp2102_model.h"
#include "ft232r_model.h"
#include "process.h"
#include "usb_testbed.h"

namespace {

constexpr int kRuns = 15;

// Delays after the progress line, so that the signal meets the wait at
// different points of its slices.
double DelayFor(int run)
{
    return 0.05 + 0.013 * run;
}

struct Figures {
    std::vector<double> ms;
    int failures = 0;
};

void Print(const char* link, Figures figures)
{
    if (figures.ms.empty()) {
        printf("%-8s no run ended in order (%d failures)\n", link, figures.failures);
        return;
    }
    std::sort(figures.ms.begin(), figures.ms.end());
    printf("%-8s %zu runs: median %.1f ms, max %.1f ms after SIGINT; %d runs not ended in order\n", link,
           figures.ms.size(), figures.ms[figures.ms.size() / 2], figures.ms.back(), figures.failures);
}

bool EndedInOrder(const ProcessResult& result)
{
    return result.status == 255 && result.out.find("\nFailed: Update interrupted.\n") != std::string::npos &&
           result.secondsAfterSignal >= 0;
}

Figures Serial(const std::string& image)
{
    Figures figures;
    for (int run = 0; run < kRuns; ++run) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return figures;
        Interruption interruption;
        interruption.signal = SIGINT;
        interruption.after = "Transferring";
        interruption.delaySeconds = DelayFor(run);
        const ProcessResult result = RunProcess(
            {UPDATE_BINARY, "-F" + image, std::string("-COM") + ptsname(master), "-115200"}, {}, &interruption);
        close(master);
        if (EndedInOrder(result))
            figures.ms.push_back(result.secondsAfterSignal * 1000);
        else
            ++figures.failures;
    }
    return figures;
}

template <typename Model>
Figures Usb(const char* type, const std::string& image)
{
    Figures figures;
    UsbTestbed bed;
    TargetBehaviour silent;
    silent.silentFrom = 0;
    bed.Add(std::make_shared<Model>("Bench Link", silent));
    for (int run = 0; run < kRuns; ++run) {
        Interruption interruption;
        interruption.signal = SIGINT;
        interruption.after = "Transferring";
        interruption.delaySeconds = DelayFor(run);
        const ProcessResult result =
            RunProcess({UPDATE_BINARY, "-F" + image, type, "-115200", "-DBench Link"}, UsbTestbed::ChildEnvironment(),
                       &interruption);
        if (EndedInOrder(result) && bed.KernelDriverBound(0))
            figures.ms.push_back(result.secondsAfterSignal * 1000);
        else
            ++figures.failures;
    }
    return figures;
}

}  // namespace

int main()
{
    ScratchDir scratch;
    const std::string image = scratch.Write("image.hex", HexText(BlockImage({16})));
    Print("serial", Serial(image));
    Print("FTDI", Usb<Ft232rModel>("-T1", image));
    Print("CP2102", Usb<Cp2102Model>("-T2", image));
    return 0;
}
