#include <windows.h>
#include <shellapi.h>
#include <winnetwk.h>
#include <stdlib.h>

#include "platform.h"

static_assert(sizeof(WCHAR) == sizeof(char16_t), "UTF-16 on both sides of the seam");

// char16_t and WCHAR are the same units under two names.
static LPCWSTR windows_text(const char16_t* text)
{
    return reinterpret_cast<LPCWSTR>(text);
}

// The ANSI code page's own table, as Windows splits a command line by it.
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

// msvcrt's heap: setup.exe imports it anyway, and Windows 2000 has it.
void* heap_alloc(size_t size)
{
    return malloc(size);
}

void heap_free(void* block)
{
    free(block);
}

// Which code page the ANSI calls and the tool's GetCommandLineA speak.
unsigned ansi_code_page()
{
    return GetACP();
}

// With WC_NO_BEST_FIT_CHARS and the default-used flag, a character that the
// code page lacks is told, never spelled as another.
unsigned to_multibyte(unsigned code_page, unsigned flags, const char16_t* wide, unsigned length,
                      char* out, unsigned room, bool* used_default)
{
    BOOL used = FALSE;
    int bytes = WideCharToMultiByte(code_page, flags, windows_text(wide), static_cast<int>(length),
                                    out, static_cast<int>(room), nullptr, used_default ? &used : nullptr);
    if (used_default)
        *used_default = used != FALSE;
    return bytes > 0 ? static_cast<unsigned>(bytes) : 0;
}

// In UTF-16: the ANSI form would spell a folder by best fit.
unsigned module_path(char16_t* path, unsigned room)
{
    return GetModuleFileNameW(nullptr, reinterpret_cast<LPWSTR>(path), room);
}

// The 8.3 form, which an ANSI code page can spell and which is shorter.
unsigned short_path(const char16_t* path, char16_t* out, unsigned room)
{
    return GetShortPathNameW(windows_text(path), reinterpret_cast<LPWSTR>(out), room);
}

// As CreateProcessA would convert an ANSI command line.
size_t to_wide(const char* text, size_t length, char16_t* out, size_t room)
{
    if (length == 0)
        return 0;
    int units = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), reinterpret_cast<LPWSTR>(out),
                                    static_cast<int>(room));
    return units > 0 ? static_cast<size_t>(units) : 0;
}

