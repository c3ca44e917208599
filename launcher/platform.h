// The few operations through which the launcher touches Windows and the C
// runtime, with the 8-bit ANSI and the UTF-16 form of each that takes text.
// Each only answers a question or carries out one call; what to make of the
// answer is decided by the launcher's own code. platform_win32.cpp and
// child_process.cpp implement them for the real program; the unit tests link
// their own.
#pragma once
#include <stddef.h>

// Whether a call that Windows may lack was there, and whether it worked.
enum call_result { call_missing, call_failed, call_done };

// Code pages and WideCharToMultiByte flags, as Windows numbers them.
enum {
    code_page_ansi = 0,      // CP_ACP
    code_page_utf8 = 65001,  // CP_UTF8
    invalid_chars_fail = 0x80, // WC_ERR_INVALID_CHARS
    no_best_fit = 0x400,     // WC_NO_BEST_FIT_CHARS
};

// True when c starts a double-byte character in the ANSI code page.
bool is_lead_byte(unsigned char c);

// The number of UTF-16 units that Windows makes of text, in the ANSI code
// page, when it hands a command line on.
size_t utf16_length(const char* text);

// The system's ANSI code page (GetACP).
unsigned ansi_code_page();

// WideCharToMultiByte of length units of wide in code_page with flags, into
// out (room bytes, no terminator added): the number of bytes written, 0 when
// it fails or they do not fit. used_default, when given, tells whether a
// character had no spelling and got the default one.
unsigned to_multibyte(unsigned code_page, unsigned flags, const char16_t* wide, unsigned length,
                      char* out, unsigned room, bool* used_default);

// MultiByteToWideChar of length bytes of text in the ANSI code page, into
// out (room units, no terminator added): the number of units written.
size_t to_wide(const char* text, size_t length, char16_t* out, size_t room);

// The launcher's own path in UTF-16 (GetModuleFileNameW), offering room
// units: its length without the terminator, room when it was cut off, 0 on
// failure.
unsigned module_path(char16_t* path, unsigned room);

// The short (8.3) form of path (GetShortPathNameW), offering room units: its
// length without the terminator; more than that when it does not fit; 0 on
// failure. Where a volume keeps no short names it is the path itself.
unsigned short_path(const char16_t* path, char16_t* out, unsigned room);

void* heap_alloc(size_t size);
void heap_free(void* block);

// True when path names an existing file or directory.
bool path_exists(const char* path);
bool path_exists(const char16_t* path);

// Opens a file for reading, letting other programs read and write it
// meanwhile: null when it cannot be opened (a folder cannot).
void* open_file(const char* path);
void* open_file(const char16_t* path);

// The size of an open file in bytes; false when it cannot be told.
bool file_size(void* file, unsigned long long* size);

// Reads up to count bytes: the number read, 0 at the end, -1 on an error.
long read_file(void* file, char* out, unsigned long count);

void close_file(void* file);

// SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32), where Windows has it.
call_result search_system_folder_only();

// SetDllDirectoryA(path), where Windows has it; a null path restores the
// default search.
call_result set_dll_directory(const char* path);

// Whether the process's window station has visible display surfaces
// (WSF_VISIBLE): a service's has none.
call_result station_visible(bool* visible);

// The Terminal Services session that the process runs in.
call_result session_id(unsigned* session);

// The session of the physical console (WTSGetActiveConsoleSessionId, where
// Windows has it): 0xFFFFFFFF while none is attached.
call_result console_session(unsigned* session);

// The major version of Windows: 5 for 2000 and XP, 6 and above from Vista.
unsigned windows_major_version();

// The user's interface language (GetUserDefaultUILanguage).
unsigned user_language();

// The languages of setup.exe's string tables, up to room of them: their number.
unsigned text_languages(unsigned* languages, unsigned room);

// The string table of a language as setup.exe holds it, and its size in
// units; null when it holds none.
const char16_t* text_block(unsigned language, unsigned* units);

// MessageBox's styles, as Windows numbers them.
enum {
    box_error_icon = 0x10,         // MB_ICONERROR
    box_right = 0x80000,           // MB_RIGHT
    box_right_to_left = 0x100000,  // MB_RTLREADING
};

