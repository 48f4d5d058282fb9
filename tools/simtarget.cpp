// Plays the target on the far side of a pseudo-terminal: runs the given update
// command with the terminal's path in place of @PORT@, answers its blocks, and
// ends with the command's exit status and a summary of what it received.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#include <sys/prctl.h>
#endif

#include "target/sim_target.h"

namespace {

constexpr int kBitsPerByte8E1 = 11;
constexpr int kPollMs = 20;

// A trickle goes out in small writes with short pauses. The host's drain ends
// at the first read that finds the line quiet for its time-out (1 ms, so 2 ms
// for a one-byte read); trickled bytes that come further apart than that are
// indistinguishable from a reply. The target notes any pause of more than
// 1 ms, which leaves room for the terminal's own delay, as a run the protocol
// cannot judge.
constexpr size_t kTrickleChunk = 8;
constexpr long kTricklePauseUs = 100;
constexpr long kTrickleGapLimitUs = 1000;

// Bytes on the line before the first block.
struct StartBytes {
    uint32_t stale = 0;
    uint8_t staleByte = kTargetAccept;
    uint32_t trickle = 0;
    uint8_t trickleByte = kTargetAccept;
};

struct Options {
    TargetBehaviour behaviour;
    int preload = 0;
    StartBytes start;
    const char* logFile = nullptr;
    uint32_t paceBaud = 0;
    const char* summaryFile = nullptr;
    const char* recordFile = nullptr;
    const char* linkPath = nullptr;
    bool quiet = false;
    bool realtime = false;
    std::vector<std::string> command;
};

void Usage()
{
    fprintf(stderr,
            "usage: simtarget [options] -- update-command... (@PORT@ stands for the terminal)\n"
            "  --reject N[@B]     reject block B (without @B: every block) N times, then accept\n"
            "  --reject-all       reject every block\n"
            "  --silent-from B    answer nothing from block B on (0: a silent target)\n"
            "  --vanish-after K   hang up the line once K blocks were accepted\n"
            "  --stale N          follow every reply with N stale bytes\n"
            "  --stale-byte XX    value of the stale bytes (hex, default 11)\n"
            "  --reject-byte XX   value of a rejection (hex, default 15)\n"
            "  --preload N        N stale bytes wait on the line before the first block\n"
            "  --script FILE      per-send behaviour, one line per send (overrides the above):\n"
            "                       BLOCK SEND reply XX|silent|hangup N [delay MS] [stale N:XX] [trickle N:XX]\n"
            "                       start [stale N:XX] [trickle N:XX]   (bytes before the first block)\n"
            "  --log FILE         write the terminal's path, every send received and its\n"
            "                     outcome, and any timing the protocol cannot judge, to FILE\n"
            "  --pace BAUD        read at the pace of an 8E1 line at BAUD\n"
            "  --summary FILE     write the summary to FILE\n"
            "  --record FILE      write every byte received to FILE\n"
            "  --link PATH        make PATH a symbolic link to the terminal while the command\n"
            "                     runs (under Wine, $WINEPREFIX/dosdevices/comN is port COMN)\n"
            "  --quiet            no summary on standard error\n"
            "  --realtime         run the target at real-time priority where allowed, so that\n"
            "                     it keeps its own timing as a device would; the command is\n"
            "                     scheduled as usual\n");
}

bool ParseReject(const char* text, TargetBehaviour* behaviour)
{
    char* end = nullptr;
    const long times = strtol(text, &end, 10);
    long block = -1;
    if (*end == '@')
        block = strtol(end + 1, &end, 10);
    if (*end != '\0' || times < 0)
        return false;
    behaviour->rejections[block] = int(times);
    return true;
}

// "start [stale N:XX] [trickle N:XX]": what waits or comes before the first block.
bool ParseStartLine(const std::string& line, StartBytes* start)
{
    std::vector<std::string> words;
    size_t at = 0;
    while ((at = line.find_first_not_of(" \t\r", at)) != std::string::npos) {
        const size_t end = line.find_first_of(" \t\r", at);
        words.push_back(line.substr(at, end - at));
        at = end;
    }
    if (words.size() % 2 != 1)
        return false;
    for (size_t i = 1; i < words.size(); i += 2) {
        unsigned count = 0;
        unsigned value = 0;
        char tail = 0;
        if (sscanf(words[i + 1].c_str(), "%u:%x%c", &count, &value, &tail) != 2 || value > 0xFF)
            return false;
        if (words[i] == "stale") {
            start->stale = count;
            start->staleByte = uint8_t(value);
        } else if (words[i] == "trickle") {
            start->trickle = count;
            start->trickleByte = uint8_t(value);
        } else {
            return false;
        }
    }
    return true;
}

bool ReadScript(const char* path, Options* options)
{
    std::ifstream file(path);
    if (!file) {
        fprintf(stderr, "simtarget: cannot read %s\n", path);
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        const bool ok = line.compare(0, 5, "start") == 0 ? ParseStartLine(line, &options->start)
                                                         : ParseScriptLine(line, &options->behaviour);
        if (!ok) {
            fprintf(stderr, "simtarget: %s:%d: cannot read: %s\n", path, number, line.c_str());
            return false;
        }
    }
    return true;
}

bool ParseOptions(int argc, char** argv, Options* options)
{
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--reject-all") {
            options->behaviour.rejectAll = true;
        } else if (option == "--quiet") {
            options->quiet = true;
        } else if (option == "--realtime") {
            options->realtime = true;
        } else if (!hasValue) {
            return false;
        } else if (option == "--reject") {
            if (!ParseReject(argv[++i], &options->behaviour))
                return false;
        } else if (option == "--silent-from") {
            options->behaviour.silentFrom = atol(argv[++i]);
        } else if (option == "--vanish-after") {
            options->behaviour.vanishAfter = atol(argv[++i]);
        } else if (option == "--stale") {
            options->behaviour.staleAfterReply = atoi(argv[++i]);
        } else if (option == "--stale-byte") {
            options->behaviour.staleByte = uint8_t(strtoul(argv[++i], nullptr, 16));
        } else if (option == "--reject-byte") {
            options->behaviour.rejectByte = uint8_t(strtoul(argv[++i], nullptr, 16));
        } else if (option == "--preload") {
            options->preload = atoi(argv[++i]);
        } else if (option == "--script") {
            if (!ReadScript(argv[++i], options))
                return false;
        } else if (option == "--log") {
            options->logFile = argv[++i];
        } else if (option == "--pace") {
            options->paceBaud = uint32_t(strtoul(argv[++i], nullptr, 10));
        } else if (option == "--summary") {
            options->summaryFile = argv[++i];
        } else if (option == "--record") {
            options->recordFile = argv[++i];
        } else if (option == "--link") {
            options->linkPath = argv[++i];
        } else {
            return false;
        }
    }
    for (++i; i < argc; ++i)
        options->command.push_back(argv[i]);
    return !options->command.empty();
}

