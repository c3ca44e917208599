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

template <typename C>
read_result read_whole_file(const C* path, char** data, size_t* size)
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

template read_result read_whole_file<char>(const char*, char**, size_t*);
template read_result read_whole_file<char16_t>(const char16_t*, char**, size_t*);

// The code point of the UTF-8 character at p, which it passes; -1 when it is
// not one: cut short, overlong, a surrogate or beyond U+10FFFF.
static long utf8_char(const unsigned char*& p)
{
    static const long least[] = {0, 0x80, 0x800, 0x10000};
    unsigned lead = *p++;
    int more = lead < 0x80 ? 0 : lead >= 0xf0 ? 3 : lead >= 0xe0 ? 2 : lead >= 0xc0 ? 1 : -1;
    if (more < 0 || lead > 0xf4)
        return -1;
    long code = lead & (0x7f >> more);
    for (int i = 0; i < more; i++, p++) {
        if ((*p & 0xc0) != 0x80)
            return -1;
        code = code << 6 | (*p & 0x3f);
    }
    if (code < least[more] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
        return -1;
    return code;
}

read_result wide_arguments(const char* text, char16_t** arguments)
{
    size_t length = 0;
    while (text[length])
        length++;
    // Never more UTF-16 units than bytes.
    char16_t* wide = alloc_zeroed<char16_t>(length);
    if (!wide)
        return read_no_memory;
    *arguments = wide;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    if (p[0] != 0xef || p[1] != 0xbb || p[2] != 0xbf) {
        to_wide(text, length, wide, length);
        return read_ok;
    }
    for (p += 3; *p;) {
        long code = utf8_char(p);
        if (code < 0) {
            free_and_clear(arguments);
            return read_failed;
        }
        if (code >= 0x10000) {
            *wide++ = static_cast<char16_t>(0xd800 + ((code - 0x10000) >> 10));
            code = 0xdc00 + ((code - 0x10000) & 0x3ff);
        }
        *wide++ = static_cast<char16_t>(code);
    }
    return read_ok;
}
