#include <windows.h>

#include "launch.h"
#include "platform.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR tail, int)
{
    restrict_dll_search();
    return static_cast<int>(launch(tail));
}
