// Composing the installer's command line.
#pragma once

extern const char* installer_subpath;

// The installer path and "--source=" naming the base directory. When the base
// directory holds a blank, both go in double quotes, so that Windows neither
// runs a shorter program path nor splits the value.
char* command_head(const char* base);

// Whether Windows takes the command line made of head, a blank and
// arguments: at most 32,766 UTF-16 units.
bool fits_command_line(const char* head, const char* arguments);

// Number of backslashes that end text, double-byte characters kept whole.
unsigned trailing_backslashes(const char* text);
