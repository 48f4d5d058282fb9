#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings.h"

namespace {

RunSettings Parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "update");
    std::vector<const char*> argv;
    for (const std::string& word : words)
        argv.push_back(word.c_str());
    RunSettings settings;
    ParseCommandLine(int(argv.size()), argv.data(), &settings);
    return settings;
}

TEST(CommandLine, MarkersGiveTheirValues)
{
    const RunSettings settings = Parse({"-Fimage.hex", "-COM12", "-T2", "-DZOR QX 4070 HT", "-115200"});
    EXPECT_STREQ(settings.fileName, "image.hex");
    EXPECT_STREQ(settings.comPortName, "COM12");
    EXPECT_EQ(settings.transportType, 2);
    EXPECT_STREQ(settings.usbDeviceName, "ZOR QX 4070 HT");
    EXPECT_EQ(settings.baudRate, 115200);
    EXPECT_FALSE(settings.debug);
    EXPECT_FALSE(settings.valueTooLong);
}

TEST(CommandLine, TransportTypeReadLikeAtoi)
{
    EXPECT_EQ(Parse({"-T"}).transportType, 0);
    EXPECT_EQ(Parse({"-Tx"}).transportType, 0);
    EXPECT_EQ(Parse({"-T 7z"}).transportType, 7);
    EXPECT_EQ(Parse({"-T-1"}).transportType, -1);
    EXPECT_EQ(Parse({"-T+1"}).transportType, 1);
    EXPECT_EQ(Parse({"-T99999999999"}).transportType, 2147483647);
}

TEST(CommandLine, OnlyWholeTableEntriesSetTheRate)
{
    const char* rates[] = {"256000", "128000", "115200", "57600", "56000", "38400", "19200", "14400",
                           "9600",   "4800",   "2400",   "1200",  "600",   "300",   "110"};
    for (const char* rate : rates)
        EXPECT_EQ(Parse({std::string("-") + rate}).baudRate, atoi(rate)) << rate;
    EXPECT_EQ(Parse({"-9600x"}).baudRate, 0);
    EXPECT_EQ(Parse({"9600"}).baudRate, 0);
    EXPECT_EQ(Parse({"-31250"}).baudRate, 0);
    EXPECT_EQ(Parse({"-9600", "-bogus"}).baudRate, 9600);
}

TEST(CommandLine, FileMarkerDoesNotStopTheOtherTests)
{
    const RunSettings settings = Parse({"-T2", "-Fa-Tb.hex"});
    EXPECT_STREQ(settings.fileName, "a-Tb.hex");
    EXPECT_EQ(settings.transportType, 0);

    // Values sit at a fixed offset from the argument's start, not from the marker.
    const RunSettings late = Parse({"x-COM3"});
    EXPECT_STREQ(late.comPortName, "-COM3");
}

TEST(CommandLine, MarkersAreCaseSensitiveAndTestedInOrder)
{
    const RunSettings debug = Parse({"-debug"});
    EXPECT_TRUE(debug.debug);
    EXPECT_STREQ(debug.usbDeviceName, "");

    // "-D" comes before "-COM": the device name takes the whole rest.
    const RunSettings both = Parse({"-D-COM4"});
    EXPECT_STREQ(both.usbDeviceName, "-COM4");
    EXPECT_STREQ(both.comPortName, "");

    // "-debug" inside an argument that matched an earlier marker is not seen.
    EXPECT_FALSE(Parse({"-T1-debug"}).debug);
    // The debug marker is found anywhere, but then the rate table sees the whole argument.
    const RunSettings debugRate = Parse({"-9600-debug"});
    EXPECT_TRUE(debugRate.debug);
    EXPECT_EQ(debugRate.baudRate, 0);
}

TEST(CommandLine, LaterArgumentsOverrideAndEmptyValuesClear)
{
    EXPECT_STREQ(Parse({"-COM1", "-COM4"}).comPortName, "COM4");
    EXPECT_STREQ(Parse({"-COM"}).comPortName, "COM");
    EXPECT_STREQ(Parse({"-Fa.hex", "-F"}).fileName, "");
    EXPECT_STREQ(Parse({"-DBox", "-D"}).usbDeviceName, "");
    EXPECT_STREQ(Parse({"-Flonger-name.hex", "-Fb"}).fileName, "b");
}

TEST(CommandLine, ValuesBeyondTheFieldAreRefusedNotCut)
{
    const std::string fits(99, 'a');
    const RunSettings ok = Parse({"-F" + fits});
    EXPECT_EQ(std::string(ok.fileName), fits);
    EXPECT_FALSE(ok.valueTooLong);

    const RunSettings tooLong = Parse({"-D" + std::string(100, 'b')});
    EXPECT_TRUE(tooLong.valueTooLong);
    EXPECT_STREQ(tooLong.usbDeviceName, "");
    EXPECT_TRUE(Parse({"-" + std::string(100, 'C') + "-COM"}).valueTooLong);
}

}  // namespace
