// What the driver asks of Windows around the run, seen at the calls it makes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>
#include <windows.h>
#include <mmsystem.h>

#include "import_patch.h"
#include "platform.h"

namespace {

struct RunCalls {
    std::vector<std::string> calls;
    MMRESULT beginResult = TIMERR_NOERROR;
    PHANDLER_ROUTINE handler = nullptr;
};

RunCalls* recorded = nullptr;

MMRESULT WINAPI FakeTimeBeginPeriod(UINT milliseconds)
{
    recorded->calls.push_back("timeBeginPeriod(" + std::to_string(milliseconds) + ")");
    return recorded->beginResult;
}

MMRESULT WINAPI FakeTimeEndPeriod(UINT milliseconds)
{
    recorded->calls.push_back("timeEndPeriod(" + std::to_string(milliseconds) + ")");
    return TIMERR_NOERROR;
}

BOOL WINAPI FakeSetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add)
{
    if (add)
        recorded->handler = handler;
    const bool same = handler && handler == recorded->handler;
    recorded->calls.push_back(std::string("SetConsoleCtrlHandler(") + (same ? "handler" : "other") + ", " +
                              (add ? "add" : "remove") + ")");
    return TRUE;
}

template <typename Function>
void* Address(Function function)
{
    return reinterpret_cast<void*>(reinterpret_cast<void (*)()>(function));
}

class RunAround : public ::testing::Test {
protected:
    RunAround() { recorded = &run; }
    ~RunAround() override { recorded = nullptr; }

    RunCalls run;
    ImportPatch begin{"WINMM.dll", "timeBeginPeriod", Address(FakeTimeBeginPeriod)};
    ImportPatch end{"WINMM.dll", "timeEndPeriod", Address(FakeTimeEndPeriod)};
    ImportPatch console{"KERNEL32.dll", "SetConsoleCtrlHandler", Address(FakeSetConsoleCtrlHandler)};
};

// Windows rounds waits up to 15.6 ms unless asked for 1 ms, which the 1 ms
// drain before every block needs; the request is taken back after the run.
TEST_F(RunAround, TimerResolutionAndConsoleHandlerForTheRunOnly)
{
    ASSERT_TRUE(begin.Applied() && end.Applied() && console.Applied());
    BeginRun();
    std::vector<std::string> expected = {"timeBeginPeriod(1)", "SetConsoleCtrlHandler(handler, add)"};
    EXPECT_EQ(run.calls, expected);
    EXPECT_NE(run.handler, nullptr);
    EndRun();
    expected.insert(expected.end(), {"SetConsoleCtrlHandler(handler, remove)", "timeEndPeriod(1)"});
    EXPECT_EQ(run.calls, expected);
}

TEST_F(RunAround, ResolutionNotRaisedIsNotLowered)
{
    run.beginResult = TIMERR_NOCANDO;
    BeginRun();
    EndRun();
    for (const std::string& call : run.calls)
        EXPECT_EQ(call.find("timeEndPeriod"), std::string::npos) << call;
}

// Ctrl-Break and the other events a run does not handle: Break interrupts like
// Ctrl-C; an unknown event goes on to the next handler.
TEST_F(RunAround, UnknownConsoleEventsArePassedOn)
{
    BeginRun();
    ASSERT_NE(run.handler, nullptr);
    EXPECT_FALSE(run.handler(0x1234));
    EndRun();
}

TEST(ImageFile, OnlyRegularFilesAreImages)
{
    EXPECT_EQ(OpenImageFile("."), nullptr);
    EXPECT_EQ(OpenImageFile("NUL"), nullptr);
    char name[MAX_PATH];
    ASSERT_NE(GetTempFileNameA(".", "img", 0, name), 0u);
    FILE* file = OpenImageFile(name);
    EXPECT_NE(file, nullptr);
    if (file)
        fclose(file);
    DeleteFileA(name);
    EXPECT_EQ(OpenImageFile(name), nullptr);
}

}  // namespace
