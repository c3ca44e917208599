#include "heap_string.h"

#include <stdarg.h>

#include "platform.h"

char* alloc_zeroed(size_t count)
{
    char* block = static_cast<char*>(heap_alloc(count + 1));
    if (!block)
        return nullptr;
    for (size_t i = 0; i <= count; i++)
        block[i] = 0;
    return block;
}

// Writes the formatted text into out (when not null) and returns its length,
// or -1 when the format cannot be measured.
static long format_into(char* out, const char* format, va_list values)
{
    long length = 0;
    for (const char* f = format; *f; f++) {
        const char* piece = f;
        size_t piece_length = 1;
        if (*f == '%') {
            f++;
            if (*f == 's') {
                piece = va_arg(values, const char*);
                if (!piece)
                    return -1;
                piece_length = 0;
                while (piece[piece_length])
                    piece_length++;
            } else if (*f != '%') {
                return -1;
            }
        }
        if (out)
            for (size_t i = 0; i < piece_length; i++)
                out[length + i] = piece[i];
        length += static_cast<long>(piece_length);
    }
    return length;
}

char* format_alloc(const char* format, ...)
{
    va_list values, measure;
    va_start(values, format);
    va_copy(measure, values);
    long length = format_into(nullptr, format, measure);
    va_end(measure);
    char* text = length < 0 ? nullptr : alloc_zeroed(static_cast<size_t>(length) + 1);
    if (text)
        format_into(text, format, values);
    va_end(values);
    return text;
}

void free_and_clear(char** holder)
{
    if (!holder)
        return;
    heap_free(*holder);
    *holder = nullptr;
}
