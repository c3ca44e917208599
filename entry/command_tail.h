// The command tail: what follows the program name and the blanks after it on
// the raw command line.
#pragma once

// A position inside line, never a copy; an empty text when line is null.
const char* command_tail(const char* line);
