// Starts setup.exe with an exact raw command line and current directory,
// answers each "Setup" box, and records what it saw and the exit status.
//
//   e2e_runner CASE...        each CASE a file of lines NAME=VALUE:
//       app=, cmdline=, cwd=  what CreateProcessA gets (app may be empty)
//       env=NAME=VALUE        set before the start, inherited by setup.exe
//       result=               where to write the result
//       lock=                 a file held open without sharing meanwhile
//   e2e_runner --watch RESULT MILLISECONDS
//       only answers boxes, for a launcher that Wine starts itself
//
// A result is fields NAME=VALUE, each ended by a zero byte: status, box (the
// text, caption, icon and buttons of each box), tool_done (whether the
// tool's record existed when setup.exe ended), and elapsed_us (the
// wall-clock time from the start to the end of setup.exe).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

struct box_report {
    std::string caption, text, buttons;
    bool error_icon = false;
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

// Which of the standard icons the static control shows, told by its pixels
// on the screen: icon handles of another process cannot be compared.
static bool shows_error_icon(HWND control)
{
    RECT r;
    GetWindowRect(control, &r);
    int width = r.right - r.left, height = r.bottom - r.top;
    pixels shown = make_pixels(width, height);
    HDC screen = GetDC(nullptr);
    BitBlt(shown.dc, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    ReleaseDC(nullptr, screen);

    const LPCSTR candidates[] = {IDI_HAND, IDI_QUESTION, IDI_EXCLAMATION, IDI_ASTERISK, IDI_APPLICATION};
    long long best = -1;
    LPCSTR best_icon = nullptr;
    for (LPCSTR candidate : candidates) {
        pixels drawn = make_pixels(width, height);
        for (int i = 0; i < width * height; i++)
            drawn.bits[i] = shown.bits[0]; // the corner shows the background
        DrawIconEx(drawn.dc, 0, 0, LoadIconA(nullptr, candidate), width, height, 0, nullptr, DI_NORMAL);
        GdiFlush();
        long long difference = 0;
        for (int i = 0; i < width * height; i++)
            for (int shift = 0; shift < 24; shift += 8)
                difference += abs(static_cast<int>((drawn.bits[i] >> shift) & 255) -
                                  static_cast<int>((shown.bits[i] >> shift) & 255));
        if (best < 0 || difference < best) {
            best = difference;
            best_icon = candidate;
        }
        free_pixels(&drawn);
    }
    free_pixels(&shown);
    return best_icon == IDI_HAND;
}

static BOOL CALLBACK look_at_child(HWND child, LPARAM param)
{
    box_report* box = reinterpret_cast<box_report*>(param);
    char kind[64] = {};
    GetClassNameA(child, kind, sizeof kind);
    LONG style = GetWindowLongA(child, GWL_STYLE);
    if (!lstrcmpiA(kind, "Button") && (style & WS_VISIBLE)) {
        char text[64] = {};
        GetWindowTextA(child, text, sizeof text);
        box->buttons += std::to_string(GetDlgCtrlID(child)) + ":" + text + ";";
    } else if (!lstrcmpiA(kind, "Static") && (style & SS_TYPEMASK) == SS_ICON && (style & WS_VISIBLE)) {
        box->error_icon = shows_error_icon(child);
    }
    return TRUE;
}

// Answers one box if there is one; returns whether there was.
static bool answer_box(std::vector<box_report>* boxes)
{
    HWND window = FindWindowA("#32770", "Setup");
    if (!window || !IsWindowVisible(window))
        return false;
    Sleep(300); // let it paint: the icon is told by its pixels
    box_report box;
    char text[1024] = {};
    GetWindowTextA(window, text, sizeof text);
    box.caption = text;
    text[0] = 0;
    GetDlgItemTextA(window, 65535, text, sizeof text);
    box.text = text;
    EnumChildWindows(window, look_at_child, reinterpret_cast<LPARAM>(&box));
    boxes->push_back(box);
    PostMessageA(window, WM_COMMAND, IDOK, 0);
    for (int i = 0; i < 200 && IsWindow(window); i++)
        Sleep(10);
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
        fields += "box=" + box.text + '\n' + box.caption + '\n' +
                  (box.error_icon ? "error" : "other") + '\n' + box.buttons;
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

static void run_case(const char* case_path)
{
    std::string app, cmdline, cwd, result, record, lock;
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
            result = value;
        else if (name == "lock")
            lock = value;
        else if (name == "env") {
            size_t split = value.find('=');
            std::string var = value.substr(0, split);
            SetEnvironmentVariableA(var.c_str(), value.substr(split + 1).c_str());
            if (var == "FAKE_TOOL_RECORD")
                record = value.substr(split + 1);
        }
    }

    HANDLE held = INVALID_HANDLE_VALUE;
    if (!lock.empty())
        held = CreateFileA(lock.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<char> line(cmdline.begin(), cmdline.end());
    line.push_back(0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::string fields;
    LARGE_INTEGER frequency, started, ended;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&started);
    if (!CreateProcessA(app.empty() ? nullptr : app.c_str(), line.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, cwd.empty() ? nullptr : cwd.c_str(), &startup, &process)) {
        fields = "start_error=" + std::to_string(GetLastError()) + '\0';
        write_result(result.c_str(), fields);
        CloseHandle(held);
        return;
    }
    std::vector<box_report> boxes;
    while (WaitForSingleObject(process.hProcess, 2) == WAIT_TIMEOUT)
        answer_box(&boxes);
    QueryPerformanceCounter(&ended);
    long long elapsed_us = (ended.QuadPart - started.QuadPart) * 1000000 / frequency.QuadPart;
    bool tool_done = !record.empty() && GetFileAttributesA(record.c_str()) != INVALID_FILE_ATTRIBUTES;
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    fields = "status=" + std::to_string(status) + '\0' + "tool_done=" + (tool_done ? "1" : "0") + '\0' +
             "elapsed_us=" + std::to_string(elapsed_us) + '\0' + boxes_fields(boxes);
    write_result(result.c_str(), fields);
}

int main(int argc, char** argv)
{
    if (argc == 4 && !strcmp(argv[1], "--watch")) {
        std::vector<box_report> boxes;
        DWORD until = GetTickCount() + atoi(argv[3]);
        while (GetTickCount() < until && boxes.empty()) {
            answer_box(&boxes);
            Sleep(20);
        }
        write_result(argv[2], boxes_fields(boxes));
        return 0;
    }
    for (int i = 1; i < argc; i++)
        run_case(argv[i]);
    return 0;
}
