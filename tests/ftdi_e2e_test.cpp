// The real program against emulated FT232R converters: the real libusb and
// libftdi run in the child, the converter and the target behind it here.
#include <gtest/gtest.h>

#include <csignal>

#include "usb/ft232r_model.h"
#include "usb_update_fixture.h"

namespace {

const std::string kConnect = "Connection with FTDI-USB Device...\n";
const char kDescription[] = "FT232R USB UART";

// 8 data bits, no parity, one stop bit, no break.
constexpr uint16_t kData8N1 = 0x0008;

class FtdiUpdate : public UsbUpdate<Ft232rModel> {
protected:
    FtdiUpdate() : UsbUpdate("-T1", kDescription) {}
};

TEST_F(FtdiUpdate, FullUpdateConfiguresTheConverter)
{
    auto model = Attach(kDescription);
    const std::vector<unsigned char> image = BlockImage({98, 298, 0, 200}, 3);
    const ProcessResult result = Update(image);
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 16) + ProgressLine('\\', 66) +
                              ProgressLine('\\', 66) + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(Received(model), std::string(image.begin(), image.end()));

    std::lock_guard<std::recursive_mutex> guard(bed.Lock());
    EXPECT_NEAR(model->baudRate, 115200, 115200 * 0.03);
    EXPECT_EQ(model->dataSetting, kData8N1);
    EXPECT_EQ(model->flowControl, 0);
    EXPECT_FALSE(model->dtr);
    EXPECT_FALSE(model->rts);
    EXPECT_EQ(model->latencyMs, 2);
    EXPECT_EQ(bed.Counters(0).detaches, 1);
    ExpectKernelDriverBack();
}

TEST_F(FtdiUpdate, RatesAreSetOrRefused)
{
    auto model = Attach(kDescription);
    for (int rate : {300, 1200, 9600, 14400, 56000, 57600, 128000, 256000}) {
        const ProcessResult result = Update({0, 1, 0x5A}, "-" + std::to_string(rate));
        EXPECT_EQ(result.status, 0) << rate;
        std::lock_guard<std::recursive_mutex> guard(bed.Lock());
        EXPECT_NEAR(model->baudRate, rate, rate * 0.03) << rate;
        EXPECT_EQ(model->dataSetting, kData8N1);
    }
    // Below the converter's slowest rate (183 baud): libftdi refuses it.
    const ProcessResult slow = Update({0, 1, 0x5A}, "-110");
    EXPECT_EQ(slow.out, kConnect + InUse());
    EXPECT_EQ(slow.status, kFailed);
    // The refused configuration released the converter: the next run reaches it.
    ExpectKernelDriverBack();
    EXPECT_EQ(Update({0, 1, 0x5A}, "-9600").status, 0);
}

TEST_F(FtdiUpdate, RejectionsAreResentUpToFourTimes)
{
    TargetBehaviour threeTimes;
    threeTimes.rejections[0] = 3;
    auto model = Attach(kDescription, threeTimes);
    ProcessResult result = Update(BlockImage({30}));
    EXPECT_EQ(result.out, kConnect + FourSendsOfTheFirstBlock() + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(Sends(model), std::vector<int>{4});
}

TEST_F(FtdiUpdate, FourthRejectionIsACrcError)
{
    TargetBehaviour always;
    always.rejectAll = true;
    auto model = Attach(kDescription, always);
    const ProcessResult result = Update(BlockImage({30, 30}));
    EXPECT_EQ(result.out, kConnect + FourSendsOfTheFirstBlock() + "\nCRC error. File damaged.\n");
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(Sends(model), std::vector<int>{4});
    ExpectKernelDriverBack();
}

TEST_F(FtdiUpdate, SilentTargetTimesOutAfterEightSeconds)
{
    TargetBehaviour silent;
    silent.silentFrom = 0;
    Attach(kDescription, silent);
    const ProcessResult result = Update(BlockImage({4}));
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + kNotResponding);
    EXPECT_EQ(result.status, kFailed);
    EXPECT_GE(result.seconds, 8.0);
    EXPECT_LT(result.seconds, 10.0);
    ExpectKernelDriverBack();
}

TEST_F(FtdiUpdate, InterruptEndsTheUpdateInOrder)
{
    // Ctrl-\ as Ctrl-C: its default action would leave the converter claimed.
    ExpectInterruptEndsTheUpdate(kConnect, {SIGINT, SIGQUIT});
}

TEST_F(FtdiUpdate, TerminationAndHangUpEndTheUpdateInOrder)
{
    ExpectInterruptEndsTheUpdate(kConnect, {SIGTERM});
    const UsbDeviceCounters before = bed.Counters(0);
    Interruption hangUp;
    hangUp.signal = SIGHUP;
    hangUp.after = "Transferring";
    hangUp.delaySeconds = 0.1;
    const ProcessResult result = Update(BlockImage({4}), "-115200", "", &hangUp);
    EXPECT_EQ(result.status, kFailed);
    EXPECT_LT(result.secondsAfterSignal, 3.0);
    EXPECT_EQ(bed.Counters(0).detaches, before.detaches + 1);
    ExpectKernelDriverBack();
}

