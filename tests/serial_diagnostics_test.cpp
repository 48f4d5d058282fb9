// Why a serial port did not open, on standard error, and the per-block trace:
// standard output stays byte for byte what it always was.
#include <gtest/gtest.h>

#include <algorithm>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <regex>
#include <cstring>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "process.h"

namespace {

constexpr int kFailed = 255;

// Every number that follows the prefix and runs to the marker's end, replaced by the word.
std::string Replaced(std::string text, const std::string& prefix, const char* digits, const std::string& word)
{
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + prefix.size())) {
        const size_t start = at + prefix.size();
        const size_t end = text.find_first_not_of(digits, start);
        if (end > start)
            text.replace(start, end - start, word);
    }
    return text;
}

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string InUse(const std::string& name)
{
    return "Connection with Serial Com-Port " + name + "...\nError: " + name + " in use or does not exist.\n";
}

// A pseudo-terminal whose far end the test holds: a serial port to open.
class Pty {
public:
    Pty()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
            path_ = ptsname(master_);
    }
    ~Pty()
    {
        if (master_ >= 0)
            close(master_);
    }
    const std::string& Path() const { return path_; }

private:
    int master_ = -1;
    std::string path_;
};

const std::string kConnect = "Connection with Serial Com-Port COM/dev/pts/N...\n";
const std::string kDone = "\rTransferring.. 100% done.  \nTarget updated successfully.\n";

class SerialReasons : public ::testing::Test {
protected:
    ProcessResult Update(std::vector<std::string> arguments, const std::vector<std::string>& environment = {})
    {
        arguments.insert(arguments.begin(), UPDATE_BINARY);
        return RunProcess(arguments, environment);
    }

    // The simulated target on a pty; its port name made the same in every run.
    ProcessResult WithTarget(const std::vector<std::string>& targetOptions, const std::vector<std::string>& arguments,
                             const std::vector<std::string>& environment = {})
    {
        std::vector<std::string> argv = {SIMTARGET_BINARY, "--quiet"};
        argv.insert(argv.end(), targetOptions.begin(), targetOptions.end());
        argv.push_back("--");
        argv.push_back(UPDATE_BINARY);
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        ProcessResult result = RunProcess(argv, environment);
        result.out = Replaced(result.out, "/dev/pts/", "0123456789", "N");
        return result;
    }

    std::string Image(const std::vector<unsigned char>& bytes) { return scratch.Write("image.hex", HexText(bytes)); }

    ScratchDir scratch;
};

TEST_F(SerialReasons, PortThatDoesNotExist)
{
    const std::string image = Image({0, 1, 0x55});
    ProcessResult result = Update({"-F" + image, "-19200", "-COMttyNoSuchPort"});
    EXPECT_EQ(result.out, InUse("COMttyNoSuchPort"));
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(result.err, "update: there is no port /dev/ttyNoSuchPort: No such file or directory; "
                          "\"update --list\" shows the ports there are\n");

    result = Update({"-F" + image, "-19200", "-COM0"});
    EXPECT_EQ(result.out, InUse("COM0"));
    EXPECT_EQ(result.err, "update: COM0 names no port (COM1 is the first); \"update --list\" shows the ports there are\n");
}

TEST_F(SerialReasons, DeviceThatIsNoSerialPort)
{
    const ProcessResult result = Update({"-F" + Image({0, 0}), "-9600", "-COM/dev/null"});
    EXPECT_EQ(result.out, InUse("COM/dev/null"));
    EXPECT_EQ(result.err, "update: /dev/null is not a serial port: Inappropriate ioctl for device\n");
}

TEST_F(SerialReasons, PortHeldByAnotherProgram)
{
    Pty pty;
    ASSERT_FALSE(pty.Path().empty());
    ProcessResult result;
    {
        const FileHolder holder(pty.Path(), FileHolder::kFlock);
        ASSERT_TRUE(holder.Holding());
        result = Update({"-F" + Image({0, 0}), "-9600", "-COM" + pty.Path()});
    }
    EXPECT_EQ(result.out, InUse("COM" + pty.Path()));
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(result.err, "update: " + pty.Path() + " is held by another program: Resource temporarily unavailable; "
                          "close it (fuser -v " + pty.Path() + " names it) and try again\n");
}

