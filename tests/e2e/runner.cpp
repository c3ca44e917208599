// Starts setup.exe with an exact raw command line and current directory,
// answers each "Setup" box, and records what it saw and the exit status.
//
//   e2e_runner CASE...        each CASE a file of lines NAME=VALUE:
//       app=, cmdline=, cwd=  what CreateProcessA gets (app may be empty)
//       env=NAME=VALUE        set for this case only, inherited by setup.exe
//       result=               where to write the result
//       lock=                 a file held open without sharing meanwhile
//       hold=                 a file held open for writing, sharing read and write
//       probe=                a command line to try with CreateProcessA first,
//                             as setup.exe will: its error code is recorded
//       wide=1                app, cmdline and cwd are UTF-8, for CreateProcessW
//       stderr=               a file made anew and given as standard error;
//                             FAKE_TOOL_HANDLE names its handle and path
//       hidden=1              in a window station of its own, which has no
//                             visible display surfaces, as a service's; a
//                             run that lasts a minute there is ended
//       job=1                 as some harnesses start a program: suspended,
//                             with no flags and no desktop named, placed in a
//                             job object, then resumed
//       any_box=1             answers the boxes of any program, not only of
//                             setup.exe: those of its elevated copy
//       console=1             a console of the runner's own as standard
//                             error, cleared first; what it shows after the
//                             case is recorded (console)
//       subst=X:=FOLDER       the drive X: as QueryDosDeviceW tells it: a
//                             subst drive of FOLDER (Wine's own subst makes
//                             none; a dosdevices link serves its files)
//   e2e_runner --together CASE...
//       starts every case at once and answers the boxes of all
//   e2e_runner --watch RESULT MILLISECONDS
//       only answers boxes, for a launcher that Wine starts itself
//   e2e_runner --desktop READY
//       brings up Wine's desktop, writes "ok" or what failed to READY, and
//       stays, so that the desktop outlives each run of cases
//
// A result is fields NAME=VALUE, each ended by a zero byte: status, box (the
// caption, in UTF-8, icon, buttons, reading direction and, last, the text of
// each box, which may hold line breaks), timed_out, tool_done (whether the
// tool's record existed when setup.exe ended), elapsed_us (the wall-clock
// time from the start to the end of setup.exe), probe_error and probe_reason
// (Windows' text for it in the user's language, in UTF-8), and console
// (what the console shows, in UTF-8, its trailing blanks left out).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

// Long enough for a loaded machine that emulates another; a box that does
// not show or close within it is a failure, never a pass.
static const DWORD patience_ms = 120000;

struct box_report {
    std::string caption, text, buttons, icon = "none", reading;
};

struct pixels {
    HDC dc;
    HBITMAP bitmap;
    unsigned* bits;
    int width, height;
};

static pixels make_pixels(int width, int height)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    pixels p = {CreateCompatibleDC(nullptr), nullptr, nullptr, width, height};
    void* bits = nullptr;
    p.bitmap = CreateDIBSection(p.dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    p.bits = static_cast<unsigned*>(bits);
    SelectObject(p.dc, p.bitmap);
    return p;
}

static void free_pixels(pixels* p)
{
    DeleteDC(p->dc);
    DeleteObject(p->bitmap);
}

