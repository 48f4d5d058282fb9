#include "process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>


namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// In the child: gives up root for the named user, with no groups beyond its own.
void BecomeUser(const char* name)
{
    const passwd* user = getpwnam(name);
    if (!user || setgroups(0, nullptr) != 0 || setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0) {
        perror("cannot become the test user");
        _exit(126);
    }
}

}  // namespace

pid_t FirstChildOf(pid_t parent)
{
    const std::string list = "/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children";
    std::ifstream file(list);
    long child = 0;
    return file >> child ? pid_t(child) : pid_t(0);
}

void ExecArgv(const std::vector<std::string>& argv)
{
    // As a shell starts a command in the foreground: the program keeps a
    // signal ignored that it inherits ignored, and a test runner started as a
    // background job of sh has SIGINT and SIGQUIT ignored. A test that wants
    // a signal ignored sets that itself.
    for (int signal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM})
        std::signal(signal, SIG_DFL);
    std::vector<char*> args;
    for (const std::string& word : argv)
        args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

FileHolder::FileHolder(const std::string& path, Lock lock)
{
    int ready[2];
    if (pipe(ready) != 0)
        return;
    const pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        struct flock record = {};
        record.l_type = F_WRLCK;
        record.l_whence = SEEK_SET;
        const bool locked = lock == kNoLock || (lock == kFlock && flock(fd, LOCK_EX | LOCK_NB) == 0) ||
                            (lock == kRecordLock && fcntl(fd, F_SETLK, &record) == 0);
        if (fd >= 0 && locked && write(ready[1], "x", 1) == 1)
            pause();
        _exit(1);
    }
    close(ready[1]);
    char started = 0;
    const bool holding = child > 0 && read(ready[0], &started, 1) == 1;
    close(ready[0]);
    if (holding) {
        pid_ = child;
    } else if (child > 0) {
        waitpid(child, nullptr, 0);
    }
}

FileHolder::~FileHolder()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         const Interruption* interruption, const char* user)
{
    ProcessResult result;
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0)
        return result;
    if (pipe(errPipe) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return result;
    }
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            close(fd);
        for (const std::string& entry : environment)
            putenv(const_cast<char*>(entry.c_str()));
        if (user)
            BecomeUser(user);
        ExecArgv(argv);
    }
    close(outPipe[1]);
    close(errPipe[1]);

    Clock::time_point signalDue = Clock::time_point::max();
    Clock::time_point signalled = Clock::time_point::max();
    struct pollfd streams[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* texts[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        const bool waiting = interruption && signalled == Clock::time_point::max();
        if (waiting && signalDue == Clock::time_point::max() && result.out.find(interruption->after) != std::string::npos)
            signalDue = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(interruption->delaySeconds));
        if (waiting && Clock::now() >= signalDue) {
            const pid_t target = interruption->toChild ? FirstChildOf(child) : child;
            if (target > 0) {
                kill(target, interruption->signal);
                signalled = Clock::now();
            }
        }
        if (poll(streams, 2, waiting ? 1 : -1) < 0 && errno != EINTR)
            break;
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || !(streams[i].revents & (POLLIN | POLLHUP)))
                continue;
            const ssize_t count = read(streams[i].fd, buffer, sizeof buffer);
            if (count > 0) {
                texts[i]->append(buffer, size_t(count));
            } else {
                close(streams[i].fd);
                streams[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    result.seconds = SecondsSince(start);
    if (signalled != Clock::time_point::max())
        result.secondsAfterSignal = SecondsSince(signalled);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

ScratchDir::ScratchDir()
{
    // No dash in the path: the command line finds its markers (-F, -D, -T)
    // anywhere in an argument, and a random "-D" would set the device name.
    char pattern[] = "/tmp/update_test_XXXXXX";
    path_ = mkdtemp(pattern);
}

ScratchDir::~ScratchDir()
{
    const std::string command = "rm -rf '" + path_ + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "cannot remove %s\n", path_.c_str());
}

std::string ScratchDir::Write(const std::string& name, const std::string& content) const
{
    std::ofstream(Path(name), std::ios::binary) << content;
    return Path(name);
}

std::string ScratchDir::Read(const std::string& name) const
{
    std::ifstream file(Path(name), std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}
