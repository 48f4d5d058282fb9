#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "image.h"

namespace {

struct Converted {
    std::vector<uint8_t> bytes;
    bool overflow;
    bool complete;
    ImageStop stop;
    bool noData;
};

Converted Convert(const std::string& text)
{
    FILE* file = tmpfile();
    fwrite(text.data(), 1, text.size(), file);
    rewind(file);
    std::unique_ptr<Image> image(new Image);
    ReadImage(file, image.get());
    fclose(file);
    return {std::vector<uint8_t>(image->bytes, image->bytes + image->count), image->overflow,
            ImageBlocksComplete(*image), image->stop, ImageHoldsNoData(*image)};
}

const std::vector<uint8_t> kTwoBlocks = {0x00, 0x03, 0xAA, 0xBB, 0xCC, 0x00, 0x01, 0xDD};

TEST(ImageReader, AnyWhiteSpaceOrNoneSeparatesValues)
{
    EXPECT_EQ(Convert("00 03 AA BB CC 00 01 DD").bytes, kTwoBlocks);
    EXPECT_EQ(Convert("00\n03\r\nAA\tBB\fCC\v00 01\nDD\n").bytes, kTwoBlocks);
    EXPECT_EQ(Convert("0003AABBCC0001DD").bytes, kTwoBlocks);
    EXPECT_EQ(Convert("0003aabbcc0001dd").bytes, kTwoBlocks);
    EXPECT_TRUE(Convert("0003AABBCC0001DD").complete);
}

TEST(ImageReader, OneDigitValuesAndPairing)
{
    EXPECT_EQ(Convert("A a 0A 0a").bytes, (std::vector<uint8_t>{10, 10, 10, 10}));
    // Run-together digits are taken two at a time; an odd one left over stands alone.
    EXPECT_EQ(Convert("ABC").bytes, (std::vector<uint8_t>{0xAB, 0x0C}));
    EXPECT_EQ(Convert("1 23 4").bytes, (std::vector<uint8_t>{0x01, 0x23, 0x04}));
}

TEST(ImageReader, FirstForeignCharacterEndsTheImage)
{
    EXPECT_EQ(Convert("00 01 FF zz 00").bytes, (std::vector<uint8_t>{0x00, 0x01, 0xFF}));
    EXPECT_TRUE(Convert("").bytes.empty());
    EXPECT_TRUE(Convert(":0001").bytes.empty());
    EXPECT_TRUE(Convert("# comment\n00 00").bytes.empty());
    EXPECT_TRUE(Convert(" \n\t ").bytes.empty());
    // A digit directly followed by a foreign character still counts.
    EXPECT_EQ(Convert("0g").bytes, (std::vector<uint8_t>{0x00}));
}

TEST(ImageReader, SignsAndHexPrefixesEndTheImage)
{
    EXPECT_EQ(Convert("0x12 34").bytes, (std::vector<uint8_t>{0x00}));
    EXPECT_EQ(Convert("01 -2 03").bytes, (std::vector<uint8_t>{0x01}));
    EXPECT_EQ(Convert("01 +2 03").bytes, (std::vector<uint8_t>{0x01}));
    EXPECT_EQ(Convert("01 x2").bytes, (std::vector<uint8_t>{0x01}));
}

TEST(ImageReader, FullBufferIsValidOneMoreValueOverflows)
{
    std::string full;
    full.reserve(size_t(kImageCapacity) * 2 + 4);
    for (int32_t i = 0; i < kImageCapacity; ++i)
        full += "00";
    const Converted exact = Convert(full);
    EXPECT_EQ(exact.bytes.size(), size_t(kImageCapacity));
    EXPECT_FALSE(exact.overflow);

    const Converted over = Convert(full + " 5");
    EXPECT_EQ(over.bytes.size(), size_t(kImageCapacity));
    EXPECT_TRUE(over.overflow);
    // Trailing white space or a foreign character after a full buffer is no overflow.
    EXPECT_FALSE(Convert(full + " \n").overflow);
    EXPECT_FALSE(Convert(full + "zz").overflow);
}

TEST(ImageBlocks, IncompleteLastBlockIsDetected)
{
    EXPECT_TRUE(Convert("00 00").complete);
    EXPECT_TRUE(Convert("").complete);
    EXPECT_FALSE(Convert("00").complete);                 // half a length field
    EXPECT_FALSE(Convert("00 03 AA BB").complete);        // payload short by one
    EXPECT_FALSE(Convert("00 01 AA 00").complete);        // second length field cut
    EXPECT_FALSE(Convert("00 01 AA 01 00 BB").complete);  // announces 256 bytes
    EXPECT_TRUE(Convert("00 01 AA 00 02 BB CC").complete);
}

TEST(ImageReader, WhereTheTextStopsIsKnown)
{
    Converted converted = Convert("00 01 FF zz 00");
    EXPECT_EQ(converted.stop.line, 1);
    EXPECT_EQ(converted.stop.column, 10);
    EXPECT_EQ(converted.stop.ignored, 5);
    EXPECT_FALSE(converted.noData);

    converted = Convert("00 01\r\n\tFF\n  :end\n");
    EXPECT_EQ(converted.bytes, (std::vector<uint8_t>{0x00, 0x01, 0xFF}));
    EXPECT_EQ(converted.stop.line, 3);
    EXPECT_EQ(converted.stop.column, 3);
    EXPECT_EQ(converted.stop.ignored, 5);

    // A value cut by a foreign character stops right after its digit.
    converted = Convert("0g");
    EXPECT_EQ(converted.stop.column, 2);
    EXPECT_EQ(converted.stop.ignored, 1);

    for (const char* ended : {"", " \n\t ", "00 00", "00 00\n\n"}) {
        converted = Convert(ended);
        EXPECT_EQ(converted.stop.line, 0) << ended;
        EXPECT_FALSE(converted.noData) << ended;
    }
}

TEST(ImageReader, TextWithoutAValueHoldsNoData)
{
    for (const char* text : {":0300300002337A1E\n", "# comment\n00 00\n", "\xEF\xBB\xBF" "00 00", "  \n -1", "x"}) {
        const Converted converted = Convert(text);
        EXPECT_TRUE(converted.bytes.empty()) << text;
        EXPECT_TRUE(converted.noData) << text;
    }
    // The count stays what the reader found: a stop after values is no empty file.
    EXPECT_FALSE(Convert("00 00 #").noData);
}

}  // namespace
