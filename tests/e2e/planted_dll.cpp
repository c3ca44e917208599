// Planted beside setup.exe under the name of a system DLL: if it is ever
// loaded, it leaves a marker file named by FAKE_DLL_MARKER.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    char marker[MAX_PATH];
    if (reason == DLL_PROCESS_ATTACH && GetEnvironmentVariableA("FAKE_DLL_MARKER", marker, MAX_PATH)) {
        HANDLE file = CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        CloseHandle(file);
    }
    return TRUE;
}
