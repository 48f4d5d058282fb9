// Fuzz target: the image reader and its block check. The input is the text
// of the image file.
//
// Checks: the count stays within the buffer and the overflow flag is set
// exactly when the text holds more values than the buffer takes; the bytes,
// the count and where the text stopped (line, column, characters ignored)
// are those of a plain re-walk of the text rules; "holds no data" means text
// without a single value; the block check agrees with a plain walk over the
// length fields. A second read of the same text fails half-way (EIO): the
// reader reports the error unless the buffer was full before it, and what
// it read is the start of the whole text's bytes. AddressSanitizer watches
// that nothing outside the buffer is read.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_check.h"
#include "image.h"

namespace {

struct Text {
    const uint8_t* data;
    size_t size;
    size_t at;
    size_t failAt;  // reads from here on fail; SIZE_MAX: none does
};

// The input as a read-only stream, zero bytes and all; from failAt on every
// read fails as fopencookie's read function reports it: -1, errno set.
ssize_t ReadText(void* cookie, char* buffer, size_t size)
{
    Text* text = static_cast<Text*>(cookie);
    if (text->at >= text->failAt) {
        errno = EIO;
        return -1;
    }
    const size_t count = std::min({size, text->size - text->at, text->failAt - text->at});
    if (count > 0)
        memcpy(buffer, text->data + text->at, count);
    text->at += count;
    return ssize_t(count);
}

FILE* OpenText(Text* text)
{
    cookie_io_functions_t functions = {};
    functions.read = ReadText;
    return fopencookie(text, "rb", functions);
}

bool IsSpace(uint8_t c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int Digit(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

struct Walked {
    std::vector<uint8_t> bytes;
    bool overflow = false;
    ImageStop stop = {0, 0, 0};
};

// Values of one or two digits after any white space; the first other
// character ends the image; one value more than the buffer takes is an overflow.
Walked WalkText(const uint8_t* data, size_t size)
{
    Walked walked;
    long line = 1;
    long column = 1;
    size_t at = 0;
    auto take = [&]() {
        if (data[at] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
        ++at;
    };
    for (;;) {
        while (at < size && IsSpace(data[at]))
            take();
        if (at == size)
            return walked;
        if (Digit(data[at]) < 0) {
            walked.stop = ImageStop{line, column, long(size - at)};
            return walked;
        }
        int value = Digit(data[at]);
        take();
        if (at < size && Digit(data[at]) >= 0) {
            value = value * 16 + Digit(data[at]);
            take();
        }
        if (walked.bytes.size() == size_t(kImageCapacity)) {
            walked.overflow = true;
            return walked;
        }
        walked.bytes.push_back(uint8_t(value));
    }
}

bool BlocksComplete(const std::vector<uint8_t>& bytes)
{
    size_t position = 0;
    while (position < bytes.size()) {
        if (bytes.size() - position < 2)
            return false;
        const size_t size = 256u * bytes[position] + bytes[position + 1] + 2;
        if (size > bytes.size() - position)
            return false;
        position += size;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static std::unique_ptr<Image> image(new Image);
    // What an earlier input left must not pass for this one's result.
    memset(image->bytes, 0xA5, sizeof image->bytes);
    image->count = -1;
    image->overflow = true;

    Text text = {data, size, 0, SIZE_MAX};
    FILE* file = OpenText(&text);
    FUZZ_CHECK(file != nullptr);
    ReadImage(file, image.get());
    fclose(file);

    FUZZ_CHECK(image->count >= 0 && image->count <= kImageCapacity);
    FUZZ_CHECK(!image->overflow || image->count == kImageCapacity);
    FUZZ_CHECK(image->readError == 0);

    const Walked walked = WalkText(data, size);
    FUZZ_CHECK(image->overflow == walked.overflow);
    FUZZ_CHECK(size_t(image->count) == walked.bytes.size());
    FUZZ_CHECK(walked.bytes.empty() || memcmp(image->bytes, walked.bytes.data(), walked.bytes.size()) == 0);
    FUZZ_CHECK(image->stop.line == walked.stop.line);
    FUZZ_CHECK(image->stop.column == walked.stop.column);
    FUZZ_CHECK(image->stop.ignored == walked.stop.ignored);

    FUZZ_CHECK(ImageHoldsNoData(*image) == (walked.bytes.empty() && walked.stop.line != 0));
    FUZZ_CHECK(ImageBlocksComplete(*image) == BlocksComplete(walked.bytes));

    if (size == 0)
        return 0;
    static std::unique_ptr<Image> failed(new Image);
    failed->readError = 0;
    Text failing = {data, size, 0, size / 2};
    file = OpenText(&failing);
    FUZZ_CHECK(file != nullptr);
    ReadImage(file, failed.get());
    fclose(file);
    FUZZ_CHECK(failed->readError == EIO || (failed->readError == 0 && failed->overflow));
    FUZZ_CHECK(failed->count >= 0 && failed->count <= image->count);
    // The last value may have lost its second digit to the failure.
    FUZZ_CHECK(failed->count <= 1 || memcmp(failed->bytes, image->bytes, size_t(failed->count - 1)) == 0);
    return 0;
}
