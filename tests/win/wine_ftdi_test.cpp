// update.exe -T1 against the stand-in FTD2XX.dll: FT232R converters (or the
// chip type STANDIN_CHIP names) with the simulated target behind them, and the
// record of every library call.
#include <unistd.h>

#include <algorithm>

#include "wine_harness.h"

namespace {

const char kDescription[] = "FT232R USB UART";
const std::string kConnect = Crlf("Connection with FTDI-USB Device...\n");
const std::string kDone = Crlf("\rTransferring.. 100% done.  \nTarget updated successfully.\n");
const std::string kNotResponding = Crlf("\nFailed: Target is not responding.\n");
const char kHandle[] = "0x1001";  // the stand-in's handle of its first converter

std::string InUse(const std::string& name = kDescription)
{
    return kConnect + Crlf("Error: " + name + " in use or does not exist.\n");
}

// The line settings record: zero-filled, then 28, the rate, binary, 8N1, XON
// 0x11 and XOFF 0x13 (the Win32 record never has equal characters).
std::string SetCommState(int rate)
{
    return std::string("FT_W32_SetCommState(") + kHandle + ", DCBlength=28 BaudRate=" + std::to_string(rate) +
           " fBinary=1 fParity=0 fOutxCtsFlow=0 fOutxDsrFlow=0 fDtrControl=0 fDsrSensitivity=0 "
           "fTXContinueOnXoff=0 fOutX=0 fInX=0 fErrorChar=0 fNull=0 fRtsControl=0 fAbortOnError=0 fDummy2=0 "
           "wReserved=0 XonLim=0 XoffLim=0 ByteSize=8 Parity=0 StopBits=0 XonChar=17 XoffChar=19 ErrorChar=0 "
           "EofChar=0 EvtChar=0 wReserved1=0) = ";
}

// The time-out record for t: interval, multiplier and constant t; no write time-out.
std::string SetCommTimeouts(int t)
{
    const std::string value = std::to_string(t);
    return std::string("FT_W32_SetCommTimeouts(") + kHandle + ", ReadIntervalTimeout=" + value +
           " ReadTotalTimeoutMultiplier=" + value + " ReadTotalTimeoutConstant=" + value +
           " WriteTotalTimeoutMultiplier=0 WriteTotalTimeoutConstant=0) = 1";
}

// Read and write access, share mode 0, no security attributes, OPEN_EXISTING,
// FILE_ATTRIBUTE_NORMAL with the open-by-description flag (0x82), no template.
std::string CreateFile(const std::string& name, const std::string& result)
{
    return "FT_W32_CreateFile(\"" + name + "\", 0xC0000000, 0x0, null, 3, 0x82, null) = " + result;
}

// The record without the polls of the queues, whose number depends on timing.
std::vector<std::string> WithoutPolls(const std::vector<std::string>& calls)
{
    std::vector<std::string> kept;
    for (const std::string& call : calls) {
        if (call.find("FT_GetQueueStatus(") != 0 && call.find("FT_GetStatus(") != 0)
            kept.push_back(call);
    }
    return kept;
}

class WineFtdi : public WineUpdate {
protected:
    WineFtdi() { Install({"full/FTD2XX.dll"}); }

    WineResult Update(const std::string& image, const std::string& rate = "-115200",
                      const std::string& name = kDescription, const std::vector<std::string>& environment = {})
    {
        std::vector<std::string> entries = {std::string("STANDIN_DEVICES=") + kDescription};
        entries.insert(entries.end(), environment.begin(), environment.end());
        return Run({"-F" + image, "-T1", rate, "-D" + name}, entries);
    }
};

TEST_F(WineFtdi, FullUpdateThroughTheLibraryCalls)
{
    const std::vector<unsigned char> bytes = BlockImage({98, 298}, 3);
    const WineResult result = Update(Image(bytes));
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 25) + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(Received(), std::string(bytes.begin(), bytes.end()));

    // Open: create-file, the chip type, the 2 ms latency timer, setup,
    // set-state, time-outs.
    const std::vector<std::string> calls = WithoutPolls(Calls());
    ASSERT_GE(calls.size(), 11u);
    const std::vector<std::string> open(calls.begin(), calls.begin() + 6);
    const std::vector<std::string> expectedOpen = {
        CreateFile(kDescription, kHandle),
        std::string("FT_GetDeviceInfo(") + kHandle + ") = 0 type=5",
        std::string("FT_SetLatencyTimer(") + kHandle + ", 2) = 0",
        std::string("FT_W32_SetupComm(") + kHandle + ", 1024, 1024) = 1",
        SetCommState(115200) + "1",
        SetCommTimeouts(2000),
    };
    EXPECT_EQ(open, expectedOpen);

