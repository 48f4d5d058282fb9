// Runs the real program against emulated USB converters of one kind.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "target/sim_target.h"
#include "usb/usb_testbed.h"

constexpr int kFailed = 255;  // -1 as the shell sees it
const std::string kDone = "\rTransferring.. 100% done.  \nTarget updated successfully.\n";
const std::string kNotResponding = "\nFailed: Target is not responding.\n";

template <typename Model>
class UsbUpdate : public ::testing::Test {
protected:
    UsbUpdate(const std::string& transportType, const std::string& name)
        : transportType_(transportType), defaultName_(name)
    {
    }

    std::shared_ptr<Model> Attach(const std::string& description, const TargetBehaviour& behaviour = {})
    {
        auto model = std::make_shared<Model>(description, behaviour);
        bed.Add(model);
        return model;
    }

    ProcessResult Update(const std::vector<unsigned char>& image, const std::string& rate = "-115200",
                         const std::string& name = "", const Interruption* interruption = nullptr)
    {
        const std::string file = scratch.Write("image.hex", HexText(image));
        return RunProcess({UPDATE_BINARY, "-F" + file, transportType_, rate, "-D" + (name.empty() ? defaultName_ : name)},
                          UsbTestbed::ChildEnvironment(), interruption);
    }

    // The kernel's serial driver has the device again after every run that
    // took it, whatever the outcome: its tty node is back.
    void ExpectKernelDriverBack(size_t device = 0)
    {
        const UsbDeviceCounters counters = bed.Counters(device);
        EXPECT_TRUE(bed.KernelDriverBound(device));
        EXPECT_EQ(counters.attaches, counters.detaches);
        EXPECT_EQ(counters.claims, counters.releases);
    }

    // A signal while the update waits for the reply from a silent target ends
    // it in order and at once: the device released, its driver back. One
    // run for each signal, in turn.
    void ExpectInterruptEndsTheUpdate(const std::string& connect, const std::vector<int>& signals)
    {
        TargetBehaviour silent;
        silent.silentFrom = 0;
        Attach(defaultName_, silent);
        for (int signal : signals) {
            const UsbDeviceCounters before = bed.Counters(0);
            Interruption interruption;
            interruption.signal = signal;
            interruption.after = "Transferring";
            interruption.delaySeconds = 0.3;
            const ProcessResult result = Update(BlockImage({4}), "-115200", "", &interruption);
            EXPECT_EQ(result.out, connect + ProgressLine('-', 0) + "\nFailed: Update interrupted.\n") << signal;
            EXPECT_EQ(result.status, kFailed) << signal;
            EXPECT_GE(result.secondsAfterSignal, 0.0) << signal;
            EXPECT_LT(result.secondsAfterSignal, 3.0) << signal;
            EXPECT_EQ(bed.Counters(0).detaches, before.detaches + 1) << signal;
            ExpectKernelDriverBack();
        }
    }

    std::string InUse(const std::string& name = "") const
    {
        return "Error: " + (name.empty() ? defaultName_ : name) + " in use or does not exist.\n";
    }

    std::string Received(const std::shared_ptr<Model>& model)
    {
        std::lock_guard<std::recursive_mutex> guard(bed.Lock());
        return std::string(model->Target().Received().begin(), model->Target().Received().end());
    }

    std::vector<int> Sends(const std::shared_ptr<Model>& model)
    {
        std::lock_guard<std::recursive_mutex> guard(bed.Lock());
        return model->Target().SendsPerBlock();
    }

    // A block that takes longer on the line than the link's time-outs goes through whole.
    void ExpectLongBlockGoesThrough(const std::string& connect, int payload, const std::string& rate,
                                    double lineSeconds)
    {
        auto model = Attach(defaultName_);
        const std::vector<unsigned char> image = BlockImage({payload});
        const ProcessResult result = Update(image, rate);
        EXPECT_EQ(result.out, connect + ProgressLine('-', 0) + kDone);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(Received(model), std::string(image.begin(), image.end()));
        EXPECT_GE(result.seconds, lineSeconds);
    }

    // A signal while a long block is still going out at a low rate (the
    // bridge's buffer takes it at once, the wait for its transmitter runs
    // for seconds) ends the update at once, not when the block has left.
    void ExpectInterruptDuringALongBlock(const std::string& connect, int payload, const std::string& rate)
    {
        auto model = Attach(defaultName_);
        Interruption interruption;
        interruption.signal = SIGINT;
        interruption.after = "Transferring";
        interruption.delaySeconds = 1.0;
        const ProcessResult result = Update(BlockImage({payload}), rate, "", &interruption);
        EXPECT_EQ(result.out, connect + ProgressLine('-', 0) + "\nFailed: Update interrupted.\n");
        EXPECT_EQ(result.status, kFailed);
        EXPECT_GE(result.secondsAfterSignal, 0.0);
        EXPECT_LT(result.secondsAfterSignal, 1.0);
        ExpectKernelDriverBack();
    }

    ScratchDir scratch;
    UsbTestbed bed;

private:
    std::string transportType_;
    std::string defaultName_;
};

// Four sends of one block that the target never accepts.
inline std::string FourSendsOfTheFirstBlock()
{
    return ProgressLine('-', 0) + ProgressLine('-', 0) + ProgressLine('\\', 0) + ProgressLine('\\', 0);
}