// flock(1) running the update with the port locked, the usual way to keep
// scripts off each other's port: its lock is the caller's own, whether the
// update inherits the locked descriptor or not (-o closes it for the command).
TEST_F(SerialReasons, FlockWrapperHandsItsLockOver)
{
    const std::string image = Image(BlockImage({10, 10}));
    for (const char* option : {"-n", "-o"}) {
        ProcessResult result = RunProcess({SIMTARGET_BINARY, "--quiet", "--", "/usr/bin/flock", option, "@PORT@",
                                           UPDATE_BINARY, "-F" + image, "-COM@PORT@", "-115200"});
        result.out = Replaced(result.out, "/dev/pts/", "0123456789", "N");
        EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 50) + kDone) << option;
        EXPECT_EQ(result.status, 0) << option << ": " << result.err;
    }
}

// A lock of a process whose descriptors this user may not read (root's, for
// nobody): /proc/locks still shows it. A record lock (fcntl) does not
// conflict with the program's own flock, so only that look finds it. Needs
// root to run the program as another user.
TEST_F(SerialReasons, LockOfAProcessWhoseFilesAreHidden)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the program as another user";
    ASSERT_NE(getpwnam("nobody"), nullptr);
    Pty pty;
    ASSERT_FALSE(pty.Path().empty());
    ASSERT_EQ(chmod(pty.Path().c_str(), 0666), 0);
    const std::string image = Image({0, 1, 0x55});
    const std::string program = scratch.Path("update");
    ASSERT_EQ(RunProcess({"/bin/cp", UPDATE_BINARY, program}).status, 0);
    ASSERT_EQ(chmod(scratch.Path("").c_str(), 0755), 0);
    ASSERT_EQ(chmod(image.c_str(), 0644), 0);

    const FileHolder holder(pty.Path(), FileHolder::kRecordLock);
    ASSERT_TRUE(holder.Holding());
    const ProcessResult result =
        RunProcess({program, "-F" + image, "-19200", "-COM" + pty.Path()}, {}, nullptr, "nobody");
    EXPECT_EQ(result.out, InUse("COM" + pty.Path()));
    EXPECT_EQ(result.err, "update: " + pty.Path() + " is held by another program: Device or resource busy; "
                          "close it (fuser -v " + pty.Path() + " names it) and try again\n");
}

// A look for the port's users that could not be made (few descriptors left:
// ulimit -n) tells nothing: the port is refused, never shared with the
// program that has it open (a child of the shell here, that the update does
// not descend from). Every limit from the one that lets the port open up to
// one where the look is whole.
TEST_F(SerialReasons, LookThatCannotBeMadeRefusesThePort)
{
#if defined(UPDATE_SANITIZED)
    GTEST_SKIP() << "the sanitizers' runtime does not start with so few descriptors";
#endif
    const std::string image = Image(BlockImage({10}));
    const std::string holder = scratch.Path("holder");
    bool unknown = false;
    bool whole = false;
    for (int limit = 4; limit <= 12; ++limit) {
        // The holder inherits descriptor 3 at fork; the shell then drops it.
        const std::string script = "exec 3<\"$1\"; sleep 30 >/dev/null 2>&1 & echo $! > " + holder +
                                   "; exec 3<&-; ulimit -n " + std::to_string(limit) + " && exec \"$0\" -F" + image + " \"-COM$1\" -115200";
        ProcessResult result =
            RunProcess({SIMTARGET_BINARY, "--quiet", "--", "/bin/sh", "-c", script, UPDATE_BINARY, "@PORT@"});
        const pid_t sleeper = pid_t(atol(scratch.Read("holder").c_str()));
        if (sleeper > 0)
            kill(sleeper, SIGKILL);
        result.out = Replaced(result.out, "/dev/pts/", "0123456789", "N");
        result.err = Replaced(Replaced(result.err, "/dev/pts/", "0123456789", "N"), "/proc/", "0123456789", "P");
        EXPECT_EQ(result.out, InUse("COM/dev/pts/N")) << "ulimit -n " << limit;
        EXPECT_EQ(result.status, kFailed) << limit;
        unknown = unknown || (result.err.rfind("update: cannot use /dev/pts/N: cannot see which programs have it "
                                               "open: /proc/P/",
                                               0) == 0 &&
                              EndsWith(result.err, ": Too many open files\n"));
        whole = whole || result.err.find(" is held by another program: Device or resource busy;") != std::string::npos;
    }
    EXPECT_TRUE(unknown);
    EXPECT_TRUE(whole);
}

