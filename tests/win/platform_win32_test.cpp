// What the driver asks of Windows around the run, seen at the calls it makes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <windows.h>
#include <mmsystem.h>

#include "error_text_win32.h"
#include "import_patch.h"
#include "platform.h"

namespace {

struct RunCalls {
    std::vector<std::string> calls;
    MMRESULT beginResult = TIMERR_NOERROR;
    PHANDLER_ROUTINE handler = nullptr;
};

RunCalls* recorded = nullptr;
ImportPatch* getProcAddress = nullptr;
ImportPatch* loadLibraryEx = nullptr;
ImportPatch* setConsoleCtrlHandler = nullptr;

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

template <typename Function>
void* Address(Function function)
{
    return reinterpret_cast<void*>(reinterpret_cast<void (*)()>(function));
}

std::string Narrow(const wchar_t* text)
{
    std::string narrow;
    for (; text && *text; ++text)
        narrow += char(*text);
    return narrow;
}

// winmm's functions are looked up at run time: the test gives its own.
FARPROC WINAPI RecordingGetProcAddress(HMODULE module, LPCSTR name)
{
    if (HIWORD(reinterpret_cast<uintptr_t>(name)) != 0) {
        if (std::strcmp(name, "timeBeginPeriod") == 0)
            return reinterpret_cast<FARPROC>(Address(FakeTimeBeginPeriod));
        if (std::strcmp(name, "timeEndPeriod") == 0)
            return reinterpret_cast<FARPROC>(Address(FakeTimeEndPeriod));
    }
    return OriginalOf(*getProcAddress, &GetProcAddress)(module, name);
}

HMODULE WINAPI RecordingLoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags)
{
    char flagText[16];
    snprintf(flagText, sizeof flagText, "0x%lX", flags);
    recorded->calls.push_back("LoadLibraryExW(" + Narrow(name) + ", " + (file ? "set" : "null") + ", " + flagText +
                              ")");
    return OriginalOf(*loadLibraryEx, &LoadLibraryExW)(name, file, flags);
}

UINT WINAPI RecordingSetErrorMode(UINT mode)
{
    char text[64];
    snprintf(text, sizeof text, "SetErrorMode(0x%X)", mode);
    recorded->calls.push_back(text);
    return 0;
}

BOOL WINAPI RecordingSetDefaultDllDirectories(DWORD flags)
{
    char text[64];
    snprintf(text, sizeof text, "SetDefaultDllDirectories(0x%lX)", flags);
    recorded->calls.push_back(text);
    return TRUE;
}

// The real SetConsoleCtrlHandler, seen on its way.
BOOL WINAPI RecordingSetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add)
{
    if (add)
        recorded->handler = handler;
    const bool same = handler && handler == recorded->handler;
    recorded->calls.push_back(std::string("SetConsoleCtrlHandler(") + (same ? "handler" : "other") + ", " +
                              (add ? "add" : "remove") + ")");
    return OriginalOf(*setConsoleCtrlHandler, &SetConsoleCtrlHandler)(handler, add);
}

class RunAround : public ::testing::Test {
protected:
    RunAround()
    {
        recorded = &run;
        getProcAddress = &procedures;
        loadLibraryEx = &load;
        setConsoleCtrlHandler = &console;
    }
    ~RunAround() override { recorded = nullptr; }

    RunCalls run;
    ImportPatch procedures{"KERNEL32.dll", "GetProcAddress", Address(RecordingGetProcAddress)};
    ImportPatch load{"KERNEL32.dll", "LoadLibraryExW", Address(RecordingLoadLibraryExW)};
    ImportPatch errorMode{"KERNEL32.dll", "SetErrorMode", Address(RecordingSetErrorMode)};
    ImportPatch dllFolders{"KERNEL32.dll", "SetDefaultDllDirectories", Address(RecordingSetDefaultDllDirectories)};
    ImportPatch console{"KERNEL32.dll", "SetConsoleCtrlHandler", Address(RecordingSetConsoleCtrlHandler)};
};

