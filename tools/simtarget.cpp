// Plays the target on the far side of a pseudo-terminal: runs the given update
// command with the terminal's path in place of @PORT@, answers its blocks, and
// ends with the command's exit status and a summary of what it received.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "target/sim_target.h"

namespace {

constexpr int kBitsPerByte8E1 = 11;
constexpr int kPollMs = 20;

struct Options {
    TargetBehaviour behaviour;
    int preload = 0;
    uint32_t paceBaud = 0;
    const char* summaryFile = nullptr;
    const char* recordFile = nullptr;
    const char* linkPath = nullptr;
    bool quiet = false;
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
            "  --pace BAUD        read at the pace of an 8E1 line at BAUD\n"
            "  --summary FILE     write the summary to FILE\n"
            "  --record FILE      write every byte received to FILE\n"
            "  --link PATH        make PATH a symbolic link to the terminal while the command\n"
            "                     runs (under Wine, $WINEPREFIX/dosdevices/comN is port COMN)\n"
            "  --quiet            no summary on standard error\n");
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

// Serves the line until the command ends; returns its wait status.
int Serve(int master, pid_t child, SimTarget* target, LinePacer* pacer, struct rusage* usage)
{
    std::vector<uint8_t> answer;
    uint8_t buffer[4096];
    int status = 0;
    for (;;) {
        const pid_t done = wait4(child, &status, WNOHANG, usage);
        if (done == child)
            return status;
        if (master < 0) {
            usleep(kPollMs * 1000);
            continue;
        }
        struct pollfd entry = {master, POLLIN, 0};
        if (poll(&entry, 1, kPollMs) <= 0)
            continue;
        const ssize_t count = read(master, buffer, sizeof buffer);
        if (count <= 0)
            continue;
        pacer->Carry(size_t(count));
        answer.clear();
        target->Receive(buffer, size_t(count), &answer);
        if (!answer.empty()) {
            pacer->Carry(answer.size());
            WriteAll(master, answer.data(), answer.size());
        }
        if (target->Vanished()) {
            close(master);  // the far end hangs up
            master = -1;
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

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        Usage();
        return 2;
    }
    int master = -1;
    int slave = -1;
    std::string port;
    if (!OpenTerminal(&master, &slave, &port)) {
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
    const std::vector<uint8_t> preload(size_t(options.preload), options.behaviour.staleByte);
    WriteAll(master, preload.data(), preload.size());

    const auto start = std::chrono::steady_clock::now();
    const pid_t child = StartCommand(options.command, port);
    if (child < 0) {
        fprintf(stderr, "simtarget: cannot start the command: %s\n", strerror(errno));
        return 2;
    }
    struct rusage usage = {};
    const int status = Serve(master, child, &target, &pacer, &usage);
    const double wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    Report(options, target, wallMs, usage);
    if (options.linkPath)
        unlink(options.linkPath);
    close(slave);
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}
