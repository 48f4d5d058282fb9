// ComPort on Windows, seen at the Win32 calls it makes: the names, the
// arguments and the records exactly as passed, and what it makes of each
// result. The calls go to a fake port through the program's import table.
#include <gtest/gtest.h>

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

// The record of the line settings: zero-filled, then 28, the rate, binary, 8E1.
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

TEST_F(ComPortCalls, OpenMakesTheFourCallsWithTheirArguments)
{
    ASSERT_TRUE(link->Open("COM3", 115200, 2000));
    EXPECT_TRUE(link->IsOpen());
    const std::vector<std::string> expected = {
        // Read and write access, share mode 0, no security attributes,
        // OPEN_EXISTING (3), FILE_ATTRIBUTE_NORMAL (0x80), no template.
        "CreateFileA(\\\\.\\COM3, 0xC0000000, 0, null, 3, 0x80, null)",
        "SetupComm(port, 1024, 1024)",
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

    for (const char* step : {"SetupComm", "SetCommState", "SetCommTimeouts"}) {
        fake.calls.clear();
        fake.failing = {step};
        EXPECT_FALSE(link->Open("COM3", 9600, 2000)) << step;
        EXPECT_FALSE(link->IsOpen()) << step;
        ASSERT_FALSE(fake.calls.empty());
        EXPECT_EQ(fake.calls.back(), "CloseHandle(port)") << step;
    }
    // Closed for good: a new open makes all four calls again.
    fake.calls.clear();
    fake.failing.clear();
    EXPECT_TRUE(link->Open("COM3", 9600, 2000));
    EXPECT_EQ(fake.calls.size(), 4u);
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
    for (DWORD t : {1u, 4000u, 2000u}) {
        EXPECT_TRUE(link->SetTimeout(t));
        ExpectTimeouts(fake.timeouts.back(), t);
        uint32_t read = 0;
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
