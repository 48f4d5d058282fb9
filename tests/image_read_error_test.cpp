// The image reader against a file whose reads fail: glibc's fopencookie
// stands for a failing disk or share (Linux only; the end-to-end tests read
// a real failing file).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "image.h"

namespace {

// A file whose reads fail from an offset on, as on a failing disk: a read
// before it returns the bytes up to it, the next one -1 with errno EIO
// (glibc's fopencookie: a read function returns -1 on an error).
struct Failing {
    std::string text;
    size_t failAt;
    size_t at;
};

ssize_t ReadFailing(void* cookie, char* buffer, size_t size)
{
    Failing* file = static_cast<Failing*>(cookie);
    if (file->at >= file->failAt) {
        errno = EIO;
        return -1;
    }
    const size_t count = std::min({size, file->failAt - file->at, file->text.size() - file->at});
    memcpy(buffer, file->text.data() + file->at, count);
    file->at += count;
    return ssize_t(count);
}

struct ReadWithError {
    std::vector<uint8_t> bytes;
    int error;
    ImageStop stop;
};

ReadWithError ConvertFailing(const std::string& text, size_t failAt)
{
    Failing failing = {text, failAt, 0};
    cookie_io_functions_t functions = {};
    functions.read = ReadFailing;
    FILE* file = fopencookie(&failing, "rb", functions);
    std::unique_ptr<Image> image(new Image);
    ReadImage(file, image.get());
    fclose(file);
    return {std::vector<uint8_t>(image->bytes, image->bytes + image->count), image->readError, image->stop};
}

TEST(ImageReader, AReadErrorIsNoEndOfFile)
{
    const std::string text = "00 03 AA BB CC\n00 01 DD\n";
    // Every read fails: nothing read, and no empty image either.
    ReadWithError read = ConvertFailing(text, 0);
    EXPECT_EQ(read.error, EIO);
    EXPECT_TRUE(read.bytes.empty());

    // The first read brings the first block whole, the next one fails.
    read = ConvertFailing(text, 15);
    EXPECT_EQ(read.error, EIO);
    EXPECT_EQ(read.bytes, (std::vector<uint8_t>{0x00, 0x03, 0xAA, 0xBB, 0xCC}));

    // In the text after the image, which is read to count it.
    read = ConvertFailing("00 00 zz" + std::string(10000, 'z'), 9000);
    EXPECT_EQ(read.error, EIO);
    EXPECT_EQ(read.stop.line, 1);

    // A file that reads to its end has no error.
    read = ConvertFailing(text, text.size() + 1);
    EXPECT_EQ(read.error, 0);
    EXPECT_EQ(read.bytes, (std::vector<uint8_t>{0x00, 0x03, 0xAA, 0xBB, 0xCC, 0x00, 0x01, 0xDD}));
}

}  // namespace
