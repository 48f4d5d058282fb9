#include "platform.h"

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "interrupt.h"

namespace {

const int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction savedActions[sizeof kInterruptSignals / sizeof kInterruptSignals[0]];
struct sigaction savedPipeAction;

void OnInterrupt(int)
{
    RequestInterrupt();
}

}  // namespace

void BeginRun()
{
    // No SA_RESTART: a blocking wait returns with EINTR, so the link looks at
    // the request at once instead of at its next time-out.
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < sizeof kInterruptSignals / sizeof kInterruptSignals[0]; ++i)
        sigaction(kInterruptSignals[i], &action, &savedActions[i]);

    // A reader that went away (a pipe into head, a dropped ssh session) must
    // not end the update half-way; the write merely fails.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &savedPipeAction);
}

void EndRun(int)
{
    for (size_t i = 0; i < sizeof kInterruptSignals / sizeof kInterruptSignals[0]; ++i)
        sigaction(kInterruptSignals[i], &savedActions[i], nullptr);
    sigaction(SIGPIPE, &savedPipeAction, nullptr);
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
