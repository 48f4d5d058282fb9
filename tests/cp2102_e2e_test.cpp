// The real program against emulated CP2102 bridges: the real libusb runs in
// the child, the bridge and the target behind it here.
#include <csignal>

#include "usb/cp2102_model.h"
#include "usb_update_fixture.h"

namespace {

const std::string kConnect = "Connection with CP2102-USB Device...\n";
const char kProductString[] = "CP2102 USB to UART Bridge Controller";

// Line-control word: 8 data bits, no parity, one stop bit.
constexpr uint16_t kLine8N1 = 0x0800;
// Flow-control record: DTR bits, CTS/DSR/DCD handshake bits; RTS bits, XON/XOFF bits.
constexpr uint32_t kDtrBits = 0x03;
constexpr uint32_t kInputHandshakes = 0x38;
constexpr uint32_t kRtsBits = 0xC0;
constexpr uint32_t kXonXoff = 0x03;

class Cp2102Update : public UsbUpdate<Cp2102Model> {
protected:
    Cp2102Update() : UsbUpdate("-T2", kProductString) {}
};

TEST_F(Cp2102Update, FullUpdateConfiguresTheBridge)
{
    auto model = Attach(kProductString);
    const std::vector<unsigned char> image = BlockImage({98, 298, 0, 200}, 9);
    const ProcessResult result = Update(image);
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 16) + ProgressLine('\\', 66) +
                              ProgressLine('\\', 66) + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(Received(model), std::string(image.begin(), image.end()));

    std::lock_guard<std::recursive_mutex> guard(bed.Lock());
    EXPECT_EQ(model->baudRate, 115200u);
    EXPECT_EQ(model->lineControl, kLine8N1);
    ASSERT_TRUE(model->flowSet);
    const uint32_t handshake = FlowWord(model->flowRecord, 0);
    const uint32_t replace = FlowWord(model->flowRecord, 4);
    EXPECT_EQ(handshake & kDtrBits, 0u);          // DTR held inactive
    EXPECT_EQ(handshake & kInputHandshakes, 0u);  // no CTS, DSR or DCD handshake
    EXPECT_EQ(replace & kRtsBits, 0u);            // RTS held inactive
    EXPECT_EQ(replace & kXonXoff, 0u);
    EXPECT_FALSE(model->dtr);
    EXPECT_FALSE(model->rts);
    EXPECT_EQ(model->requestsWhileDisabled, 0);
    EXPECT_EQ(model->enables, 1);
    EXPECT_FALSE(model->interfaceEnabled);  // disabled again at close
    EXPECT_EQ(bed.Counters(0).detaches, 1);
    ExpectKernelDriverBack();
}

TEST_F(Cp2102Update, RatesAreSetOrRefused)
{
    auto model = Attach(kProductString);
    for (int rate : {300, 9600, 14400, 56000, 128000, 256000}) {
        const ProcessResult result = Update({0, 1, 0xA5}, "-" + std::to_string(rate));
        EXPECT_EQ(result.status, 0) << rate;
        std::lock_guard<std::recursive_mutex> guard(bed.Lock());
        EXPECT_EQ(model->baudRate, uint32_t(rate));
        EXPECT_EQ(model->lineBaudRate, uint32_t(rate));
        EXPECT_EQ(model->lineControl, kLine8N1);
    }
    // The bridge's slowest rate is 300: it would run 110 at 300 without a word.
    const ProcessResult slow = Update({0, 1, 0xA5}, "-110");
    EXPECT_EQ(slow.out, kConnect + InUse());
    EXPECT_EQ(slow.status, kFailed);
    {
        std::lock_guard<std::recursive_mutex> guard(bed.Lock());
        EXPECT_EQ(model->baudRate, 256000u);  // never asked for 110
        EXPECT_FALSE(model->interfaceEnabled);
    }
    ExpectKernelDriverBack();
    EXPECT_EQ(Update({0, 1, 0xA5}, "-9600").status, 0);
}

TEST_F(Cp2102Update, RejectionsAreResentUpToFourTimes)
{
    TargetBehaviour threeTimes;
    threeTimes.rejections[-1] = 3;
    auto model = Attach(kProductString, threeTimes);
    ProcessResult result = Update(BlockImage({30}));
    EXPECT_EQ(result.out, kConnect + FourSendsOfTheFirstBlock() + kDone);
    EXPECT_EQ(result.status, 0);

    TargetBehaviour always;
    always.rejectAll = true;
    auto rejecting = Attach("Rejecting", always);
    result = Update(BlockImage({30, 30}), "-9600", "Rejecting");
    EXPECT_EQ(result.out, kConnect + FourSendsOfTheFirstBlock() + "\nCRC error. File damaged.\n");
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(Sends(rejecting), std::vector<int>{4});
    ExpectKernelDriverBack(0);
    ExpectKernelDriverBack(1);
}

