#include <windows.h>
#include <stdlib.h>

#include "heap_string.h"
#include "launch.h"
#include "platform.h"

bool is_lead_byte(unsigned char c)
{
    return IsDBCSLeadByte(c) != 0;
}

size_t utf16_length(const char* text)
{
    size_t length = 0;
    while (text[length])
        length++;
    if (length == 0)
        return 0;
    int units = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
    // It fails for nothing but bad arguments; never count fewer than bytes then.
    return units > 0 ? static_cast<size_t>(units) : length;
}

void* heap_alloc(size_t size)
{
    return malloc(size);
}

void heap_free(void* block)
{
    free(block);
}

// The ANSI spelling of wide in out, or 0 when it does not fit room bytes or
// the code page lacks one of its characters.
static unsigned to_ansi(const WCHAR* wide, char* out, unsigned room)
{
    // UTF-8 spells everything, and takes neither of the flags.
    bool utf8 = GetACP() == CP_UTF8;
    BOOL lossy = FALSE;
    int length = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, wide, -1, out,
                                     static_cast<int>(room), nullptr, utf8 ? nullptr : &lossy);
    return length > 0 && !lossy ? static_cast<unsigned>(length - 1) : 0;
}

unsigned module_path(char* path, unsigned room)
{
    unsigned length = GetModuleFileNameA(nullptr, path, room);
    if (length == 0 || length >= room)
        return length;
    // Where the code page cannot spell a folder's name, the ANSI path holds
    // '?' or a look-alike and names nothing; its short form may be plain.
    WCHAR wide[MAX_PATH + 1];
    DWORD wide_length = GetModuleFileNameW(nullptr, wide, MAX_PATH + 1);
    char spelled[MAX_PATH + 1];
    if (wide_length == 0 || wide_length > MAX_PATH || to_ansi(wide, spelled, room))
        return length;
    WCHAR short_form[MAX_PATH + 1];
    DWORD short_length = GetShortPathNameW(wide, short_form, MAX_PATH + 1);
    if (short_length == 0 || short_length > MAX_PATH)
        return length;
    unsigned short_ansi = to_ansi(short_form, spelled, room);
    if (!short_ansi)
        return length;
    for (unsigned i = 0; i <= short_ansi; i++)
        path[i] = spelled[i];
    return short_ansi;
}

bool path_exists(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

static read_result read_open_file(HANDLE file, char** data, size_t* size)
{
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return read_failed;
    // 2 GiB and more cannot be sized in 32 bits, nor be anyone's arguments.
    if (high || low >= 0x80000000u)
        return read_failed;
    char* text = alloc_zeroed(low);
    if (!text)
        return read_no_memory;
    DWORD total = 0;
    while (total < low) {
        DWORD got = 0;
        if (!ReadFile(file, text + total, low - total, &got, nullptr)) {
            free_and_clear(&text);
            return read_failed;
        }
        if (got == 0)
            break;
        total += got;
    }
    *data = text;
    *size = total;
    return read_ok;
}

read_result read_whole_file(const char* path, char** data, size_t* size)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return read_failed;
    read_result result = read_open_file(file, data, size);
    CloseHandle(file);
    return result;
}

// Through void*, as GetProcAddress's own type fits no function.
static void* find_proc(HMODULE module, const char* name)
{
    return module ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
}

typedef BOOL(WINAPI * set_directory_fn)(LPCSTR);
static set_directory_fn dll_directory_set;

void restrict_dll_search()
{
    // Neither exists on Windows 2000, which does not search the program's
    // own folder for DLLs loaded by full path anyway.
    typedef BOOL(WINAPI * set_default_fn)(DWORD);
    const DWORD search_system32 = 0x800; // LOAD_LIBRARY_SEARCH_SYSTEM32
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    set_default_fn set_default =
        reinterpret_cast<set_default_fn>(find_proc(kernel, "SetDefaultDllDirectories"));
    if (set_default && set_default(search_system32))
        return;
    set_directory_fn set_directory =
        reinterpret_cast<set_directory_fn>(find_proc(kernel, "SetDllDirectoryA"));
    if (set_directory && set_directory(""))
        dll_directory_set = set_directory;
}

// Child processes inherit a DLL directory: the tool must start with its own
// DLL search, not the launcher's.
void release_dll_search()
{
    if (dll_directory_set)
        dll_directory_set(nullptr);
    dll_directory_set = nullptr;
}

// USER32 is loaded only here, from the system folder: a run that shows no
// box does not pay for it.
void show_error(const char* text)
{
    typedef int(WINAPI * message_box_fn)(HWND, LPCSTR, LPCSTR, UINT);
    static const char name[] = "\\user32.dll";
    char path[MAX_PATH + sizeof name];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    for (unsigned i = 0; i < sizeof name; i++)
        path[length + i] = name[i];
    HMODULE user32 = LoadLibraryA(path);
    message_box_fn message_box = reinterpret_cast<message_box_fn>(find_proc(user32, "MessageBoxA"));
    if (message_box)
        message_box(nullptr, text, setup_caption, MB_ICONERROR);
}