// Which standard icon the static control shows, told by its pixels on the
// screen (icon handles of another process cannot be compared), or null while
// it shows none of them exactly: it may not be drawn yet.
static const char* icon_shown(HWND control)
{
    RECT r;
    GetWindowRect(control, &r);
    int width = r.right - r.left, height = r.bottom - r.top;
    pixels shown = make_pixels(width, height);
    HDC screen = GetDC(nullptr);
    BitBlt(shown.dc, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    ReleaseDC(nullptr, screen);

    const struct {
        LPCSTR id;
        const char* name;
    } candidates[] = {{IDI_HAND, "error"}, {IDI_QUESTION, "question"}, {IDI_EXCLAMATION, "warning"},
                      {IDI_ASTERISK, "information"}, {IDI_APPLICATION, "application"}};
    const char* found = nullptr;
    for (const auto& candidate : candidates) {
        pixels drawn = make_pixels(width, height);
        for (int i = 0; i < width * height; i++)
            drawn.bits[i] = shown.bits[0]; // the corner shows the background
        DrawIconEx(drawn.dc, 0, 0, LoadIconA(nullptr, candidate.id), width, height, 0, nullptr, DI_NORMAL);
        GdiFlush();
        // A box laid out from right to left shows its icon mirrored.
        bool same = true, mirrored = true;
        for (int i = 0; i < width * height && (same || mirrored); i++) {
            int x = i % width, flipped = i - x + width - 1 - x;
            same = same && (drawn.bits[i] & 0xFFFFFF) == (shown.bits[i] & 0xFFFFFF);
            mirrored = mirrored && (drawn.bits[flipped] & 0xFFFFFF) == (shown.bits[i] & 0xFFFFFF);
        }
        same = same || mirrored;
        free_pixels(&drawn);
        if (same) {
            found = candidate.name;
            break;
        }
    }
    free_pixels(&shown);
    return found;
}

static std::string to_utf8(const wchar_t* wide)
{
    char out[4096] = {};
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, sizeof out - 1, nullptr, nullptr);
    return out;
}

struct box_look {
    box_report* box;
    HWND icon;
};

static BOOL CALLBACK look_at_child(HWND child, LPARAM param)
{
    box_look* look = reinterpret_cast<box_look*>(param);
    char kind[64] = {};
    GetClassNameA(child, kind, sizeof kind);
    LONG style = GetWindowLongA(child, GWL_STYLE);
    if (!lstrcmpiA(kind, "Button") && (style & WS_VISIBLE)) {
        wchar_t text[64] = {};
        GetWindowTextW(child, text, 64);
        look->box->buttons += std::to_string(GetDlgCtrlID(child)) + ":" + to_utf8(text) + ";";
    } else if (!lstrcmpiA(kind, "Static") && (style & SS_TYPEMASK) == SS_ICON && (style & WS_VISIBLE)) {
        look->icon = child;
    }
    return TRUE;
}


struct box_search {
    DWORD process; // 0: any
    HWND found;
};

static BOOL CALLBACK look_for_box(HWND window, LPARAM param)
{
    box_search* search = reinterpret_cast<box_search*>(param);
    char kind[16] = {};
    DWORD process = 0;
    GetClassNameA(window, kind, sizeof kind);
    GetWindowThreadProcessId(window, &process);
    if (strcmp(kind, "#32770") || !IsWindowVisible(window) || (search->process && process != search->process))
        return TRUE;
    search->found = window;
    return FALSE;
}

// How the box reads: "rtl" where its window or its text is laid out or read
// from right to left, or set flush right.
static std::string reading_of(HWND window)
{
    HWND text = GetDlgItem(window, 65535);
    LONG ex_styles = GetWindowLongA(window, GWL_EXSTYLE) | (text ? GetWindowLongA(text, GWL_EXSTYLE) : 0);
    LONG right = text ? GetWindowLongA(text, GWL_STYLE) & SS_RIGHT : 0;
    return (ex_styles & (WS_EX_LAYOUTRTL | WS_EX_RTLREADING | WS_EX_RIGHT)) || right ? "rtl" : "ltr";
}

