#include "image.h"


namespace {

bool IsSpace(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int HexValue(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One value: white space skipped, then one or two hexadecimal digits.
// Anything else (a sign, an 'x', the end of the file) ends the image.
bool ScanValue(FILE* file, uint8_t* value)
{
    int c = getc(file);
    while (IsSpace(c))
        c = getc(file);
    const int high = HexValue(c);
    if (high < 0)
        return false;
    c = getc(file);
    const int low = HexValue(c);
    if (low < 0) {
        if (c != EOF)
            ungetc(c, file);
        *value = uint8_t(high);
        return true;
    }
    *value = uint8_t(high * 16 + low);
    return true;
}

}  // namespace

void ReadImage(FILE* file, Image* image)
{
    image->count = 0;
    image->overflow = false;
    uint8_t value = 0;
    while (ScanValue(file, &value)) {
        if (image->count == kImageCapacity) {
            image->overflow = true;
            return;
        }
        image->bytes[image->count++] = value;
    }
}

bool ImageBlocksComplete(const Image& image)
{
    int32_t position = 0;
    while (position < image.count) {
        if (image.count - position < 2)
            return false;
        const int32_t size = BlockSize(image.bytes, position);
        if (size > image.count - position)
            return false;
        position += size;
    }
    return true;
}
