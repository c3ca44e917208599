// The argument file .setup_args: reading it whole, and its text rules.
#pragma once
#include <stddef.h>

enum read_result { read_ok, read_failed, read_no_memory };

// Reads a whole file as raw bytes into a heap block of size + 1 bytes ending
// in a zero byte. A file that cannot be read to its end fails: the tool must
// never get part of its arguments. One that another program shortens
// meanwhile gives what it still holds.
template <typename C>
read_result read_whole_file(const C* path, char** data, size_t* size);

// Turns the raw bytes of the argument file into the installer's arguments, in
// place, as a text-mode read would deliver them: a Ctrl-Z ends the data, CR LF
// counts as one LF; then the text runs to its first zero byte and loses the
// line feeds at its end. data must have room for size + 1 bytes.
char* argument_text(char* data, size_t size);

// The arguments in UTF-16, for a tool that reads its command line so: text
// that begins with the UTF-8 byte-order mark is read as UTF-8, the mark
// dropped; any other in the ANSI code page, as CreateProcessA would convert
// it. UTF-8 that is not valid fails: the tool must not get U+FFFD in place of
// what the author wrote.
read_result wide_arguments(const char* text, char16_t** arguments);
