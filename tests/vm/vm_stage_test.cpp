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

// ---------------------------------------------------------------------------
// QEMU's FTDI converter ("QEMU USB SERIAL", 0403:6001) on the guest's xHCI
// controller: through the kernel's ftdi_sio as /dev/ttyUSB0, and through
// libftdi as -T1, which takes it from ftdi_sio for the run.

const char kConverter[] = "QEMU USB SERIAL";
const char kFirstInterface[] = "1-1:1.0";  // the converter on port 1

class Ftdi : public GuestTest {
protected:
    static void SetUpTestSuite()
    {
        Boot("ftdi", {"ftdi0"}, "vmtool load usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio",
             "vmtool wait-tty ttyUSB0");
    }

    std::string Driver(const std::string& interface = kFirstInterface)
    {
        const GuestResult result = guest().Run("vmtool driver " + interface);
        return result.out.substr(0, result.out.find('\n'));
    }

    // ftdi_sio has the converter again and its tty is back under its old name.
    void ExpectGivenBack()
    {
        EXPECT_EQ(guest().Run("vmtool wait-tty ttyUSB0").status, 0);
        EXPECT_EQ(Driver(), "ftdi_sio");
        EXPECT_EQ(guest().Run("ls /dev/ttyUSB1").status, 1) << "the converter came back under another name";
    }

    std::string LastBefore(const std::string& what)
    {
        return guest().LastTraceBefore(guest().FirstByteTime("ftdi0"), what);
    }

    // The converter's clock (3 MHz over a divisor in eighths) makes a rate
    // near the one asked; the trace gives the one it makes.
    static void ExpectRateNear(const std::string& line, int rate)
    {
        const size_t at = line.find("baud rate ");
        ASSERT_NE(at, std::string::npos) << line;
        const double made = atof(line.c_str() + at + 10);
        EXPECT_NEAR(made, rate, rate * 0.005) << line;
    }

    // The modem-control requests (0x4001) of the last run, values only.
    std::string ModemControl()
    {
        std::string values;
        for (const std::string& line : guest().TraceWith("got control 0x4001,"))
            values += (values.empty() ? "" : " ") + line.substr(line.find("value ") + 6);
        return values;
    }

    std::string LatencyRequests()
    {
        std::string values;
        for (const std::string& line : guest().TraceWith("got control 0x4009,"))
            values += (values.empty() ? "" : " ") + line.substr(line.find("value ") + 6);
        return values;
    }
};

TEST_F(Ftdi, KernelDriverRunsEvenParityAtTheRateAsked)
{
    const GuestResult result =
        WithTarget("ftdi0", {}, std::string("update -F") + kMedium + " -COM/dev/ttyUSB0 -57600");
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(EndsWith(result.out, kDone)) << result.out;
    EXPECT_EQ(guest().Target("ftdi0").BytesAccepted(), uint64_t(kMediumBytes));
    ExpectRateNear(LastBefore("usb_serial_set_baud"), 57600);
    EXPECT_NE(LastBefore("usb_serial_set_data").find("parity E, data bits 8, stop bits 1"), std::string::npos)
        << LastBefore("usb_serial_set_data");
}

// ftdi_sio's latency timer (16 ms by default on a real chip) delays every
// acknowledgement: the port asks for low latency (timer 1 ms) while it is
// open and puts the old value back when it closes.
TEST_F(Ftdi, KernelDriverLowersTheLatencyTimerWhileOpen)
{
    const GuestResult before = guest().Run("cat /sys/bus/usb-serial/devices/ttyUSB0/latency_timer");
    const GuestResult result =
        WithTarget("ftdi0", {}, std::string("update -F") + kSmall + " -COM/dev/ttyUSB0 -115200");
    EXPECT_EQ(result.status, 0) << result.out;
    const std::string old = std::to_string(atoi(before.out.c_str()));
    char hex[16];
    snprintf(hex, sizeof hex, "0x%x", atoi(before.out.c_str()));
    EXPECT_EQ(LatencyRequests(), std::string("0x1 ") + hex);
    EXPECT_EQ(guest().Run("cat /sys/bus/usb-serial/devices/ttyUSB0/latency_timer").out, before.out);
}

// Opening a tty at a speed other than 0 (and leaving speed 0) raises DTR and
// RTS in the kernel before any program can lower them: the port lowers them
// before any data goes out, and they stay low.
TEST_F(Ftdi, KernelDriverLowersDtrAndRtsBeforeData)
{
    const GuestResult result =
        WithTarget("ftdi0", {}, std::string("update -F") + kSmall + " -COM/dev/ttyUSB0 -115200");
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(LastBefore("got control 0x4001,").find("value 0x300"), std::string::npos) << ModemControl();
    const std::string lines = ModemControl();
    EXPECT_EQ(lines.substr(lines.rfind(' ') + 1), "0x300") << lines;
}

