// update.exe over a Wine COM port: the port is a symbolic link in the prefix
// to a pseudo-terminal whose far side is the simulated target. Each test has
// COM port numbers of its own, as the tests run in parallel.
#include <cstdlib>
#include <sstream>

#include "wine_harness.h"

namespace {

std::string Connect(const std::string& port)
{
    return Crlf("Connection with Serial Com-Port " + port + "...\n");
}

const std::string kDone = Crlf("\rTransferring.. 100% done.  \nTarget updated successfully.\n");
const std::string kNotResponding = Crlf("\nFailed: Target is not responding.\n");

class WineSerial : public WineUpdate {
protected:
    WineSerial() { Install({}); }
};

TEST_F(WineSerial, FullUpdateWithCrLfLineEnds)
{
    const std::vector<unsigned char> bytes = BlockImage({98, 98, 98}, 7);
    const WineResult result = RunWithTarget(21, {}, {"-F" + Image(bytes), "-COM21", "-115200"});
    EXPECT_EQ(result.out,
              Connect("COM21") + ProgressLine('-', 0) + ProgressLine('-', 33) + ProgressLine('\\', 66) + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(Received(), std::string(bytes.begin(), bytes.end()));
}

TEST_F(WineSerial, UsageAndMissingFileEndWithTheFailureStatus)
{
    WineResult result = Run({});
    EXPECT_EQ(result.out, Crlf(kUsageText));
    EXPECT_EQ(result.status, kFailed);

    result = Run({"-Fmissing.hex", "-115200", "-COM1"});
    EXPECT_EQ(result.out, Crlf("Error: Source-file 'missing.hex' not found or no rights.\n"));
    EXPECT_EQ(result.status, kFailed);

    // A folder is no image, not an empty one that would "succeed".
    result = Run({"-F.", "-115200", "-COM1"});
    EXPECT_EQ(result.out, Crlf("Error: Source-file '.' not found or no rights.\n"));
    EXPECT_EQ(result.status, kFailed);
}

TEST_F(WineSerial, RejectionsResendTheBlockAndFourEndTheUpdate)
{
    const std::string image = Image(BlockImage({98, 298}));
    WineResult result = RunWithTarget(22, {"--reject", "3@1"}, {"-F" + image, "-COM22", "-38400"});
    EXPECT_EQ(result.out, Connect("COM22") + ProgressLine('-', 0) + ProgressLine('-', 25) + ProgressLine('\\', 25) +
                              ProgressLine('\\', 25) + ProgressLine('|', 25) + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(SendsSeen(), "sends 1 4");

    result = RunWithTarget(22, {"--reject", "4@1"}, {"-F" + image, "-COM22", "-38400"});
    EXPECT_EQ(result.out, Connect("COM22") + ProgressLine('-', 0) + ProgressLine('-', 25) + ProgressLine('\\', 25) +
                              ProgressLine('\\', 25) + ProgressLine('|', 25) + Crlf("\nCRC error. File damaged.\n"));
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(SendsSeen(), "sends 1 4");
}

TEST_F(WineSerial, StaleBytesAreDrainedNeverTakenAsReplies)
{
    const std::string image = Image(BlockImage({10, 10}));
    const WineResult result =
        RunWithTarget(23, {"--preload", "40", "--reject", "2", "--stale", "5"}, {"-F" + image, "-COM23", "-115200"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(SendsSeen(), "sends 3 3");
    EXPECT_EQ(result.out, Connect("COM23") + ProgressLine('-', 0) + ProgressLine('-', 0) + ProgressLine('\\', 0) +
                              ProgressLine('\\', 50) + ProgressLine('|', 50) + ProgressLine('|', 50) + kDone);
}

// Wine keeps the COMMTIMEOUTS: a one-byte read under 4000 ms waits 4000 * 1 + 4000.
TEST_F(WineSerial, SilentTargetTimesOutAfterEightSeconds)
{
    const WineResult result =
        RunWithTarget(24, {"--silent-from", "1"}, {"-F" + Image(BlockImage({1, 1})), "-COM24", "-115200"});
    EXPECT_EQ(result.out, Connect("COM24") + ProgressLine('-', 0) + ProgressLine('-', 50) + kNotResponding);
    EXPECT_EQ(result.status, kFailed);
    EXPECT_GE(result.seconds, 8.0);
    EXPECT_LT(result.seconds, 11.0);
}

// Ctrl-C in the middle of a long update: the run ends in order between two
// blocks. (Wine cannot cancel a read of a COM port, so a read that waits for a
// silent target ends only at its time-out there; Windows cancels it.)
TEST_F(WineSerial, CtrlCEndsTheUpdateInOrder)
{
    const std::vector<unsigned char> bytes = BlockImage(std::vector<int>(60, 98));
    InterruptAfter(1.5);
    const WineResult result = RunWithTarget(26, {"--pace", "9600"}, {"-F" + Image(bytes), "-COM26", "-9600"});
    const std::string interrupted = Crlf("\nFailed: Update interrupted.\n");
    ASSERT_GE(result.out.size(), interrupted.size());
    EXPECT_EQ(result.out.substr(result.out.size() - interrupted.size()), interrupted);
    EXPECT_EQ(result.status, kFailed);
    EXPECT_LT(result.secondsAfterInterrupt, 1.0);
    EXPECT_LT(Received().size(), bytes.size());
}

TEST_F(WineSerial, MissingPortIsInUse)
{
    const std::string image = Image({0, 1, 0x55});
    WineResult result = Run({"-F" + image, "-19200", "-COM97"});
    EXPECT_EQ(result.out, Connect("COM97") + Crlf("Error: COM97 in use or does not exist.\n"));
    EXPECT_EQ(result.status, kFailed);
    // Standard error says why, in Windows' words.
    EXPECT_EQ(result.err.find("update: cannot use \\\\.\\COM97: CreateFileA: "), 0u) << result.err;

    result = Run({"-F" + image, "-19200", "-COMnothing"});
    EXPECT_EQ(result.out, Connect("COMnothing") + Crlf("Error: COMnothing in use or does not exist.\n"));
    EXPECT_EQ(result.status, kFailed);
}

// From COM10 up a port opens only in the device namespace; the messages show
// the name as given.
TEST_F(WineSerial, PortsFromComTenUpOpenInTheDeviceNamespace)
{
    const std::vector<unsigned char> bytes = BlockImage({20});
    const WineResult result = RunWithTarget(12, {}, {"-F" + Image(bytes), "-COM12", "-57600"});
    EXPECT_EQ(result.out, Connect("COM12") + ProgressLine('-', 0) + kDone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(Received(), std::string(bytes.begin(), bytes.end()));
}

// The arguments of the first traced call of a function, as Wine's relay trace
// shows them: each in a whole 64-bit register, so that a 32-bit argument may
// show garbage above its low 32 bits; a string argument also shows its text.
std::vector<uint64_t> TracedArguments(const std::string& trace, const std::string& function, std::string* text)
{
    std::vector<uint64_t> arguments;
    const size_t call = trace.find("Call " + function + "(");
    if (call == std::string::npos)
        return arguments;
    const size_t begin = trace.find('(', call) + 1;
    const size_t end = trace.find(") ret=", begin);
    std::istringstream list(trace.substr(begin, end - begin));
    for (std::string item; std::getline(list, item, ',');) {
        const size_t quote = item.find(" \"");
        if (quote != std::string::npos && text)
            *text = item.substr(quote + 1);
        arguments.push_back(strtoull(item.c_str(), nullptr, 16));
    }
    return arguments;
}

uint32_t Low32(uint64_t value)
{
    return uint32_t(value);
}

// The calls that Wine cannot show by their effect (share mode 0: Wine does not
// enforce it on serial ports) are checked in its trace of the real program's
// calls into kernel32 and winmm.
TEST_F(WineSerial, TracedCallsCarryTheirArguments)
{
    const std::string wine = getenv("WINE") ? getenv("WINE") : "";
    // Traces only these functions (the prefix's registry; harmless to the
    // other tests, which trace nothing).
    const std::vector<std::string> reg = {wine, "reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude",
                                          "/d",
                                          "kernel32.CreateFileA;kernel32.SetupComm;kernel32.FlushFileBuffers;"
                                          "winmm.timeBeginPeriod;winmm.timeEndPeriod",
                                          "/f"};
    ASSERT_EQ(Start(reg, {}).status, 0);

    const WineResult result = RunWithTarget(25, {}, {"-F" + Image(BlockImage({30})), "-COM25", "-9600"},
                                            {"WINEDEBUG=+relay"});
    EXPECT_EQ(result.status, 0);
    const std::string& trace = result.err;

    // The port in the device namespace; read and write access, share mode 0,
    // no security attributes, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, no template.
    std::string name;
    const std::vector<uint64_t> open = TracedArguments(trace, "KERNEL32.CreateFileA", &name);
    ASSERT_EQ(open.size(), 7u) << trace.substr(0, 4000);
    EXPECT_EQ(name, "\"\\\\\\\\.\\\\COM25\"");
    EXPECT_EQ(Low32(open[1]), 0xC0000000u);
    EXPECT_EQ(Low32(open[2]), 0u);
    EXPECT_EQ(open[3], 0u);
    EXPECT_EQ(Low32(open[4]), 3u);
    EXPECT_EQ(Low32(open[5]), 0x80u);
    EXPECT_EQ(open[6], 0u);

    const std::vector<uint64_t> queues = TracedArguments(trace, "KERNEL32.SetupComm", nullptr);
    ASSERT_EQ(queues.size(), 3u);
    EXPECT_EQ(Low32(queues[1]), 1024u);
    EXPECT_EQ(Low32(queues[2]), 1024u);

    EXPECT_FALSE(TracedArguments(trace, "KERNEL32.FlushFileBuffers", nullptr).empty());
    const std::vector<uint64_t> timer = TracedArguments(trace, "winmm.timeBeginPeriod", nullptr);
    ASSERT_EQ(timer.size(), 1u);
    EXPECT_EQ(Low32(timer[0]), 1u);
    const std::vector<uint64_t> timerBack = TracedArguments(trace, "winmm.timeEndPeriod", nullptr);
    ASSERT_EQ(timerBack.size(), 1u);
    EXPECT_EQ(Low32(timerBack[0]), 1u);
}

}  // namespace
