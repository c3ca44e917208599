// Splitting and joining paths, with double-byte characters of the ANSI code
// page kept whole: a trail byte equal to '\' or '/' is no separator.
#pragma once
#include <stddef.h>

enum { drive_room = 3, dir_room = 256, fname_room = 256, ext_room = 256 };

struct path_parts {
    char drive[drive_room];
    char dir[dir_room];
    char fname[fname_room];
    char ext[ext_room];
};

// Drive "X:", directory up to its last separator, file name, extension from
// the last '.' after the directory. When a part does not fit its room, all
// four come back empty and the result is false.
bool split_path(const char* path, path_parts* parts);

// Drive letter and ':', directory (with a '\' added unless it ends in a
// separator), file name, extension (with a '.' added unless it has one).
// False, with out empty, when the result does not fit room bytes.
bool make_path(char* out, size_t room, const char* drive, const char* dir,
               const char* fname, const char* ext);

// The byte after the character that starts at p.
const char* next_char(const char* p);

bool ends_in_separator(const char* text);
