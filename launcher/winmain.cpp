#include <windows.h>

#include "launch.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR tail, int)
{
    return static_cast<int>(launch(tail));
}
