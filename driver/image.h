// The update image: hexadecimal text converted into a byte buffer of blocks.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int32_t kImageCapacity = 262144;

// Where the conversion stopped at a character that is neither white space nor
// part of a value: 1-based line and column, and the characters from there to
// the end of the file, that one included. Line 0: it ran to the end of the file.
struct ImageStop {
    long line;
    long column;
    long ignored;
};

struct Image {
    uint8_t bytes[kImageCapacity];
    int32_t count;
    // The file held more values than the buffer takes; the rest was not read.
    bool overflow;
    ImageStop stop;
    // A read of the file failed (an errno value; 0 when none did): the
    // image may lack anything from that point on and must not be sent.
    int readError;
};

// Converts the text of the open file into the image; leaves the file open.
// A failed read ends the conversion as the end of the file would.
// Stops early, as at the end of the file, once stop (when given) returns true.
void ReadImage(FILE* file, Image* image, bool (*stop)() = nullptr);

// The file holds text but not one value (an Intel HEX file, a comment line
// first, a byte-order mark): nothing to send, yet no empty image either.
bool ImageHoldsNoData(const Image& image);

// True when every block, length field and payload, lies within the count.
bool ImageBlocksComplete(const Image& image);

// Size of the block at position, its two-byte big-endian length field included.
inline int32_t BlockSize(const uint8_t* bytes, int32_t position)
{
    return 256 * bytes[position] + bytes[position + 1] + 2;
}
