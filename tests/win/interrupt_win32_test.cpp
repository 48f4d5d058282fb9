// Ctrl-C, Ctrl-Break and a closed console on Windows: the handler runs on a
// thread of its own and must end a link's blocking call on the main thread.
// The interrupt request lasts for the process: each test runs in a process of
// its own (CTest runs them one by one).
#include <gtest/gtest.h>

#include <chrono>
#include <windows.h>

#include "fake_port.h"
#include "import_patch.h"
#include "interrupt.h"
#include "platform.h"

namespace {

using Clock = std::chrono::steady_clock;

PHANDLER_ROUTINE handler = nullptr;
ImportPatch* consolePatch = nullptr;

// The real SetConsoleCtrlHandler registers the handler; the test keeps its
// address for systems that do not export the routine that calls handlers.
BOOL WINAPI KeepHandler(PHANDLER_ROUTINE routine, BOOL add)
{
    if (add)
        handler = routine;
    return OriginalOf(*consolePatch, &SetConsoleCtrlHandler)(routine, add);
}

template <typename Function>
void* Address(Function function)
{
    return reinterpret_cast<void*>(reinterpret_cast<void (*)()>(function));
}

DWORD WINAPI SendEvent(void* event)
{
    return handler(DWORD(reinterpret_cast<uintptr_t>(event)));
}

// Sends the console event as Windows does: on a new thread, which runs the
// system's dispatch routine (kernel32's CtrlRoutine: it holds the lock of the
// handler list and calls the registered handlers in turn). Wine exports that
// routine and starts it this way itself for Ctrl-C; Windows does not export
// it, and there the registered handler is called directly.
HANDLE ConsoleEvent(DWORD event)
{
    using Routine = DWORD(WINAPI*)(void*);
    const Routine dispatch = reinterpret_cast<Routine>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CtrlRoutine")));
    return CreateThread(nullptr, 0, dispatch ? dispatch : SendEvent, reinterpret_cast<void*>(uintptr_t(event)), 0,
                        nullptr);
}

class Interrupt : public FakePortTest {
protected:
    Interrupt()
    {
        BeginRun();
        EXPECT_NE(handler, nullptr);
        EXPECT_TRUE(CreatePipe(&pipeRead, &pipeWrite, nullptr, 0));
    }
    ~Interrupt() override
    {
        EndRun(-1);
        CloseHandle(pipeRead);
        CloseHandle(pipeWrite);
    }

    // A read of the port that waits as long as nothing comes, then the console
    // event after a while: how long the read took, and its result.
    double ReadInterruptedBy(DWORD event, bool* result)
    {
        OpenLink();
        fake.blockingRead = pipeRead;
        struct Reader {
            ComPort* link;
            bool result;
        } reader = {link.get(), true};
        const auto start = Clock::now();
        HANDLE thread = CreateThread(
            nullptr, 0,
            [](void* context) -> DWORD {
                Reader* reader = static_cast<Reader*>(context);
                uint8_t byte = 0;
                uint32_t count = 0;
                reader->result = reader->link->Read(&byte, 1, &count);
                return 0;
            },
            &reader, 0, nullptr);
        Sleep(200);
        HANDLE sender = ConsoleEvent(event);
        const DWORD waited = WaitForSingleObject(thread, 5000);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_EQ(waited, WAIT_OBJECT_0) << "the read was not ended";
        if (waited != WAIT_OBJECT_0) {
            DWORD written = 0;
            WriteFile(pipeWrite, "x", 1, &written, nullptr);  // lets it end
        }
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
            DWORD handled = 0;
            EXPECT_EQ(WaitForSingleObject(sender, 1000), WAIT_OBJECT_0);
            GetExitCodeThread(sender, &handled);
            EXPECT_TRUE(handled);
        }
        CloseHandle(sender);
        fake.blockingRead = nullptr;
        *result = reader.result;
        return seconds - 0.2;
    }

    ImportPatch console{"KERNEL32.dll", "SetConsoleCtrlHandler", Address(KeepHandler)};
    bool consoleKept = (consolePatch = &console) != nullptr;
    HANDLE pipeRead = nullptr;
    HANDLE pipeWrite = nullptr;
};

TEST_F(Interrupt, CtrlCEndsABlockingReadAtOnce)
{
    EXPECT_FALSE(InterruptRequested());
    bool result = true;
    const double seconds = ReadInterruptedBy(CTRL_C_EVENT, &result);
    EXPECT_FALSE(result);
    EXPECT_LT(seconds, 0.1);
    EXPECT_TRUE(InterruptRequested());

    // A call after the interrupt is not made at all.
    fake.calls.clear();
    uint8_t byte = 0;
    EXPECT_FALSE(link->Read(&byte, 1, nullptr));
    EXPECT_FALSE(link->Write(&byte, 1));
    EXPECT_TRUE(fake.calls.empty());
}

TEST_F(Interrupt, CtrlBreakEndsABlockingReadAtOnce)
{
    bool result = true;
    EXPECT_LT(ReadInterruptedBy(CTRL_BREAK_EVENT, &result), 0.1);
    EXPECT_FALSE(result);
    EXPECT_TRUE(InterruptRequested());
}

// Windows ends the process when the handler returns, with a status of its own
// and before the run has ended in order: for a closed console the handler
// ends the read, waits for the run to end (the link closed, the output
// flushed), and then ends the process with the run's status. The run's end
// must not wait for the handler: Windows and Wine hold the lock of the handler
// list while it runs, so removing it would never return.
TEST_F(Interrupt, ClosedConsoleEndsTheReadAndTheProcessWithTheRunsStatus)
{
    EXPECT_EXIT(
        {
            bool result = true;
            const double seconds = ReadInterruptedBy(CTRL_CLOSE_EVENT, &result);
            if (result || seconds > 0.1 || !InterruptRequested())
                ExitProcess(1);
            link->Close();
            Sleep(300);  // the handler waits all this time
            EndRun(-7);
            Sleep(5000);
            ExitProcess(2);
        },
        ::testing::ExitedWithCode(-7), "");
}

// A run that does not end: the handler ends the process within Windows' limit
// of 5 s with the failure status.
TEST_F(Interrupt, ClosedConsoleEndsAHangingRunWithinTheLimit)
{
    EXPECT_EXIT(
        {
            const ULONGLONG start = GetTickCount64();
            CloseHandle(ConsoleEvent(CTRL_CLOSE_EVENT));
            Sleep(10000);
            ExitProcess(GetTickCount64() - start < 10000 ? 3 : 4);
        },
        ::testing::ExitedWithCode(-1), "");
}

}  // namespace
