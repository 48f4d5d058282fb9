#include "image.h"

#include <cerrno>

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

// Reads the text a character at a time and knows where it is.
class Scanner {
public:
    Scanner(FILE* file, bool (*stop)()) : file_(file), stop_(stop) {}

    // EOF at the end of the file and after a failed read, which Error tells,
    // and once the caller asks to stop.
    int Peek()
    {
        if (!peeked_) {
            if (Stopped()) {
                next_ = EOF;
                peeked_ = true;
                return next_;
            }
            errno = 0;
            next_ = getc(file_);
            peeked_ = true;
            NoteError();
        }
        return next_;
    }

    void Take()
    {
        if (Peek() == '\n') {
            ++line_;
            column_ = 1;
        } else {
            ++column_;
        }
        peeked_ = false;
    }

    long Line() const { return line_; }
    long Column() const { return column_; }

    // Counts what is left, the character peeked at included.
    long Rest()
    {
        long count = Peek() == EOF ? 0 : 1;
        peeked_ = false;
        char chunk[4096];
        size_t got;
        errno = 0;
        while (!Stopped() && (got = fread(chunk, 1, sizeof chunk, file_)) > 0)
            count += long(got);
        NoteError();
        return count;
    }

    // The error of the first read that failed (an errno value), 0 for none.
    int Error() const { return error_; }

private:
    // A failed read looks like the end of the file to getc and fread: only
    // the stream's error flag tells a failing disk or share from the end.
    void NoteError()
    {
        if (error_ == 0 && ferror(file_))
            error_ = errno != 0 ? errno : EIO;
    }

    // A file of any size is read to its end (its rest only to be counted):
    // an interrupt must not wait for that, with the link already open.
    bool Stopped() const { return stop_ && stop_(); }

    FILE* file_;
    bool (*stop_)();
    int next_ = EOF;
    bool peeked_ = false;
    long line_ = 1;
    long column_ = 1;
    int error_ = 0;
};

// One value: white space skipped, then one or two hexadecimal digits.
// Anything else (a sign, an 'x', the end of the file) ends the image.
bool ScanValue(Scanner* text, uint8_t* value)
{
    while (IsSpace(text->Peek()))
        text->Take();
    const int high = HexValue(text->Peek());
    if (high < 0)
        return false;
    text->Take();
    const int low = HexValue(text->Peek());
    if (low < 0) {
        *value = uint8_t(high);
        return true;
    }
    text->Take();
    *value = uint8_t(high * 16 + low);
    return true;
}

}  // namespace

void ReadImage(FILE* file, Image* image, bool (*stop)())
{
    image->count = 0;
    image->overflow = false;
    image->stop = ImageStop{0, 0, 0};
    image->readError = 0;
    Scanner text(file, stop);
    uint8_t value = 0;
    while (ScanValue(&text, &value)) {
        if (image->count == kImageCapacity) {
            image->overflow = true;
            image->readError = text.Error();
            return;
        }
        image->bytes[image->count++] = value;
    }
    if (text.Peek() != EOF) {
        image->stop.line = text.Line();
        image->stop.column = text.Column();
        image->stop.ignored = text.Rest();
    }
    image->readError = text.Error();
}

bool ImageHoldsNoData(const Image& image)
{
    return image.count == 0 && image.stop.line != 0;
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