// Before anything else: no system dialog (SEM_FAILCRITICALERRORS 0x1 |
// SEM_NOGPFAULTERRORBOX 0x2 | SEM_NOOPENFILEERRORBOX 0x8000), DLLs only from
// the program's folder and System32 (LOAD_LIBRARY_SEARCH_APPLICATION_DIR
// 0x200 | LOAD_LIBRARY_SEARCH_SYSTEM32 0x800), winmm from System32 at run
// time (no import a planted copy could answer). Windows rounds waits up to
// 15.6 ms unless asked for 1 ms, which the 1 ms drain before every block
// needs; the request is taken back after the run. The console handler stays:
// removing it would wait for a handler that is running.
TEST_F(RunAround, ProcessSetUpTimerResolutionAndConsoleHandler)
{
    ASSERT_TRUE(procedures.Applied() && load.Applied() && errorMode.Applied() && dllFolders.Applied() &&
                console.Applied());
    BeginRun();
    std::vector<std::string> expected = {"SetErrorMode(0x8003)",
                                         "SetDefaultDllDirectories(0xA00)",
                                         "LoadLibraryExW(winmm.dll, null, 0x800)",
                                         "timeBeginPeriod(1)"};
    // The handler is added once for the process; a test before this one may
    // have added it.
    if (run.calls.size() > expected.size())
        expected.push_back("SetConsoleCtrlHandler(handler, add)");
    EXPECT_EQ(run.calls, expected);
    EndRun(0);
    expected.push_back("timeEndPeriod(1)");
    EXPECT_EQ(run.calls, expected);
}

TEST_F(RunAround, ResolutionNotRaisedIsNotLowered)
{
    run.beginResult = TIMERR_NOCANDO;
    BeginRun();
    EndRun(0);
    for (const std::string& call : run.calls)
        EXPECT_EQ(call.find("timeEndPeriod"), std::string::npos) << call;
}

// Ctrl-Break and the other events a run does not handle: Break interrupts like
// Ctrl-C; an unknown event goes on to the next handler.
TEST_F(RunAround, UnknownConsoleEventsArePassedOn)
{
    BeginRun();
    EndRun(0);
    BeginRun();
    EndRun(0);
    int added = 0;
    for (const std::string& call : run.calls) {
        EXPECT_EQ(call.find("remove"), std::string::npos) << call;
        added += call == "SetConsoleCtrlHandler(handler, add)";
    }
    EXPECT_LE(added, 1);
    ASSERT_NE(run.handler, nullptr);
    EXPECT_FALSE(run.handler(0x1234));
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

// FormatMessage (Microsoft's documentation): language 0 takes the thread's,
// the user's, the system's language, then English, where a fixed language
// fails with ERROR_RESOURCE_LANG_NOT_FOUND on a system without it; and with
// FORMAT_MESSAGE_IGNORE_INSERTS a message with %1 is no format to fill.
struct FormatCall {
    DWORD flags = 0;
    DWORD language = 0xFFFF;
    int count = 0;
};
FormatCall* formatCall = nullptr;
ImportPatch* formatPatch = nullptr;

DWORD WINAPI RecordingFormatMessageA(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPSTR buffer,
                                     DWORD size, va_list* arguments)
{
    formatCall->flags = flags;
    formatCall->language = language;
    ++formatCall->count;
    return OriginalOf(*formatPatch, &FormatMessageA)(flags, source, id, language, buffer, size, arguments);
}

TEST(ErrorTexts, SystemLanguageOrderAndNoInserts)
{
    FormatCall call;
    formatCall = &call;
    ImportPatch patch("KERNEL32.dll", "FormatMessageA", Address(RecordingFormatMessageA));
    formatPatch = &patch;
    ASSERT_TRUE(patch.Applied());
    const std::string text = ErrorText(ERROR_BAD_EXE_FORMAT);  // "%1 is not a valid Win32 application."
    EXPECT_EQ(call.count, 1);
    EXPECT_EQ(call.language, 0u);
    EXPECT_NE(call.flags & FORMAT_MESSAGE_IGNORE_INSERTS, 0u);
    EXPECT_NE(call.flags & FORMAT_MESSAGE_FROM_SYSTEM, 0u);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text.back(), '.');
    EXPECT_NE(text.back(), '\n');
    EXPECT_EQ(ErrorText(0x2FFFFFFF).substr(0, 6), "error ");
    formatCall = nullptr;
}

}  // namespace
