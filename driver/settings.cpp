#include "settings.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

struct BaudOption {
    const char* argument;
    int32_t rate;
};

const BaudOption kBaudOptions[] = {
    {"-256000", 256000}, {"-128000", 128000}, {"-115200", 115200}, {"-57600", 57600},
    {"-56000", 56000},   {"-38400", 38400},   {"-19200", 19200},   {"-14400", 14400},
    {"-9600", 9600},     {"-4800", 4800},     {"-2400", 2400},     {"-1200", 1200},
    {"-600", 600},       {"-300", 300},       {"-110", 110},
};

// Copies a value into its field; one that does not fit is refused, never cut.
void SetField(char* field, const char* value, RunSettings* settings)
{
    const size_t length = std::strlen(value);
    std::memset(field, 0, kTextFieldSize);
    if (length >= size_t(kTextFieldSize)) {
        settings->valueTooLong = true;
        return;
    }
    std::memcpy(field, value, length);
}

// Reads a decimal number the way atoi does, but clamps instead of overflowing.
int32_t DecimalValue(const char* text)
{
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    int64_t value = 0;
    while (std::isdigit(static_cast<unsigned char>(*text))) {
        value = value * 10 + (*text++ - '0');
        if (value > int64_t(INT32_MAX) + 1)
            value = int64_t(INT32_MAX) + 1;
    }
    if (negative)
        return int32_t(-value);
    return value > INT32_MAX ? INT32_MAX : int32_t(value);
}

void ParseBaudRate(const char* argument, RunSettings* settings)
{
    for (const BaudOption& option : kBaudOptions) {
        if (std::strcmp(argument, option.argument) == 0) {
            settings->baudRate = option.rate;
            return;
        }
    }
}

void ParseArgument(const char* argument, RunSettings* settings)
{
    // Values sit at a fixed offset from the start of the argument, wherever the marker is.
    if (std::strstr(argument, "-F"))
        SetField(settings->fileName, argument + 2, settings);

    if (std::strstr(argument, "-D")) {
        SetField(settings->usbDeviceName, argument + 2, settings);
    } else if (std::strstr(argument, "-COM")) {
        SetField(settings->comPortName, argument + 1, settings);
    } else if (std::strstr(argument, "-T")) {
        settings->transportType = DecimalValue(argument + 2);
    } else {
        if (std::strstr(argument, "-debug"))
            settings->debug = true;
        ParseBaudRate(argument, settings);
    }
}

const char* TransportLabel(int32_t type)
{
    if (type == kTransportComPort)
        return "Com-Port";
    if (type == kTransportFtdi)
        return "FTDI-Device";
    return "CP2102-Device";
}

}  // namespace

void ParseCommandLine(int argc, const char* const* argv, RunSettings* settings)
{
    for (int i = 1; i < argc; ++i)
        ParseArgument(argv[i], settings);
}

void PrintSettings(const RunSettings& settings)
{
    printf("Baudrate          : %d\n", settings.baudRate);
    printf("USB-Devicename    : %s\n", settings.usbDeviceName);
    printf("Com-Port          : %s\n", settings.comPortName);
    printf("Quelldatei        : %s\n", settings.fileName);
    printf("Type              : %d %s\n\n", settings.transportType, TransportLabel(settings.transportType));
}

void PrintUsage()
{
    printf("usage: update -F<filename.ext> [-COMx] [-baudrate] [-Tx] [-Dusbdevicename]\n"
           "\n"
           "  filename.ext    File containing flash upgrade buffer.\n"
           "  -COMx           Communications port number.\n"
           "  -baudrate       Communication baudrate, e.g. 9600, 115200.\n"
           "                  Supported baudrates:\n"
           "                    110, 300, 600, 1200, 2400,\n"
           "                    4800, 9600, 14400, 19200, 38400,\n"
           "                    56000, 57600, 115200, 128000, 256000\n"
           "\n"
           " -Tx              Communication over:\n"
           "                  0 : ComPort (default)\n"
           "                  1 : FTDI-USB (Direct-USB)\n"
           "                  2 : CP2102-USB (Direct-USB)\n"
           "\n"
           " -Dusbdevicename  USB-String\n"
           "                  If usbdevicename includes spaces, you have to use quotes\n"
           "                  e.g. -D\"ZOR QX 4070 HT\"\n"
           "\n");
}
