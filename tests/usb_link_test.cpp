// The two USB links in this process, against emulated chips under umockdev:
// what only shows from inside a read or a write (a deadline that passed
// while the process was not running, bytes still in the chip's transmit
// buffer when the write returns, a read that outlives its deadline).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <unistd.h>
#include <vector>

#include "com_cp2102.h"
#include "com_ftdi.h"
#include "preempted_clock.h"
#include "usb/cp2102_model.h"
#include "usb/ft232r_model.h"
#include "usb/usb_testbed.h"

namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One link with its emulated chip: the parts of the tests that differ.
template <typename Link, typename Model>
struct Kind {
    using LinkType = Link;
    using ModelType = Model;
};
using FtdiKind = Kind<ComFTDI, Ft232rModel>;
using Cp2102Kind = Kind<ComCP2102, Cp2102Model>;

template <typename K>
class UsbLink : public ::testing::Test {
protected:
    using Model = typename K::ModelType;

    std::shared_ptr<Model> Attach(const TargetBehaviour& behaviour = {})
    {
        auto model = std::make_shared<Model>("Link Under Test", behaviour);
        bed.Add(model);
        return model;
    }

    bool Open(uint32_t baudRate) { return link.Open("Link Under Test", baudRate, 2000); }

    size_t Queued(const std::shared_ptr<Model>& model)
    {
        std::lock_guard<std::recursive_mutex> guard(bed.Lock());
        return model->TransmitQueued();
    }

    size_t Received(const std::shared_ptr<Model>& model)
    {
        std::lock_guard<std::recursive_mutex> guard(bed.Lock());
        return model->Target().Received().size();
    }

    UsbTestbed bed;
    typename K::LinkType link;
};

using Kinds = ::testing::Types<FtdiKind, Cp2102Kind>;
struct KindName {
    template <typename T>
    static std::string GetName(int)
    {
        return std::is_same<T, FtdiKind>::value ? "Ftdi" : "Cp2102";
    }
};
TYPED_TEST_SUITE(UsbLink, Kinds, KindName);

TYPED_TEST(UsbLink, QueuedInputIsTakenWhenTheDeadlineHasAlreadyPassed)
{
    auto model = this->Attach();
    ASSERT_TRUE(this->Open(115200));
    const uint8_t block[] = {0x00, 0x01, 0x5A};
    ASSERT_TRUE(this->link.Write(block, sizeof block));
    // The acceptance is in the chip before the read starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_TRUE(this->link.SetTimeout(1));
    PreemptedClock preempted;
    uint8_t reply = 0;
    uint32_t count = 0;
    EXPECT_TRUE(this->link.Read(&reply, 1, &count));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(reply, kTargetAccept);
}