// Answers one box of the process (any process: 0) if there is one; returns
// whether there was.
static bool answer_box(std::vector<box_report>* boxes, DWORD process)
{
    box_search search = {process, nullptr};
    EnumWindows(look_for_box, reinterpret_cast<LPARAM>(&search));
    HWND window = search.found;
    if (!window)
        return false;
    box_report box;
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    box.caption = to_utf8(text);
    text[0] = 0;
    GetDlgItemTextW(window, 65535, text, 1024);
    box.text = to_utf8(text);
    box.reading = reading_of(window);
    box_look look = {&box, nullptr};
    EnumChildWindows(window, look_at_child, reinterpret_cast<LPARAM>(&look));
    // A box is drawn after it shows; on a slow machine that takes a while.
    for (DWORD start = GetTickCount(); look.icon && GetTickCount() - start < patience_ms; Sleep(20)) {
        if (const char* icon = icon_shown(look.icon)) {
            box.icon = icon;
            break;
        }
    }
    PostMessageA(window, WM_COMMAND, IDOK, 0);
    for (DWORD start = GetTickCount(); IsWindow(window) && GetTickCount() - start < patience_ms;)
        Sleep(10);
    if (IsWindow(window))
        box.buttons += " (the box did not close)";
    boxes->push_back(box);
    return true;
}

static void write_result(const char* path, const std::string& fields)
{
    FILE* out = fopen(path, "wb");
    if (out) {
        fwrite(fields.data(), 1, fields.size(), out);
        fclose(out);
    }
}

static std::string boxes_fields(const std::vector<box_report>& boxes)
{
    std::string fields;
    for (const box_report& box : boxes) {
        fields += "box=" + box.caption + '\n' + box.icon + '\n' + box.buttons + '\n' + box.reading + '\n' + box.text;
        fields += '\0';
    }
    return fields;
}

static std::string read_file(const char* path)
{
    std::string data;
    FILE* in = fopen(path, "rb");
    if (!in)
        return data;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, in)) > 0)
        data.append(chunk, got);
    fclose(in);
    return data;
}

// The error code of a CreateProcessA of command as setup.exe makes it, or 0
// when it started (and was ended again at once).
static DWORD try_start(const std::string& command)
{
    std::vector<char> line(command.begin(), command.end());
    line.push_back(0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_SUSPENDED,
                        nullptr, nullptr, &startup, &process))
        return GetLastError();
    TerminateProcess(process.hProcess, 0);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return 0;
}

static std::wstring from_code_page(UINT code_page, const std::string& text)
{
    std::wstring wide(text.size() + 1, L'\0');
    wide.resize(MultiByteToWideChar(code_page, 0, text.c_str(), -1, &wide[0], static_cast<int>(wide.size())) - 1);
    return wide;
}


// CreateProcessA of the bytes as they stand, or CreateProcessW of them read as
// UTF-8: a path that the ANSI code page cannot spell takes the wide one.
// Without a console, as Explorer starts it: a console program that setup.exe
// starts would then get a console window of its own, unless told not to.
// The standard error handle, and the desktop of a window station of its own.
struct start_options {
    HANDLE error;
    bool hidden, in_job;
};

