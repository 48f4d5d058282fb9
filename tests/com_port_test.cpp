#include <gtest/gtest.h>

#include <asm/termbits.h>
#include <climits>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <csignal>
#include <sys/wait.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "com_port.h"
#include "interrupt.h"
#include "preempted_clock.h"
#include "read_deadline.h"
#include "uart_stand_in.h"

namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A pseudo-terminal: the port under test is the slave, the test plays the far end.
class Terminal {
public:
    Terminal()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
            slave_ = ptsname(master_);
    }
    ~Terminal() { CloseMaster(); }

    const std::string& Slave() const { return slave_; }
    int Master() const { return master_; }
    void CloseMaster()
    {
        if (master_ >= 0)
            close(master_);
        master_ = -1;
    }
    void Send(const std::vector<uint8_t>& bytes) const
    {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    std::vector<uint8_t> Receive(size_t count) const
    {
        std::vector<uint8_t> bytes;
        uint8_t buffer[512];
        while (bytes.size() < count) {
            struct pollfd entry = {master_, POLLIN, 0};
            if (poll(&entry, 1, 1000) <= 0)
                break;
            const ssize_t got = read(master_, buffer, sizeof buffer);
            if (got <= 0)
                break;
            bytes.insert(bytes.end(), buffer, buffer + got);
        }
        return bytes;
    }
    // The slave's settings, as the master reports them.
    struct termios2 Settings() const
    {
        struct termios2 tio = {};
        EXPECT_EQ(ioctl(master_, TCGETS2, &tio), 0);
        return tio;
    }

private:
    int master_ = -1;
    std::string slave_;
};

std::vector<uint8_t> EveryByteValue()
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(uint8_t(i));
    return bytes;
}

TEST(ComPortNames, MapOntoDevicePaths)
{
    EXPECT_EQ(ComPort::DevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(ComPort::DevicePath("COM12"), "/dev/ttyS11");
    EXPECT_EQ(ComPort::DevicePath("COM/dev/ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(ComPort::DevicePath("COMttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(ComPort::DevicePath("COM"), "/dev/");
    EXPECT_EQ(ComPort::DevicePath("/dev/ttyACM0"), "/dev/ttyACM0");
    EXPECT_EQ(ComPort::DevicePath("ttyS0"), "ttyS0");
    EXPECT_EQ(ComPort::DevicePath("COM0"), "");
    ComPort port;
    EXPECT_FALSE(port.Open("COM0", 9600, 2000));
    EXPECT_FALSE(port.Open("COM99999999999", 9600, 2000));
}

TEST(ComPortSettings, EightBitsEvenParityOneStopNoFlowControl)
{
    const LineSettings settings = ComPort::LineSettingsFor(57600);
    EXPECT_EQ(settings.baudRate, 57600u);
    EXPECT_TRUE(settings.binary);
    EXPECT_EQ(settings.byteSize, 8);
    EXPECT_EQ(settings.parity, kParityEven);
    EXPECT_EQ(settings.stopBits, kOneStopBit);
    EXPECT_EQ(settings.dtrControl, kLineDisabled);
    EXPECT_EQ(settings.rtsControl, kLineDisabled);
    EXPECT_FALSE(settings.outxCtsFlow || settings.outxDsrFlow || settings.outX || settings.inX ||
                 settings.parityCheck);
}

TEST(ComPortOpen, EverySupportedRateIsSetRaw)
{
    const uint32_t rates[] = {110,   300,   600,   1200,  2400,  4800,   9600,  14400,
                              19200, 38400, 56000, 57600, 115200, 128000, 256000};
    for (uint32_t rate : rates) {
        Terminal terminal;
        ComPort port;
        ASSERT_TRUE(port.Open(terminal.Slave().c_str(), rate, 2000)) << rate;
        const struct termios2 tio = terminal.Settings();
        EXPECT_EQ(tio.c_ospeed, rate);
        EXPECT_EQ(tio.c_ispeed, rate);
        EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t(CS8));
        EXPECT_EQ(tio.c_cflag & (CSTOPB | CRTSCTS), 0u);
        EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
        EXPECT_NE(tio.c_cflag & CREAD, 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | INPCK | ISTRIP), 0u);
        uint32_t timeout = 0;
        EXPECT_TRUE(port.GetTimeout(&timeout));
        EXPECT_EQ(timeout, 2000u);
    }
}

// What the port asks of a UART, which a pty alone cannot show: the parity
// (a pty drops PARENB) and output that takes its line time to leave.
TEST(ComPortUart, EvenParityOneStopBitReachTheUart)
{
    Terminal terminal;
    UartStandIn uart(terminal.Slave());
    ComPort port;
    ASSERT_TRUE(port.Open(terminal.Slave().c_str(), 115200, 2000));
    const struct termios2 tio = uart.Settings();
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR | CSTOPB | CSIZE), tcflag_t(PARENB | CS8));
    // Parity errors are not checked: a damaged reply is no acceptance anyway.
    EXPECT_EQ(tio.c_iflag & (INPCK | IGNPAR | PARMRK), 0u);
    EXPECT_EQ(tio.c_ospeed, 115200u);
}