// Modal box with a single OK button: 0 once it was closed, else Windows'
// error code for why it could not be shown.
unsigned show_error(const char16_t* text, const char16_t* caption, unsigned style);

// Whether the standard error handle, where whoever started the launcher gave
// one, is a console.
bool standard_error_is_console();

// Writes bytes to the standard error handle, or UTF-16 text to it as a
// console (WriteConsoleW); a missing handle or a failed write is ignored.
void write_standard_error(const char* bytes, unsigned length);
void write_console_error(const char16_t* text, unsigned length);

// The process's current directory (GetCurrentDirectoryW), offering room
// units: its length without the terminator; more than that when it does not
// fit; 0 on failure.
unsigned current_directory(char16_t* out, unsigned room);

// Windows' own text for an error code (FormatMessageW from the system, its
// inserts left as they stand) in language, into out (room units,
// terminated): its length, 0 where Windows has none.
unsigned system_message(unsigned error, unsigned language, char16_t* out, unsigned room);

// The calls below serve the consent prompt; those that the ANSI build does
// not import are looked up when asked, and ADVAPI32, MPR, OLE32 and SHELL32
// loaded from the system folder on first use.

// The process's command line in UTF-16 (GetCommandLineW); null where it
// cannot be had.
const char16_t* wide_command_line();

// Whether the process's token is elevated (GetTokenInformation's
// TokenElevation): call_failed or call_missing where Windows cannot tell,
// as before Vista.
call_result token_elevated(bool* elevated);

// Whether a variable is set in the process's environment, an empty one too;
// setting one, or removing it where value is null.
bool environment_has(const char16_t* name);
void set_environment(const char16_t* name, const char16_t* value);

enum { drive_remote = 4 }; // DRIVE_REMOTE

// GetDriveTypeW of a root such as "X:\".
unsigned drive_type(const char16_t* root);

// The UNC form of a path on a mapped network drive (WNetGetUniversalNameW),
// into out (room units, terminated): its length, 0 where there is none.
unsigned universal_name(const char16_t* path, char16_t* out, unsigned room);

// What a drive "X:" stands for (QueryDosDeviceW's first target), into out
// (room units, terminated): its length, 0 where it cannot be told.
unsigned dos_device(const char16_t* drive, char16_t* out, unsigned room);

// CoInitializeEx(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE), as the
// shell's verbs want it: call_done where release_com must balance it.
call_result initialize_com();
void release_com();

// ShellExecuteExW's request, each field as the call takes it.
struct shell_request {
    unsigned mask;  // SEE_MASK_*
    const char16_t* verb;
    const char16_t* file;
    const char16_t* parameters;
    const char16_t* directory;
    unsigned show;  // SW_*
};

enum {
    shell_no_close_process = 0x40,   // SEE_MASK_NOCLOSEPROCESS
    shell_no_async = 0x100,          // SEE_MASK_NOASYNC
    shell_no_ui = 0x400,             // SEE_MASK_FLAG_NO_UI
    shell_no_zone_checks = 0x800000, // SEE_MASK_NOZONECHECKS
    show_normal = 1,                 // SW_SHOWNORMAL
};

// ShellExecuteExW of request: call_missing where SHELL32 cannot be had;
// call_failed with Windows' error code; call_done with the process started,
// if Windows tells it.
call_result shell_execute(const shell_request* request, void** process, unsigned* error);

// Waits until process ends and closes it: call_done with its exit status,
// call_failed with the platform's error code where the wait failed (it may
// still run) or its status cannot be told.
call_result wait_for_process(void* process, unsigned* status);

// Whether this process plays a user without administrator rights: only in a
// build for the end-to-end tests (child_process.cpp), never in one that ships.
#if TEST_ELEVATION
bool plays_unelevated();
#else
inline bool plays_unelevated()
{
    return false;
}
#endif

// How a start of the tool went.
enum run_result { run_ended, run_not_started, run_not_waited };

// Starts command without a console window and waits until it ends:
// run_ended with the tool's exit status in code; run_not_started with the
// platform's error code; run_not_waited, the tool perhaps still running,
// with the error code of the wait or of the question for its status.
run_result run_and_wait(char* command, unsigned* code);
run_result run_and_wait(char16_t* command, unsigned* code);
