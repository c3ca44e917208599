// Heap strings: terminated texts of 8-bit or UTF-16 characters in heap
// blocks, owned by whoever received them until handed to free_and_clear.
#pragma once
#include <stddef.h>

// count + 1 zero characters, or null when the heap is out.
template <typename C = char>
C* alloc_zeroed(size_t count);

// The formatted text in a block of exactly its length + 2 zero-filled
// characters. The format is ASCII, or UTF-16 for a text of C = char16_t;
// each "%s" a text of C. Knows "%s" and "%%", which is all the launcher
// uses; returns null for any other conversion, a null text, or when the heap
// is out.
template <typename C = char, typename F = char>
C* format_alloc(const F* format, ...);

template <typename C>
void free_and_clear(C** holder);

// The number of characters before the terminator.
template <typename C>
inline size_t text_length(const C* text)
{
    size_t length = 0;
    while (text[length])
        length++;
    return length;
}

// The text in UTF-16: ANSI text converted from the ANSI code page, UTF-16
// copied. Null when the heap is out.
char16_t* wide_copy(const char* text);
char16_t* wide_copy(const char16_t* text);
