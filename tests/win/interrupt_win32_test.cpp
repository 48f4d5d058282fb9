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

BOOL WINAPI KeepHandler(PHANDLER_ROUTINE routine, BOOL add)
{
    if (add)
        handler = routine;
    return TRUE;
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

// Sends the console event as Windows does: on a new thread.
HANDLE ConsoleEvent(DWORD event)
{
    return CreateThread(nullptr, 0, SendEvent, reinterpret_cast<void*>(uintptr_t(event)), 0, nullptr);
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
        EndRun();
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

// Windows ends the process when the handler returns: for a closed console the
// handler ends the read and then stays, so that the run ends in order.
TEST_F(Interrupt, ClosedConsoleEndsTheReadAndLetsTheRunEnd)
{
    bool result = true;
    EXPECT_LT(ReadInterruptedBy(CTRL_CLOSE_EVENT, &result), 0.1);
    EXPECT_FALSE(result);
    EXPECT_TRUE(InterruptRequested());
    HANDLE sender = ConsoleEvent(CTRL_CLOSE_EVENT);
    EXPECT_EQ(WaitForSingleObject(sender, 300), DWORD(WAIT_TIMEOUT));
    CloseHandle(sender);
}

}  // namespace
