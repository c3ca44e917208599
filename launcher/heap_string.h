// Heap strings: terminated 8-bit texts in heap blocks, owned by whoever
// received them until handed to free_and_clear.
#pragma once
#include <stddef.h>

// count + 1 zero bytes, or null when the heap is out.
char* alloc_zeroed(size_t count);

// The formatted text in a block of exactly its length + 2 zero-filled bytes.
// Knows "%s" and "%%", which is all the launcher uses; returns null for any
// other conversion, a null text, or when the heap is out.
char* format_alloc(const char* format, ...);

void free_and_clear(char** holder);
