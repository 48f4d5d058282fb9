// ComPort on Windows, seen at the Win32 calls it makes: the names, the
// arguments and the records exactly as passed, and what it makes of each
// result. The calls go to a fake port through the program's import table.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>
#include <windows.h>

#include "com_port.h"
#include "fake_port.h"

namespace {

using ComPortCalls = FakePortTest;

// The record of the line settings: 28, the rate, binary, 8E1, XON 0x11 and
// XOFF 0x13 (SetCommState refuses equal characters), everything else zero.
DCB ExpectedRecord(DWORD baudRate)
{
    DCB record;
    memset(&record, 0, sizeof record);
    record.DCBlength = 28;
    record.BaudRate = baudRate;
    record.fBinary = 1;
    record.ByteSize = 8;
    record.Parity = 2;
    record.StopBits = 0;
    record.XonChar = 0x11;
    record.XoffChar = 0x13;
    return record;
}

void ExpectTimeouts(const COMMTIMEOUTS& record, DWORD t)
{
    EXPECT_EQ(record.ReadIntervalTimeout, t);
    EXPECT_EQ(record.ReadTotalTimeoutMultiplier, t);
    EXPECT_EQ(record.ReadTotalTimeoutConstant, t);
    EXPECT_EQ(record.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(record.WriteTotalTimeoutConstant, 0u);
}

TEST_F(ComPortCalls, OpenMakesTheFiveCallsWithTheirArguments)
{
    ASSERT_TRUE(link->Open("COM3", 115200, 2000));
    EXPECT_TRUE(link->IsOpen());
    const std::vector<std::string> expected = {
        // Read and write access, share mode 0, no security attributes,
        // OPEN_EXISTING (3), FILE_ATTRIBUTE_NORMAL (0x80), no template.
        "CreateFileA(\\\\.\\COM3, 0xC0000000, 0, null, 3, 0x80, null)",
        "SetupComm(port, 1024, 1024)",
        "GetCommState(port)",
        "SetCommState(port)",
        "SetCommTimeouts(port)",
    };
    EXPECT_EQ(fake.calls, expected);

    ASSERT_EQ(fake.states.size(), 1u);
    const DCB& record = fake.states[0];
    EXPECT_EQ(record.DCBlength, 28u);
    EXPECT_EQ(record.BaudRate, 115200u);
    EXPECT_EQ(record.fBinary, 1u);
    EXPECT_EQ(record.fParity, 0u);
    EXPECT_EQ(record.fOutxCtsFlow, 0u);
    EXPECT_EQ(record.fOutxDsrFlow, 0u);
    EXPECT_EQ(record.fDtrControl, 0u);
    EXPECT_EQ(record.fDsrSensitivity, 0u);
    EXPECT_EQ(record.fTXContinueOnXoff, 0u);
    EXPECT_EQ(record.fOutX, 0u);
    EXPECT_EQ(record.fInX, 0u);
    EXPECT_EQ(record.fErrorChar, 0u);
    EXPECT_EQ(record.fNull, 0u);
    EXPECT_EQ(record.fRtsControl, 0u);
    EXPECT_EQ(record.fAbortOnError, 0u);
    EXPECT_EQ(record.XonLim, 0u);
    EXPECT_EQ(record.XoffLim, 0u);
    EXPECT_EQ(record.ByteSize, 8u);
    EXPECT_EQ(record.Parity, 2u);  // even, not none
    EXPECT_EQ(record.StopBits, 0u);
    EXPECT_EQ(record.XonChar, 0x11);
    EXPECT_EQ(record.XoffChar, 0x13);
    // The rest, reserved fields and characters included, is zero.
    const DCB expectedRecord = ExpectedRecord(115200);
    EXPECT_EQ(memcmp(&record, &expectedRecord, sizeof record), 0);

    ASSERT_EQ(fake.timeouts.size(), 1u);
    ExpectTimeouts(fake.timeouts[0], 2000);
}

TEST_F(ComPortCalls, EveryRateGoesIntoTheRecordUnchanged)
{
    for (DWORD rate : {110u, 300u, 600u, 1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 38400u, 56000u, 57600u,
                       115200u, 128000u, 256000u}) {
        fake.states.clear();
        ASSERT_TRUE(link->Open("COM1", rate, 2000)) << rate;
        ASSERT_EQ(fake.states.size(), 1u);
        const DCB expected = ExpectedRecord(rate);
        EXPECT_EQ(memcmp(&fake.states[0], &expected, sizeof expected), 0) << rate;
        EXPECT_TRUE(link->Close());
    }
}

TEST_F(ComPortCalls, NamesGetTheDeviceNamespaceOnce)
{
    EXPECT_EQ(ComPort::DevicePath("COM1"), "\\\\.\\COM1");
    EXPECT_EQ(ComPort::DevicePath("COM12"), "\\\\.\\COM12");
    EXPECT_EQ(ComPort::DevicePath("COM256"), "\\\\.\\COM256");
    EXPECT_EQ(ComPort::DevicePath("\\\\.\\COM12"), "\\\\.\\COM12");
    EXPECT_EQ(ComPort::DevicePath("\\\\?\\usb#vid_0403"), "\\\\?\\usb#vid_0403");

    ASSERT_TRUE(link->Open("\\\\.\\COM12", 9600, 2000));
    EXPECT_EQ(fake.calls[0], "CreateFileA(\\\\.\\COM12, 0xC0000000, 0, null, 3, 0x80, null)");
}

TEST_F(ComPortCalls, AFailedStepClosesTheHandle)
{
    fake.failing = {"CreateFileA"};
    EXPECT_FALSE(link->Open("COM3", 9600, 2000));
    EXPECT_FALSE(link->IsOpen());
    EXPECT_EQ(fake.calls.size(), 1u);  // nothing to release

    for (const char* step : {"SetupComm", "GetCommState", "SetCommState", "SetCommTimeouts"}) {
        fake.calls.clear();
        fake.failing = {step};
        EXPECT_FALSE(link->Open("COM3", 9600, 2000)) << step;
        EXPECT_FALSE(link->IsOpen()) << step;
        ASSERT_FALSE(fake.calls.empty());
        EXPECT_EQ(fake.calls.back(), "CloseHandle(port)") << step;
    }
    // Closed for good: a new open makes all five calls again.
    fake.calls.clear();
    fake.failing.clear();
    EXPECT_TRUE(link->Open("COM3", 9600, 2000));
    EXPECT_EQ(fake.calls.size(), 5u);
}

// Microsoft: start from GetCommState. What another program left in the
// driver's record (flow control, fAbortOnError, fNull, characters, limits)
// does not survive; only the bits Windows reserves stay as the driver gave
// them. A driver that reports equal flow-control characters, which
// SetCommState refuses, gets XON and XOFF.
TEST_F(ComPortCalls, TheDriversRecordIsTheStartButEveryFieldIsSet)
{
    DCB left;
    memset(&left, 0xFF, sizeof left);
    left.DCBlength = 28;
    left.XonChar = 0x55;
    left.XoffChar = 0x55;
    fake.lineState = left;
    ASSERT_TRUE(link->Open("COM3", 19200, 2000));
    ASSERT_EQ(fake.states.size(), 1u);
    DCB expected = ExpectedRecord(19200);
    expected.fDummy2 = left.fDummy2;
    expected.wReserved1 = left.wReserved1;
    EXPECT_EQ(memcmp(&fake.states[0], &expected, sizeof expected), 0);
    EXPECT_EQ(fake.states[0].fAbortOnError, 0u);
    EXPECT_EQ(fake.states[0].fNull, 0u);
    EXPECT_EQ(fake.states[0].XonChar, 0x11);
}

TEST_F(ComPortCalls, SecondOpenLeavesTheFirstAlone)
{
    OpenLink();
    EXPECT_FALSE(link->Open("COM4", 9600, 2000));
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_TRUE(link->IsOpen());
}

TEST_F(ComPortCalls, TimeoutsAreTheOneRecord)
{
    OpenLink();
    for (DWORD t : {1u, 4000u, 2000u, 0u}) {
        EXPECT_TRUE(link->SetTimeout(t));
        if (t != 0) {
            ExpectTimeouts(fake.timeouts.back(), t);
        } else {
            // SetCommTimeouts/COMMTIMEOUTS: MAXDWORD with multiplier and
            // constant 0 returns at once with what has been received; all
            // zeros would wait for ever.
            EXPECT_EQ(fake.timeouts.back().ReadIntervalTimeout, MAXDWORD);
            EXPECT_EQ(fake.timeouts.back().ReadTotalTimeoutMultiplier, 0u);
            EXPECT_EQ(fake.timeouts.back().ReadTotalTimeoutConstant, 0u);
            EXPECT_EQ(fake.timeouts.back().WriteTotalTimeoutConstant, 0u);
        }
        uint32_t read = 77;
        EXPECT_TRUE(link->GetTimeout(&read));
        EXPECT_EQ(read, t);
    }
    fake.failing = {"SetCommTimeouts", "GetCommTimeouts"};
    EXPECT_FALSE(link->SetTimeout(5));
    uint32_t read = 77;
    EXPECT_FALSE(link->GetTimeout(&read));
    EXPECT_EQ(read, 0u);  // the zero-filled record
}

TEST_F(ComPortCalls, ClosedLinkCallsOnlyWhatTakesTheHandleUntested)
{
    uint8_t byte = 0;
    uint32_t count = 5;
    EXPECT_FALSE(link->Read(&byte, 1, &count));
    EXPECT_EQ(count, 5u);
    EXPECT_FALSE(link->Write(&byte, 1));
    EXPECT_FALSE(link->Purge());
    EXPECT_TRUE(link->Close());
    EXPECT_TRUE(fake.calls.empty());

    // These hand the invalid handle to Windows and report its failure.
    EXPECT_FALSE(link->SetTimeout(100));
    EXPECT_FALSE(link->Escape(SETDTR));
    uint32_t timeout = 77;
    EXPECT_FALSE(link->GetTimeout(&timeout));
    EXPECT_EQ(timeout, 0u);
    const std::vector<std::string> expected = {"SetCommTimeouts(invalid)", "EscapeCommFunction(invalid, 5)",
                                               "GetCommTimeouts(invalid)"};
    EXPECT_EQ(fake.calls, expected);
}

TEST_F(ComPortCalls, ReadsStoreTheCountOnlyOnSuccess)
{
    OpenLink();
    fake.input = "\x11";
    uint8_t byte = 0;
    uint32_t count = 7;
    EXPECT_TRUE(link->Read(&byte, 1, &count));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(byte, 0x11);
    EXPECT_TRUE(link->Read(&byte, 1, &count));  // time-out: a read of nothing
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(link->Read(&byte, 1, nullptr));
    fake.failing = {"ReadFile"};
    count = 7;
    EXPECT_FALSE(link->Read(&byte, 1, &count));
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(fake.calls[0], "ReadFile(port, 1, count, null)");
}

// A write returns once the bytes have left: WriteFile, then FlushFileBuffers.
TEST_F(ComPortCalls, WritesAreFlushedAndMustBeWhole)
{
    OpenLink();
    const std::string block("\x00\x03" "abc", 5);
    EXPECT_TRUE(link->Write(block.data(), uint32_t(block.size())));
    const std::vector<std::string> expected = {"WriteFile(port, 5, count, null)", "FlushFileBuffers(port)"};
    EXPECT_EQ(fake.calls, expected);
    EXPECT_EQ(fake.output, block);

    // A driver that cannot flush has still sent the block.
    fake.failing = {"FlushFileBuffers"};
    EXPECT_TRUE(link->Write(block.data(), uint32_t(block.size())));

    fake.failing.clear();
    fake.shortBy = 1;
    EXPECT_FALSE(link->Write(block.data(), uint32_t(block.size())));
    fake.shortBy = 0;
    fake.failing = {"WriteFile"};
    EXPECT_FALSE(link->Write(block.data(), uint32_t(block.size())));
}

// A driver that completes the write and the flush while the chip still holds
// the block (a USB virtual COM port): the write returns no earlier than the
// block's line time, 11 bits a byte, and looks at the interrupt meanwhile.
TEST_F(ComPortCalls, WriteReturnsAfterTheBlocksLineTime)
{
    OpenLink(9600);
    const std::string block(200, 'x');  // 229 ms at 9600 baud, 8E1
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(link->Write(block.data(), uint32_t(block.size())));
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(took, 0.229);
    EXPECT_LT(took, 1.0);
}

TEST_F(ComPortCalls, PurgeClearsBothQueuesAndEscapePassesTheCode)
{
    OpenLink();
    EXPECT_TRUE(link->Purge());
    EXPECT_TRUE(link->Escape(CLRRTS));
    const std::vector<std::string> expected = {"PurgeComm(port, 12)", "EscapeCommFunction(port, 4)"};
    EXPECT_EQ(fake.calls, expected);
    fake.failing = {"PurgeComm", "EscapeCommFunction"};
    EXPECT_FALSE(link->Purge());
    EXPECT_FALSE(link->Escape(CLRRTS));
}

TEST_F(ComPortCalls, CloseReleasesOnceAndAlwaysSucceeds)
{
    OpenLink();
    EXPECT_TRUE(link->Close());
    EXPECT_TRUE(link->Close());
    EXPECT_FALSE(link->IsOpen());
    const std::vector<std::string> expected = {"CloseHandle(port)"};
    EXPECT_EQ(fake.calls, expected);

    // The destructor releases what is still open.
    OpenLink();
    link.reset();
    EXPECT_EQ(fake.calls, expected);
}

}  // namespace