// A window station made here has no visible display surfaces, like a
// service's; made once, kept while the runner runs.
static wchar_t* hidden_desktop()
{
    static wchar_t name[] = L"setup-e2e\\hidden";
    static HDESK desktop;
    if (!desktop) {
        HWINSTA own = GetProcessWindowStation();
        HWINSTA station = CreateWindowStationW(L"setup-e2e", 0, WINSTA_ALL_ACCESS, nullptr);
        SetProcessWindowStation(station);
        desktop = CreateDesktopW(L"hidden", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        SetProcessWindowStation(own);
    }
    return name;
}

template <typename STARTUPINFO_T>
static void prepare_startup(STARTUPINFO_T* startup, const start_options& options)
{
    startup->cb = sizeof *startup;
    if (options.error != INVALID_HANDLE_VALUE) {
        startup->dwFlags |= STARTF_USESTDHANDLES;
        startup->hStdError = options.error;
    }
}

static bool start(const std::string& app, const std::string& cmdline, const std::string& cwd, bool wide,
                  const start_options& options, PROCESS_INFORMATION* process)
{
    BOOL inherit = options.error != INVALID_HANDLE_VALUE;
    if (wide || options.hidden) {
        UINT code_page = wide ? CP_UTF8 : CP_ACP;
        std::wstring wide_app = from_code_page(code_page, app), line = from_code_page(code_page, cmdline),
                     wide_cwd = from_code_page(code_page, cwd);
        STARTUPINFOW startup = {};
        prepare_startup(&startup, options);
        if (options.hidden)
            startup.lpDesktop = hidden_desktop();
        return CreateProcessW(app.empty() ? nullptr : wide_app.c_str(), &line[0], nullptr, nullptr, inherit,
                              DETACHED_PROCESS, nullptr, cwd.empty() ? nullptr : wide_cwd.c_str(), &startup,
                              process);
    }
    std::vector<char> line(cmdline.begin(), cmdline.end());
    line.push_back(0);
    STARTUPINFOA startup = {};
    prepare_startup(&startup, options);
    if (!CreateProcessA(app.empty() ? nullptr : app.c_str(), line.data(), nullptr, nullptr, inherit,
                        options.in_job ? CREATE_SUSPENDED : DETACHED_PROCESS, nullptr,
                        cwd.empty() ? nullptr : cwd.c_str(), &startup, process))
        return false;
    if (options.in_job) {
        AssignProcessToJobObject(CreateJobObjectA(nullptr, nullptr), process->hProcess);
        ResumeThread(process->hThread);
    }
    return true;
}

struct saved_variable {
    std::string name, value;
    bool present;
};

// One case on its way: what it was told and what it has seen so far.
struct running_case {
    std::string result, record, fields;
    bool hidden = false, any_box = false, console = false, started = false, ended = false;
    HANDLE held = INVALID_HANDLE_VALUE, error = INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION process = {};
    std::vector<box_report> boxes;
    DWORD begun = 0;
    LARGE_INTEGER started_at = {};
};

// The output of a console of the runner's own, made on first use and
// cleared for each case, which setup.exe inherits as its standard error.
static HANDLE console_output()
{
    static HANDLE output = INVALID_HANDLE_VALUE;
    if (output == INVALID_HANDLE_VALUE) {
        // Not the console that Wine gave the runner, which is its Unix output.
        FreeConsole();
        AllocConsole();
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
        output = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                             OPEN_EXISTING, 0, nullptr);
    }
    return output;
}

static HANDLE cleared_console()
{
    HANDLE output = console_output();
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    GetConsoleScreenBufferInfo(output, &info);
    COORD origin = {0, 0};
    DWORD written = 0;
    FillConsoleOutputCharacterW(output, L' ', info.dwSize.X * info.dwSize.Y, origin, &written);
    SetConsoleCursorPosition(output, origin);
    return output;
}

// What the console shows up to the row of its cursor, as one text (a long
// line takes several rows), its trailing blanks left out.
static std::string console_text(HANDLE output)
{
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    GetConsoleScreenBufferInfo(output, &info);
    std::wstring units((info.dwCursorPosition.Y + 1) * info.dwSize.X, L' ');
    DWORD read = 0;
    ReadConsoleOutputCharacterW(output, &units[0], static_cast<DWORD>(units.size()), {0, 0}, &read);
    units.resize(units.find_last_not_of(L' ') + 1);
    return to_utf8(units.c_str());
}

// X:=FOLDER: the drive's definition replaced by that of a subst drive.
static void define_drive(const std::string& value)
{
    std::wstring drive = from_code_page(CP_ACP, value.substr(0, 2)), folder = from_code_page(CP_ACP, value.substr(3));
    DefineDosDeviceW(DDD_REMOVE_DEFINITION, drive.c_str(), nullptr);
    DefineDosDeviceW(0, drive.c_str(), folder.c_str());
}

