// The update image: hexadecimal text converted into a byte buffer of blocks.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int32_t kImageCapacity = 262144;

struct Image {
    uint8_t bytes[kImageCapacity];
    int32_t count;
    // The file held more values than the buffer takes; the rest was not read.
    bool overflow;
};

// Converts the text of the open file into the image; leaves the file open.
void ReadImage(FILE* file, Image* image);

// True when every block, length field and payload, lies within the count.
bool ImageBlocksComplete(const Image& image);

// Size of the block at position, its two-byte big-endian length field included.
inline int32_t BlockSize(const uint8_t* bytes, int32_t position)
{
    return 256 * bytes[position] + bytes[position + 1] + 2;
}
