#include "heap_string.h"

#include <stdarg.h>

#include "platform.h"

template <typename C>
C* alloc_zeroed(size_t count)
{
    C* block = static_cast<C*>(heap_alloc((count + 1) * sizeof(C)));
    if (!block)
        return nullptr;
    for (size_t i = 0; i <= count; i++)
        block[i] = 0;
    return block;
}

static char16_t unit(char c)
{
    return static_cast<unsigned char>(c);
}

static char16_t unit(char16_t c)
{
    return c;
}

// Writes the formatted text into out (when not null) and returns its length,
// or -1 when the format cannot be measured.
template <typename C, typename F>
static long format_into(C* out, const F* format, va_list values)
{
    long length = 0;
    for (const F* f = format; *f; f++) {
        if (*f == '%' && *++f != '%') {
            if (*f != 's')
                return -1;
            const C* piece = va_arg(values, const C*);
            if (!piece)
                return -1;
            for (; *piece; piece++, length++)
                if (out)
                    out[length] = *piece;
            continue;
        }
        if (out)
            out[length] = static_cast<C>(unit(*f));
        length++;
    }
    return length;
}

template <typename C, typename F>
C* format_alloc(const F* format, ...)
{
    va_list values, measure;
    va_start(values, format);
    va_copy(measure, values);
    long length = format_into(static_cast<C*>(nullptr), format, measure);
    va_end(measure);
    C* text = length < 0 ? nullptr : alloc_zeroed<C>(static_cast<size_t>(length) + 1);
    if (text)
        format_into(text, format, values);
    va_end(values);
    return text;
}

template <typename C>
void free_and_clear(C** holder)
{
    if (!holder)
        return;
    heap_free(*holder);
    *holder = nullptr;
}

char16_t* wide_copy(const char* text)
{
    size_t length = text_length(text);
    char16_t* wide = alloc_zeroed<char16_t>(length);
    if (wide)
        to_wide(text, length, wide, length);
    return wide;
}

char16_t* wide_copy(const char16_t* text)
{
    return format_alloc<char16_t>("%s", text);
}

template char* alloc_zeroed<char>(size_t);
template char16_t* alloc_zeroed<char16_t>(size_t);
template char* format_alloc<char, char>(const char*, ...);
template char16_t* format_alloc<char16_t, char>(const char*, ...);
template char16_t* format_alloc<char16_t, char16_t>(const char16_t*, ...);
template void free_and_clear<char>(char**);
template void free_and_clear<char16_t>(char16_t**);
