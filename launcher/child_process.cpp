#include <windows.h>

#include "platform.h"

unsigned run_and_wait(char* command, unsigned* tool_status)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process))
        return GetLastError();
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    *tool_status = GetExitCodeProcess(process.hProcess, &status) ? status : GetLastError();
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return 0;
}
