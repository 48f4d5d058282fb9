// update.exe -T2 against the stand-in SiUSBXp.dll: CP2102 bridges with the
// simulated target behind them, and the record of every library call.
#include <algorithm>
#include <unistd.h>

#include "wine_harness.h"

namespace {

const char kDescription[] = "CP2102 USB to UART Bridge Controller";
const std::string kConnect = Crlf("Connection with CP2102-USB Device...\n");
const std::string kDone = Crlf("\rTransferring.. 100% done.  \nTarget updated successfully.\n");
const std::string kNotResponding = Crlf("\nFailed: Target is not responding.\n");

std::string InUse(const std::string& name = kDescription)
{
    return kConnect + Crlf("Error: " + name + " in use or does not exist.\n");
}

// The record without the polls of the receive queue, whose number depends on timing.
std::vector<std::string> WithoutPolls(const std::vector<std::string>& calls)
{
    std::vector<std::string> kept;
    for (const std::string& call : calls) {
        if (call.find("SI_CheckRXQueue(") != 0)
            kept.push_back(call);
    }
    return kept;
}

class WineCp2102 : public WineUpdate {
protected:
    WineCp2102() { Install({"full/SiUSBXp.dll"}); }

    WineResult Update(const std::string& image, const std::string& rate = "-115200",
                      const std::string& name = kDescription, const std::vector<std::string>& environment = {})
    {
        std::vector<std::string> entries = {std::string("STANDIN_DEVICES=") + kDescription};
        entries.insert(entries.end(), environment.begin(), environment.end());
        return Run({"-F" + image, "-T2", rate, "-D" + name}, entries);
    }
};

TEST_F(WineCp2102, FullUpdateThroughTheLibraryCalls)
{
    const std::vector<unsigned char> bytes = BlockImage({98, 298}, 3);
    const WineResult result = Update(Image(bytes));
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 25) + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(Received(), std::string(bytes.begin(), bytes.end()));

    const std::vector<std::string> calls = WithoutPolls(Calls());
    ASSERT_GE(calls.size(), 11u);
    // Found by its product string (option 1, the description), opened, then set
    // to the rate, 8N1 (line control 0x0800), no flow control with RTS and DTR
    // held inactive, and time-outs of 2000 ms for read and write.
    const std::vector<std::string> open(calls.begin(), calls.begin() + 7);
    const std::vector<std::string> expectedOpen = {
        "SI_GetNumDevices() = 0 count=1",
        std::string("SI_GetProductString(0, 1) = 0 \"") + kDescription + "\"",
        "SI_Open(0) = 0 handle=0x2001",
        "SI_SetBaudRate(0x2001, 115200) = 0",
        "SI_SetLineControl(0x2001, 0x0800) = 0",
        "SI_SetFlowControl(0x2001, cts=0, rts=0, dtr=0, dsr=0, dcd=0, xonxoff=0) = 0",
        "SI_SetTimeouts(2000, 2000) = 0",
    };
    EXPECT_EQ(open, expectedOpen);
    // The drain: 1 ms with nothing in the receive queue (no read) ends it;
    // the reply is read once it is queued.
    const std::vector<std::string> firstBlock(calls.begin() + 7, calls.begin() + 11);
    const std::vector<std::string> expectedBlock = {
        "SI_SetTimeouts(1, 1) = 0",
        "SI_SetTimeouts(4000, 4000) = 0",
        "SI_Write(0x2001, 100, null) = 0 written=100",
        "SI_Read(0x2001, 1, null) = 0 returned=1",
    };
    EXPECT_EQ(firstBlock, expectedBlock);
    EXPECT_EQ(calls.back(), "SI_Close(0x2001) = 0");
    for (const std::string& read : CallsOf("SI_Read"))
        EXPECT_EQ(read, "SI_Read(0x2001, 1, null) = 0 returned=1");
}

TEST_F(WineCp2102, RatesAreSetAsGivenOrRefused)
{
    for (int rate : {300, 2400, 14400, 38400, 56000, 128000, 256000}) {
        ClearRecords();
        const WineResult result = Update(Image({0, 1, 0x5A}), "-" + std::to_string(rate));
        EXPECT_EQ(result.status, 0) << rate;
        EXPECT_EQ(CallsOf("SI_SetBaudRate"),
                  std::vector<std::string>{"SI_SetBaudRate(0x2001, " + std::to_string(rate) + ") = 0"});
    }
    // The bridge would run at 300 for 110: refused, and the bridge closed.
    ClearRecords();
    const WineResult slow = Update(Image({0, 1, 0x5A}), "-110");
    EXPECT_EQ(slow.out, InUse());
    EXPECT_EQ(slow.status, kFailed);
    EXPECT_TRUE(CallsOf("SI_SetBaudRate").empty());
    EXPECT_EQ(Calls().back(), "SI_Close(0x2001) = 0");
}

TEST_F(WineCp2102, RejectionsResendTheBlockAndFourEndTheUpdate)
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
    EXPECT_EQ(CallsOf("SI_Close"), std::vector<std::string>{"SI_Close(0x2001) = 0"});
}

