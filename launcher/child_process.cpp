#include <windows.h>

#include "platform.h"

unsigned wait_for_process(void* process)
{
    WaitForSingleObject(process, INFINITE);
    DWORD status = 0;
    unsigned result = GetExitCodeProcess(process, &status) ? status : GetLastError();
    CloseHandle(process);
    return result;
}

static unsigned wait_for(const PROCESS_INFORMATION& process, unsigned* tool_status)
{
    CloseHandle(process.hThread);
    *tool_status = wait_for_process(process.hProcess);
    return 0;
}

unsigned run_and_wait(char* command, unsigned* tool_status)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process))
        return GetLastError();
    return wait_for(process, tool_status);
}

unsigned run_and_wait(char16_t* command, unsigned* tool_status)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, reinterpret_cast<LPWSTR>(command), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process))
        return GetLastError();
    return wait_for(process, tool_status);
}
