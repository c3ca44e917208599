#include <windows.h>
#include <stdlib.h>

#include "heap_string.h"
#include "launch.h"
#include "platform.h"

bool is_lead_byte(unsigned char c)
{
    return IsDBCSLeadByte(c) != 0;
}

void* heap_alloc(size_t size)
{
    return malloc(size);
}

void heap_free(void* block)
{
    free(block);
}

unsigned module_path(char* path, unsigned room)
{
    return GetModuleFileNameA(nullptr, path, room);
}

bool path_exists(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

read_result read_whole_file(const char* path, char** data, size_t* size)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return read_failed;

    read_result result = read_failed;
    DWORD high = 0;
    DWORD expected = GetFileSize(file, &high);
    // 2 GiB and more: too large for arguments, and for a 32-bit size.
    if (expected == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        expected = 0, high = 1;
    if (high == 0 && expected < 0x80000000u) {
        char* text = alloc_zeroed(expected);
        DWORD total = 0;
        result = text ? read_ok : read_no_memory;
        while (text && total < expected) {
            DWORD got = 0;
            if (!ReadFile(file, text + total, expected - total, &got, nullptr)) {
                result = read_failed;
                break;
            }
            if (got == 0)
                break;
            total += got;
        }
        if (result == read_ok) {
            *data = text;
            *size = total;
        } else {
            free_and_clear(&text);
        }
    }
    CloseHandle(file);
    return result;
}

void show_error(const char* text)
{
    MessageBoxA(nullptr, text, setup_caption, MB_ICONERROR);
}
