#include <windows.h>

#include "platform.h"

static unsigned wait_for(const PROCESS_INFORMATION& process, unsigned* tool_status)
{
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    *tool_status = GetExitCodeProcess(process.hProcess, &status) ? status : GetLastError();
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
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