TEST(ComPortUart, WriteReturnsOnceTheBlockHasLeftTheLine)
{
    Terminal terminal;
    UartStandIn uart(terminal.Slave());
    ComPort port;
    ASSERT_TRUE(port.Open(terminal.Slave().c_str(), 9600, 2000));
    // 300 bytes at 9600 baud, 11 bits each: 344 ms on the line.
    const std::vector<uint8_t> block(300, 0xA5);
    const auto start = Clock::now();
    EXPECT_TRUE(port.Write(block.data(), uint32_t(block.size())));
    const double elapsed = MillisecondsSince(start);
    EXPECT_EQ(uart.Waiting(), 0u);
    EXPECT_GE(elapsed, 340.0);
    EXPECT_LT(elapsed, 1000.0);
    EXPECT_EQ(terminal.Receive(block.size()), block);
}

TEST(ComPortOpen, MissingNonTerminalAndHeldPortsFail)
{
    ComPort port;
    EXPECT_FALSE(port.Open("/dev/does-not-exist", 9600, 2000));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.Open("/dev/null", 9600, 2000));
    EXPECT_FALSE(port.IsOpen());

    Terminal terminal;
    const int holder = open(terminal.Slave().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(port.Open(terminal.Slave().c_str(), 9600, 2000));
    EXPECT_FALSE(port.IsOpen());
    close(holder);
    EXPECT_TRUE(port.Open(terminal.Slave().c_str(), 9600, 2000));

    // No sharing between two links either.
    ComPort second;
    EXPECT_FALSE(second.Open(terminal.Slave().c_str(), 9600, 2000));
}

// A program that opened the port without a lock (a terminal, cat) would get
// the target's replies: the port is in use while it has it. The processes
// that started the link do not count (a script that opened the port and runs
// the program hands it over), so a child holds it here.
TEST(ComPortOpen, PortOpenInAnotherProcessIsInUse)
{
    Terminal terminal;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        const int fd = open(terminal.Slave().c_str(), O_RDWR | O_NOCTTY);
        if (fd >= 0 && write(ready[1], "x", 1) == 1)
            pause();
        _exit(1);
    }
    char started = 0;
    ASSERT_EQ(read(ready[0], &started, 1), 1);
    ComPort port;
    EXPECT_FALSE(port.Open(terminal.Slave().c_str(), 9600, 2000));
    EXPECT_FALSE(port.IsOpen());
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_TRUE(port.Open(terminal.Slave().c_str(), 9600, 2000));
}

// Root may open a port that another program made exclusive: closing it must
// not end that program's exclusive mode, only the one the link set itself.
TEST(ComPortOpen, CloseEndsOnlyItsOwnExclusiveMode)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root opens a terminal that is in exclusive mode";
    Terminal terminal;
    const int other = open(terminal.Slave().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
    ComPort port;
    ASSERT_TRUE(port.Open(terminal.Slave().c_str(), 9600, 2000));
    EXPECT_TRUE(port.Close());
    int exclusive = 0;
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);

    ASSERT_EQ(ioctl(other, TIOCNXCL), 0);
    ASSERT_TRUE(port.Open(terminal.Slave().c_str(), 9600, 2000));
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    EXPECT_TRUE(port.Close());
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(other);
}

