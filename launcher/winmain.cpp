#include <windows.h>

#include "launch.h"

// Chosen when the build is configured: SETUP_COMMAND_LINE (an ANSI or a
// UTF-16 command line for the tool) and SETUP_EXIT_STATUS.
#if SETUP_UTF16
int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR tail, int)
{
    return static_cast<int>(launch(reinterpret_cast<const char16_t*>(tail), SETUP_PASS_TOOL_STATUS));
}
#else
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR tail, int)
{
    return static_cast<int>(launch(tail, SETUP_PASS_TOOL_STATUS));
}
#endif
