#include <windows.h>

#include "platform.h"

call_result wait_for_process(void* process, unsigned* status)
{
    DWORD code = 0;
    bool told = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
    *status = told ? code : GetLastError();
    CloseHandle(process);
    return told ? call_done : call_failed;
}

static unsigned wait_for(const PROCESS_INFORMATION& process, unsigned* tool_status)
{
    CloseHandle(process.hThread);
    wait_for_process(process.hProcess, tool_status);
    return 0;
}

#if TEST_ELEVATION
// Wine gives every program an administrator's full token and never refuses a
// tool with 740. A build for the tests alone plays a user without those
// rights where SETUP_TEST_UNELEVATED asks: its token is not elevated and its
// start of the tool is refused, as Windows refuses it. The variable goes at
// once, so that the copy which the prompt starts is an administrator's.
bool plays_unelevated()
{
    static int playing = -1;
    if (playing < 0) {
        playing = GetEnvironmentVariableW(L"SETUP_TEST_UNELEVATED", nullptr, 0) != 0;
        SetEnvironmentVariableW(L"SETUP_TEST_UNELEVATED", nullptr);
    }
    return playing;
}
#endif

unsigned run_and_wait(char* command, unsigned* tool_status)
{
    if (plays_unelevated())
        return 740; // ERROR_ELEVATION_REQUIRED
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
    if (plays_unelevated())
        return 740; // ERROR_ELEVATION_REQUIRED
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, reinterpret_cast<LPWSTR>(command), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process))
        return GetLastError();
    return wait_for(process, tool_status);
}