// A UART divides its clock by a whole number, whatever rate its driver
// reports back: what a PC's 16550 (115200 over the divisor) makes of the
// command line's rates that it cannot make exactly.
TEST(ComPortRates, UartClockOverTheNearestWholeDivisor)
{
    EXPECT_EQ(ComPort::RateFromClock(115200, 56000), 57600u);  // divisor 2: +2.9 %
    EXPECT_EQ(ComPort::RateFromClock(115200, 14400), 14400u);
    EXPECT_EQ(ComPort::RateFromClock(115200, 110), 110u);      // divisor 1047
    EXPECT_EQ(ComPort::RateFromClock(115200, 128000), 115200u);
    EXPECT_EQ(ComPort::RateFromClock(115200, 256000), 115200u);
    EXPECT_EQ(ComPort::RateFromClock(1500000, 56000), 55555u);  // divisor 27: -0.8 %
    EXPECT_EQ(ComPort::RateFromClock(0, 56000), 56000u);        // the driver tells no clock
    // A divisor of one and a half rounds up, as the kernel's DIV_ROUND_CLOSEST.
    EXPECT_EQ(ComPort::RateFromClock(115200, 76800), 57600u);
    EXPECT_EQ(ComPort::RateFromClock(115200, 76801), 115200u);
    // The ends of the range neither overflow nor divide by zero.
    EXPECT_EQ(ComPort::RateFromClock(115200, UINT32_MAX), 115200u);
    EXPECT_EQ(ComPort::RateFromClock(UINT32_MAX, 1), 1u);
    EXPECT_EQ(ComPort::RateFromClock(115200, 0), 0u);
}

// The 2 % that a rate may be off, exactly at the edge and one past it, on
// both sides; the largest numbers do not overflow.
TEST(ComPortRates, TwoPercentAreTakenAndNoMore)
{
    struct Case {
        uint32_t wanted;
        uint32_t made;
        bool taken;
    };
    const Case cases[] = {
        {100000, 100000, true}, {100000, 102000, true},  {100000, 102001, false},
        {100000, 98000, true},  {100000, 97999, false},  {56000, 57600, false},  // a 16550's 56000: +2.9 %
        {256000, 250000, false},                                                 // -2.3 %
        {115200, 117028, true}, {50, 51, true},          {50, 52, false},        {1, 0, false},
        {UINT32_MAX, 0, false}, {UINT32_MAX, UINT32_MAX, true},                  {0, 0, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ComPort::RateTaken(c.wanted, c.made), c.taken) << c.wanted << " made as " << c.made;
}

// The whole-divisor model holds only for the 8250 family; a PL011 (a
// Raspberry Pi's UART: baud_base = 48 MHz / 16 = 3,000,000) makes 256000
// with its fractional divisor, and its driver reports back what it set.
TEST(ComPortRates, OnlyTheEightTwoFiftyFamilyIsHeldToAWholeDivisor)
{
    const int port16550A = 4, port8250 = 1, port16450 = 2, port16550 = 3, portNs16550A = 14;
    const int portUnknown = 0, port16C950 = 10, portAmba = 32, portImx = 62;
    for (int type : {port8250, port16450, port16550, port16550A, portNs16550A}) {
        EXPECT_TRUE(ComPort::WholeDivisorUart(type)) << type;
        EXPECT_EQ(ComPort::RateMade(type, 115200, 56000), 57600u) << type;
    }
    for (int type : {portUnknown, port16C950, portAmba, portImx, -1, 1000}) {
        EXPECT_FALSE(ComPort::WholeDivisorUart(type)) << type;
        EXPECT_EQ(ComPort::RateMade(type, 115200, 56000), 56000u) << type;
    }
    EXPECT_EQ(ComPort::RateMade(portAmba, 3000000, 256000), 256000u);
    EXPECT_TRUE(ComPort::RateTaken(256000, ComPort::RateMade(portAmba, 3000000, 256000)));
    EXPECT_EQ(ComPort::RateMade(port16550A, 3000000, 256000), 250000u);
    EXPECT_FALSE(ComPort::RateTaken(256000, ComPort::RateMade(port16550A, 3000000, 256000)));
    // A 16550 whose driver tells no clock: the reported rate.
    EXPECT_EQ(ComPort::RateMade(port16550A, 0, 56000), 56000u);
}

TEST(ComPortOpen, SecondOpenFailsAndLeavesTheFirstUsable)
{
    Terminal terminal;
    Terminal other;
    ComPort port;
    ASSERT_TRUE(port.Open(terminal.Slave().c_str(), 115200, 2000));
    EXPECT_FALSE(port.Open(other.Slave().c_str(), 9600, 10));
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(terminal.Settings().c_ospeed, 115200u);
    const std::vector<uint8_t> bytes = {1, 2, 3};
    EXPECT_TRUE(port.Write(bytes.data(), 3));
    EXPECT_EQ(terminal.Receive(3), bytes);
    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(port.Open(other.Slave().c_str(), 9600, 10));
}

TEST(ComPortClosed, OperationsFailAndCloseSucceeds)
{
    ComPort port;
    uint8_t byte = 0;
    uint32_t count = 77;
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.Read(&byte, 1, &count));
    EXPECT_EQ(count, 77u);
    EXPECT_FALSE(port.Write(&byte, 1));
    EXPECT_FALSE(port.Purge());
    EXPECT_FALSE(port.SetTimeout(10));
    EXPECT_FALSE(port.Escape(kEscapeSetDtr));
    uint32_t timeout = 99;
    EXPECT_FALSE(port.GetTimeout(&timeout));
    EXPECT_EQ(timeout, 0u);
    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.IsOpen());
}

