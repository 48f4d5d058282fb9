#include "interrupt_win32.h"

#include <atomic>
#include <windows.h>

#include "interrupt.h"

namespace {

// The thread inside a marked call; null when there is none. The program's one
// thread makes all link calls, so one slot is enough.
std::atomic<HANDLE> callingThread(nullptr);

// A real handle of the calling thread (CancelSynchronousIo takes no pseudo-handle),
// opened once per thread that makes link calls.
HANDLE CurrentThread()
{
    static DWORD id = 0;
    static HANDLE handle = nullptr;
    if (id != GetCurrentThreadId()) {
        if (handle)
            CloseHandle(handle);
        handle = OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId());
        id = GetCurrentThreadId();
    }
    return handle;
}

// Between two rounds of cancelling: a call that began just after a round
// (after the link had looked at the flag) is cancelled this much later.
constexpr DWORD kCancelRepeatMs = 5;

}  // namespace

InterruptibleCall::InterruptibleCall()
{
    callingThread.store(CurrentThread());
    // Either the handler sees the mark, or this thread sees the request.
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

InterruptibleCall::~InterruptibleCall()
{
    callingThread.store(nullptr);
}

bool InterruptibleCall::Interrupted() const
{
    return InterruptRequested();
}

void CancelInterruptibleCall(unsigned long limitMs)
{
    const ULONGLONG start = GetTickCount64();
    std::atomic_thread_fence(std::memory_order_seq_cst);
    for (HANDLE thread = callingThread.load(); thread; thread = callingThread.load()) {
        if (limitMs != 0xFFFFFFFFul && GetTickCount64() - start >= limitMs)
            return;
        CancelSynchronousIo(thread);
        Sleep(kCancelRepeatMs);
    }
}
