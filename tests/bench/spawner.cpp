// The least a launcher can do: start the command line that follows its own
// quoted program name without a console window, wait for it, and end. The
// yardstick for setup.exe's own cost.
#include <windows.h>

int main()
{
    char* line = GetCommandLineA();
    char* command = line + 1;
    while (*command && *command != '"')
        command++;
    command += 2; // the closing quote and one blank
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process))
        return 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return 0;
}