// The descriptor through which a process has the file open, as
// /proc/<pid>/fd/<n>; empty when it has none.
std::string LinkTo(pid_t pid, const std::string& file)
{
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
    for (int fd = 0; fd < 64; ++fd) {
        char target[4096];
        const ssize_t length = readlink((folder + std::to_string(fd)).c_str(), target, sizeof target);
        if (length > 0 && std::string(target, size_t(length)) == file)
            return folder + std::to_string(fd);
    }
    return "";
}

// The look never follows a link out of /dev: stat on a file of a network
// share whose server went away (sshfs, a hard NFS mount) waits for ever, past
// Ctrl-C. strace lists the links the program stats while one process has a
// regular file open and another /dev/null; the second must be among them, or
// the trace shows nothing.
TEST_F(SerialReasons, LookFollowsNoLinkOutOfDev)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "needs strace (tools/deps.sh installs it)";
    const std::string file = scratch.Write("on-a-share", "");
    const FileHolder share(file);
    const FileHolder device("/dev/null");
    ASSERT_TRUE(share.Holding());
    ASSERT_TRUE(device.Holding());
    const std::string shareLink = LinkTo(share.Pid(), file);
    const std::string deviceLink = LinkTo(device.Pid(), "/dev/null");
    ASSERT_FALSE(shareLink.empty());
    ASSERT_FALSE(deviceLink.empty());
    const std::string trace = scratch.Path("trace");
    const ProcessResult result = RunProcess(
        {SIMTARGET_BINARY, "--quiet", "--", "/usr/bin/strace", "-f", "-qq", "-o", trace, "-e",
         "trace=stat,lstat,newfstatat,statx", UPDATE_BINARY, "-F" + Image(BlockImage({10})), "-COM@PORT@", "-115200"},
        {"ASAN_OPTIONS=detect_leaks=0"});  // the leak check cannot run under ptrace
    EXPECT_EQ(result.status, 0) << result.err;
    const std::string calls = scratch.Read("trace");
    EXPECT_EQ(calls.find("\"" + shareLink + "\""), std::string::npos) << calls;
    EXPECT_NE(calls.find("\"" + deviceLink + "\""), std::string::npos) << calls;
}

// The port belongs to a group the user is not in: run as nobody, which needs
// root to start from (as CI runs).
TEST_F(SerialReasons, PermissionDeniedNamesTheGroup)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the program as another user";
    const group* dialout = getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    ASSERT_NE(getpwnam("nobody"), nullptr);
    Pty pty;
    ASSERT_FALSE(pty.Path().empty());
    ASSERT_EQ(chown(pty.Path().c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(pty.Path().c_str(), 0660), 0);

    // The unprivileged user needs to reach the program and the image.
    const std::string image = Image({0, 1, 0x55});
    const std::string program = scratch.Path("update");
    ASSERT_EQ(RunProcess({"/bin/cp", UPDATE_BINARY, program}).status, 0);
    ASSERT_EQ(chmod(scratch.Path("").c_str(), 0755), 0);
    ASSERT_EQ(chmod(image.c_str(), 0644), 0);

    const ProcessResult result = RunProcess({program, "-F" + image, "-19200", "-COM" + pty.Path()}, {}, nullptr, "nobody");
    EXPECT_EQ(result.out, InUse("COM" + pty.Path()));
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(result.err, "update: no permission to open " + pty.Path() +
                              ": Permission denied; it belongs to group dialout: add yourself to group dialout "
                              "(sudo usermod -aG dialout $USER) and log in again\n");
}

