#include "fake_port.h"

#include <cstring>

const HANDLE kPort = reinterpret_cast<HANDLE>(uintptr_t(0x5151));

namespace {

std::string HandleName(HANDLE handle)
{
    if (handle == kPort)
        return "port";
    if (handle == INVALID_HANDLE_VALUE)
        return "invalid";
    return "other";
}

FakePort* port = nullptr;
// Passed on: calls of the test program itself on other handles.
BOOL(WINAPI* closeOther)(HANDLE) = nullptr;
BOOL(WINAPI* readOther)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) = nullptr;
BOOL(WINAPI* writeOther)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) = nullptr;

// A handle of the test program's own (a pipe, a thread), not the port's.
bool Other(HANDLE handle)
{
    return handle != kPort && handle != INVALID_HANDLE_VALUE;
}

BOOL Result(const char* function, HANDLE handle)
{
    if (handle != kPort || port->Fails(function)) {
        SetLastError(handle != kPort ? ERROR_INVALID_HANDLE : ERROR_GEN_FAILURE);
        return FALSE;
    }
    return TRUE;
}

HANDLE WINAPI FakeCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD creation, DWORD flags, HANDLE templateFile)
{
    char text[512];
    snprintf(text, sizeof text, "CreateFileA(%s, 0x%lX, %lu, %s, %lu, 0x%lX, %s)", name, access, share,
             security ? "set" : "null", creation, flags, templateFile ? "set" : "null");
    port->calls.push_back(text);
    if (port->Fails("CreateFileA")) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return kPort;
}

BOOL WINAPI FakeSetupComm(HANDLE handle, DWORD input, DWORD output)
{
    port->calls.push_back("SetupComm(" + HandleName(handle) + ", " + std::to_string(input) + ", " +
                          std::to_string(output) + ")");
    return Result("SetupComm", handle);
}

BOOL WINAPI FakeGetCommState(HANDLE handle, LPDCB record)
{
    port->calls.push_back("GetCommState(" + HandleName(handle) + ")");
    if (!Result("GetCommState", handle))
        return FALSE;
    *record = port->lineState;
    return TRUE;
}

// SetCommState (Microsoft's documentation, Remarks): "The SetCommState
// function fails if the XonChar member of the DCB structure is equal to the
// XoffChar member" (ERROR_INVALID_PARAMETER), as serial drivers other than
// the inbox serial.sys check.
BOOL WINAPI FakeSetCommState(HANDLE handle, LPDCB record)
{
    port->calls.push_back("SetCommState(" + HandleName(handle) + ")");
    port->states.push_back(*record);
    if (!Result("SetCommState", handle))
        return FALSE;
    if (record->XonChar == record->XoffChar) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    port->lineState = *record;
    return TRUE;
}

BOOL WINAPI FakeSetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS record)
{
    port->calls.push_back("SetCommTimeouts(" + HandleName(handle) + ")");
    port->timeouts.push_back(*record);
    if (!Result("SetCommTimeouts", handle))
        return FALSE;
    port->current = *record;
    return TRUE;
}

BOOL WINAPI FakeGetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS record)
{
    port->calls.push_back("GetCommTimeouts(" + HandleName(handle) + ")");
    if (!Result("GetCommTimeouts", handle))
        return FALSE;
    *record = port->current;
    return TRUE;
}

BOOL WINAPI FakePurgeComm(HANDLE handle, DWORD flags)
{
    port->calls.push_back("PurgeComm(" + HandleName(handle) + ", " + std::to_string(flags) + ")");
    return Result("PurgeComm", handle);
}

