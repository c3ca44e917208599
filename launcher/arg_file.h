// The text rules of the argument file .setup_args.
#pragma once
#include <stddef.h>

// Turns the raw bytes of the argument file into the installer's arguments, in
// place, as a text-mode read would deliver them: a Ctrl-Z ends the data, CR LF
// counts as one LF; then the text runs to its first zero byte and loses the
// line feeds at its end. data must have room for size + 1 bytes.
char* argument_text(char* data, size_t size);