TYPED_TEST(UsbLink, InputThatCameWhileTheProcessWasStoppedPastTheDeadlineIsTaken)
{
    // The target answers 60 ms after the block, long after the read's deadline
    // (10*1+10 ms on the FTDI link, the read time-out of 10 ms on the CP2102).
    TargetBehaviour late;
    late.script[{0, 1}].delayMs = 60;
    auto model = this->Attach(late);
    ASSERT_TRUE(this->Open(115200));
    const uint8_t block[] = {0x00, 0x01, 0x5A};
    ASSERT_TRUE(this->link.Write(block, sizeof block));
    ASSERT_TRUE(this->link.SetTimeout(10));
    const auto deadline = std::chrono::milliseconds(std::is_same<TypeParam, FtdiKind>::value ? 20 : 10);
    // The waiting looks find nothing; the process is stopped at the first look
    // at the clock past the deadline and the answer reaches the chip meanwhile.
    PreemptedClock stopped(deadline, [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
    uint8_t reply = 0;
    uint32_t count = 0;
    EXPECT_TRUE(this->link.Read(&reply, 1, &count));
    EXPECT_TRUE(PreemptedClock::Stopped());
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(reply, kTargetAccept);
}

TYPED_TEST(UsbLink, WriteReturnsOnceTheLineHasSentEverything)
{
    auto model = this->Attach();
    ASSERT_TRUE(this->Open(9600));
    // 600 bytes: 625 ms at 9600 baud, most of them still in the chip's
    // transmit buffer when the USB side of the write is done.
    std::vector<uint8_t> block(600, 0x3C);
    block[0] = 0x02;
    block[1] = 0x56;
    const auto start = Clock::now();
    ASSERT_TRUE(this->link.Write(block.data(), uint32_t(block.size())));
    const double elapsed = MillisecondsSince(start);
    EXPECT_EQ(this->Queued(model), 0u);
    EXPECT_EQ(this->Received(model), block.size());
    EXPECT_GE(elapsed, 600.0);
    EXPECT_LT(elapsed, 1500.0);
}

TYPED_TEST(UsbLink, EmptyReadEndsAtItsDeadline)
{
    this->Attach();
    ASSERT_TRUE(this->Open(115200));
    ASSERT_TRUE(this->link.SetTimeout(1));
    uint8_t byte = 0;
    uint32_t count = 7;
    auto start = Clock::now();
    EXPECT_TRUE(this->link.Read(&byte, 1, &count));
    EXPECT_EQ(count, 0u);
    // Its 1 or 2 ms, the last look (a transfer of 1 ms) and the emulated
    // bus's frames, with room for a loaded machine: far from any other wait.
    EXPECT_LT(MillisecondsSince(start), 40.0);

    ASSERT_TRUE(this->link.SetTimeout(60));
    start = Clock::now();
    EXPECT_TRUE(this->link.Read(&byte, 1, &count));
    const double elapsed = MillisecondsSince(start);
    EXPECT_EQ(count, 0u);
    // 120 ms on the FTDI link (t*1+t), 60 ms on the CP2102 link (its read time-out).
    const double expected = std::is_same<TypeParam, FtdiKind>::value ? 120.0 : 60.0;
    EXPECT_GE(elapsed, expected);
    EXPECT_LT(elapsed, expected + 30.0);
}

// A converter whose tty another program has open (a terminal, cat) is that
// program's: detaching the kernel's driver would hang it up. The link
// refuses it and leaves the driver bound; once the tty is closed it opens.
TYPED_TEST(UsbLink, ConverterWhoseTtyIsOpenElsewhereIsRefused)
{
    this->Attach();
    const int tty = open(this->bed.AddTty(0, "ttyUSB0").c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(tty, 0);
    // Another process holds it: the child inherits the descriptor and waits.
    const pid_t holder = fork();
    if (holder == 0) {
        pause();
        _exit(0);
    }
    close(tty);
    EXPECT_FALSE(this->Open(115200));
    EXPECT_FALSE(this->link.IsOpen());
    EXPECT_TRUE(this->bed.KernelDriverBound(0));
    EXPECT_EQ(this->bed.Counters(0).detaches, 0);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_TRUE(this->Open(115200));
}

TEST(FtdiLink, ReadEndsAtItsDeadlineWhenTheChipNaksWhileIdle)
{
    UsbTestbed bed;
    auto model = std::make_shared<Ft232rModel>("Quiet Converter", TargetBehaviour());
    model->nakWhenIdle = true;
    bed.Add(model);
    ComFTDI link;
    ASSERT_TRUE(link.Open("Quiet Converter", 115200, 2000));
    ASSERT_TRUE(link.SetTimeout(1));
    uint8_t byte = 0;
    uint32_t count = 7;
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        EXPECT_TRUE(link.Read(&byte, 1, &count));
        EXPECT_EQ(count, 0u);
        // The drain's read: 2 ms, plus the last look and emulated frames.
        EXPECT_LT(MillisecondsSince(start), 40.0);
    }
}

// The wait for the transmitter polls the modem status with control transfers;
// the read before it (the drain's) leaves libftdi's read time-out at a
// millisecond or two, which a converter on a busy bus can take longer than.
TEST(FtdiLink, TransmitterPollOutlastsSlowControlTransfers)
{
    UsbTestbed bed;
    auto model = std::make_shared<Ft232rModel>("Slow Converter", TargetBehaviour());
    bed.Add(model);
    ComFTDI link;
    ASSERT_TRUE(link.Open("Slow Converter", 115200, 2000));
    ASSERT_TRUE(link.SetTimeout(1));
    uint8_t byte = 0;
    uint32_t count = 7;
    EXPECT_TRUE(link.Read(&byte, 1, &count));
    EXPECT_EQ(count, 0u);
    bed.SetControlLatency(0, std::chrono::milliseconds(6));
    const uint8_t block[] = {0x00, 0x01, 0x5A};
    EXPECT_TRUE(link.Write(block, sizeof block));
    bed.SetControlLatency(0, std::chrono::microseconds(0));
    ASSERT_TRUE(link.SetTimeout(100));
    EXPECT_TRUE(link.Read(&byte, 1, &count));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(byte, kTargetAccept);
}

}  // namespace

// The links run in this process, so the process itself must be on the
// emulated bus: it starts itself again with umockdev's preload.
int main(int argc, char** argv)
{
    const char* preload = getenv("LD_PRELOAD");
    if (!preload || !strstr(preload, "libumockdev-preload")) {
        for (const std::string& entry : UsbTestbed::ChildEnvironment())
            putenv(strdup(entry.c_str()));
        execv("/proc/self/exe", argv);
        perror("cannot restart under umockdev");
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