TEST(ComPortData, EveryByteValuePassesUnchangedBothWays)
{
    Terminal terminal;
    ComPort port;
    ASSERT_TRUE(port.Open(terminal.Slave().c_str(), 115200, 100));
    const std::vector<uint8_t> bytes = EveryByteValue();

    ASSERT_TRUE(port.Write(bytes.data(), uint32_t(bytes.size())));
    EXPECT_EQ(terminal.Receive(bytes.size()), bytes);

    terminal.Send(bytes);
    std::vector<uint8_t> got(bytes.size());
    uint32_t count = 0;
    ASSERT_TRUE(port.Read(got.data(), uint32_t(got.size()), &count));
    EXPECT_EQ(count, got.size());
    EXPECT_EQ(got, bytes);

    // A null count is allowed.
    terminal.Send({0x42});
    uint8_t byte = 0;
    EXPECT_TRUE(port.Read(&byte, 1, nullptr));
    EXPECT_EQ(byte, 0x42);
}

TEST(ComPortData, PurgeDiscardsPendingInput)
{
    Terminal terminal;
    ComPort port;
    ASSERT_TRUE(port.Open(terminal.Slave().c_str(), 115200, 20));
    terminal.Send({1, 2, 3});
    usleep(20000);
    EXPECT_TRUE(port.Purge());
    uint8_t byte = 0;
    uint32_t count = 9;
    EXPECT_TRUE(port.Read(&byte, 1, &count));
    EXPECT_EQ(count, 0u);
}

TEST(ComPortTimeouts, EmptyReadWaitsTotalTimeout)
{
    Terminal terminal;
    ComPort port;
    ASSERT_TRUE(port.Open(terminal.Slave().c_str(), 115200, 2000));
    ASSERT_TRUE(port.SetTimeout(40));
    uint8_t buffer[3];
    uint32_t count = 5;
    auto start = Clock::now();
    EXPECT_TRUE(port.Read(buffer, 1, &count));
    double elapsed = MillisecondsSince(start);
    EXPECT_EQ(count, 0u);
    EXPECT_GE(elapsed, 80.0);  // t*1 + t
    EXPECT_LT(elapsed, 150.0);

    start = Clock::now();
    EXPECT_TRUE(port.Read(buffer, 3, &count));
    elapsed = MillisecondsSince(start);
    EXPECT_EQ(count, 0u);
    EXPECT_GE(elapsed, 160.0);  // t*3 + t
    EXPECT_LT(elapsed, 240.0);
}

TEST(ComPortTimeouts, QueuedInputIsTakenWhenTheDeadlineHasAlreadyPassed)
{
    Terminal terminal;
    ComPort port;
    ASSERT_TRUE(port.Open(terminal.Slave().c_str(), 115200, 1));
    terminal.Send({0x11, 0x22});
    usleep(20000);
    PreemptedClock preempted;
    uint8_t buffer[2] = {0, 0};
    uint32_t count = 0;
    EXPECT_TRUE(port.Read(buffer, 1, &count));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(buffer[0], 0x11);
    // A longer read takes all that is there, and stops at the first empty look.
    EXPECT_TRUE(port.Read(buffer, 2, &count));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(buffer[0], 0x22);
}

TEST(ComPortTimeouts, InputThatCameWhileTheProcessWasStoppedPastTheDeadlineIsTaken)
{
    Terminal terminal;
    ComPort port;
    ASSERT_TRUE(port.Open(terminal.Slave().c_str(), 115200, 10));
    // A one-byte read ends 10*1+10 ms after it starts. Its waiting looks find
    // nothing; the process is stopped at the first look at the clock past
    // that, and the reply comes in while it is.
    PreemptedClock stopped(std::chrono::milliseconds(20), [&terminal] {
        terminal.Send({0x11});
        usleep(20000);
    });
    uint8_t reply = 0;
    uint32_t count = 0;
    EXPECT_TRUE(port.Read(&reply, 1, &count));
    EXPECT_TRUE(PreemptedClock::Stopped());
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(reply, 0x11);
}

