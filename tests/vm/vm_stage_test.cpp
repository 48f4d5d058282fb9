// The real program inside a QEMU guest against the kernel's own drivers: the
// 8250 driver on an emulated 16550 UART, ftdi_sio and libftdi on QEMU's FTDI
// converter, cp210x and libusb on a CP2102 made in the guest with dummy_hcd
// and a FunctionFS gadget. What the drivers did is read from QEMU's trace,
// the guest's sysfs and the emulated bridge; what the target got from the
// simulated target on the host. QEMU does not pace bytes at the line rate:
// these tests check behaviour and settings, not timing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "guest.h"

namespace {

constexpr int kFailed = 255;  // -1 as the shell sees it

const std::string kDone = "\rTransferring.. 100% done.  \nTarget updated successfully.\n";
const std::string kNotResponding = "\nFailed: Target is not responding.\n";
const std::string kDamaged = "\nCRC error. File damaged.\n";
const std::string kInterrupted = "\nFailed: Update interrupted.\n";

// The images of the guest: blocks x payload bytes.
const char kSmall[] = "/images/4x64.hex";
const char kMedium[] = "/images/16x256.hex";
const char kTiny[] = "/images/1x16.hex";
constexpr long kSmallBlocks = 4;
constexpr long kSmallBytes = 4 * 66;
constexpr long kMediumBlocks = 16;
constexpr long kMediumBytes = 16 * 258;

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string InUse(const std::string& name)
{
    return "Error: " + name + " in use or does not exist.\n";
}

std::string Sends(const SimTarget& target)
{
    std::string text;
    for (int sends : target.SendsPerBlock())
        text += (text.empty() ? "" : " ") + std::to_string(sends);
    return text;
}

// A guest per group of tests: a boot costs several seconds under TCG.
class GuestTest : public ::testing::Test {
protected:
    static void Boot(const std::string& name, const std::vector<std::string>& ports, const std::string& setup,
                     const std::string& ready)
    {
        guest_.reset(new Guest(name, ports));
        if (!guest_->Boot()) {
            bootError_ = guest_->Error();
            return;
        }
        const GuestResult loaded = guest_->Run(setup);
        if (loaded.status != 0) {
            bootError_ = "guest setup failed: " + loaded.out + loaded.err;
            return;
        }
        if (!ready.empty() && guest_->Run(ready).status != 0)
            bootError_ = "guest never got " + ready;
    }

    static void TearDownTestSuite()
    {
        if (guest_)
            printf("transcript: %s\n", guest_->TranscriptPath().c_str());
        guest_.reset();
        bootError_.clear();
    }

    void SetUp() override
    {
        ASSERT_TRUE(guest_ && bootError_.empty()) << bootError_;
    }

    Guest& guest() { return *guest_; }

    // Runs a command with a fresh target behind the port.
    GuestResult WithTarget(const std::string& port, const TargetBehaviour& behaviour, const std::string& command,
                           int seconds = 60)
    {
        guest_->NewTarget(port, behaviour);
        return guest_->Run(command, seconds);
    }

    static std::unique_ptr<Guest> guest_;
    static std::string bootError_;
};

std::unique_ptr<Guest> GuestTest::guest_;
std::string GuestTest::bootError_;

// ---------------------------------------------------------------------------
// The 16550 UART of the guest, through the 8250 driver: ttyS1 is -COM2.

class Uart : public GuestTest {
protected:
    static void SetUpTestSuite() { Boot("uart", {"uart"}, "true", ""); }

