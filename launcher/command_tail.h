// The command tail: what follows the program name and the blanks after it on
// the raw command line, in 8-bit ANSI text or in UTF-16.
#pragma once

// A position inside line, never a copy; an empty text when line is null.
template <typename C>
const C* command_tail(const C* line);
