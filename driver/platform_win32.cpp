#include "platform.h"

#include <atomic>
#include <sys/stat.h>
#include <windows.h>
#include <mmsystem.h>

#include "interrupt.h"
#include "interrupt_win32.h"

namespace {

// Windows rounds every wait up to its timer tick, 15.6 ms unless a program
// asks for less: the 1 ms drain before each block would cost ~15 ms instead of 2.
constexpr UINT kTimerResolutionMs = 1;

// How long the handler of a closed console waits for the run to close the
// link and flush its output. Windows ends the process 5 s after the event
// (CTRL_CLOSE_EVENT; 20 s for log-off and shut-down).
constexpr DWORD kCloseWaitMs = 3000;
// How long Ctrl-C and Ctrl-Break keep cancelling the link's blocking call.
constexpr DWORD kCancelWaitMs = 1000;

using TimePeriodFunction = MMRESULT(WINAPI*)(UINT);
TimePeriodFunction endPeriod = nullptr;
bool timerRaised = false;

// Set once the run has closed its link and flushed its output.
HANDLE runEnded = nullptr;
std::atomic<int> runStatus(-1);

template <typename Function>
Function Find(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Runs on a thread of its own, which Windows starts for each console event,
// holding the lock of the handler list while it runs: nothing may add or
// remove a handler until it returns.
BOOL WINAPI OnConsoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        RequestInterrupt();
        // Bounded: Windows holds its handler lock while this runs, and a
        // driver that ignores the cancel would keep a later close event (and
        // its orderly end) waiting for the whole call; the run sees the
        // request anyway once the call returns.
        CancelInterruptibleCall(kCancelWaitMs);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
        RequestInterrupt();
        const ULONGLONG start = GetTickCount64();
        CancelInterruptibleCall(kCloseWaitMs);
        // Windows ends the process as soon as this returns, before the run has
        // closed the link and reported, and with a status of its own. So the
        // handler waits for the run, within Windows' limit, and ends the
        // process itself with the run's status (-1 unless it had completed).
        // TerminateProcess, not ExitProcess: the main thread may hold a lock
        // of the C runtime that DLL detach code would wait for; the output is
        // flushed by then.
        const ULONGLONG waited = GetTickCount64() - start;
        WaitForSingleObject(runEnded, waited < kCloseWaitMs ? DWORD(kCloseWaitMs - waited) : 0);
        TerminateProcess(GetCurrentProcess(), UINT(runStatus.load()));
        return TRUE;
    }
    default:
        return FALSE;
    }
}

}  // namespace

// Only a regular file holds an image: not a device such as CON or NUL, which
// would wait for the console or read as an empty image and a success.
// Names outside the ANSI code page arrive intact: the program's manifest
// makes UTF-8 the process's code page (Windows 10 1903 and later).
// Windows never hands a closed standard handle's number to a device: there
// is nothing to fill, and the listing's own write check covers the rest.
bool StandardOutputWasClosed()
{
    return false;
}

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
    // No system dialog may stop an unattended run: not for a missing disk, a
    // DLL that does not load, or a crash.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX | SEM_NOGPFAULTERRORBOX);
    // DLLs come from the program's folder and System32 only: never from the
    // current folder, where the image the user just unpacked may bring one.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);

    // winmm is loaded here, from System32, not imported: it is no KnownDLL,
    // so an import would be looked for beside update.exe first.
    const HMODULE winmm = LoadLibraryExW(L"winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    const TimePeriodFunction beginPeriod = winmm ? Find<TimePeriodFunction>(winmm, "timeBeginPeriod") : nullptr;
    endPeriod = winmm ? Find<TimePeriodFunction>(winmm, "timeEndPeriod") : nullptr;
    timerRaised = beginPeriod && endPeriod && beginPeriod(kTimerResolutionMs) == TIMERR_NOERROR;

    // The handler stays for the process: removing it (SetConsoleCtrlHandler
    // with FALSE) waits for the lock a running handler holds.
    if (!runEnded) {
        runEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    }
    ResetEvent(runEnded);
    runStatus = -1;
}

void EndRun(int status)
{
    if (timerRaised)
        endPeriod(kTimerResolutionMs);
    timerRaised = false;
    runStatus = status;
    SetEvent(runEnded);
}
