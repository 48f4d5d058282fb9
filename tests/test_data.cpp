// Images and expected texts that the tests share; standard C++ only, so that
// the Windows tests use them as well.
#include "process.h"

#include <cstdio>

std::string HexText(const std::vector<unsigned char>& bytes)
{
    std::string text;
    char value[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(value, sizeof value, "%02X", bytes[i]);
        text += value;
        text += (i % 16 == 15) ? '\n' : ' ';
    }
    return text;
}

std::vector<unsigned char> BlockImage(const std::vector<int>& payloadLengths, unsigned seed)
{
    std::vector<unsigned char> image;
    for (int length : payloadLengths) {
        image.push_back((unsigned char)(length >> 8));
        image.push_back((unsigned char)(length & 0xFF));
        for (int i = 0; i < length; ++i)
            image.push_back((unsigned char)(seed++));
    }
    return image;
}

std::string ProgressLine(char spinner, int percent)
{
    return "\r                        \rTransferring.. " + std::string(1, spinner) + " " + std::to_string(percent) +
           "% done.";
}

const char kUsageText[] =
    "usage: update -F<filename.ext> [-COMx] [-baudrate] [-Tx] [-Dusbdevicename]\n"
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
    "\n";
