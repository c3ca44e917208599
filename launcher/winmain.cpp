#include <windows.h>

#include "launch.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR tail, int)
{
    // Chosen when the build is configured (SETUP_EXIT_STATUS).
    return static_cast<int>(launch(tail, SETUP_PASS_TOOL_STATUS));
}