// Attributes alone: nothing is opened, and a folder exists too.
bool path_exists(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool path_exists(const char16_t* path)
{
    return GetFileAttributesW(windows_text(path)) != INVALID_FILE_ATTRIBUTES;
}

static void* opened(HANDLE file)
{
    return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

// Sharing read and write, as another program may hold .setup_args open.
void* open_file(const char* path)
{
    return opened(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
}

void* open_file(const char16_t* path)
{
    return opened(CreateFileW(windows_text(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Both halves: a file of 4 GiB or more is told as such.
bool file_size(void* file, unsigned long long* size)
{
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return false;
    *size = static_cast<unsigned long long>(high) << 32 | low;
    return true;
}

// Bytes as they stand: no text mode, which .setup_args's rules replace.
long read_file(void* file, char* out, unsigned long count)
{
    DWORD got = 0;
    return ReadFile(file, out, count, &got, nullptr) ? static_cast<long>(got) : -1;
}

void close_file(void* file)
{
    CloseHandle(file);
}

// Through void*, as GetProcAddress's own type fits no function.
static void* find_proc(HMODULE module, const char* name)
{
    return module ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
}

// KERNEL32 is always loaded; these calls are newer than Windows 2000.
static void* kernel_proc(const char* name)
{
    return find_proc(GetModuleHandleA("kernel32.dll"), name);
}

call_result search_system_folder_only()
{
    typedef BOOL(WINAPI * set_default_fn)(DWORD);
    set_default_fn set_default = reinterpret_cast<set_default_fn>(kernel_proc("SetDefaultDllDirectories"));
    if (!set_default)
        return call_missing;
    return set_default(0x800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */) ? call_done : call_failed;
}

call_result set_dll_directory(const char* path)
{
    typedef BOOL(WINAPI * set_directory_fn)(LPCSTR);
    set_directory_fn set_directory = reinterpret_cast<set_directory_fn>(kernel_proc("SetDllDirectoryA"));
    if (!set_directory)
        return call_missing;
    return set_directory(path) ? call_done : call_failed;
}

// GetVersion: Windows 2000 has it; the number alone tells Vista from XP.
unsigned windows_major_version()
{
    return LOBYTE(LOWORD(GetVersion()));
}

// Session 0 holds services from Vista on.
call_result session_id(unsigned* session)
{
    DWORD id = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &id))
        return call_failed;
    *session = id;
    return call_done;
}

// The console's session: Windows PE's is 0, a service's desktop is not it.
call_result console_session(unsigned* session)
{
    typedef DWORD(WINAPI * console_fn)();
    console_fn console = reinterpret_cast<console_fn>(kernel_proc("WTSGetActiveConsoleSessionId"));
    if (!console)
        return call_missing;
    *session = console();
    return call_done;
}

// The handle that whoever started setup.exe gave it, if any.
static HANDLE standard_error()
{
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

// GetConsoleMode succeeds on a console alone.
bool standard_error_is_console()
{
    DWORD mode = 0;
    HANDLE handle = standard_error();
    return handle && GetConsoleMode(handle, &mode);
}

void write_standard_error(const char* bytes, unsigned length)
{
    HANDLE handle = standard_error();
    DWORD written = 0;
    if (handle)
        WriteFile(handle, bytes, length, &written, nullptr);
}

// A console shows UTF-16 whatever its code page.
void write_console_error(const char16_t* text, unsigned length)
{
    HANDLE handle = standard_error();
    DWORD written = 0;
    if (handle)
        WriteConsoleW(handle, windows_text(text), length, &written, nullptr);
}

// USER32, ADVAPI32, MPR and SHELL32 are loaded only here, from the system
// folder, and only once they are needed: a run that shows no box does not
// pay for USER32, a run without the consent prompt not for the others.
static void* system_proc(HMODULE* module, const char* file, const char* name)
{
    if (!*module) {
        char path[MAX_PATH + 16];
        UINT length = GetSystemDirectoryA(path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return nullptr;
        for (unsigned i = 0; i == 0 || file[i - 1]; i++)
            path[length + i] = file[i];
        *module = LoadLibraryA(path);
    }
    return find_proc(*module, name);
}

static void* user32_proc(const char* name)
{
    static HMODULE user32;
    return system_proc(&user32, "\\user32.dll", name);
}

// WSF_VISIBLE: a service's window station has no visible surfaces.
call_result station_visible(bool* visible)
{
    typedef HWINSTA(WINAPI * station_fn)();
    typedef BOOL(WINAPI * information_fn)(HANDLE, int, PVOID, DWORD, LPDWORD);
    station_fn station = reinterpret_cast<station_fn>(user32_proc("GetProcessWindowStation"));
    information_fn information = reinterpret_cast<information_fn>(user32_proc("GetUserObjectInformationW"));
    if (!station || !information)
        return call_missing;
    HWINSTA handle = station();
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    if (!handle || !information(handle, UOI_FLAGS, &flags, sizeof flags, &needed))
        return call_failed;
    *visible = (flags.dwFlags & WSF_VISIBLE) != 0;
    return call_done;
}

unsigned show_error(const char16_t* text, const char16_t* caption, unsigned style)
{
    typedef int(WINAPI * message_box_fn)(HWND, LPCWSTR, LPCWSTR, UINT);
    message_box_fn message_box = reinterpret_cast<message_box_fn>(user32_proc("MessageBoxW"));
    // Closed, a box with one OK button answers IDOK; Wine answers -1 for one
    // that it could not make.
    if (message_box && message_box(nullptr, windows_text(text), windows_text(caption), style) == IDOK)
        return 0;
    DWORD error = GetLastError();
    return error ? error : ERROR_PROC_NOT_FOUND;
}

// The language of the user's interface, not of their formats.
unsigned user_language()
{
    return GetUserDefaultUILanguage();
}

struct language_list {
    unsigned* languages;
    unsigned room, count;
};

static BOOL CALLBACK add_language(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param)
{
    language_list* list = reinterpret_cast<language_list*>(param);
    if (list->count < list->room)
        list->languages[list->count++] = language;
    return TRUE;
}

// The texts of the boxes are strings 1 to 8: the first table of 16. (RT_STRING
// is spelled for the ANSI calls in an ANSI build.)
static LPCWSTR string_tables = MAKEINTRESOURCEW(6), first_table = MAKEINTRESOURCEW(1);

// The languages that setup.exe holds the first table in.
unsigned text_languages(unsigned* languages, unsigned room)
{
    language_list list = {languages, room, 0};
    EnumResourceLanguagesW(nullptr, string_tables, first_table, add_language, reinterpret_cast<LONG_PTR>(&list));
    return list.count;
}

// The table as it lies in the file: LoadString would pick the language itself.
const char16_t* text_block(unsigned language, unsigned* units)
{
    HRSRC found = FindResourceExW(nullptr, string_tables, first_table, static_cast<WORD>(language));
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    const void* block = loaded ? LockResource(loaded) : nullptr;
    if (!block)
        return nullptr;
    *units = SizeofResource(nullptr, found) / sizeof(char16_t);
    return static_cast<const char16_t*>(block);
}

// For the elevated copy, which would otherwise start in System32.
unsigned current_directory(char16_t* out, unsigned room)
{
    return GetCurrentDirectoryW(room, reinterpret_cast<LPWSTR>(out));
}

// Windows' own words for its error, inserts left for us to fill.
unsigned system_message(unsigned error, unsigned language, char16_t* out, unsigned room)
{
    return FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, language,
                          reinterpret_cast<LPWSTR>(out), room, nullptr);
}

// In UTF-16 in both builds: the consent prompt passes the tail exactly.
const char16_t* wide_command_line()
{
    typedef LPWSTR(WINAPI * line_fn)();
    line_fn line = reinterpret_cast<line_fn>(kernel_proc("GetCommandLineW"));
    return line ? reinterpret_cast<const char16_t*>(line()) : nullptr;
}

// TokenElevation, from Vista on: an elevated copy never asks again.
call_result token_elevated(bool* elevated)
{
    static HMODULE advapi32;
    typedef BOOL(WINAPI * open_fn)(HANDLE, DWORD, PHANDLE);
    typedef BOOL(WINAPI * information_fn)(HANDLE, int, LPVOID, DWORD, PDWORD);
    open_fn open = reinterpret_cast<open_fn>(system_proc(&advapi32, "\\advapi32.dll", "OpenProcessToken"));
    information_fn information =
        reinterpret_cast<information_fn>(system_proc(&advapi32, "\\advapi32.dll", "GetTokenInformation"));
    HANDLE token = nullptr;
    if (!open || !information)
        return call_missing;
    // The process's own pseudo handle, as GetCurrentProcess gives it.
    if (!open(reinterpret_cast<HANDLE>(-1), TOKEN_QUERY, &token))
        return call_failed;
    DWORD value = 0, size = 0;
    BOOL told = information(token, 20 /* TokenElevation */, &value, sizeof value, &size);
    CloseHandle(token);
    if (!told)
        return call_failed;
    *elevated = value != 0 && !plays_unelevated();
    return call_done;
}

// Whether the mark of a copy that asked is there.
bool environment_has(const char16_t* name)
{
    typedef DWORD(WINAPI * get_fn)(LPCWSTR, LPWSTR, DWORD);
    get_fn get = reinterpret_cast<get_fn>(kernel_proc("GetEnvironmentVariableW"));
    WCHAR value[2];
    // An empty value is 0 too, and leaves the last error as it was.
    SetLastError(0);
    return get && (get(windows_text(name), value, 2) != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND);
}

// The mark, set before the prompt and removed before the tool starts.
void set_environment(const char16_t* name, const char16_t* value)
{
    typedef BOOL(WINAPI * set_fn)(LPCWSTR, LPCWSTR);
    set_fn set = reinterpret_cast<set_fn>(kernel_proc("SetEnvironmentVariableW"));
    if (set)
        set(windows_text(name), windows_text(value));
}

// Whether a letter is a network drive, which another logon may not see.
unsigned drive_type(const char16_t* root)
{
    typedef UINT(WINAPI * type_fn)(LPCWSTR);
    type_fn type = reinterpret_cast<type_fn>(kernel_proc("GetDriveTypeW"));
    return type ? type(windows_text(root)) : DRIVE_UNKNOWN;
}

// The first terminated text of what Windows wrote, if it fits room.
static unsigned copied(const WCHAR* from, char16_t* out, unsigned room)
{
    unsigned length = 0;
    while (from[length])
        if (++length >= room)
            return 0;
    for (unsigned i = 0; i <= length; i++)
        out[i] = from[i];
    return length;
}

// A mapped drive's share, which every logon of the user can reach.
unsigned universal_name(const char16_t* path, char16_t* out, unsigned room)
{
    static HMODULE mpr;
    typedef DWORD(WINAPI * universal_fn)(LPCWSTR, DWORD, LPVOID, LPDWORD);
    universal_fn universal = reinterpret_cast<universal_fn>(system_proc(&mpr, "\\mpr.dll", "WNetGetUniversalNameW"));
    union {
        UNIVERSAL_NAME_INFOW info;
        char bytes[4096];
    } found;
    DWORD size = sizeof found;
    if (!universal || universal(windows_text(path), UNIVERSAL_NAME_INFO_LEVEL, &found, &size) != NO_ERROR ||
        !found.info.lpUniversalName)
        return 0;
    return copied(found.info.lpUniversalName, out, room);
}

// What a subst drive stands for: the elevated logon has no such letter.
unsigned dos_device(const char16_t* drive, char16_t* out, unsigned room)
{
    typedef DWORD(WINAPI * query_fn)(LPCWSTR, LPWSTR, DWORD);
    query_fn query = reinterpret_cast<query_fn>(kernel_proc("QueryDosDeviceW"));
    WCHAR targets[1024];
    if (!query || !query(windows_text(drive), targets, 1024))
        return 0;
    return copied(targets, out, room);
}

static HMODULE ole32;

// ShellExecuteEx may hand its verb to COM, which wants this apartment.
call_result initialize_com()
{
    typedef HRESULT(WINAPI * initialize_fn)(LPVOID, DWORD);
    initialize_fn initialize = reinterpret_cast<initialize_fn>(system_proc(&ole32, "\\ole32.dll", "CoInitializeEx"));
    if (!initialize)
        return call_missing;
    // COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE
    return SUCCEEDED(initialize(nullptr, 0x2 | 0x4)) ? call_done : call_failed;
}

// Balances initialize_com once the shell has returned.
void release_com()
{
    typedef void(WINAPI * release_fn)();
    release_fn release = reinterpret_cast<release_fn>(system_proc(&ole32, "\\ole32.dll", "CoUninitialize"));
    if (release)
        release();
}

// The runas verb: the only way to the consent prompt.
call_result shell_execute(const shell_request* request, void** process, unsigned* error)
{
    static HMODULE shell32;
    typedef BOOL(WINAPI * execute_fn)(SHELLEXECUTEINFOW*);
    execute_fn execute = reinterpret_cast<execute_fn>(system_proc(&shell32, "\\shell32.dll", "ShellExecuteExW"));
    if (!execute)
        return call_missing;
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = request->mask;
    info.lpVerb = windows_text(request->verb);
    info.lpFile = windows_text(request->file);
    info.lpParameters = windows_text(request->parameters);
    info.lpDirectory = windows_text(request->directory);
    info.nShow = static_cast<int>(request->show);
    if (!execute(&info)) {
        *error = GetLastError();
        return call_failed;
    }
    *process = info.hProcess;
    return call_done;
}