// Reads a case, sets up what it asks for and starts setup.exe. Its
// variables are set only while it starts, so that cases can run together.
static void begin_case(const char* case_path, running_case* run)
{
    std::string app, cmdline, cwd, lock, hold, probe, error_file;
    bool has_probe = false, wide = false, in_job = false;
    std::vector<saved_variable> saved;
    std::string lines = read_file(case_path);
    size_t at = 0;
    while (at < lines.size()) {
        size_t end = lines.find('\n', at);
        if (end == std::string::npos)
            end = lines.size();
        std::string line = lines.substr(at, end - at);
        at = end + 1;
        size_t equals = line.find('=');
        std::string name = line.substr(0, equals), value = line.substr(equals + 1);
        if (name == "app")
            app = value;
        else if (name == "cmdline")
            cmdline = value;
        else if (name == "cwd")
            cwd = value;
        else if (name == "result")
            run->result = value;
        else if (name == "lock")
            lock = value;
        else if (name == "hold")
            hold = value;
        else if (name == "wide")
            wide = value == "1";
        else if (name == "hidden")
            run->hidden = value == "1";
        else if (name == "job")
            in_job = value == "1";
        else if (name == "any_box")
            run->any_box = value == "1";
        else if (name == "console")
            run->console = value == "1";
        else if (name == "subst")
            define_drive(value);
        else if (name == "stderr")
            error_file = value;
        else if (name == "probe") {
            probe = value;
            has_probe = true;
        } else if (name == "env") {
            size_t split = value.find('=');
            saved_variable old = {value.substr(0, split), "", false};
            char buffer[32768];
            DWORD length = GetEnvironmentVariableA(old.name.c_str(), buffer, sizeof buffer);
            old.present = length > 0 && length < sizeof buffer;
            if (old.present)
                old.value.assign(buffer, length);
            saved.push_back(old);
            SetEnvironmentVariableA(old.name.c_str(), value.substr(split + 1).c_str());
            if (old.name == "FAKE_TOOL_RECORD")
                run->record = value.substr(split + 1);
        }
    }

    if (has_probe) {
        SetCurrentDirectoryA(cwd.c_str());
        DWORD error = try_start(probe);
        wchar_t reason[1024] = {};
        if (!FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                            GetUserDefaultUILanguage(), reason, 1024, nullptr))
            FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, reason,
                           1024, nullptr);
        run->fields += "probe_error=" + std::to_string(error) + '\0' + "probe_reason=" + to_utf8(reason) + '\0';
    }
    if (!lock.empty())
        run->held = CreateFileA(lock.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    else if (!hold.empty())
        run->held = CreateFileA(hold.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (run->held == INVALID_HANDLE_VALUE && !(lock.empty() && hold.empty()))
        run->fields += "hold_error=" + std::to_string(GetLastError()) + '\0';
    start_options options = {INVALID_HANDLE_VALUE, run->hidden, in_job};
    if (!error_file.empty()) {
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
        options.error = CreateFileA(error_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS,
                                    0, nullptr);
    }
    if (run->console) {
        options.error = cleared_console();
    } else if (options.error != INVALID_HANDLE_VALUE) {
        // Inheritable, and inherited by setup.exe: the tool must not have it.
        run->error = options.error;
        std::string value = std::to_string(reinterpret_cast<uintptr_t>(options.error)) + "|" + error_file;
        saved.push_back({"FAKE_TOOL_HANDLE", "", false});
        SetEnvironmentVariableA("FAKE_TOOL_HANDLE", value.c_str());
    }
    QueryPerformanceCounter(&run->started_at);
    run->begun = GetTickCount();
    run->started = start(app, cmdline, cwd, wide, options, &run->process);
    if (!run->started)
        run->fields += "start_error=" + std::to_string(GetLastError()) + '\0';
    for (auto old = saved.rbegin(); old != saved.rend(); ++old)
        SetEnvironmentVariableA(old->name.c_str(), old->present ? old->value.c_str() : nullptr);
}

// Answers the case's box, if it shows one; true once setup.exe has ended.
static bool case_ended(running_case* run)
{
    if (!run->started || run->ended)
        return true;
    if (WaitForSingleObject(run->process.hProcess, 0) != WAIT_TIMEOUT)
        return run->ended = true;
    answer_box(&run->boxes, run->any_box ? 0 : run->process.dwProcessId);
    // Where nobody can answer a box, a run must end by itself.
    if (run->hidden && GetTickCount() - run->begun > 60000 && TerminateProcess(run->process.hProcess, STILL_ACTIVE)) {
        run->fields += std::string("timed_out=1") + '\0';
        WaitForSingleObject(run->process.hProcess, INFINITE);
    }
    return false;
}

static void end_case(running_case* run)
{
    if (run->started) {
        LARGE_INTEGER frequency, ended;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&ended);
        long long elapsed_us = (ended.QuadPart - run->started_at.QuadPart) * 1000000 / frequency.QuadPart;
        bool tool_done = !run->record.empty() && GetFileAttributesA(run->record.c_str()) != INVALID_FILE_ATTRIBUTES;
        DWORD status = 0;
        GetExitCodeProcess(run->process.hProcess, &status);
        CloseHandle(run->process.hProcess);
        CloseHandle(run->process.hThread);
        run->fields += "status=" + std::to_string(status) + '\0' + "tool_done=" + (tool_done ? "1" : "0") + '\0' +
                       "elapsed_us=" + std::to_string(elapsed_us) + '\0' + boxes_fields(run->boxes);
    }
    if (run->held != INVALID_HANDLE_VALUE)
        CloseHandle(run->held);
    if (run->error != INVALID_HANDLE_VALUE)
        CloseHandle(run->error);
    if (run->console)
        run->fields += "console=" + console_text(console_output()) + '\0';
    write_result(run->result.c_str(), run->fields);
}