TEST_F(Ftdi, LibftdiRunsNoParityWithTheLinesLow)
{
    const GuestResult result =
        WithTarget("ftdi0", {}, std::string("update -F") + kMedium + " -T1 -D\"" + kConverter + "\" -115200");
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(EndsWith(result.out, kDone)) << result.out;
    EXPECT_EQ(guest().Target("ftdi0").BytesAccepted(), uint64_t(kMediumBytes));
    ExpectRateNear(LastBefore("usb_serial_set_baud"), 115200);
    EXPECT_NE(LastBefore("usb_serial_set_data").find("parity N, data bits 8, stop bits 1"), std::string::npos)
        << LastBefore("usb_serial_set_data");
    EXPECT_NE(LastBefore("got control 0x4001,").find("value 0x300"), std::string::npos);
    EXPECT_NE(LastBefore("got control 0x4009,").find("value 0x2"), std::string::npos);
    // QEMU's converter answers NAK while it has nothing to send, where a real
    // chip sends a status packet every latency period: the drain before each
    // block must still end at its 1 ms deadline, not at libusb's time-out
    // plus a margin (100 ms a block before). Generous for TCG on a busy machine.
    std::vector<double> gaps;
    const std::vector<double>& replies = guest().ReplyTimes("ftdi0");
    for (size_t i = 1; i < replies.size(); ++i)
        gaps.push_back((replies[i] - replies[i - 1]) * 1000);
    ASSERT_EQ(gaps.size(), size_t(kMediumBlocks - 1));
    std::sort(gaps.begin(), gaps.end());
    EXPECT_LT(gaps[gaps.size() / 2], 60.0) << "median ms between blocks";
    printf("libftdi: median %.1f ms between blocks\n", gaps[gaps.size() / 2]);
    ExpectGivenBack();
}

// While the run holds the converter, usbfs has it instead of ftdi_sio; a
// silent target, then an interrupt, end runs early: ftdi_sio gets it back
// each time.
TEST_F(Ftdi, LibftdiGivesTheConverterBackAfterFailureAndInterrupt)
{
    TargetBehaviour silent;
    silent.silentFrom = 0;
    GuestResult result =
        WithTarget("ftdi0", silent, std::string("update -F") + kSmall + " -T1 -D\"" + kConverter + "\" -115200");
    EXPECT_EQ(result.status, kFailed);
    EXPECT_TRUE(EndsWith(result.out, kNotResponding)) << result.out;
    ExpectGivenBack();

    result = WithTarget("ftdi0", silent,
                        std::string("default-signals update -F") + kSmall + " -T1 -D\"" + kConverter +
                            "\" -115200 > /tmp/run.out & run=$!; vmtool wait-driver " + kFirstInterface +
                            " usbfs; kill -INT $run; wait $run; echo status $?; cat /tmp/run.out");
    EXPECT_EQ(result.out.rfind("usbfs\nstatus 255\n", 0), 0u) << result.out;
    EXPECT_TRUE(EndsWith(result.out, kInterrupted)) << result.out;
    ExpectGivenBack();
}

// A program that has the converter's tty open keeps it: -T1 and the serial
// port both refuse, and the kernel driver stays.
TEST_F(Ftdi, ConverterOpenElsewhereIsInUse)
{
    ASSERT_EQ(guest().Run("sleep 60 < /dev/ttyUSB0 > /dev/null 2>&1 & echo $! > /tmp/holder").status, 0);
    GuestResult result =
        WithTarget("ftdi0", {}, std::string("update -F") + kSmall + " -T1 -D\"" + kConverter + "\" -115200");
    EXPECT_EQ(result.status, kFailed);
    EXPECT_TRUE(EndsWith(result.out, InUse(kConverter))) << result.out;
    EXPECT_TRUE(guest().Target("ftdi0").Received().empty());
    EXPECT_EQ(Driver(), "ftdi_sio");
    EXPECT_EQ(guest().Run("kill -0 $(cat /tmp/holder) && ls /dev/ttyUSB0").status, 0);

    result = WithTarget("ftdi0", {}, std::string("update -F") + kSmall + " -COM/dev/ttyUSB0 -115200");
    EXPECT_EQ(result.status, kFailed);
    EXPECT_TRUE(EndsWith(result.out, InUse("COM/dev/ttyUSB0"))) << result.out;
    EXPECT_TRUE(guest().Target("ftdi0").Received().empty());
    ASSERT_EQ(guest().Run("kill $(cat /tmp/holder)").status, 0);
    ExpectGivenBack();
}

