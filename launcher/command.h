// Composing the installer's command line.
#pragma once

extern const char* installer_subpath;

// The installer path and "--source=" naming the base directory. When the base
// directory holds a blank, both go in double quotes, so that Windows neither
// runs a shorter program path nor splits the value.
char* command_head(const char* base);

// Windows takes command lines of up to 32,766 UTF-16 characters; every
// character of an ANSI code page, double-byte ones included, is one of them.
bool fits_command_line(const char* command);

// Number of backslashes that end text, double-byte characters kept whole.
unsigned trailing_backslashes(const char* text);