// The cases one after another, or all at once.
static void run_cases(char** cases, int count, bool together)
{
    for (int first = 0; first < count; first += together ? count : 1) {
        int last = together ? count : first + 1;
        std::vector<running_case> runs(last - first);
        for (int i = first; i < last; i++)
            begin_case(cases[i], &runs[i - first]);
        for (bool all_ended = false; !all_ended; Sleep(20)) {
            all_ended = true;
            for (running_case& run : runs)
                all_ended = case_ended(&run) && all_ended;
        }
        for (running_case& run : runs)
            end_case(&run);
    }
}

// Wine starts its desktop process for the first program that needs it, and
// waits 10 seconds for it. A slower start leaves a bare desktop without a
// display driver, where no window can be made and every MessageBoxA fails at
// once. Starting it here, and waiting as long as it takes, avoids that.
static std::string bring_up_desktop()
{
    char command[] = "C:\\windows\\system32\\explorer.exe /desktop";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return "explorer.exe did not start: error " + std::to_string(GetLastError());
    // It ends at once when a desktop is already there.
    DWORD idle = WaitForInputIdle(process.hProcess, 600000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    HWND window = CreateWindowExA(0, "Static", "probe", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    if (!window)
        return "no window can be made on the desktop (explorer.exe idle: " + std::to_string(idle) + ")";
    DestroyWindow(window);
    return "ok";
}

int main(int argc, char** argv)
{
    if (argc == 4 && !strcmp(argv[1], "--watch")) {
        std::vector<box_report> boxes;
        DWORD until = GetTickCount() + atoi(argv[3]);
        while (GetTickCount() < until && boxes.empty()) {
            answer_box(&boxes, 0);
            Sleep(20);
        }
        write_result(argv[2], boxes_fields(boxes));
        return 0;
    }
    if (argc == 3 && !strcmp(argv[1], "--desktop")) {
        write_result(argv[2], bring_up_desktop());
        Sleep(INFINITE);
    }
    bool together = argc > 1 && !strcmp(argv[1], "--together");
    run_cases(argv + 1 + together, argc - 1 - together, together);
    return 0;
}