    // Each block: drain under 1 ms (nothing is queued: no read), then 4000 ms
    // for the block and its reply, read once it is queued.
    const std::vector<std::string> firstBlock(calls.begin() + 6, calls.begin() + 10);
    const std::vector<std::string> expectedBlock = {
        SetCommTimeouts(1),
        SetCommTimeouts(4000),
        std::string("FT_W32_WriteFile(") + kHandle + ", 100, null) = 1 written=100",
        std::string("FT_W32_ReadFile(") + kHandle + ", 1, null) = 1 read=1",
    };
    EXPECT_EQ(firstBlock, expectedBlock);
    EXPECT_EQ(calls.back(), std::string("FT_W32_CloseHandle(") + kHandle + ") = 1");
    // Pieces of 20 ms of line time, 230 bytes at 115200 baud: 100, then 230 and 70.
    EXPECT_EQ(CallsOf("FT_W32_WriteFile").size(), 3u);
    // Every read takes only what the queue holds.
    for (const std::string& read : CallsOf("FT_W32_ReadFile"))
        EXPECT_EQ(read, std::string("FT_W32_ReadFile(") + kHandle + ", 1, null) = 1 read=1");
    EXPECT_EQ(CallsOf("FT_W32_CloseHandle").size(), 1u);
}

TEST_F(WineFtdi, RatesGoIntoTheRecordAndSlowOnesAreRefused)
{
    for (int rate : {300, 1200, 9600, 14400, 56000, 57600, 128000, 256000}) {
        ClearRecords();
        const WineResult result = Update(Image({0, 1, 0x5A}), "-" + std::to_string(rate));
        EXPECT_EQ(result.status, 0) << rate;
        EXPECT_EQ(CallsOf("FT_W32_SetCommState"), std::vector<std::string>{SetCommState(rate) + "1"});
    }
    // A failed set-state releases the converter, and the next run opens it again.
    ClearRecords();
    const WineResult failed = Update(Image({0, 1, 0x5A}), "-9600", kDescription, {"STANDIN_FAIL=FT_W32_SetCommState"});
    EXPECT_EQ(failed.out, InUse());
    EXPECT_EQ(failed.status, kFailed);
    const std::vector<std::string> calls = Calls();
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[4], SetCommState(9600) + "0");
    EXPECT_EQ(calls[5], std::string("FT_W32_CloseHandle(") + kHandle + ") = 1");
}

// D2XX takes any rate and computes the divisor itself: the link refuses a
// rate the chip type would make more than 2 % off (3 MHz, or 12 MHz on the
// Hi-Speed chips, divided by n + k/8 up to 16383.875), before the library
// sees it. Of the program's rates only 110 baud is out of reach.
TEST_F(WineFtdi, RatesTheChipCannotMakeAreRefused)
{
    const struct {
        const char* chip;
        int rate;
        int made;  // 0: accepted
    } cases[] = {
        {"232R", 110, 183}, {"2232H", 110, 183}, {"X", 110, 183},      {"AM", 110, 183},
        {"232R", 300, 0},   {"2232H", 300, 0},   {"232R", 256000, 0},  {"2232H", 256000, 0},
        {"AM", 56000, 0},   {"X", 128000, 0},
    };
    for (const auto& c : cases) {
        ClearRecords();
        const std::string rate = std::to_string(c.rate);
        const WineResult result =
            Update(Image({0, 1, 0x5A}), "-" + rate, kDescription, {std::string("STANDIN_CHIP=") + c.chip});
        if (c.made == 0) {
            EXPECT_EQ(result.status, 0) << c.chip << " " << rate;
            EXPECT_EQ(CallsOf("FT_W32_SetCommState"), std::vector<std::string>{SetCommState(c.rate) + "1"});
            continue;
        }
        EXPECT_EQ(result.out, InUse()) << c.chip << " " << rate;
        EXPECT_EQ(result.status, kFailed);
        EXPECT_EQ(result.err, Crlf(std::string("update: the FTDI converter \"") + kDescription + "\" cannot make " +
                                   rate + " baud: it would run at " + std::to_string(c.made) + " baud\n"));
        EXPECT_TRUE(CallsOf("FT_W32_SetCommState").empty()) << c.chip << " " << rate;
        EXPECT_EQ(Calls().back(), std::string("FT_W32_CloseHandle(") + kHandle + ") = 1");
    }
}

