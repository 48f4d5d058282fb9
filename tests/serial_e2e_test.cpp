// The real program against the simulated target over pseudo-terminals:
// standard output byte for byte, and the exit status.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "failing_file.h"
#include "process.h"

namespace {

constexpr int kFailed = 255;  // -1 as the shell sees it

const char kPortPrefix[] = "COM/dev/pts/";

class SerialUpdate : public ::testing::Test {
protected:
    ProcessResult Update(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), UPDATE_BINARY);
        return RunProcess(arguments);
    }

    // Runs the update with the simulated target on the other end of a pty.
    ProcessResult WithTarget(std::vector<std::string> targetOptions, const std::vector<std::string>& arguments,
                             const Interruption* interruption = nullptr)
    {
        std::vector<std::string> argv = {SIMTARGET_BINARY, "--quiet", "--record", scratch.Path("received"),
                                         "--summary", scratch.Path("summary")};
        argv.insert(argv.end(), targetOptions.begin(), targetOptions.end());
        argv.push_back("--");
        argv.push_back(UPDATE_BINARY);
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        ProcessResult result = RunProcess(argv, {}, interruption);
        // The pty's number varies; name it the same in every expectation.
        const size_t at = result.out.find(kPortPrefix);
        if (at != std::string::npos) {
            const size_t end = result.out.find_first_not_of("0123456789", at + sizeof kPortPrefix - 1);
            result.out.replace(at, end - at, "COM/dev/pts/N");
        }
        return result;
    }

    std::string Image(const std::vector<unsigned char>& bytes) { return scratch.Write("image.hex", HexText(bytes)); }

    // Argument vector of the simulated target running the update.
    std::vector<std::string> TargetCommand(const std::vector<std::string>& arguments)
    {
        std::vector<std::string> argv = {SIMTARGET_BINARY, "--quiet", "--record", scratch.Path("received"), "--"};
        argv.push_back(UPDATE_BINARY);
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }

    std::string SendsSeen()
    {
        const std::string summary = scratch.Read("summary");
        const size_t at = summary.find("sends");
        return summary.substr(at, summary.find('\n', at) - at);
    }

    ScratchDir scratch;
};

const std::string kConnect = "Connection with Serial Com-Port COM/dev/pts/N...\n";
const std::string kDone = "\rTransferring.. 100% done.  \nTarget updated successfully.\n";
const std::string kNotResponding = "\nFailed: Target is not responding.\n";

std::string Echo(int baud, const std::string& device, const std::string& port, const std::string& file,
                 const std::string& type)
{
    return "Baudrate          : " + std::to_string(baud) + "\nUSB-Devicename    : " + device +
           "\nCom-Port          : " + port + "\nQuelldatei        : " + file + "\nType              : " + type +
           "\n\n";
}

TEST_F(SerialUpdate, UsageWithoutArgumentsOrRate)
{
    ProcessResult result = Update({});
    EXPECT_EQ(result.out, kUsageText);
    EXPECT_EQ(result.status, kFailed);

    // The missing rate is noticed before the missing file.
    result = Update({"-Fmissing.hex", "-COM1"});
    EXPECT_EQ(result.out, kUsageText);
    EXPECT_EQ(result.status, kFailed);

    result = Update({"-F", "-9600", "-COM1"});
    EXPECT_EQ(result.out, kUsageText);
    EXPECT_EQ(result.status, kFailed);
}

TEST_F(SerialUpdate, DebugEchoComesFirst)
{
    ProcessResult result = Update({"-debug", "-Fimage.hex"});
    EXPECT_EQ(result.out, Echo(0, "", "", "image.hex", "0 Com-Port") + kUsageText);
    EXPECT_EQ(result.status, kFailed);

    const std::string image = Image({});
    result = Update({"-F" + image, "-COM/dev/no-such-port", "-57600", "-debug", "-DZOR QX 4070 HT"});
    EXPECT_EQ(result.out, Echo(57600, "ZOR QX 4070 HT", "COM/dev/no-such-port", image, "0 Com-Port") +
                              "Connection with Serial Com-Port COM/dev/no-such-port...\n"
                              "Error: COM/dev/no-such-port in use or does not exist.\n");
    EXPECT_EQ(result.status, kFailed);

    result = Update({"-debug", "-T1"});
    EXPECT_EQ(result.out, Echo(0, "", "", "", "1 FTDI-Device") + kUsageText);
    result = Update({"-debug", "-T7"});
    EXPECT_EQ(result.out, Echo(0, "", "", "", "7 CP2102-Device") + kUsageText);
    result = Update({"-debug", "-T-1"});
    EXPECT_EQ(result.out, Echo(0, "", "", "", "-1 CP2102-Device") + kUsageText);
}

