// Stands in for the installer tool: records how it was started (and, in
// UTF-8, its UTF-16 command line and arguments, the long forms of its own
// path and of the folder that --source= names, whether it got a console
// window, whether it inherited a handle of setup.exe's (FAKE_TOOL_HANDLE),
// and the mark that setup.exe sets before it asks for administrator
// rights, which no tool may inherit), then ends with a chosen
// status. The environment, inherited through setup.exe, says
// where to record (FAKE_TOOL_RECORD), how long to wait first
// (FAKE_TOOL_SLEEP_MS), the status (FAKE_TOOL_EXIT), and whether to crash
// after recording (FAKE_TOOL_CRASH).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

static void field(FILE* out, const char* name, const char* value)
{
    fprintf(out, "%s=", name);
    fwrite(value, 1, strlen(value), out);
    fputc(0, out);
}

// msvcrt's own split of the UTF-16 command line, as a wmain would get it
// (shell32's CommandLineToArgvW would cost every case a slow start).
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int glob, int* start_info);

static std::string utf8(const wchar_t* wide)
{
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &out[0], bytes, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

static std::string long_utf8(const wchar_t* wide)
{
    wchar_t long_form[MAX_PATH + 1];
    char utf8[MAX_PATH * 4 + 1] = {};
    if (GetLongPathNameW(wide, long_form, MAX_PATH + 1))
        WideCharToMultiByte(CP_UTF8, 0, long_form, -1, utf8, sizeof utf8, nullptr, nullptr);
    return utf8;
}

static int number(const char* name)
{
    const char* value = getenv(name);
    return value ? atoi(value) : 0;
}

int main(int argc, char** argv)
{
    if (int delay = number("FAKE_TOOL_SLEEP_MS"))
        Sleep(delay);

    // setup.exe's standard error, which it inherited: the tool must not.
    // FAKE_TOOL_HANDLE is NUMBER|PATH: a handle of that number here that is
    // that file was inherited.
    const char* inherited = "not asked";
    if (const char* value = getenv("FAKE_TOOL_HANDLE")) {
        char* path = nullptr;
        HANDLE handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(strtoull(value, &path, 10)));
        HANDLE named = CreateFileA(path + 1, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        BY_HANDLE_FILE_INFORMATION held = {}, file = {};
        bool same = GetFileInformationByHandle(handle, &held) && GetFileInformationByHandle(named, &file) &&
                    held.dwVolumeSerialNumber == file.dwVolumeSerialNumber &&
                    held.nFileIndexHigh == file.nFileIndexHigh && held.nFileIndexLow == file.nFileIndexLow;
        inherited = same ? "yes" : "no";
        CloseHandle(named);
    }

    // Written last, so that its presence tells that the tool has finished.
    const char* record = getenv("FAKE_TOOL_RECORD");
    if (record) {
        // Windows' 259 characters, in up to three bytes each.
        char module[MAX_PATH * 3 + 1] = {};
        wchar_t wide[MAX_PATH + 1] = {};
        char cwd[MAX_PATH + 1] = {};
        GetModuleFileNameA(nullptr, module, sizeof module - 1);
        GetCurrentDirectoryA(sizeof cwd, cwd);
        char partial[MAX_PATH + 8];
        snprintf(partial, sizeof partial, "%s.part", record);
        FILE* out = fopen(partial, "wb");
        if (!out)
            return 99;
        field(out, "module", module);
        GetModuleFileNameW(nullptr, wide, MAX_PATH);
        field(out, "module_long", long_utf8(wide).c_str());
        // "none", "hidden" or "visible": a console window would flash up
        // over the user's desktop.
        HWND console = GetConsoleWindow();
        field(out, "console_window", !console ? "none" : IsWindowVisible(console) ? "visible" : "hidden");
        field(out, "cmdline", GetCommandLineA());
        // The UTF-16 command line and its arguments, in UTF-8.
        field(out, "cmdline_w", utf8(GetCommandLineW()).c_str());
        int count = 0;
        wchar_t** wide_argv = nullptr;
        wchar_t** wide_env = nullptr;
        int start_info = 0;
        __wgetmainargs(&count, &wide_argv, &wide_env, 0, &start_info);
        for (int i = 0; wide_argv && i < count; i++)
            field(out, "argv_w", utf8(wide_argv[i]).c_str());
        field(out, "cwd", cwd);
        const char* mark = getenv("SETUP_ASKED_FOR_ELEVATION");
        field(out, "mark", mark ? mark : "none");
        field(out, "inherited", inherited);
        for (int i = 0; i < argc; i++) {
            field(out, "argv", argv[i]);
            if (!strncmp(argv[i], "--source=", 9)) {
                MultiByteToWideChar(CP_ACP, 0, argv[i] + 9, -1, wide, MAX_PATH + 1);
                field(out, "source_long", long_utf8(wide).c_str());
            }
        }
        fclose(out);
        MoveFileA(partial, record);
    }
    if (getenv("FAKE_TOOL_CRASH"))
        *static_cast<volatile int*>(nullptr) = 0;
    return number("FAKE_TOOL_EXIT");
}