// The library's read time-out is the whole wait: 4000 ms with nothing in the
// receive queue, which is no reply; nothing is read.
TEST_F(WineCp2102, SilentTargetTimesOutAfterFourSeconds)
{
    const WineResult result =
        Update(Image(BlockImage({1, 1})), "-115200", kDescription, {"STANDIN_TARGET=silent-from=1"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 50) + kNotResponding);
    EXPECT_EQ(result.status, kFailed);
    EXPECT_GE(result.seconds, 4.0);
    EXPECT_LT(result.seconds, 7.0);
    EXPECT_EQ(CallsOf("SI_Read").size(), 1u);  // the first block's reply
    EXPECT_EQ(CallsOf("SI_CheckRXQueue").back(), "SI_CheckRXQueue(0x2001) = 0 queued=0");
}

// Ctrl-C while the program waits for a reply, and while a long block goes
// out at a low rate. The stand-in's calls cannot be cancelled: the link sees
// the interrupt between short calls, and the run ends in order with the
// bridge closed.
TEST_F(WineCp2102, CtrlCEndsTheWaitForAReplyInOrder)
{
    InterruptAfter(1.0);
    WineResult result = Update(Image(BlockImage({1, 1})), "-115200", kDescription, {"STANDIN_TARGET=silent-from=0"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + Crlf("\nFailed: Update interrupted.\n"));
    EXPECT_EQ(result.status, kFailed);
    EXPECT_LT(result.secondsAfterInterrupt, 1.0);
    EXPECT_TRUE(CallsOf("SI_Read").empty());
    EXPECT_EQ(Calls().back(), "SI_Close(0x2001) = 0");

    // 4098 bytes at 9600 baud are 4.3 s on the line.
    ClearRecords();
    InterruptAfter(1.0);
    result = Update(Image(BlockImage({4096})), "-9600");
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + Crlf("\nFailed: Update interrupted.\n"));
    EXPECT_EQ(result.status, kFailed);
    EXPECT_LT(result.secondsAfterInterrupt, 1.0);
    EXPECT_LT(Received().size(), 4098u);
    EXPECT_EQ(Calls().back(), "SI_Close(0x2001) = 0");
}

// The reply is read only once the receive queue holds it. A read that brings
// nothing (status 3, receive queue not ready, or 13, timed out) is looked at
// again; another failure of the read or of the queue ends the update at once.
TEST_F(WineCp2102, ReadStatusesThreeAndThirteenAreEmptyReads)
{
    const std::string image = Image(BlockImage({10}));
    for (const char* fail : {"SI_Read#1=3", "SI_Read#1=13"}) {
        ClearRecords();
        const WineResult result = Update(image, "-115200", kDescription, {std::string("STANDIN_FAIL=") + fail});
        EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + kDone) << fail;
        EXPECT_EQ(result.status, 0) << fail;
        EXPECT_EQ(CallsOf("SI_Read").back(), "SI_Read(0x2001, 1, null) = 0 returned=1");
    }
    for (const char* fail : {"SI_Read#1=2", "SI_CheckRXQueue=8"}) {
        ClearRecords();
        const WineResult result = Update(image, "-115200", kDescription, {std::string("STANDIN_FAIL=") + fail});
        EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + kNotResponding) << fail;
        EXPECT_EQ(result.status, kFailed);
        EXPECT_LT(result.seconds, 3.0);
    }
}

TEST_F(WineCp2102, StaleBytesAreDrained)
{
    const WineResult result =
        Update(Image(BlockImage({10, 10})), "-115200", kDescription, {"STANDIN_TARGET=preload=40 stale=5 reject=2"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 0) + ProgressLine('\\', 0) +
                              ProgressLine('\\', 50) + ProgressLine('|', 50) + ProgressLine('|', 50) + kDone);
}

// The first bridge is only asked for its description; the second is opened.
TEST_F(WineCp2102, SecondOfTwoBridgesMatches)
{
    const WineResult result =
        Update(Image({0, 0}), "-9600", kDescription, {std::string("STANDIN_DEVICES=CP2102 Other|") + kDescription});
    EXPECT_EQ(result.status, 0);
    const std::vector<std::string> calls = Calls();
    ASSERT_GE(calls.size(), 4u);
    const std::vector<std::string> search(calls.begin(), calls.begin() + 4);
    const std::vector<std::string> expected = {
        "SI_GetNumDevices() = 0 count=2",
        "SI_GetProductString(0, 1) = 0 \"CP2102 Other\"",
        std::string("SI_GetProductString(1, 1) = 0 \"") + kDescription + "\"",
        "SI_Open(1) = 0 handle=0x2002",
    };
    EXPECT_EQ(search, expected);
    EXPECT_EQ(CallsOf("SI_Open").size(), 1u);
}

