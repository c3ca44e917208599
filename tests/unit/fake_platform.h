// A stand-in for Windows: code page 932, 1252 or 65001 (UTF-8), the launcher's
// own path in UTF-16 and its short form, the DLL-search calls of each
// Windows, a heap that can be told to fail, a file system of a few names
// whose reads can fail or end early, whether anyone can see a box, and a
// record of boxes (in UTF-8), lines on standard error and starts.
#pragma once
#include <map>
#include <set>
#include <string>
#include <vector>

#include "launcher/platform.h"

struct fake_platform {
    std::string module = "E:\\setup.exe";         // UTF-8; "\xed\xa0\x80" is a lone surrogate
    std::map<std::string, std::string> short_forms; // by long path; "" fails; none: the long path
    std::set<std::string> existing;
    std::map<std::string, std::string> files;     // readable, with their bytes
    std::map<std::string, size_t> told_sizes;     // by path, where not the bytes' own
    long read_error_at = -1;                      // offset that a failing read reaches
    unsigned code_page = 932;                     // or 1252, or 65001
    call_result set_default_dll_directories = call_done;
    call_result set_dll_directory = call_done;
    int fail_allocation = -1;                     // index of the allocation that fails
    size_t largest_request = 0;
    int allocations = 0;
    int live_blocks = 0;
    std::vector<std::string> looked_at;           // paths tested or read
    std::vector<std::string> calls;               // DLL-search calls and starts, in order
    call_result station = call_done;              // the window station's flags asked
    bool station_visible = true;
    call_result session = call_done;
    unsigned session_id = 1;
    call_result console = call_done;
    unsigned console_session = 1;
    unsigned windows_major = 10;
    unsigned user_language = 0x0409;
    // By language: the texts of a string table from 0 on, UTF-8, no more than
    // given (a table cut short); "<claims N>" before a text makes its length N.
    std::map<unsigned, std::vector<std::string>> held_texts;
    std::map<unsigned, std::u16string> raw_tables; // by language: a table's units as they stand
    std::u16string after_tables;                  // what memory holds right after each table
    std::map<unsigned, std::vector<char16_t>> blocks; // the tables as handed out, each exactly sized
    std::vector<std::string> boxes;               // the text; the caption and a line feed before it, unless
                                                  // "Setup", and "(style N)" unless the error icon alone
    unsigned box_error = 0;                       // why a box cannot be shown
    bool console_error = false;                   // standard error is a console
    std::string standard_error;                   // all that was written there; to a console, "<console>" and
                                                  // the UTF-16 text in UTF-8
    std::vector<std::string> started;
    unsigned start_result = 0;
    unsigned tool_status = 0;
    unsigned tool_wait_error = 0;                 // the wait for the tool fails with it
    std::string current_directory = "C:\\Users\\me";
    std::map<unsigned, std::string> system_messages = { // Windows' texts, UTF-8
        {2, "The system cannot find the file specified.\r\n"},
        {34, "Insert %2 (Volume Serial Number: %3) into drive %1!s!.\r\n"},
        {193, "%1 is not a valid Win32 application.\r\n"},
        {206, "The filename or extension is too long.\r\n"},
        {740, "The requested operation requires elevation.\r\n"},
        {1000, "%1 failed at step %10 of %2.\r\n"},
        {1223, "The operation was canceled by the user.\r\n"}};
    std::map<unsigned, std::string> neutral_messages = {{5, "Access is denied.\r\n"}}; // language 0 alone
    std::string wide_command_line = "\"E:\\setup.exe\"";  // UTF-8; "<none>": null
    call_result token = call_done;                // TokenElevation asked
    bool token_elevated = false;
    std::set<std::string> environment;            // names set; set_environment goes to calls
    std::set<char> remote_drives;                 // GetDriveTypeW: DRIVE_REMOTE, else DRIVE_FIXED
    std::map<std::string, std::string> universal_names; // by drive ("Z:"): the share's name
    std::map<std::string, std::string> dos_devices;     // by drive: QueryDosDeviceW's target
    call_result shell = call_done;                // ShellExecuteExW: its fields go to calls
    unsigned shell_error = 0;
    bool shell_process = true;
    call_result com = call_done;                  // CoInitializeEx: both it and CoUninitialize go to calls
    unsigned elevated_status = 0;                 // the elevated copy's exit status
    call_result wait = call_done;                 // the wait for it, which fails with wait_error
    unsigned wait_error = 0;
};

extern fake_platform fake;
void reset_fake();
// UTF-8 into UTF-16, a lone surrogate kept as the tests write it.
std::u16string fake_utf16(const std::string& text);
std::string repeat(const std::string& text, size_t times);
