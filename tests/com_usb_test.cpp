// Results of the USB links that need no device, where the two differ.
#include <gtest/gtest.h>

#include "com_cp2102.h"
#include "com_ftdi.h"

namespace {

TEST(ComFTDIClosed, OperationsFailCloseSucceeds)
{
    ComFTDI link;
    uint8_t byte = 0;
    uint32_t count = 5;
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(link.Read(&byte, 1, &count));
    EXPECT_EQ(count, 5u);
    EXPECT_FALSE(link.Write(&byte, 1));
    EXPECT_FALSE(link.Purge());
    EXPECT_FALSE(link.SetTimeout(100));
    EXPECT_FALSE(link.Escape(kEscapeSetDtr));
    uint32_t timeout = 77;
    EXPECT_FALSE(link.GetTimeout(&timeout));
    EXPECT_EQ(timeout, 0u);
    EXPECT_TRUE(link.Close());
    EXPECT_FALSE(link.Open("no converter has this description", 9600, 2000));
    EXPECT_FALSE(link.IsOpen());
}

TEST(ComFTDISettings, EightBitsNoParityOneStop)
{
    const LineSettings settings = ComFTDI::LineSettingsFor(19200);
    EXPECT_EQ(settings.baudRate, 19200u);
    EXPECT_EQ(settings.byteSize, 8);
    EXPECT_EQ(settings.parity, kParityNone);
    EXPECT_EQ(settings.stopBits, kOneStopBit);
    EXPECT_EQ(settings.dtrControl, kLineDisabled);
    EXPECT_EQ(settings.rtsControl, kLineDisabled);
}

TEST(ComCP2102Closed, DiffersFromTheOtherLinks)
{
    ComCP2102 link;
    uint8_t byte = 0;
    uint32_t count = 5;
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(link.Read(&byte, 1, &count));
    EXPECT_EQ(count, 5u);
    EXPECT_FALSE(link.Write(&byte, 1));
    EXPECT_FALSE(link.Purge());
    // Closing what is not open fails on this link alone.
    EXPECT_FALSE(link.Close());
    // Escape switches nothing and always succeeds.
    for (uint32_t code : {0u, 1u, 5u, 9u, 1000u})
        EXPECT_TRUE(link.Escape(code)) << code;
    EXPECT_FALSE(link.Open("no bridge has this product string", 9600, 2000));
    EXPECT_FALSE(link.IsOpen());
}

TEST(ComCP2102Timeouts, AreGlobalAndNeedNoDevice)
{
    ComCP2102 first;
    ComCP2102 second;
    EXPECT_TRUE(first.SetTimeout(1234));
    uint32_t timeout = 0;
    EXPECT_TRUE(second.GetTimeout(&timeout));
    EXPECT_EQ(timeout, 1234u);
    EXPECT_TRUE(second.SetTimeout(4000));
    EXPECT_TRUE(first.GetTimeout(&timeout));
    EXPECT_EQ(timeout, 4000u);
}

TEST(ComCP2102Settings, LineControlWordPacksTheFields)
{
    LineSettings settings = DefaultLineSettings(9600, kParityNone);
    EXPECT_EQ(ComCP2102::LineControlWord(settings), 0x0800);
    settings.parity = kParityEven;
    settings.byteSize = 7;
    settings.stopBits = 2;
    EXPECT_EQ(ComCP2102::LineControlWord(settings), 0x0722);
}

}  // namespace
