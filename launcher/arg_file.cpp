#include "arg_file.h"

#include "heap_string.h"
#include "platform.h"

static read_result read_open_file(void* file, char** data, size_t* size)
{
    unsigned long long length = 0;
    // 2 GiB and more cannot be anyone's arguments.
    if (!file_size(file, &length) || length >= 0x80000000u)
        return read_failed;
    char* text = alloc_zeroed(static_cast<size_t>(length));
    if (!text)
        return read_no_memory;
    size_t total = 0;
    while (total < length) {
        long got = read_file(file, text + total, static_cast<unsigned long>(length - total));
        if (got < 0) {
            free_and_clear(&text);
            return read_failed;
        }
        if (got == 0)
            break;
        total += static_cast<size_t>(got);
    }
    *data = text;
    *size = total;
    return read_ok;
}

read_result read_whole_file(const char* path, char** data, size_t* size)
{
    void* file = open_file(path);
    if (!file)
        return read_failed;
    read_result result = read_open_file(file, data, size);
    close_file(file);
    return result;
}

char* argument_text(char* data, size_t size)
{
    size_t length = 0;
    for (size_t i = 0; i < size && data[i] != '\x1a'; i++) {
        if (data[i] == '\r' && i + 1 < size && data[i + 1] == '\n')
            continue;
        data[length++] = data[i];
    }
    data[length] = 0;

    length = 0;
    while (data[length])
        length++;
    while (length > 0 && data[length - 1] == '\n')
        data[--length] = 0;
    return data;
}
