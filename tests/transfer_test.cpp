#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "com.h"
#include "process.h"
#include "target/sim_target.h"
#include "transfer.h"

namespace {

// A link with the simulated target behind it; a read on an empty line is a
// time-out at once, so that no test waits for real.
class TargetLink : public Com {
public:
    explicit TargetLink(const TargetBehaviour& behaviour) : target(behaviour) {}

    bool Escape(uint32_t) override { return true; }
    bool Read(void* buffer, uint32_t wanted, uint32_t* received) override
    {
        EXPECT_EQ(wanted, 1u);
        ++reads;
        if (failReads)
            return false;
        uint32_t got = 0;
        if (!line.empty()) {
            *static_cast<uint8_t*>(buffer) = line.front();
            line.pop_front();
            got = 1;
        }
        if (received)
            *received = got;
        return true;
    }
    bool Write(const void* buffer, uint32_t count) override
    {
        const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
        writes.push_back(count);
        std::vector<uint8_t> answer;
        target.Receive(bytes, count, &answer);
        line.insert(line.end(), answer.begin(), answer.end());
        return true;
    }
    bool Close() override
    {
        ++closes;
        return true;
    }
    bool Purge() override { return true; }
    bool SetTimeout(uint32_t milliseconds) override
    {
        timeouts.push_back(milliseconds);
        return true;
    }
    bool GetTimeout(uint32_t* milliseconds) override
    {
        *milliseconds = timeouts.empty() ? 0 : timeouts.back();
        return true;
    }
    bool Open(const char*, uint32_t, uint32_t) override { return true; }
    bool IsOpen() override { return true; }

    SimTarget target;
    std::deque<uint8_t> line;
    std::vector<uint32_t> writes;
    std::vector<uint32_t> timeouts;
    int reads = 0;
    int closes = 0;
    bool failReads = false;
};

struct Outcome {
    bool ok;
    std::string out;
};

// Runs the transfer with standard output captured.
Outcome Transfer(TargetLink* link, const std::vector<unsigned char>& bytes)
{
    std::unique_ptr<Image> image(new Image);
    std::copy(bytes.begin(), bytes.end(), image->bytes);
    image->count = int32_t(bytes.size());
    image->overflow = false;
    FILE* file = tmpfile();

    fflush(stdout);
    FILE* capture = tmpfile();
    const int saved = dup(fileno(stdout));
    dup2(fileno(capture), fileno(stdout));
    const bool ok = TransferImage(link, *image, file);
    fflush(stdout);
    dup2(saved, fileno(stdout));
    close(saved);

    std::string out;
    rewind(capture);
    for (int c; (c = fgetc(capture)) != EOF;)
        out += char(c);
    fclose(capture);
    return {ok, out};
}

const std::string kDone = "\rTransferring.. 100% done.  \nTarget updated successfully.\n";

TEST(Transfer, EmptyImageSucceedsWithoutSending)
{
    TargetLink link{TargetBehaviour()};
    const Outcome outcome = Transfer(&link, {});
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.out, kDone);
    EXPECT_TRUE(link.writes.empty());
    EXPECT_EQ(link.closes, 1);
}

TEST(Transfer, PercentagesCountAcknowledgedBytesOnly)
{
    TargetLink link{TargetBehaviour()};
    const Outcome outcome = Transfer(&link, BlockImage({98, 298}));
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.out, ProgressLine('-', 0) + ProgressLine('-', 25) + kDone);
    EXPECT_EQ(link.writes, (std::vector<uint32_t>{100, 300}));

    TargetLink three{TargetBehaviour()};
    EXPECT_EQ(Transfer(&three, BlockImage({98, 98, 98})).out,
              ProgressLine('-', 0) + ProgressLine('-', 33) + ProgressLine('\\', 66) + kDone);
}

TEST(Transfer, EachSendDrainsFirstThenWaitsForTheReply)
{
    TargetLink link{TargetBehaviour()};
    Transfer(&link, BlockImage({0, 5}));
    EXPECT_EQ(link.timeouts, (std::vector<uint32_t>{1, 4000, 1, 4000}));
    // A block with no payload is sent as its two length bytes and needs its own reply.
    EXPECT_EQ(link.writes, (std::vector<uint32_t>{2, 7}));
    EXPECT_EQ(link.target.SendsPerBlock(), (std::vector<int>{1, 1}));
}

TEST(Transfer, ThreeRejectionsPerBlockAreRetriedWithTheSpinnerTurning)
{
    TargetBehaviour behaviour;
    behaviour.rejections[-1] = 3;
    TargetLink link{behaviour};
    const Outcome outcome = Transfer(&link, BlockImage({2, 2, 2, 2}));
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(link.target.SendsPerBlock(), (std::vector<int>{4, 4, 4, 4}));
    const std::string spins = "--\\\\||//";
    std::string expected;
    for (int i = 0; i < 16; ++i)
        expected += ProgressLine(spins[size_t(i % 8)], (i / 4) * 25);
    EXPECT_EQ(outcome.out, expected + kDone);
}

TEST(Transfer, FourthRejectionOfOneBlockEndsWithTheCrcMessage)
{
    TargetBehaviour behaviour;
    behaviour.rejections[1] = 4;
    TargetLink link{behaviour};
    const Outcome outcome = Transfer(&link, BlockImage({8, 8, 8}));
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.out, ProgressLine('-', 0) + ProgressLine('-', 33) + ProgressLine('\\', 33) +
                               ProgressLine('\\', 33) + ProgressLine('|', 33) + "\nCRC error. File damaged.\n");
    EXPECT_EQ(link.target.SendsPerBlock(), (std::vector<int>{1, 4}));
    EXPECT_EQ(link.closes, 1);
}

TEST(Transfer, SilenceOrAFailedReadIsNotResponding)
{
    TargetBehaviour silentSecond;
    silentSecond.silentFrom = 1;
    TargetLink link{silentSecond};
    const Outcome outcome = Transfer(&link, BlockImage({1, 1}));
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.out, ProgressLine('-', 0) + ProgressLine('-', 50) + "\nFailed: Target is not responding.\n");
    EXPECT_EQ(link.closes, 1);

    TargetLink broken{TargetBehaviour()};
    broken.failReads = true;
    const Outcome failed = Transfer(&broken, BlockImage({1}));
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.out, ProgressLine('-', 0) + "\nFailed: Target is not responding.\n");
}

TEST(Transfer, StaleBytesAreDrainedNotTakenAsReplies)
{
    TargetBehaviour behaviour;
    behaviour.rejectAll = true;
    behaviour.staleAfterReply = 3;  // three acceptance bytes after every rejection
    TargetLink link{behaviour};
    link.line.assign(50, kTargetAccept);  // waiting before the first block
    const Outcome outcome = Transfer(&link, BlockImage({4}));
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(link.target.SendsPerBlock(), (std::vector<int>{4}));
    EXPECT_NE(outcome.out.find("CRC error"), std::string::npos);
}

}  // namespace
