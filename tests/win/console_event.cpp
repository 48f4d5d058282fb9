// Sends a console event to a running program under Wine, as the console does
// on Windows: a thread started in that process at the system's dispatch
// routine (kernel32's CtrlRoutine, which Wine exports), with the event as its
// argument. Wine's own console delivers only Ctrl-C and Ctrl-Break; this is
// how the tests close the console of update.exe.
//
// For a close, log-off or shut-down event it then does what Windows does and
// Wine does not: Windows ends the process as soon as the dispatch routine
// returns (Microsoft, "HandlerRoutine callback function": "Return TRUE. In
// this case, no other handler functions are called and the system terminates
// the process"), or once the event's time-out has passed (5 s for
// CTRL_CLOSE_EVENT, 20 s for the other two), with STATUS_CONTROL_C_EXIT. A
// handler that returned before the run had ended would pass under Wine alone.
// usage: console_event EVENT PROGRAM-PATH   (exit 0 once the event is done)
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: console_event EVENT PROGRAM-PATH\n");
        return 2;
    }
    const DWORD event = DWORD(wcstoul(argv[1], nullptr, 10));
    const bool ends = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    // STATUS_CONTROL_C_EXIT, the status Windows ends the process with.
    constexpr UINT kControlCExit = 0xC000013A;
    const auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CtrlRoutine")));
    if (!routine) {
        fprintf(stderr, "console_event: kernel32 has no CtrlRoutine\n");
        return 2;
    }
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    int status = 1;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && status == 1; more = Process32NextW(snapshot, &entry)) {
        const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_CREATE_THREAD |
                                               PROCESS_VM_OPERATION | PROCESS_VM_WRITE | PROCESS_VM_READ |
                                               PROCESS_TERMINATE | SYNCHRONIZE,
                                           FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        wchar_t image[MAX_PATH * 2];
        DWORD size = MAX_PATH * 2;
        if (QueryFullProcessImageNameW(process, 0, image, &size) && _wcsicmp(image, argv[2]) == 0) {
            const HANDLE thread = CreateRemoteThread(process, nullptr, 0, routine,
                                                     reinterpret_cast<void*>(uintptr_t(event)), 0, nullptr);
            status = thread ? 0 : 3;
            if (thread && ends) {
                // Wine's dispatch routine returns 1 once a handler has
                // returned. A handler that ends the process itself takes its
                // thread with it, which then has the process's status (0 or
                // -1 for update.exe), and may do so a moment before the
                // process is gone.
                const bool done = WaitForSingleObject(thread, event == CTRL_CLOSE_EVENT ? 5000 : 20000) ==
                                  WAIT_OBJECT_0;
                DWORD code = 0;
                const bool handlerReturned = done && GetExitCodeThread(thread, &code) && code == 1;
                if (!done || handlerReturned)
                    TerminateProcess(process, kControlCExit);
            }
            if (thread)
                CloseHandle(thread);
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    if (status == 1)
        fprintf(stderr, "console_event: no process runs %ls\n", argv[2]);
    return status;
}