// The master side of a new terminal; the slave is kept open (raw, no echo) so
// that bytes sent before the update opens it wait there instead of echoing back.
bool OpenTerminal(int* master, int* slave, std::string* path)
{
    *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0)
        return false;
    const char* name = ptsname(*master);
    if (!name)
        return false;
    *path = name;
    *slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*slave < 0)
        return false;
    struct termios tio;
    if (tcgetattr(*slave, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    return tcsetattr(*slave, TCSANOW, &tio) == 0;
}

pid_t StartCommand(const std::vector<std::string>& command, const std::string& port)
{
    std::vector<std::string> words = command;
    for (std::string& word : words) {
        for (size_t at = word.find("@PORT@"); at != std::string::npos; at = word.find("@PORT@", at + port.size()))
            word.replace(at, 6, port);
    }
    const pid_t child = fork();
    if (child != 0)
        return child;
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    fprintf(stderr, "simtarget: cannot run %s: %s\n", argv[0], strerror(errno));
    _exit(127);
}

bool WriteAll(int fd, const uint8_t* data, size_t count)
{
    while (count > 0) {
        const ssize_t written = write(fd, data, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        count -= size_t(written);
    }
    return true;
}

// The master side of the terminal, and what the target noted of its own timing.
struct Line {
    int master = -1;
    // The slave side stays open here too: its input queue is the host's.
    int slave = -1;
    std::vector<std::string> notes;
    int answers = 0;
};

void PauseMicroseconds(long us)
{
    struct timespec pause = {0, us * 1000};
    // nanosleep, not clock_nanosleep: macOS has only the former.
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// Stale bytes that keep coming for a while, a few at a time.
void Trickle(Line* line, uint32_t count, uint8_t value, const std::string& when)
{
    using Clock = std::chrono::steady_clock;
    const std::vector<uint8_t> chunk(kTrickleChunk, value);
    Clock::time_point last = Clock::now();
    long longestUs = 0;
    for (uint32_t sent = 0; sent < count && line->master >= 0;) {
        PauseMicroseconds(kTricklePauseUs);
        const size_t size = std::min(size_t(count - sent), kTrickleChunk);
        if (!WriteAll(line->master, chunk.data(), size))
            break;
        sent += uint32_t(size);
        const Clock::time_point now = Clock::now();
        const long gapUs = long(std::chrono::duration_cast<std::chrono::microseconds>(now - last).count());
        longestUs = std::max(longestUs, gapUs);
        last = now;
    }
    line->notes.push_back("trickle " + when + " bytes " + std::to_string(count) + " longest-gap-us " +
                          std::to_string(longestUs));
    if (longestUs > kTrickleGapLimitUs)
        line->notes.push_back("indeterminate trickle " + when + " paused " + std::to_string(longestUs) + " us");
}

// Bytes meant to wait for the host before it starts must be in its input
// queue, not still on their way through the terminal, when it opens the line.
void WaitUntilQueued(Line* line, uint32_t count)
{
    int queued = 0;
    for (int tries = 0; tries < 1000; ++tries) {
        if (ioctl(line->slave, FIONREAD, &queued) != 0 || uint32_t(queued) >= count)
            break;
        usleep(1000);
    }
    line->notes.push_back("preload bytes " + std::to_string(count) + " queued " + std::to_string(queued));
    if (uint32_t(queued) < count)
        line->notes.push_back("indeterminate preload: " + std::to_string(queued) + " of " + std::to_string(count) +
                              " bytes reached the terminal");
}

void Answer(Line* line, const TargetAnswer& answer, LinePacer* pacer)
{
    ++line->answers;
    if (answer.delayMs > 0)
        usleep(useconds_t(answer.delayMs) * 1000);
    pacer->Carry(answer.bytes.size());
    WriteAll(line->master, answer.bytes.data(), answer.bytes.size());
    if (answer.trickle > 0)
        Trickle(line, answer.trickle, answer.trickleByte, "after-reply " + std::to_string(line->answers));
}

// Serves the line until the command ends; returns its wait status.
int Serve(Line* line, pid_t child, SimTarget* target, LinePacer* pacer, struct rusage* usage)
{
    std::vector<TargetAnswer> answers;
    uint8_t buffer[4096];
    int status = 0;
    for (;;) {
        const pid_t done = wait4(child, &status, WNOHANG, usage);
        if (done == child)
            return status;
        if (line->master < 0) {
            usleep(kPollMs * 1000);
            continue;
        }
        struct pollfd entry = {line->master, POLLIN, 0};
        if (poll(&entry, 1, kPollMs) <= 0)
            continue;
        const ssize_t count = read(line->master, buffer, sizeof buffer);
        if (count <= 0)
            continue;
        pacer->Carry(size_t(count));
        answers.clear();
        target->Receive(buffer, size_t(count), &answers);
        for (const TargetAnswer& answer : answers)
            Answer(line, answer, pacer);
        if (target->Vanished()) {
            close(line->master);  // the far end hangs up
            line->master = -1;
        }
    }
}

std::string RunLengths(const std::vector<int>& sends)
{
    std::string text;
    for (size_t i = 0; i < sends.size();) {
        size_t j = i;
        while (j < sends.size() && sends[j] == sends[i])
            ++j;
        text += (text.empty() ? "" : ", ") + std::to_string(sends[i]) + (j - i > 1 ? " x" + std::to_string(j - i) : "");
        i = j;
    }
    return text.empty() ? "none" : text;
}

void Report(const Options& options, const SimTarget& target, double wallMs, const struct rusage& usage)
{
    const double cpuMs = usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 + usage.ru_stime.tv_sec * 1e3 +
                         usage.ru_stime.tv_usec / 1e3;
    if (!options.quiet)
        fprintf(stderr, "target: %ld blocks accepted, %llu bytes, sends per block: %s\n", target.BlocksAccepted(),
                (unsigned long long)target.BytesAccepted(), RunLengths(target.SendsPerBlock()).c_str());
    if (options.summaryFile) {
        FILE* file = fopen(options.summaryFile, "w");
        if (file) {
            fprintf(file, "%swall_ms %.3f\ncpu_ms %.3f\n", target.Summary().c_str(), wallMs, cpuMs);
            fclose(file);
        }
    }
    if (options.recordFile) {
        FILE* file = fopen(options.recordFile, "wb");
        if (file) {
            if (!target.Received().empty())
                fwrite(target.Received().data(), 1, target.Received().size(), file);
            fclose(file);
        }
    }
}

void WriteLog(const char* path, const std::string& port, const SimTarget& target, const Line& line)
{
    FILE* file = fopen(path, "w");
    if (!file)
        return;
    fprintf(file, "port %s\n%s", port.c_str(), target.Log().c_str());
    for (const std::string& note : line.notes)
        fprintf(file, "%s\n", note.c_str());
    fclose(file);
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        Usage();
        return 2;
    }
    if (options.preload > 0) {
        options.start.stale = uint32_t(options.preload);
        options.start.staleByte = options.behaviour.staleByte;
    }
    Line line;
#if defined(__linux__)
    // Trickles pause for 100 us at a time: the default 50 us of slack would
    // stretch them by half.
    prctl(PR_SET_TIMERSLACK, 1UL);
    // A device answers on its own clock, not when the host's scheduler lets it.
    // The lowest real-time priority is enough for the target to run as soon as
    // it wakes; it sleeps or waits on the line otherwise, and its children
    // (the command) are scheduled as usual.
    if (options.realtime) {
        struct sched_param priority = {};
        priority.sched_priority = 1;
        if (sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &priority) != 0)
            line.notes.push_back(std::string("no real-time priority: ") + strerror(errno));
    }
#endif
    std::string port;
    if (!OpenTerminal(&line.master, &line.slave, &port)) {
        fprintf(stderr, "simtarget: cannot create a pseudo-terminal: %s\n", strerror(errno));
        return 2;
    }
    if (options.linkPath) {
        struct stat status;
        if (lstat(options.linkPath, &status) == 0 && S_ISLNK(status.st_mode))
            unlink(options.linkPath);  // left behind by an earlier run
        if (symlink(port.c_str(), options.linkPath) != 0) {
            fprintf(stderr, "simtarget: cannot link %s to the terminal: %s\n", options.linkPath, strerror(errno));
            return 2;
        }
    }
    SimTarget target(options.behaviour);
    LinePacer pacer(options.paceBaud, kBitsPerByte8E1);
    if (options.start.stale > 0) {
        const std::vector<uint8_t> preload(options.start.stale, options.start.staleByte);
        WriteAll(line.master, preload.data(), preload.size());
        WaitUntilQueued(&line, options.start.stale);
    }

    const auto start = std::chrono::steady_clock::now();
    const pid_t child = StartCommand(options.command, port);
    if (child < 0) {
        fprintf(stderr, "simtarget: cannot start the command: %s\n", strerror(errno));
        return 2;
    }
    if (options.start.trickle > 0)
        Trickle(&line, options.start.trickle, options.start.trickleByte, "start");
    struct rusage usage = {};
    const int status = Serve(&line, child, &target, &pacer, &usage);
    const double wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    Report(options, target, wallMs, usage);
    if (options.linkPath)
        unlink(options.linkPath);
    if (options.logFile)
        WriteLog(options.logFile, port, target, line);
    close(line.slave);
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}
