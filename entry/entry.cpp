// Process entry. The toolchain's start-up sets up the runtime (heap, file
// handles, arguments, static initialisers) and calls main; on return it ends
// the process through exit(), so exit handlers run and streams are flushed.
#include <windows.h>

#include "../launcher/command_tail.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

int main()
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(&__ImageBase);

    // The tail is cut from the raw command line by our own rule, not taken
    // from the runtime, so quotes and blanks reach the installer untouched.
#if SETUP_UTF16
    const char16_t* tail = command_tail(reinterpret_cast<const char16_t*>(GetCommandLineW()));
    return wWinMain(instance, nullptr, reinterpret_cast<LPWSTR>(const_cast<char16_t*>(tail)), show);
#else
    char* tail = const_cast<char*>(command_tail(GetCommandLineA()));
    return WinMain(instance, nullptr, tail, show);
#endif
}

// Two pieces of the toolchain's start-up that setup.exe has no use for, and
// that would take about 4 KiB of it: the pass that patches data imported from
// DLLs (setup.exe imports none; the link refuses any, so none can come in
// unseen), and the report of a math error, which the start-up installs only
// in a debugging build of the runtime.
extern "C" void _pei386_runtime_relocator() {}
extern "C" int _matherr(struct _exception*)
{
    return 0;
}