// The shell that runs -T1 has the converter's tty open (as a terminal
// session whose other window runs a terminal program on it): starting the
// update gives it no claim, the converter stays with ftdi_sio. The shell
// stays the update's parent: a command after it keeps sh from exec'ing it. The same
// shell handing the port over on -T0 is the caller, and so is flock(1)
// holding its lock while it runs the update.
TEST_F(Ftdi, TtyOfTheCallerIsInUseOnlyOverUsb)
{
    GuestResult result = WithTarget("ftdi0", {},
                                    std::string("exec 3</dev/ttyUSB0; update -F") + kSmall + " -T1 -D\"" + kConverter +
                                        "\" -115200 3<&-; exit $?");
    EXPECT_EQ(result.status, kFailed);
    EXPECT_TRUE(EndsWith(result.out, InUse(kConverter))) << result.out;
    EXPECT_TRUE(guest().Target("ftdi0").Received().empty());
    EXPECT_EQ(Driver(), "ftdi_sio");

    result = WithTarget("ftdi0", {},
                        std::string("exec 3</dev/ttyUSB0; update -F") + kSmall +
                            " -COM/dev/ttyUSB0 -115200 3<&-; exit $?");
    EXPECT_EQ(result.status, 0) << result.out;
    result = WithTarget("ftdi0", {},
                        std::string("flock /dev/ttyUSB0 update -F") + kSmall + " -COM/dev/ttyUSB0 -115200");
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    ExpectGivenBack();
}

TEST_F(Ftdi, DescriptionMustMatchExactly)
{
    for (const char* name : {"NO SUCH CONVERTER", "qemu usb serial", "QEMU USB SERIA"}) {
        SCOPED_TRACE(name);
        const GuestResult result =
            WithTarget("ftdi0", {}, std::string("update -F") + kSmall + " -T1 -D\"" + name + "\" -115200");
        EXPECT_EQ(result.status, kFailed);
        EXPECT_TRUE(EndsWith(result.out, InUse(name))) << result.out;
        EXPECT_TRUE(guest().Target("ftdi0").Received().empty());
    }
    ExpectGivenBack();
}

// Two converters with the same description: the one first in bus, then
// address order is taken, every time.
TEST_F(Ftdi, TwoConvertersAreTriedInBusAndAddressOrder)
{
    ASSERT_TRUE(guest().PlugConverter("ftdi1", 2));
    ASSERT_EQ(guest().Run("vmtool wait-tty ttyUSB1").status, 0) << guest().Run("dmesg | tail -20").out;
    const int first = atoi(guest().Run("cat /sys/bus/usb/devices/1-1/devnum").out.c_str());
    const int second = atoi(guest().Run("cat /sys/bus/usb/devices/1-2/devnum").out.c_str());
    const std::string expected = first < second ? "ftdi0" : "ftdi1";
    const std::string other = first < second ? "ftdi1" : "ftdi0";
    for (int run = 0; run < 2; ++run) {
        guest().NewTarget(other);
        const GuestResult result =
            WithTarget(expected, {}, std::string("update -F") + kSmall + " -T1 -D\"" + kConverter + "\" -115200");
        EXPECT_EQ(result.status, 0) << result.out;
        EXPECT_EQ(guest().Target(expected).BlocksAccepted(), kSmallBlocks);
        EXPECT_TRUE(guest().Target(other).Received().empty());
    }
    EXPECT_TRUE(guest().UnplugConverter("ftdi1"));
    EXPECT_EQ(guest().Run("vmtool wait-gone ttyUSB1").status, 0);
    ExpectGivenBack();
}

// ---------------------------------------------------------------------------
// The emulated CP2102 made real in the guest: a FunctionFS gadget on
// dummy_hcd (full speed, as the chip), enumerated by the guest's own USB host
// side, where cp210x binds to it. The target runs behind the bridge, in the
// guest; unplugging prints what the bridge and the target saw.

const char kBridge[] = "CP2102 USB to UART Bridge Controller";
const char kBridgeInterface[] = "1-1:1.0";

class Cp2102 : public GuestTest {
protected:
    static void SetUpTestSuite()
    {
        Boot("cp2102", {},
             "vmtool load usb-common usbcore usbserial cp210x configfs udc-core && "
             "{ grep -q '^dummy_hcd ' /proc/modules || insmod /modules/dummy_hcd.ko is_high_speed=0; } && "
             "vmtool load libcomposite usb_f_fs",
             "");
    }

    // Plugs the bridge in with a target that behaves as the options say.
    void Plug(const std::string& targetOptions = "")
    {
        const GuestResult plugged = guest().Run(std::string("vmtool plug '") + kBridge + "' " + targetOptions);
        ASSERT_EQ(plugged.status, 0) << plugged.out << plugged.err;
        ASSERT_EQ(guest().Run("vmtool wait-tty ttyUSB0").status, 0) << guest().Run("dmesg | tail -20").out;
    }