TEST_F(SerialUpdate, MissingFileIsReportedBeforeTheLinkIsChecked)
{
    ProcessResult result = Update({"-Fmissing.hex", "-115200", "-COM1"});
    EXPECT_EQ(result.out, "Error: Source-file 'missing.hex' not found or no rights.\n");
    EXPECT_EQ(result.status, kFailed);

    result = Update({"-Fmissing.hex", "-115200", "-T1"});
    EXPECT_EQ(result.out, "Error: Source-file 'missing.hex' not found or no rights.\n");
    EXPECT_EQ(result.status, kFailed);

    // A folder is no image, not an empty one that would "succeed".
    const std::string folder = scratch.Path("");
    result = Update({"-F" + folder, "-115200", "-COM1"});
    EXPECT_EQ(result.out, "Error: Source-file '" + folder + "' not found or no rights.\n");
    EXPECT_EQ(result.status, kFailed);
}

TEST_F(SerialUpdate, LinkNameAndTypeAreCheckedAfterTheFile)
{
    const std::string image = Image({0, 0});
    for (const char* type : {"-T0", "-T1", "-T2", "-T3", "-T-1"}) {
        const std::vector<std::string> arguments = {"-F" + image, "-9600", type};
        ProcessResult result = Update(arguments);
        EXPECT_EQ(result.out, kUsageText) << type;
        EXPECT_EQ(result.status, kFailed) << type;
    }
    // A type without a link is refused even when every name is given.
    ProcessResult result = Update({"-F" + image, "-9600", "-T3", "-COM1", "-DBox"});
    EXPECT_EQ(result.out, kUsageText);
    EXPECT_EQ(result.status, kFailed);
}

TEST_F(SerialUpdate, ValueTooLongShowsUsageAfterTheEcho)
{
    const std::string image = Image({0, 0});
    const std::string longName(100, 'x');
    ProcessResult result = Update({"-F" + image, "-9600", "-COM1", "-debug", "-D" + longName});
    EXPECT_EQ(result.out, Echo(9600, "", "COM1", image, "0 Com-Port") + kUsageText);
    EXPECT_EQ(result.status, kFailed);
}

TEST_F(SerialUpdate, MissingOrHeldPortIsInUse)
{
    const std::string image = Image({0, 1, 0x55});
    ProcessResult result = Update({"-F" + image, "-19200", "-COMttyNoSuchPort"});
    EXPECT_EQ(result.out,
              "Connection with Serial Com-Port COMttyNoSuchPort...\nError: COMttyNoSuchPort in use or does not exist.\n");
    EXPECT_EQ(result.status, kFailed);

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    {
        const FileHolder holder(slave, FileHolder::kFlock);
        ASSERT_TRUE(holder.Holding());
        result = Update({"-F" + image, "-19200", "-COM" + slave});
    }
    EXPECT_EQ(result.out, "Connection with Serial Com-Port COM" + slave + "...\nError: COM" + slave +
                              " in use or does not exist.\n");
    EXPECT_EQ(result.status, kFailed);
    close(master);
}