TEST_F(WineFtdi, RejectionsResendTheBlockAndFourEndTheUpdate)
{
    const std::string image = Image(BlockImage({98, 298}));
    WineResult result = Update(image, "-38400", kDescription, {"STANDIN_TARGET=reject=3@1"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 25) + ProgressLine('\\', 25) +
                              ProgressLine('\\', 25) + ProgressLine('|', 25) + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(Received().size(), 100u + 4 * 300u);

    ClearRecords();
    result = Update(image, "-38400", kDescription, {"STANDIN_TARGET=reject=4@1"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 25) + ProgressLine('\\', 25) +
                              ProgressLine('\\', 25) + ProgressLine('|', 25) + Crlf("\nCRC error. File damaged.\n"));
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(Received().size(), 100u + 4 * 300u);
    EXPECT_EQ(CallsOf("FT_W32_CloseHandle").size(), 1u);
}

TEST_F(WineFtdi, StaleBytesAreDrained)
{
    const WineResult result =
        Update(Image(BlockImage({10, 10})), "-115200", kDescription, {"STANDIN_TARGET=preload=40 stale=5 reject=2"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 0) + ProgressLine('\\', 0) +
                              ProgressLine('\\', 50) + ProgressLine('|', 50) + ProgressLine('|', 50) + kDone);
}

// The stand-in keeps the time-out record: a one-byte read under 4000 ms gives
// up after 4000 * 1 + 4000.
TEST_F(WineFtdi, SilentTargetTimesOutAfterEightSeconds)
{
    const WineResult result =
        Update(Image(BlockImage({1, 1})), "-115200", kDescription, {"STANDIN_TARGET=silent-from=1"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 50) + kNotResponding);
    EXPECT_EQ(result.status, kFailed);
    EXPECT_GE(result.seconds, 8.0);
    EXPECT_LT(result.seconds, 11.0);
}

// Ctrl-C while the program waits for a reply, and while a long block goes
// out at a low rate. The stand-in's calls cannot be cancelled: the link sees
// the interrupt between short calls, and the run ends in order with the
// converter closed.
TEST_F(WineFtdi, CtrlCEndsTheWaitForAReplyInOrder)
{
    InterruptAfter(1.0);
    WineResult result = Update(Image(BlockImage({1, 1})), "-115200", kDescription, {"STANDIN_TARGET=silent-from=0"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + Crlf("\nFailed: Update interrupted.\n"));
    EXPECT_EQ(result.status, kFailed);
    EXPECT_LT(result.secondsAfterInterrupt, 1.0);
    EXPECT_TRUE(CallsOf("FT_W32_ReadFile").empty());
    EXPECT_EQ(Calls().back(), std::string("FT_W32_CloseHandle(") + kHandle + ") = 1");

    // 4098 bytes at 9600 baud are 4.3 s on the line.
    ClearRecords();
    InterruptAfter(1.0);
    result = Update(Image(BlockImage({4096})), "-9600");
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + Crlf("\nFailed: Update interrupted.\n"));
    EXPECT_EQ(result.status, kFailed);
    EXPECT_LT(result.secondsAfterInterrupt, 1.0);
    EXPECT_LT(Received().size(), 4098u);
    EXPECT_EQ(Calls().back(), std::string("FT_W32_CloseHandle(") + kHandle + ") = 1");
}

// The write returns only once the block has left the converter: the driver's
// transmit queue (the 1024 bytes given to FT_W32_SetupComm) and then the
// chip's buffer. 1202 bytes at 1200 baud are 10 s on the line, past the 8 s
// reply time-out: an FT232R holds 128 of them when the driver's queue is
// empty (the wait for the queue), an FT2232H all of them (the wait for the
// chip's 4 KiB).
TEST_F(WineFtdi, BlockStillInTheConverterIsWaitedFor)
{
    const std::vector<unsigned char> bytes = BlockImage({1200});
    for (const auto& chip : {std::make_pair("232R", "-1200"), std::make_pair("2232H", "-1200")}) {
        ClearRecords();
        const WineResult result =
            Update(Image(bytes), chip.second, kDescription, {std::string("STANDIN_CHIP=") + chip.first});
        EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + kDone) << chip.first;
        EXPECT_EQ(result.status, 0) << chip.first;
        EXPECT_EQ(Received(), std::string(bytes.begin(), bytes.end()));
        EXPECT_GE(result.seconds, 10.0);
        EXPECT_LT(result.seconds, 13.0);
        // No piece longer than one interrupt check of line time: 2 bytes at 1200 baud.
        for (const std::string& write : CallsOf("FT_W32_WriteFile"))
            EXPECT_EQ(write, std::string("FT_W32_WriteFile(") + kHandle + ", 2, null) = 1 written=2") << chip.first;
        const std::vector<std::string> status = CallsOf("FT_GetStatus");
        ASSERT_FALSE(status.empty());
        EXPECT_EQ(status.back(), std::string("FT_GetStatus(") + kHandle + ") = 0 rx=0 tx=0");
    }
}

