#include <windows.h>

#include "platform.h"
#include "status.h"

call_result wait_for_process(void* process, unsigned* status)
{
    DWORD code = 0;
    bool told = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
    *status = told ? code : GetLastError();
    CloseHandle(process);
    return told ? call_done : call_failed;
}

static run_result wait_for(const PROCESS_INFORMATION& process, unsigned* code)
{
    CloseHandle(process.hThread);
    return wait_for_process(process.hProcess, code) == call_done ? run_ended : run_not_waited;
}

static run_result not_started(unsigned error, unsigned* code)
{
    *code = error;
    return run_not_started;
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

run_result run_and_wait(char* command, unsigned* code)
{
    if (plays_unelevated())
        return not_started(error_elevation_required, code);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process))
        return not_started(GetLastError(), code);
    return wait_for(process, code);
}

run_result run_and_wait(char16_t* command, unsigned* code)
{
    if (plays_unelevated())
        return not_started(error_elevation_required, code);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, reinterpret_cast<LPWSTR>(command), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process))
        return not_started(GetLastError(), code);
    return wait_for(process, code);
}