TEST_F(SerialUpdate, FullUpdateAcknowledgedBlockByBlock)
{
    const std::vector<unsigned char> bytes = BlockImage({98, 98, 98}, 7);
    const ProcessResult result = WithTarget({}, {"-F" + Image(bytes), "-COM@PORT@", "-115200"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 33) + ProgressLine('\\', 66) + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(scratch.Read("received"), std::string(bytes.begin(), bytes.end()));
}

TEST_F(SerialUpdate, EveryByteValueArrivesUnchanged)
{
    std::vector<unsigned char> bytes = {0x01, 0x00};  // one block of 256 bytes
    for (int i = 0; i < 256; ++i)
        bytes.push_back((unsigned char)(i));
    bytes.insert(bytes.end(), {0x00, 0x04, 0x11, 0x13, 0x0D, 0x0A});
    const ProcessResult result = WithTarget({}, {"-F" + Image(bytes), "-COM@PORT@", "-256000"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(scratch.Read("received"), std::string(bytes.begin(), bytes.end()));
}

TEST_F(SerialUpdate, EmptyImageAndEmptyPayload)
{
    ProcessResult result = WithTarget({}, {"-F" + scratch.Write("empty.hex", ""), "-COM@PORT@", "-9600"});
    EXPECT_EQ(result.out, kConnect + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(scratch.Read("received"), "");

    // White space alone is an empty image too.
    result = WithTarget({}, {"-F" + scratch.Write("blank.hex", " \r\n\t\n"), "-COM@PORT@", "-9600"});
    EXPECT_EQ(result.out, kConnect + kDone);
    EXPECT_EQ(result.status, 0);

    result = WithTarget({}, {"-F" + Image({0, 0, 0, 1, 0xAB}), "-COM@PORT@", "-9600"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 40) + kDone);
    EXPECT_EQ(SendsSeen(), "sends 1 1");
}

TEST_F(SerialUpdate, RejectedBlocksAreSentAgain)
{
    const std::string image = Image(BlockImage({98, 298}));
    ProcessResult result = WithTarget({"--reject", "3@1"}, {"-F" + image, "-COM@PORT@", "-38400"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 25) + ProgressLine('\\', 25) +
                              ProgressLine('\\', 25) + ProgressLine('|', 25) + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(SendsSeen(), "sends 1 4");

    result = WithTarget({"--reject", "4@1"}, {"-F" + image, "-COM@PORT@", "-38400"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 25) + ProgressLine('\\', 25) +
                              ProgressLine('\\', 25) + ProgressLine('|', 25) + "\nCRC error. File damaged.\n");
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(SendsSeen(), "sends 1 4");
}

TEST_F(SerialUpdate, StaleBytesAreDrainedNeverTakenAsReplies)
{
    // Acceptance bytes wait on the line before the first block and follow
    // every rejection: none of them may count as an acknowledgement.
    const std::string image = Image(BlockImage({10, 10}));
    const ProcessResult result =
        WithTarget({"--preload", "40", "--reject", "2", "--stale", "5"}, {"-F" + image, "-COM@PORT@", "-115200"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(SendsSeen(), "sends 3 3");
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 0) + ProgressLine('\\', 0) +
                              ProgressLine('\\', 50) + ProgressLine('|', 50) + ProgressLine('|', 50) + kDone);
}

TEST_F(SerialUpdate, SilentTargetTimesOutAfterEightSeconds)
{
    const ProcessResult result =
        WithTarget({"--silent-from", "1"}, {"-F" + Image(BlockImage({1, 1})), "-COM@PORT@", "-115200"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 50) + kNotResponding);
    EXPECT_EQ(result.status, kFailed);
    EXPECT_GE(result.seconds, 8.0);
    EXPECT_LT(result.seconds, 10.0);
}

TEST_F(SerialUpdate, VanishingLineFailsPromptly)
{
    const ProcessResult result =
        WithTarget({"--vanish-after", "1"}, {"-F" + Image(BlockImage({1, 1})), "-COM@PORT@", "-115200"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 50) + kNotResponding);
    EXPECT_EQ(result.status, kFailed);
    EXPECT_LT(result.seconds, 3.0);
}

TEST_F(SerialUpdate, ImagesThatCannotSucceedAreRefusedBeforeSending)
{
    std::string full;
    for (int i = 0; i < 262144; ++i)
        full += "00";
    const std::string tooLarge = scratch.Write("large.hex", full + " 00");
    ProcessResult result = WithTarget({}, {"-F" + tooLarge, "-COM@PORT@", "-115200"});
    EXPECT_EQ(result.out, kConnect + "Error: Source-file '" + tooLarge + "' is larger than 262144 bytes.\n");
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(scratch.Read("received"), "");

    const std::string cut = Image({0, 2, 0xAA, 0xBB, 0x00, 0x05, 0x01});
    result = WithTarget({}, {"-F" + cut, "-COM@PORT@", "-115200"});
    EXPECT_EQ(result.out, kConnect + "Error: Source-file '" + cut + "' ends inside a block.\n");
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(scratch.Read("received"), "");
}

TEST_F(SerialUpdate, ExactlyFullImageIsSent)
{
    // 262,144 bytes: one block of 65,537 bytes four times less three bytes... built from 4 blocks.
    std::vector<int> lengths = {65534, 65534, 65534, 65534};
    const std::vector<unsigned char> bytes = BlockImage(lengths);
    ASSERT_EQ(bytes.size(), 262144u);
    const ProcessResult result = WithTarget({}, {"-F" + Image(bytes), "-COM@PORT@", "-256000"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 25) + ProgressLine('\\', 50) +
                              ProgressLine('\\', 75) + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(scratch.Read("received"), std::string(bytes.begin(), bytes.end()));
}

TEST_F(SerialUpdate, UsbLinksWithoutTheirDeviceAreInUse)
{
    const std::string image = Image({0, 0});
    ProcessResult result = Update({"-F" + image, "-T2", "-115200", "-DBox"});
    EXPECT_EQ(result.out, "Connection with CP2102-USB Device...\nError: Box in use or does not exist.\n");
    EXPECT_EQ(result.status, kFailed);
    result = Update({"-F" + image, "-T1", "-115200", "-DBox"});
    EXPECT_EQ(result.out, "Connection with FTDI-USB Device...\nError: Box in use or does not exist.\n");
    EXPECT_EQ(result.status, kFailed);
}

TEST_F(SerialUpdate, SignalsEndAWaitForTheReplyInOrder)
{
    const std::string image = Image(BlockImage({4}));
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        Interruption interruption;
        interruption.signal = signal;
        interruption.after = "Transferring";
        interruption.delaySeconds = 0.3;
        interruption.toChild = true;
        const ProcessResult result =
            WithTarget({"--silent-from", "0"}, {"-F" + image, "-COM@PORT@", "-115200"}, &interruption);
        EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + "\nFailed: Update interrupted.\n") << signal;
        EXPECT_EQ(result.status, kFailed) << signal;
        EXPECT_GE(result.secondsAfterSignal, 0.0) << signal;
        EXPECT_LT(result.secondsAfterSignal, 3.0) << signal;
    }
}

TEST_F(SerialUpdate, SignalsTheCallerIgnoresStayIgnored)
{
    // nohup ignores SIGHUP, and sh starts a background job with SIGINT and
    // SIGQUIT ignored; exec keeps them ignored. The update runs on to its end.
    const std::vector<unsigned char> bytes = BlockImage({98, 98, 98, 98, 98, 98, 98, 98});
    const std::string image = Image(bytes);
    for (int signal : {SIGINT, SIGHUP, SIGQUIT}) {
        Interruption interruption;
        interruption.signal = signal;
        interruption.after = "Transferring";
        interruption.delaySeconds = 0.2;
        interruption.toChild = true;
        // At the pace of the line the 800 bytes take almost a second.
        const std::vector<std::string> argv = {"/bin/sh", "-c", "trap '' INT HUP QUIT; exec \"$@\"", "sh",
                                               SIMTARGET_BINARY, "--quiet", "--pace", "9600", "--record",
                                               scratch.Path("received"), "--", UPDATE_BINARY, "-F" + image,
                                               "-COM@PORT@", "-9600"};
        const ProcessResult result = RunProcess(argv, {}, &interruption);
        EXPECT_EQ(result.status, 0) << signal << result.out;
        EXPECT_GE(result.secondsAfterSignal, 0.0) << signal << ": the signal came after the end";
        EXPECT_EQ(scratch.Read("received"), std::string(bytes.begin(), bytes.end())) << signal;
    }
}

TEST_F(SerialUpdate, InterruptEndsABlockThatCannotGoOut)
{
    // Nobody reads the far end: the terminal takes some 18 KiB, and the write
    // of a 64 KiB block waits, as it would for minutes at a low rate.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string port = std::string("COM") + ptsname(master);
    Interruption interruption;
    interruption.signal = SIGINT;
    interruption.after = "Transferring";
    interruption.delaySeconds = 0.3;
    const ProcessResult result =
        RunProcess({UPDATE_BINARY, "-F" + Image(BlockImage({65534})), "-" + port, "-115200"}, {}, &interruption);
    close(master);
    EXPECT_EQ(result.out, "Connection with Serial Com-Port " + port + "...\n" + ProgressLine('-', 0) +
                              "\nFailed: Update interrupted.\n");
    EXPECT_NE(result.err.find("send 1 of 4, while sending it"), std::string::npos) << result.err;
    EXPECT_EQ(result.status, kFailed);
    EXPECT_GE(result.secondsAfterSignal, 0.0);
    EXPECT_LT(result.secondsAfterSignal, 3.0);
}

// The text after the image is read to its end only to be counted: a file
// with a vast tail (a sparse or preallocated image) must not hold the open
// port past an interrupt.
TEST_F(SerialUpdate, InterruptEndsTheReadOfAVastImageFile)
{
    const std::string image = Image(BlockImage({1}));
    off_t size = off_t(1) << 40;
    while (size > (off_t(1) << 32) && truncate(image.c_str(), size) != 0)
        size >>= 2;
    ASSERT_EQ(truncate(image.c_str(), size), 0);
    Interruption interruption;
    interruption.signal = SIGINT;
    interruption.after = "Connection";
    interruption.delaySeconds = 0.5;
    interruption.toChild = true;
    const ProcessResult result = WithTarget({}, {"-F" + image, "-COM@PORT@", "-115200"}, &interruption);
    EXPECT_EQ(result.out, kConnect + "\nFailed: Update interrupted.\n");
    EXPECT_NE(result.err.find("interrupted while " + image + " was being read; nothing was sent"), std::string::npos)
        << result.err;
    EXPECT_EQ(result.status, kFailed);
    EXPECT_GE(result.secondsAfterSignal, 0.0);
    EXPECT_LT(result.secondsAfterSignal, 3.0);
    EXPECT_EQ(scratch.Read("received"), "");
}

TEST_F(SerialUpdate, ClosedStandardOutputDoesNotStopTheUpdate)
{
    // Nobody reads standard output any more (a pipe into head, a dropped ssh
    // session): every print fails, the update goes on and its status tells.
    const std::vector<unsigned char> bytes = BlockImage({50, 50, 50});
    const std::vector<std::string> argv = TargetCommand({"-F" + Image(bytes), "-COM@PORT@", "-115200"});
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    const pid_t child = fork();
    if (child == 0) {
        dup2(ends[1], STDOUT_FILENO);
        ExecArgv(argv);
    }
    close(ends[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(scratch.Read("received"), std::string(bytes.begin(), bytes.end()));
}

TEST_F(SerialUpdate, ClosedStandardDescriptorsNeverBecomeThePort)
{
    // Started with standard descriptors closed (a daemon, cmd <&- >&-), the
    // files the program opens would take their numbers: its own text must
    // still never reach the target, whatever the program prints.
    const std::vector<unsigned char> bytes = BlockImage({50, 50, 50});
    const std::string image = Image(bytes);
    for (const char* closing : {"<&- >&-", ">&-", "2>&-", "<&- 2>&-"}) {
        const std::vector<std::string> argv = {SIMTARGET_BINARY, "--quiet", "--record", scratch.Path("received"), "--",
                                               "/bin/sh", "-c", std::string("exec \"$@\" ") + closing, "sh",
                                               UPDATE_BINARY, "-F" + image, "-COM@PORT@", "-115200"};
        const ProcessResult result = RunProcess(argv, {"UPDATE_TRACE=1"});
        EXPECT_EQ(result.status, 0) << closing;
        EXPECT_EQ(scratch.Read("received"), std::string(bytes.begin(), bytes.end())) << closing;
    }
}

TEST_F(SerialUpdate, ImageThatFailsToReadFromTheStartIsRefused)
{
    // A process's own memory file reads with EIO at offset 0.
    const ProcessResult result = WithTarget({}, {"-F/proc/self/mem", "-COM@PORT@", "-115200"});
    EXPECT_EQ(result.out, kConnect + "Error: Source-file '/proc/self/mem' not found or no rights.\n");
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(scratch.Read("received"), "");
    EXPECT_EQ(result.err, "update: cannot read /proc/self/mem: Input/output error\n");
}

TEST_F(SerialUpdate, ImageThatFailsToReadAfterAFirstBlockIsRefused)
{
    // The file's first read brings one whole block, the next fails: a share
    // that stopped answering. Nothing of it may go out.
    const std::vector<unsigned char> bytes = BlockImage({20, 20});
    const std::string firstBlock = HexText(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 22));
    FailingFile share(scratch.Path("share"), HexText(bytes), firstBlock.size());
    if (!share.Problem().empty())
        GTEST_SKIP() << share.Problem();
    const ProcessResult result = WithTarget({}, {"-F" + share.Path(), "-COM@PORT@", "-115200"});
    EXPECT_EQ(result.out, kConnect + "Error: Source-file '" + share.Path() + "' not found or no rights.\n");
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(scratch.Read("received"), "");
    EXPECT_EQ(result.err, "update: cannot read " + share.Path() + ": Input/output error\n");
}

TEST_F(SerialUpdate, FileWithTextButNoValueIsRefusedAfterOpening)
{
    const std::string intelHex = scratch.Write("intel.hex", ":0300300002337A1E\n:00000001FF\n");
    const std::string comment = scratch.Write("comment.hex", "# image of 2026-12-08\n00 01 AA\n");
    const std::string bom = scratch.Write("bom.hex", "\xEF\xBB\xBF" "00 01 AA\n");
    for (const std::string& file : {intelHex, comment, bom}) {
        const ProcessResult result = WithTarget({}, {"-F" + file, "-COM@PORT@", "-9600"});
        EXPECT_EQ(result.out, kConnect + "Error: Source-file '" + file + "' holds no update data.\n");
        EXPECT_EQ(result.status, kFailed);
        EXPECT_EQ(scratch.Read("received"), "");
        EXPECT_NE(result.err.find(file + ":1:1:"), std::string::npos) << result.err;
    }
}

TEST_F(SerialUpdate, TrailingTextIsIgnoredAndReported)
{
    const std::string file = scratch.Write("trailing.hex", "00 01 AA\n00 00\n trailer\n");
    ProcessResult result = WithTarget({}, {"-F" + file, "-COM@PORT@", "-9600"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 60) + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, file + ":3:2: the image data ends here; 8 characters from here on are ignored\n");

    // Nothing on standard error when the text runs to the end of the file.
    result = WithTarget({}, {"-F" + Image(BlockImage({3})), "-COM@PORT@", "-9600"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
}

TEST_F(SerialUpdate, SpecialFilesAreNoImage)
{
    // A FIFO that nobody writes would block the open for ever.
    const std::string fifo = scratch.Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ProcessResult result = Update({"-F" + fifo, "-115200", "-COM1"});
    EXPECT_EQ(result.out, "Error: Source-file '" + fifo + "' not found or no rights.\n");
    EXPECT_EQ(result.status, kFailed);
    EXPECT_LT(result.seconds, 2.0);

    // A device reads as empty and would pass for an empty image.
    result = Update({"-F/dev/null", "-115200", "-COM1"});
    EXPECT_EQ(result.out, "Error: Source-file '/dev/null' not found or no rights.\n");
    EXPECT_EQ(result.status, kFailed);
}

}  // namespace
