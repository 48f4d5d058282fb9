#include "platform.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "interrupt.h"

namespace {

// SIGQUIT (Ctrl-\) too: its default action would end the process with a
// USB converter still claimed and its kernel driver away.
const int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t kInterruptSignalCount = sizeof kInterruptSignals / sizeof kInterruptSignals[0];
struct sigaction savedActions[kInterruptSignalCount];
bool handled[kInterruptSignalCount];
struct sigaction savedPipeAction;

void OnInterrupt(int)
{
    RequestInterrupt();
}

// A process started with descriptor 0, 1 or 2 closed (a daemon, cmd <&- >&-)
// would get it back from its next open: the port would take descriptor 1 and
// the progress line would go to the target. /dev/null fills each gap first.
bool outputWasClosed = false;

void FillClosedStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (fd == STDOUT_FILENO)
            outputWasClosed = true;
        // The lowest free descriptor: this one, as the ones below are open.
        const int null = open("/dev/null", O_RDWR | O_NOCTTY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

}  // namespace

void BeginRun()
{
    FillClosedStandardDescriptors();

    // No SA_RESTART: a blocking wait returns with EINTR, so the link looks at
    // the request at once instead of at its next time-out. A signal that the
    // caller ignores stays ignored: nohup ignores SIGHUP, and sh starts a
    // background job with SIGINT and SIGQUIT ignored, so that Ctrl-C meant
    // for the foreground does not end it.
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < kInterruptSignalCount; ++i) {
        handled[i] = sigaction(kInterruptSignals[i], nullptr, &savedActions[i]) == 0 &&
                     savedActions[i].sa_handler != SIG_IGN &&
                     sigaction(kInterruptSignals[i], &action, nullptr) == 0;
    }

    // A reader that went away (a pipe into head, a dropped ssh session) must
    // not end the update half-way; the write merely fails.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &savedPipeAction);
}

void EndRun(int)
{
    for (size_t i = 0; i < kInterruptSignalCount; ++i) {
        if (handled[i])
            sigaction(kInterruptSignals[i], &savedActions[i], nullptr);
    }
    sigaction(SIGPIPE, &savedPipeAction, nullptr);
}

bool StandardOutputWasClosed()
{
    return outputWasClosed;
}

// Only a regular file holds an image. A folder opens for reading and reads as
// empty, which would pass for an empty image and a successful update; a FIFO
// would block the open until some writer came. O_NONBLOCK keeps the open from
// waiting; the check on the opened file leaves no gap for a swap.
FILE* OpenImageFile(const char* name)
{
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    FILE* file = fdopen(fd, "rb");
    if (!file)
        close(fd);
    return file;
}
