// The run settings and the command line that fills them.
#pragma once

#include <cstdint>

constexpr int kTextFieldSize = 100;  // 99 characters and the terminator

enum TransportType : int32_t {
    kTransportComPort = 0,
    kTransportFtdi = 1,
    kTransportCp2102 = 2,
};

struct RunSettings {
    int32_t baudRate = 0;
    int32_t transportType = kTransportComPort;
    bool debug = false;
    char fileName[kTextFieldSize] = {};
    char comPortName[kTextFieldSize] = {};
    char usbDeviceName[kTextFieldSize] = {};
    // A value did not fit its field; the run refuses the command line.
    bool valueTooLong = false;
};

void ParseCommandLine(int argc, const char* const* argv, RunSettings* settings);
void PrintSettings(const RunSettings& settings);
void PrintUsage();