TEST_F(WineFtdi, UnpluggedConverterFailsPromptly)
{
    const WineResult result =
        Update(Image(BlockImage({1, 1})), "-115200", kDescription, {"STANDIN_TARGET=vanish-after=1"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 50) + kNotResponding);
    EXPECT_EQ(result.status, kFailed);
    EXPECT_LT(result.seconds, 4.0);
}

// The description is matched whole and with its letter case.
TEST_F(WineFtdi, OnlyTheExactDescriptionOpens)
{
    for (const std::string name : {"FT232R USB UART2", "ft232r usb uart", "FT232R"}) {
        ClearRecords();
        const WineResult result = Update(Image({0, 0}), "-9600", name);
        EXPECT_EQ(result.out, InUse(name));
        EXPECT_EQ(result.status, kFailed);
        EXPECT_EQ(Calls(), std::vector<std::string>{CreateFile(name, "INVALID")});
    }
    // The second of two converters.
    ClearRecords();
    const WineResult result = Update(Image({0, 0}), "-9600", "Other", {"STANDIN_DEVICES=Box|Other"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(Calls().front(), CreateFile("Other", "0x1002"));
}

// A step that fails after the open releases the converter through the library.
TEST_F(WineFtdi, FailedConfigurationReleasesTheConverter)
{
    for (const char* step : {"FT_W32_SetupComm", "FT_W32_SetCommState", "FT_W32_SetCommTimeouts"}) {
        ClearRecords();
        const WineResult result = Update(Image({0, 0}), "-9600", kDescription, {std::string("STANDIN_FAIL=") + step});
        EXPECT_EQ(result.out, InUse()) << step;
        EXPECT_EQ(result.status, kFailed) << step;
        const std::vector<std::string> calls = Calls();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(calls[calls.size() - 2].find(step), 0u) << calls[calls.size() - 2];
        EXPECT_EQ(calls.back(), std::string("FT_W32_CloseHandle(") + kHandle + ") = 1") << step;
        EXPECT_EQ(CallsOf("FT_W32_CloseHandle").size(), 1u) << step;
    }
}

// The latency timer only costs speed: without it the update still runs.
TEST_F(WineFtdi, LatencyTimerIsBestEffort)
{
    const std::string image = Image(BlockImage({20}));
    WineResult result = Update(image, "-57600", kDescription, {"STANDIN_FAIL=FT_SetLatencyTimer"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + kDone);
    EXPECT_EQ(result.status, 0);

    Install({"no-latency-timer/FTD2XX.dll"});
    ClearRecords();
    result = Update(image, "-57600");
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(CallsOf("FT_SetLatencyTimer").empty());
}

// No DLL, or one without a function the link uses: the open fails, and the
// program neither crashes nor asks anything.
TEST_F(WineFtdi, MissingLibraryOrFunctionIsInUse)
{
    Install({"no-purge/FTD2XX.dll"});
    WineResult result = Update(Image({0, 1, 0x5A}));
    EXPECT_EQ(result.out, InUse());
    EXPECT_EQ(result.status, kFailed);
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(result.err, Crlf(std::string("update: cannot use the FTDI converter \"") + kDescription +
                              "\": FTD2XX.dll has no FT_W32_PurgeComm\n"));

    unlink(scratch.Path("FTD2XX.dll").c_str());
    result = Update(Image({0, 1, 0x5A}));
    EXPECT_EQ(result.out, InUse());
    EXPECT_EQ(result.status, kFailed);
    EXPECT_NE(result.err.find("FTD2XX.dll: "), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("(FTDI's D2XX driver installs it)"), std::string::npos) << result.err;
}

}  // namespace
