// Images and expected texts that the tests share; standard C++ only, so that
// the Windows tests use them as well.
#include "process.h"

#include <cctype>
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

namespace {

#define PROGRESS_0 "\r                        \rTransferring.. - 0% done."
#define PROGRESS_33 "\r                        \rTransferring.. - 33% done."
#define PROGRESS_B0 "\r                        \rTransferring.. \\ 0% done."
#define NOT_RESPONDING "\nFailed: Target is not responding.\n"
#define NO_DRAINS "the drains in the run discarded no bytes"

}  // namespace

const TransferFailureCase kTransferFailureCases[] = {
    {"SilentFromTheFirstBlock", "0 1 silent\n", PROGRESS_0 NOT_RESPONDING,
     "update: block 1 of 3 (offset 0, 5 bytes), send 1 of 4: no reply within T ms; " NO_DRAINS "\n"
     "update: likely cause: the target is not waiting for an update, or the port or the rate is wrong "
     "(this end: @END@)\n"},
    {"SilentAfterAnAcceptedBlock", "1 1 silent\n", PROGRESS_0 PROGRESS_33 NOT_RESPONDING,
     "update: block 2 of 3 (offset 5, 5 bytes), send 1 of 4: no reply within T ms; " NO_DRAINS "\n"
     "update: likely cause: the target stopped or reset after accepting 1 block, or a cable came loose\n"},
    {"SilentAfterARejection", "0 1 reply 15\n0 2 silent\n", PROGRESS_0 PROGRESS_0 NOT_RESPONDING,
     "update: block 1 of 3 (offset 0, 5 bytes), send 2 of 4: no reply within T ms; its earlier sends got 0x15; "
     NO_DRAINS "\n"
     "update: likely cause: the target stopped or reset after rejecting this block 1 time, or a cable came loose\n"},
    {"StrayBytesThenSilence", "0 1 reply 11 stale 10:3f\n1 1 silent\n", PROGRESS_0 PROGRESS_33 NOT_RESPONDING,
     "update: block 2 of 3 (offset 5, 5 bytes), send 1 of 4: no reply within T ms; the drains in the run discarded "
     "10 bytes, first 0x3f 0x3f 0x3f 0x3f 0x3f 0x3f 0x3f 0x3f ...\n"
     "update: likely cause: a rate or parity mismatch (this end: @END@; the target must use the same)\n"},
    {"HangUpMidBlock", "1 1 hangup 2\n", PROGRESS_0 PROGRESS_33 NOT_RESPONDING,
     "update: block 2 of 3 (offset 5, 5 bytes), send 1 of 4: the link's @IO@; " NO_DRAINS "\n"
     "update: likely cause: the port or converter went away (unplugged, a loose cable to a USB converter, or its "
     "driver stopped)\n",
     false, true},
    {"RejectedFourTimesAlike", "1 1 reply 15\n1 2 reply 15\n1 3 reply 15\n1 4 reply 15\n",
     PROGRESS_0 PROGRESS_33 "\r                        \rTransferring.. \\ 33% done."
                            "\r                        \rTransferring.. \\ 33% done."
                            "\r                        \rTransferring.. | 33% done.\nCRC error. File damaged.\n",
     "update: block 2 of 3 (offset 5, 5 bytes) rejected at all 4 sends: replies 0x15 0x15 0x15 0x15, the last "
     "after T ms; " NO_DRAINS "\n"
     "update: likely cause: the target's check fails on this block every time: the image is damaged or not made "
     "for this target\n"},
    {"RejectedWithGarbage", "0 1 reply 15\n0 2 reply 3f\n0 3 reply 00\n0 4 reply fe\n",
     PROGRESS_0 PROGRESS_0 PROGRESS_B0 PROGRESS_B0 "\nCRC error. File damaged.\n",
     "update: block 1 of 3 (offset 0, 5 bytes) rejected at all 4 sends: replies 0x15 0x3f 0x00 0xfe, the last "
     "after T ms; " NO_DRAINS "\n"
     "update: likely cause: a rate or parity mismatch (this end: @END@; the target must use the same)\n"},
    {"InterruptedWhileWaiting", "0 1 reply 15\n0 2 silent\n", PROGRESS_0 PROGRESS_0 "\nFailed: Update interrupted.\n",
     "update: interrupted at block 1 of 3 (offset 0, 5 bytes), send 2 of 4, while waiting for its reply (T ms); its "
     "earlier sends got 0x15; " NO_DRAINS "\n",
     true},
};
const size_t kTransferFailureCaseCount = sizeof kTransferFailureCases / sizeof kTransferFailureCases[0];

std::vector<std::string> ExpectedExplanations(const TransferFailureCase& failure, const std::string& end,
                                              const std::vector<std::string>& ioFailures)
{
    std::vector<std::string> texts;
    for (const std::string& io : ioFailures) {
        std::string text = failure.err;
        for (size_t at; (at = text.find("@END@")) != std::string::npos;)
            text.replace(at, 5, end);
        for (size_t at; (at = text.find("@IO@")) != std::string::npos;)
            text.replace(at, 4, io);
        texts.push_back(text);
    }
    return texts;
}

std::vector<unsigned char> TransferFailureImage()
{
    return BlockImage({3, 3, 3});
}

std::string WithoutWaits(const std::string& text)
{
    std::string result;
    size_t from = 0;
    for (size_t at; (at = text.find(" ms", from)) != std::string::npos; from = at + 3) {
        size_t start = at;
        while (start > from && std::isdigit(static_cast<unsigned char>(text[start - 1])))
            --start;
        result += text.substr(from, start - from);
        result += start < at ? "T" : "";
        result += " ms";
    }
    return result + text.substr(from);
}
