// The few operations through which the launcher touches Windows and the C
// runtime. platform_win32.cpp and child_process.cpp implement them for the
// real program; the unit tests link their own.
#pragma once
#include <stddef.h>

enum read_result { read_ok, read_failed, read_no_memory };

// True when c starts a double-byte character in the ANSI code page.
bool is_lead_byte(unsigned char c);

// The number of UTF-16 units that Windows makes of text, in the ANSI code
// page, when it hands a command line on.
size_t utf16_length(const char* text);

void* heap_alloc(size_t size);
void heap_free(void* block);

// Writes the launcher's own path into path, offering room bytes; returns the
// number of bytes written without the terminator, 0 on failure. A path that
// the ANSI code page cannot spell comes in its short (8.3) form, where that
// one can be spelled.
unsigned module_path(char* path, unsigned room);

// True when path names an existing file or directory.
bool path_exists(const char* path);

// Reads a whole file as raw bytes into a heap block of size + 1 bytes ending
// in a zero byte. Other programs may read and write it meanwhile.
read_result read_whole_file(const char* path, char** data, size_t* size);

// Keeps DLLs loaded on demand out of the launcher's own folder.
void restrict_dll_search();

// Undoes what restrict_dll_search set that a child process would inherit.
void release_dll_search();

// Modal error box captioned "Setup".
void show_error(const char* text);

// Starts command without a console window and waits until it ends.
// Returns 0, or the platform's error code when it could not be started.
unsigned run_and_wait(char* command);
