#include "platform.h"

#include <sys/stat.h>
#include <windows.h>
#include <mmsystem.h>

#include "interrupt.h"
#include "interrupt_win32.h"

namespace {

// Windows rounds every wait up to its timer tick, 15.6 ms unless a program
// asks for less: the 1 ms drain before each block would cost ~15 ms instead of 2.
constexpr UINT kTimerResolutionMs = 1;
bool timerRaised = false;

// Runs on a thread of its own, which Windows starts for each console event.
BOOL WINAPI OnConsoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        RequestInterrupt();
        CancelInterruptibleCall();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        RequestInterrupt();
        CancelInterruptibleCall();
        // Windows ends the process as soon as this returns, before the run has
        // closed the link and reported. The run ends the process itself; this
        // thread waits for that (Windows gives it a few seconds).
        Sleep(INFINITE);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

// Only a regular file holds an image: not a device such as CON or NUL, which
// would wait for the console or read as an empty image and a success.
FILE* OpenImageFile(const char* name)
{
    FILE* file = fopen(name, "rb");
    struct _stat64 status;
    if (file && (_fstat64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG)) {
        fclose(file);
        return nullptr;
    }
    return file;
}

void BeginRun()
{
    timerRaised = timeBeginPeriod(kTimerResolutionMs) == TIMERR_NOERROR;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void EndRun()
{
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    if (timerRaised)
        timeEndPeriod(kTimerResolutionMs);
    timerRaised = false;
}