TEST(ReadDeadlines, LargestTimeoutsNeitherOverflowNorExpire)
{
    Timeouts largest;
    largest.readInterval = UINT32_MAX;
    largest.readTotalMultiplier = UINT32_MAX;
    largest.readTotalConstant = UINT32_MAX;
    ReadDeadline deadline(largest, UINT32_MAX);
    EXPECT_GT(deadline.Remaining(), std::chrono::hours(24 * 365));
    EXPECT_EQ(deadline.NextWait(), std::chrono::milliseconds(kInterruptPollMs));
    deadline.BytesArrived();
    // The interval time-out of 49.7 days now ends it first.
    EXPECT_LE(deadline.Remaining(), std::chrono::milliseconds(UINT32_MAX));
    EXPECT_GT(deadline.Remaining(), std::chrono::hours(24 * 49));
}

TEST(ComPortTimeouts, IntervalTimeoutEndsAReadAfterTheLastByte)
{
    Terminal terminal;
    ComPort port;
    ASSERT_TRUE(port.Open(terminal.Slave().c_str(), 115200, 30));
    terminal.Send({7, 8});
    uint8_t buffer[100];
    uint32_t count = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(port.Read(buffer, sizeof buffer, &count));
    const double elapsed = MillisecondsSince(start);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(buffer[1], 8);
    EXPECT_GE(elapsed, 30.0);
    EXPECT_LT(elapsed, 200.0);  // far below the total of 3030 ms
}

TEST(ComPortTimeouts, HangUpFailsTheReadPromptly)
{
    Terminal terminal;
    ComPort port;
    ASSERT_TRUE(port.Open(terminal.Slave().c_str(), 115200, 4000));
    terminal.CloseMaster();
    uint8_t byte = 0;
    uint32_t count = 3;
    const auto start = Clock::now();
    EXPECT_FALSE(port.Read(&byte, 1, &count));
    EXPECT_LT(MillisecondsSince(start), 1000.0);
    EXPECT_EQ(count, 3u);
}

TEST(ComPortEscape, KnownCodesSucceedOthersFail)
{
    Terminal terminal;
    ComPort port;
    ASSERT_TRUE(port.Open(terminal.Slave().c_str(), 9600, 100));
    EXPECT_TRUE(port.Escape(kEscapeSetXoff));
    EXPECT_TRUE(port.Escape(kEscapeSetXon));
    EXPECT_TRUE(port.Escape(kEscapeClrDtr));
    EXPECT_TRUE(port.Escape(kEscapeClrRts));
    EXPECT_TRUE(port.Escape(kEscapeSetBreak));
    EXPECT_TRUE(port.Escape(kEscapeClrBreak));
    EXPECT_FALSE(port.Escape(0));
    EXPECT_FALSE(port.Escape(7));
    EXPECT_FALSE(port.Escape(10));
}

// XOFF stops what the port sends and XON restarts it: the pseudo-terminal's
// master in packet mode is told both (TIOCPKT_STOP, TIOCPKT_START; ioctl_tty(2)).
TEST(ComPortEscape, XoffStopsAndXonRestartsTheOutput)
{
    Terminal terminal;
    ComPort port;
    ASSERT_TRUE(port.Open(terminal.Slave().c_str(), 9600, 100));
    int on = 1;
    ASSERT_EQ(ioctl(terminal.Master(), TIOCPKT, &on), 0);
    // The status byte of the next packet; -1 when none comes.
    const auto nextStatus = [&terminal]() {
        struct pollfd entry = {terminal.Master(), POLLIN, 0};
        unsigned char packet[64];
        if (poll(&entry, 1, 1000) != 1 || read(terminal.Master(), packet, sizeof packet) < 1)
            return -1;
        return int(packet[0]);
    };
    ASSERT_TRUE(port.Escape(kEscapeSetXoff));
    EXPECT_EQ(nextStatus() & (TIOCPKT_STOP | TIOCPKT_START), TIOCPKT_STOP);
    ASSERT_TRUE(port.Escape(kEscapeSetXon));
    EXPECT_EQ(nextStatus() & (TIOCPKT_STOP | TIOCPKT_START), TIOCPKT_START);
}

}  // namespace
