// Composing the installer's command line, in 8-bit ANSI text or in UTF-16.
#pragma once

#define INSTALLER_SUBPATH "vorald_installer\\bin\\vorald_installer_cmd.exe"
extern const char* installer_subpath;

// The installer path and "--source=" naming the base directory. When the base
// directory holds a blank, both go in double quotes, so that Windows neither
// runs a shorter program path nor splits the value.
template <typename C>
C* command_head(const C* base);

// Whether Windows takes the command line made of head, a blank and
// arguments: at most 32,766 UTF-16 units.
template <typename C>
bool fits_command_line(const C* head, const C* arguments);

// Number of backslashes that end text, double-byte characters kept whole.
template <typename C>
unsigned trailing_backslashes(const C* text);