TEST_F(Cp2102Update, SilentTargetTimesOutAfterFourSeconds)
{
    TargetBehaviour silent;
    silent.silentFrom = 1;
    Attach(kProductString, silent);
    const ProcessResult result = Update(BlockImage({4, 4}));
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 50) + kNotResponding);
    EXPECT_EQ(result.status, kFailed);
    EXPECT_GE(result.seconds, 4.0);
    EXPECT_LT(result.seconds, 6.0);
    ExpectKernelDriverBack();
}

TEST_F(Cp2102Update, InterruptEndsTheUpdateInOrder)
{
    // Ctrl-\ as Ctrl-C: its default action would leave the converter claimed.
    ExpectInterruptEndsTheUpdate(kConnect, {SIGINT, SIGQUIT});
}

TEST_F(Cp2102Update, TerminationEndsTheUpdateInOrder)
{
    ExpectInterruptEndsTheUpdate(kConnect, {SIGTERM, SIGHUP});
}

TEST_F(Cp2102Update, NoBridgeOrNoExactMatch)
{
    ProcessResult result = Update({0, 0});
    EXPECT_EQ(result.out, kConnect + InUse());
    EXPECT_EQ(result.status, kFailed);

    Attach(kProductString);
    const std::string lower = "cp2102 usb to uart bridge controller";
    result = Update({0, 0}, "-9600", lower);
    EXPECT_EQ(result.out, kConnect + InUse(lower));
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(bed.Counters(0).claims, 0);
}

TEST_F(Cp2102Update, SecondOfTwoBridgesIsOpenedFirstOnlyAsked)
{
    auto first = Attach("Other Bridge");
    auto second = Attach(kProductString);
    const ProcessResult result = Update(BlockImage({10}));
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_GT(bed.Counters(0).stringReads, 0);
    EXPECT_EQ(bed.Counters(0).claims, 0);
    EXPECT_EQ(bed.Counters(1).claims, 1);
    EXPECT_EQ(bed.Counters(1).releases, 1);
    std::lock_guard<std::recursive_mutex> guard(bed.Lock());
    EXPECT_EQ(first->enables, 0);
    EXPECT_EQ(first->Target().Received().size(), 0u);
}

TEST_F(Cp2102Update, UnreadableProductStringEndsTheSearch)
{
    Attach("Refusing");
    Attach(kProductString);
    bed.SetStringsRefused(0, true);
    const ProcessResult result = Update({0, 0});
    EXPECT_EQ(result.out, kConnect + InUse());
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(bed.Counters(1).stringReads, 0);
    EXPECT_EQ(bed.Counters(1).claims, 0);
}

TEST_F(Cp2102Update, BridgeHeldByAnotherProgramIsInUse)
{
    auto model = Attach(kProductString);
    bed.SetClaimedElsewhere(0, true);
    const ProcessResult result = Update({0, 0});
    EXPECT_EQ(result.out, kConnect + InUse());
    EXPECT_EQ(result.status, kFailed);
    std::lock_guard<std::recursive_mutex> guard(bed.Lock());
    EXPECT_EQ(model->enables, 0);
}

TEST_F(Cp2102Update, UnpluggedMidTransferFailsPromptly)
{
    TargetBehaviour vanishing;
    vanishing.vanishAfter = 1;
    Attach(kProductString, vanishing);
    const ProcessResult result = Update(BlockImage({98, 98}));
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 50) + kNotResponding);
    EXPECT_EQ(result.status, kFailed);
    EXPECT_LT(result.seconds, 3.0);
}

TEST_F(Cp2102Update, LongBlockAtALowRateIsNotCutShort)
{
    // 700 bytes take 5.8 s at 1200 baud: longer than the 4 s write time-out,
    // and when the USB write is done, the 640 bytes still in the bridge take
    // 5.3 s, longer than the 4 s reply time-out.
    ExpectLongBlockGoesThrough(kConnect, 698, "-1200", 5.8);
}

TEST_F(Cp2102Update, InterruptDuringALongBlockAtALowRateEndsTheUpdate)
{
    // 600 bytes take 5 s at 1200 baud, nearly all of it after the bridge
    // has taken them into its 640-byte buffer.
    ExpectInterruptDuringALongBlock(kConnect, 598, "-1200");
}

TEST_F(Cp2102Update, StaleBytesBeyondAPacketAreDrained)
{
    TargetBehaviour stale;
    stale.staleAfterReply = 150;  // several packets, read in part and kept as surplus
    stale.rejections[0] = 2;
    auto model = Attach(kProductString, stale);
    std::vector<unsigned char> image = {0x01, 0x00};
    for (int i = 0; i < 256; ++i)
        image.push_back((unsigned char)(255 - i));
    const ProcessResult result = Update(image);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(Sends(model), std::vector<int>{3});
}

}  // namespace