    // The line parameters in force when the first byte reached the target.
    std::string LineWhenDataCame()
    {
        return guest().LastTraceBefore(guest().FirstByteTime("uart"), "serial_update_parameters");
    }
};

TEST_F(Uart, FullUpdateRunsEvenParityAtTheRateAsked)
{
    const GuestResult result = WithTarget("uart", {}, std::string("update -F") + kMedium + " -COM2 -115200");
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out.rfind("Connection with Serial Com-Port COM2...\n", 0), 0u) << result.out;
    EXPECT_TRUE(EndsWith(result.out, kDone)) << result.out;
    EXPECT_EQ(guest().Target("uart").BlocksAccepted(), kMediumBlocks);
    EXPECT_EQ(guest().Target("uart").BytesAccepted(), uint64_t(kMediumBytes));
    EXPECT_EQ(Sends(guest().Target("uart")), "1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1");
    EXPECT_EQ(LineWhenDataCame(), "serial_update_parameters baudrate=115200 parity='E' data=8 stop=1");
}

// The UART's clock is 1.8432 MHz: 115200 over a whole divisor. A rate that
// no divisor makes within 2 % must not be taken, whatever the driver reports.
TEST_F(Uart, EveryRateRunsAsAskedOrIsRefused)
{
    const struct {
        int rate;
        bool made;
    } rates[] = {{110, true},   {300, true},   {600, true},    {1200, true},    {2400, true},
                 {4800, true},  {9600, true},  {14400, true},  {19200, true},   {38400, true},
                 {56000, false}, {57600, true}, {115200, true}, {128000, false}, {256000, false}};
    for (const auto& entry : rates) {
        SCOPED_TRACE(entry.rate);
        const std::string rate = std::to_string(entry.rate);
        const GuestResult result = WithTarget("uart", {}, std::string("update -F") + kTiny + " -COM2 -" + rate);
        if (entry.made) {
            EXPECT_EQ(result.status, 0) << result.out;
            EXPECT_EQ(guest().Target("uart").BlocksAccepted(), 1);
            EXPECT_EQ(LineWhenDataCame(),
                      "serial_update_parameters baudrate=" + rate + " parity='E' data=8 stop=1");
        } else {
            EXPECT_EQ(result.status, kFailed);
            EXPECT_TRUE(EndsWith(result.out, InUse("COM2"))) << result.out;
            EXPECT_TRUE(guest().Target("uart").Received().empty());
        }
    }
}

TEST_F(Uart, RejectedBlocksAreSentAgain)
{
    TargetBehaviour once;
    once.rejections[-1] = 1;
    GuestResult result = WithTarget("uart", once, std::string("update -F") + kSmall + " -COM2 -57600");
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(Sends(guest().Target("uart")), "2 2 2 2");
    EXPECT_EQ(guest().Target("uart").BytesAccepted(), uint64_t(kSmallBytes));

    TargetBehaviour four;
    four.rejections[1] = 4;
    result = WithTarget("uart", four, std::string("update -F") + kSmall + " -COM2 -57600");
    EXPECT_EQ(result.status, kFailed);
    EXPECT_TRUE(EndsWith(result.out, kDamaged)) << result.out;
    EXPECT_EQ(Sends(guest().Target("uart")), "1 4");
}

TEST_F(Uart, SilentTargetFails)
{
    TargetBehaviour silent;
    silent.silentFrom = 0;
    const GuestResult result = WithTarget("uart", silent, std::string("update -F") + kSmall + " -COM2 -9600");
    EXPECT_EQ(result.status, kFailed);
    EXPECT_TRUE(EndsWith(result.out, kNotResponding)) << result.out;
    EXPECT_EQ(Sends(guest().Target("uart")), "1");
}

// A program that has the port open without a lock (a terminal, cat) would
// get the target's replies: the port is in use.
TEST_F(Uart, PortOpenElsewhereIsInUse)
{
    ASSERT_EQ(guest().Run("sleep 60 < /dev/ttyS1 > /dev/null 2>&1 & echo $! > /tmp/holder").status, 0);
    const GuestResult result = WithTarget("uart", {}, std::string("update -F") + kSmall + " -COM2 -115200");
    EXPECT_EQ(result.status, kFailed);
    EXPECT_TRUE(EndsWith(result.out, InUse("COM2"))) << result.out;
    EXPECT_TRUE(guest().Target("uart").Received().empty());
    ASSERT_EQ(guest().Run("kill $(cat /tmp/holder)").status, 0);
}

}  // namespace