BOOL WINAPI FakeReadFile(HANDLE handle, LPVOID buffer, DWORD wanted, LPDWORD got, LPOVERLAPPED overlapped)
{
    if (Other(handle))
        return readOther(handle, buffer, wanted, got, overlapped);
    port->calls.push_back("ReadFile(" + HandleName(handle) + ", " + std::to_string(wanted) + ", " +
                          (got ? "count" : "null") + ", " + (overlapped ? "set" : "null") + ")");
    if (!Result("ReadFile", handle))
        return FALSE;
    if (port->blockingRead)
        return readOther(port->blockingRead, buffer, wanted, got, nullptr);
    const DWORD count = std::min<DWORD>(wanted, DWORD(port->input.size()));
    memcpy(buffer, port->input.data(), count);
    port->input.erase(0, count);
    *got = count;
    return TRUE;
}

BOOL WINAPI FakeWriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (Other(handle))
        return writeOther(handle, buffer, count, written, overlapped);
    port->calls.push_back("WriteFile(" + HandleName(handle) + ", " + std::to_string(count) + ", " +
                          (written ? "count" : "null") + ", " + (overlapped ? "set" : "null") + ")");
    if (!Result("WriteFile", handle))
        return FALSE;
    const DWORD taken = count - std::min(count, port->shortBy);
    port->output.append(static_cast<const char*>(buffer), taken);
    *written = taken;
    return TRUE;
}

BOOL WINAPI FakeFlushFileBuffers(HANDLE handle)
{
    port->calls.push_back("FlushFileBuffers(" + HandleName(handle) + ")");
    return Result("FlushFileBuffers", handle);
}

BOOL WINAPI FakeEscapeCommFunction(HANDLE handle, DWORD code)
{
    port->calls.push_back("EscapeCommFunction(" + HandleName(handle) + ", " + std::to_string(code) + ")");
    return Result("EscapeCommFunction", handle);
}

BOOL WINAPI FakeCloseHandle(HANDLE handle)
{
    if (Other(handle))
        return closeOther(handle);
    port->calls.push_back("CloseHandle(" + HandleName(handle) + ")");
    return Result("CloseHandle", handle);
}

template <typename Function>
void* Address(Function function)
{
    return reinterpret_cast<void*>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

FakePortTest::FakePortTest()
{
    port = &fake;
    const struct {
        const char* name;
        void* replacement;
    } replaced[] = {
        {"CreateFileA", Address(FakeCreateFileA)},
        {"SetupComm", Address(FakeSetupComm)},
        {"GetCommState", Address(FakeGetCommState)},
        {"SetCommState", Address(FakeSetCommState)},
        {"SetCommTimeouts", Address(FakeSetCommTimeouts)},
        {"GetCommTimeouts", Address(FakeGetCommTimeouts)},
        {"PurgeComm", Address(FakePurgeComm)},
        {"ReadFile", Address(FakeReadFile)},
        {"WriteFile", Address(FakeWriteFile)},
        {"FlushFileBuffers", Address(FakeFlushFileBuffers)},
        {"EscapeCommFunction", Address(FakeEscapeCommFunction)},
        {"CloseHandle", Address(FakeCloseHandle)},
    };
    for (const auto& function : replaced) {
        patches.emplace_back(new ImportPatch("KERNEL32.dll", function.name, function.replacement));
        EXPECT_TRUE(patches.back()->Applied()) << function.name;
        if (std::strcmp(function.name, "ReadFile") == 0)
            readOther = OriginalOf(*patches.back(), &ReadFile);
        if (std::strcmp(function.name, "WriteFile") == 0)
            writeOther = OriginalOf(*patches.back(), &WriteFile);
        if (std::strcmp(function.name, "CloseHandle") == 0)
            closeOther = OriginalOf(*patches.back(), &CloseHandle);
    }
}

FakePortTest::~FakePortTest()
{
    // Closed while the fake port is still there.
    link.reset();
    patches.clear();
    port = nullptr;
}

void FakePortTest::OpenLink(uint32_t baudRate)
{
    ASSERT_TRUE(link->Open("COM3", baudRate, 2000));
    fake.calls.clear();
    fake.states.clear();
    fake.timeouts.clear();
}
