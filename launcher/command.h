// Composing the installer's command line.
#pragma once

extern const char* installer_subpath;

// The installer path and "--source=" naming the base directory. When the base
// directory holds a blank, both go in double quotes, so that Windows neither
// runs a shorter program path nor splits the value.
char* command_head(const char* base);

// Number of backslashes that end text, double-byte characters kept whole.
unsigned trailing_backslashes(const char* text);