std::string WithoutTimes(const std::string& trace)
{
    return Replaced(trace, " ms=", "0123456789.", "T");
}

TEST_F(SerialReasons, TraceShowsEverySendAndLeavesStandardOutputAlone)
{
    const std::string image = Image(BlockImage({98, 298}));
    const std::vector<std::string> arguments = {"-F" + image, "-COM@PORT@", "-38400"};
    const ProcessResult plain = WithTarget({"--reject", "2@1"}, arguments);
    const ProcessResult traced = WithTarget({"--reject", "2@1"}, arguments, {"UPDATE_TRACE=1"});
    const std::string expected = kConnect + ProgressLine('-', 0) + ProgressLine('-', 25) + ProgressLine('\\', 25) +
                                 ProgressLine('\\', 25) + kDone;
    EXPECT_EQ(plain.out, expected);
    EXPECT_EQ(plain.err, "");  // silent on success
    EXPECT_EQ(traced.out, expected);
    EXPECT_EQ(traced.status, 0);
    EXPECT_EQ(WithoutTimes(traced.err), "trace: block=1 offset=0 size=100 send=1 reply=0x11 ms=T\n"
                                        "trace: block=2 offset=100 size=300 send=1 reply=0x15 ms=T\n"
                                        "trace: block=2 offset=100 size=300 send=2 reply=0x15 ms=T\n"
                                        "trace: block=2 offset=100 size=300 send=3 reply=0x11 ms=T\n");
}

