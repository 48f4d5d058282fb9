// A serial port for the Windows unit tests, at the level of the Win32 calls:
// the program's import table sends ComPort's calls here, which records each
// with its arguments and records, fails the calls asked for, and plays the
// port's input and output.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>
#include <windows.h>

#include "com_port.h"
#include "import_patch.h"

extern const HANDLE kPort;

struct FakePort {
    std::vector<std::string> calls;
    std::vector<DCB> states;
    std::vector<COMMTIMEOUTS> timeouts;
    std::set<std::string> failing;  // functions that fail
    DWORD shortBy = 0;              // a write takes this many bytes less
    std::string input;              // what reads deliver
    std::string output;             // what writes took
    COMMTIMEOUTS current = {};
    // What GetCommState reports: the driver's record, as the last program
    // left it. Zero-filled (XonChar equal to XoffChar) unless a test sets it.
    DCB lineState = {};
    // When set, a read of the port waits in a synchronous read of this pipe,
    // as a read of a real port waits in the driver.
    HANDLE blockingRead = nullptr;

    bool Fails(const char* function) const { return failing.count(function) > 0; }
};

// Routes the serial functions of KERNEL32 to the fake port while it lives.
class FakePortTest : public ::testing::Test {
protected:
    FakePortTest();
    ~FakePortTest() override;

    // A link opened on the fake port, with its calls forgotten.
    void OpenLink(uint32_t baudRate = 115200);

    FakePort fake;
    std::vector<std::unique_ptr<ImportPatch>> patches;
    std::unique_ptr<ComPort> link{new ComPort};
};