TEST_F(WineCp2102, NoMatchOpensNothing)
{
    for (const std::string name : {"cp2102 usb to uart bridge controller", "CP2102", "Box"}) {
        ClearRecords();
        const WineResult result = Update(Image({0, 0}), "-9600", name);
        EXPECT_EQ(result.out, InUse(name));
        EXPECT_EQ(result.status, kFailed);
        const std::vector<std::string> expected = {
            "SI_GetNumDevices() = 0 count=1",
            std::string("SI_GetProductString(0, 1) = 0 \"") + kDescription + "\"",
        };
        EXPECT_EQ(Calls(), expected) << name;
        EXPECT_NE(result.err.find(std::string("attached: -D\"") + kDescription + "\""), std::string::npos)
            << result.err;
    }
    // No bridge attached at all.
    ClearRecords();
    const WineResult result = Update(Image({0, 0}), "-9600", kDescription, {"STANDIN_DEVICES="});
    EXPECT_EQ(result.out, InUse());
    EXPECT_EQ(Calls(), std::vector<std::string>{"SI_GetNumDevices() = 0 count=0"});
}

// A description that cannot be read ends the search; later bridges are not tried.
TEST_F(WineCp2102, FailedProductStringEndsTheSearch)
{
    const WineResult result = Update(Image({0, 0}), "-9600", kDescription,
                                     {std::string("STANDIN_DEVICES=Other|") + kDescription,
                                      "STANDIN_FAIL=SI_GetProductString#1"});
    EXPECT_EQ(result.out, InUse());
    EXPECT_EQ(result.status, kFailed);
    const std::vector<std::string> expected = {"SI_GetNumDevices() = 0 count=2",
                                               "SI_GetProductString(0, 1) = 8 \"Other\""};
    EXPECT_EQ(Calls(), expected);

    ClearRecords();
    EXPECT_EQ(Update(Image({0, 0}), "-9600", kDescription, {"STANDIN_FAIL=SI_GetNumDevices"}).out, InUse());
    EXPECT_EQ(Calls(), std::vector<std::string>{"SI_GetNumDevices() = 8 count=0"});
}

// A step that fails after the open closes the bridge through the library.
TEST_F(WineCp2102, FailedConfigurationClosesTheBridge)
{
    for (const char* step : {"SI_SetBaudRate", "SI_SetLineControl", "SI_SetFlowControl", "SI_SetTimeouts"}) {
        ClearRecords();
        const WineResult result = Update(Image({0, 0}), "-9600", kDescription, {std::string("STANDIN_FAIL=") + step});
        EXPECT_EQ(result.out, InUse()) << step;
        EXPECT_EQ(result.status, kFailed) << step;
        const std::vector<std::string> calls = Calls();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(calls[calls.size() - 2].find(step), 0u) << calls[calls.size() - 2];
        EXPECT_EQ(calls.back(), "SI_Close(0x2001) = 0") << step;
    }
}

// The library takes at most 4096 bytes a write (SI_MAX_WRITE_SIZE): a 4 KiB
// block with its two length bytes goes in pieces. At 9600 baud the 5002 bytes
// need 5.2 s on the line, more than the 4000 ms write time-out, which covers
// one piece.
TEST_F(WineCp2102, LongBlocksGoInPiecesTheLibraryTakes)
{
    for (const auto& block : {std::make_pair(4096, "-115200"), std::make_pair(5000, "-9600")}) {
        ClearRecords();
        const std::vector<unsigned char> bytes = BlockImage({block.first});
        const WineResult result = Update(Image(bytes), block.second);
        EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + kDone) << block.second;
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(Received(), std::string(bytes.begin(), bytes.end()));
        const std::vector<std::string> writes = CallsOf("SI_Write");
        EXPECT_GT(writes.size(), 1u);
        for (const std::string& write : writes)
            EXPECT_NE(write.find(" = 0 written="), std::string::npos) << write;
        // No time-out widened: a piece is one interrupt check of line time.
        EXPECT_EQ(CallsOf("SI_SetTimeouts(4000, ").size(), 1u);
    }
}

// A write completes with the block still in the bridge's 640-byte transmit
// buffer: 302 bytes at 600 baud take 5 s to go out, longer than the 4000 ms
// reply time-out. The write returns only once the line has had that time.
TEST_F(WineCp2102, BlockInTheTransmitBufferIsWaitedOut)
{
    const std::vector<unsigned char> bytes = BlockImage({300});
    const WineResult result = Update(Image(bytes), "-600");
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_GE(result.seconds, 5.0);
    EXPECT_EQ(CallsOf("SI_Read").back(), "SI_Read(0x2001, 1, null) = 0 returned=1");
}

TEST_F(WineCp2102, MissingLibraryOrFunctionIsInUse)
{
    Install({"no-flush/SiUSBXp.dll"});
    WineResult result = Update(Image({0, 1, 0x5A}));
    EXPECT_EQ(result.out, InUse());
    EXPECT_EQ(result.status, kFailed);
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(result.err, Crlf(std::string("update: cannot use the CP2102 bridge \"") + kDescription +
                              "\": SiUSBXp.dll has no SI_FlushBuffers\n"));

    unlink(scratch.Path("SiUSBXp.dll").c_str());
    result = Update(Image({0, 1, 0x5A}));
    EXPECT_EQ(result.out, InUse());
    EXPECT_EQ(result.status, kFailed);
    EXPECT_NE(result.err.find("SiUSBXp.dll: "), std::string::npos) << result.err;
}

}  // namespace