TEST_F(SerialReasons, TraceOfABlockWithoutReply)
{
    const std::string image = Image(BlockImage({1, 1}));
    const ProcessResult result = WithTarget({"--vanish-after", "1"}, {"-F" + image, "-COM@PORT@", "-115200"},
                                            {"UPDATE_TRACE=1"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + ProgressLine('-', 50) +
                              "\nFailed: Target is not responding.\n");
    // The trace comes first, then why the transfer failed.
    const std::string trace = "trace: block=1 offset=0 size=3 send=1 reply=0x11 ms=T\n"
                              "trace: block=2 offset=3 size=3 send=1 reply=none ms=T\n";
    EXPECT_EQ(WithoutTimes(result.err).substr(0, trace.size()), trace);
    EXPECT_NE(result.err.find("\nupdate: block 2 of 2 (offset 3, 3 bytes), send 1 of 4: the link's "), std::string::npos)
        << result.err;
}

// The time is that of the wait for the reply: a line of 300 bytes at 9600
// baud takes 344 ms (8E1) before the target can answer.
TEST_F(SerialReasons, TraceTimesTheWaitForTheReply)
{
    const std::string image = Image(BlockImage({298}));
    const ProcessResult result = WithTarget({"--pace", "9600"}, {"-F" + image, "-COM@PORT@", "-9600"},
                                            {"UPDATE_TRACE=1"});
    const size_t at = result.err.find(" ms=");
    ASSERT_NE(at, std::string::npos) << result.err;
    const double ms = std::stod(result.err.substr(at + 4));
    EXPECT_GE(ms, 300.0);
    EXPECT_LT(ms, 2000.0);
}

// --help and --version answer only as the sole argument; anywhere else they
// are words the command line ignores, as it always did.
TEST_F(SerialReasons, HelpAndVersionOnlyAsTheSoleArgument)
{
    ProcessResult result = Update({"--help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    ASSERT_EQ(result.out.compare(0, std::strlen(kUsageText), kUsageText), 0) << result.out;
    for (const char* pointer : {"update --list", "UPDATE_TRACE=1", "man update", "update --version"})
        EXPECT_NE(result.out.find(pointer, std::strlen(kUsageText)), std::string::npos) << pointer;

    result = Update({"--version"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    const std::regex version("update " UPDATE_PROJECT_VERSION "( \\(git [0-9A-Za-z._-]+\\))?\n"
                             "Copyright \\(c\\) 2026 The update developers\n"
                             "Licence: MIT \\(SPDX-License-Identifier: MIT\\)[^\n]*\n[^\n]*\n");
    EXPECT_TRUE(std::regex_match(result.out, version)) << result.out;

    const std::vector<std::vector<std::string>> elsewhere = {
        {"--help", "-9600"}, {"-9600", "--version"}, {"--helps"}, {"-help"}, {"--version", "--help"}, {"-version"}};
    for (const std::vector<std::string>& arguments : elsewhere) {
        result = Update(arguments);
        EXPECT_EQ(result.out, kUsageText) << arguments[0];
        EXPECT_EQ(result.status, kFailed) << arguments[0];
    }
    // Beside a whole command line they change nothing.
    const std::string image = Image(BlockImage({1}));
    result = WithTarget({}, {"-F" + image, "--version", "-COM@PORT@", "--help", "-9600"});
    EXPECT_EQ(result.out, kConnect + ProgressLine('-', 0) + kDone);
    EXPECT_EQ(result.status, 0);
}

// Every failure of a transfer explained on standard error, standard output
// as it always was: the cases that every link shares.
class SerialTransferFailures : public SerialReasons, public ::testing::WithParamInterface<size_t> {};

TEST_P(SerialTransferFailures, ExplainedOnStandardError)
{
    const TransferFailureCase& failure = kTransferFailureCases[GetParam()];
    const std::string script = scratch.Write("script", failure.script);
    const std::string image = Image(TransferFailureImage());
    Interruption interruption;
    interruption.signal = SIGINT;
    interruption.after = "Transferring";
    interruption.delaySeconds = 1.0;
    interruption.toChild = true;
    std::vector<std::string> argv = {SIMTARGET_BINARY, "--quiet", "--script", script, "--", UPDATE_BINARY,
                                     "-F" + image, "-COM@PORT@", "-115200"};
    const ProcessResult result = RunProcess(argv, {}, failure.interrupt ? &interruption : nullptr);
    EXPECT_EQ(Replaced(result.out, "/dev/pts/", "0123456789", "N"), kConnect + failure.out);
    EXPECT_EQ(result.status, kFailed);
    // A pty's far end that goes away during the drain of the output fails
    // the write too (the drain's ioctl), or only the read after it.
    const std::vector<std::string> expected = ExpectedExplanations(
        failure, "COM/dev/pts/N at 115200 baud 8E1",
        {"read failed: the line hung up", "write failed: Input/output error; its read: the line hung up"});
    const std::string err = WithoutWaits(Replaced(result.err, "/dev/pts/", "0123456789", "N"));
    EXPECT_NE(std::find(expected.begin(), expected.end(), err), expected.end()) << err << "expected:\n" << expected[0];
    // The wait is the reply time-out's (8 s here), or the time to the interrupt.
    const size_t within = result.err.find("no reply within ");
    if (within != std::string::npos) {
        EXPECT_GE(std::stod(result.err.substr(within + 16)), 7900.0) << result.err;
    }
    const size_t waiting = result.err.find("its reply (");
    if (waiting != std::string::npos) {
        EXPECT_GE(std::stod(result.err.substr(waiting + 11)), 500.0) << result.err;
        EXPECT_LT(std::stod(result.err.substr(waiting + 11)), 7900.0) << result.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SerialTransferFailures, ::testing::Range<size_t>(0, kTransferFailureCaseCount),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return std::string(kTransferFailureCases[info.param].name);
                         });

}  // namespace