TEST_F(FtdiUpdate, DescriptionMustMatchExactly)
{
    auto model = Attach(kDescription);
    for (const std::string& name : {std::string("ft232r usb uart"), std::string("FT232R USB UAR"),
                                    std::string("FT232R USB UART "), std::string("Box")}) {
        const ProcessResult result = Update({0, 0}, "-9600", name);
        EXPECT_EQ(result.out, kConnect + InUse(name));
        EXPECT_EQ(result.status, kFailed);
    }
    EXPECT_EQ(bed.Counters(0).claims, 0);
}

TEST_F(FtdiUpdate, SecondOfTwoConvertersIsOpenedFirstLeftAlone)
{
    auto first = Attach("Other Converter");
    auto second = Attach("Target Link");
    const std::vector<unsigned char> image = BlockImage({10});
    const ProcessResult result = Update(image, "-57600", "Target Link");
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(bed.Counters(0).claims, 0);
    EXPECT_EQ(bed.Counters(1).claims, 1);
    EXPECT_EQ(bed.Counters(1).releases, 1);  // given back at the end
    EXPECT_EQ(Received(first), "");
    EXPECT_EQ(Received(second), std::string(image.begin(), image.end()));
}

TEST_F(FtdiUpdate, ConverterHeldByAnotherProgramIsInUse)
{
    Attach(kDescription);
    bed.SetClaimedElsewhere(0, true);
    const ProcessResult result = Update({0, 0});
    EXPECT_EQ(result.out, kConnect + InUse());
    EXPECT_EQ(result.status, kFailed);
}

// A chip can STALL a request it cannot serve (USB 2.0 8.5.3.4). libftdi's
// open fails after its claim took ftdi_sio away (the reset: -6, the first
// baud rate: -7) and closes without releasing the interface: the driver
// must still come back.
TEST_F(FtdiUpdate, ConverterThatFailsItsOpeningRequestsGetsItsDriverBack)
{
    auto model = Attach(kDescription);
    const uint8_t kSioReset = 0x00, kSioSetBaudRate = 0x03;
    int detaches = 0;
    for (int request : {kSioReset, kSioSetBaudRate}) {
        {
            std::lock_guard<std::recursive_mutex> guard(bed.Lock());
            model->stalledRequest = request;
        }
        const ProcessResult result = Update({0, 1, 0x5A});
        EXPECT_EQ(result.out, kConnect + InUse()) << request;
        EXPECT_EQ(result.status, kFailed) << request;
        // The claim ended with the closed device node, as the kernel ends it.
        EXPECT_EQ(bed.Counters(0).detaches, ++detaches) << request;
        EXPECT_EQ(bed.Counters(0).attaches, detaches) << request;
        EXPECT_TRUE(bed.KernelDriverBound(0)) << request;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(bed.Lock());
        model->stalledRequest = -1;
    }
    EXPECT_EQ(Update({0, 1, 0x5A}).status, 0);
    EXPECT_EQ(bed.Counters(0).attaches, bed.Counters(0).detaches);
    EXPECT_TRUE(bed.KernelDriverBound(0));
}

TEST_F(FtdiUpdate, NoConverterAttached)
{
    const ProcessResult result = Update({0, 0});
    EXPECT_EQ(result.out, kConnect + InUse());
    EXPECT_EQ(result.status, kFailed);
}

TEST_F(FtdiUpdate, UnpluggedMidTransferFailsPromptly)
{
    TargetBehaviour vanishing;
    vanishing.vanishAfter = 2;
    Attach(kDescription, vanishing);
    const ProcessResult result = Update(BlockImage({48, 48, 48, 48}));
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 25) + ProgressLine('\\', 50) +
                              kNotResponding);
    EXPECT_EQ(result.status, kFailed);
    EXPECT_LT(result.seconds, 3.0);
}

TEST_F(FtdiUpdate, LongBlockAtALowRateIsNotCutShort)
{
    // 3,000 bytes take 3.1 s at 9600 baud, over a second for every write chunk.
    ExpectLongBlockGoesThrough(kConnect, 2998, "-9600", 3.0);
}

TEST_F(FtdiUpdate, StaleBytesAndEveryByteValue)
{
    TargetBehaviour stale;
    stale.staleAfterReply = 70;  // more than one packet of stale acceptance bytes
    stale.rejections[1] = 1;
    auto model = Attach(kDescription, stale);
    std::vector<unsigned char> image = {0x01, 0x00};
    for (int i = 0; i < 256; ++i)
        image.push_back((unsigned char)i);
    image.insert(image.end(), {0x00, 0x02, 0x11, 0x13});
    const ProcessResult result = Update(image, "-256000");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(Sends(model), (std::vector<int>{1, 2}));
    const std::string sent(image.begin(), image.end());
    EXPECT_EQ(Received(model), sent + sent.substr(258));
}

}  // namespace