    // Unplugs it; what the bridge saw, one line per request or setting.
    std::string Unplug()
    {
        const GuestResult report = guest().Run("vmtool unplug");
        EXPECT_EQ(report.status, 0) << report.err;
        EXPECT_EQ(guest().Run("vmtool wait-gone ttyUSB0").status, 0);
        return report.out;
    }

    std::string Driver()
    {
        const GuestResult result = guest().Run(std::string("vmtool driver ") + kBridgeInterface);
        return result.out.substr(0, result.out.find('\n'));
    }

    static bool Has(const std::string& report, const std::string& line)
    {
        return ("\n" + report).find("\n" + line + "\n") != std::string::npos;
    }

};

TEST_F(Cp2102, KernelDriverRunsEvenParityAtTheRateAsked)
{
    Plug();
    EXPECT_EQ(Driver(), "cp210x");
    const GuestResult result = guest().Run(std::string("update -F") + kMedium + " -COM/dev/ttyUSB0 -115200");
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(EndsWith(result.out, kDone)) << result.out;
    const std::string report = Unplug();
    EXPECT_TRUE(Has(report, "baud 115200")) << report;
    // 8 data bits, even parity (2), one stop bit (0).
    EXPECT_TRUE(Has(report, "line-control 0820")) << report;
    EXPECT_TRUE(Has(report, "blocks " + std::to_string(kMediumBlocks))) << report;
    EXPECT_TRUE(Has(report, "bytes " + std::to_string(kMediumBytes))) << report;
}

// cp210x raises DTR and RTS (SET_MHS 0x0303) when the tty opens: the port
// lowers them (0x0300) before the first data, whose wait for the transmitter
// is the first GET_COMM_STATUS (c1 10), and they stay low.
TEST_F(Cp2102, KernelDriverLowersDtrAndRtsBeforeData)
{
    Plug();
    const GuestResult result = guest().Run(std::string("update -F") + kTiny + " -COM/dev/ttyUSB0 -115200");
    EXPECT_EQ(result.status, 0) << result.out;
    const std::string report = Unplug();
    const size_t raised = report.find("request 41 07 0303");
    const size_t lowered = report.find("request 41 07 0300", raised);
    ASSERT_NE(raised, std::string::npos) << report;
    ASSERT_NE(lowered, std::string::npos) << report;
    EXPECT_LT(lowered, report.find("request c1 10")) << report;
    EXPECT_TRUE(Has(report, "dtr 0")) << report;
    EXPECT_TRUE(Has(report, "rts 0")) << report;
}

TEST_F(Cp2102, LibusbTakesTheBridgeAndGivesItBack)
{
    Plug();
    const GuestResult result = guest().Run(std::string("update -F") + kMedium + " -T2 -D\"" + kBridge +
                                           "\" -115200 > /tmp/run.out & run=$!; vmtool wait-driver " +
                                           kBridgeInterface + " usbfs; wait $run; echo status $?; cat /tmp/run.out");
    EXPECT_EQ(result.out.rfind("usbfs\nstatus 0\n", 0), 0u) << result.out;
    EXPECT_TRUE(EndsWith(result.out, kDone)) << result.out;
    EXPECT_EQ(guest().Run("vmtool wait-tty ttyUSB0").status, 0);
    EXPECT_EQ(Driver(), "cp210x");
    const std::string report = Unplug();
    EXPECT_TRUE(Has(report, "baud 115200")) << report;
    EXPECT_TRUE(Has(report, "line-control 0800")) << report;
    EXPECT_TRUE(Has(report, "flow 00000000 00000000")) << report;
    EXPECT_TRUE(Has(report, "blocks " + std::to_string(kMediumBlocks))) << report;
}

TEST_F(Cp2102, TtyOpenElsewhereIsInUse)
{
    Plug();
    ASSERT_EQ(guest().Run("sleep 60 < /dev/ttyUSB0 > /dev/null 2>&1 & echo $! > /tmp/holder").status, 0);
    const GuestResult result =
        guest().Run(std::string("update -F") + kSmall + " -T2 -D\"" + kBridge + "\" -115200");
    EXPECT_EQ(result.status, kFailed);
    EXPECT_TRUE(EndsWith(result.out, InUse(kBridge))) << result.out;
    EXPECT_EQ(Driver(), "cp210x");
    EXPECT_EQ(guest().Run("kill -0 $(cat /tmp/holder) && ls /dev/ttyUSB0").status, 0);
    guest().Run("kill $(cat /tmp/holder)");
    const std::string report = Unplug();
    EXPECT_TRUE(Has(report, "received 0")) << report;
}

}  // namespace
