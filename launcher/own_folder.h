// The folder that holds the launcher: spelled exactly in the ANSI code page,
// or as Windows gives it in UTF-16.
#pragma once

// Windows' paths: 259 UTF-16 characters and the terminator.
enum { path_room = 260 };

// The longest folder that a path within that limit holds: 258 characters
// (the file name takes one), ending in a one-byte separator, each other
// character spelled in up to three bytes (UTF-8); and the terminator.
enum { folder_room = (path_room - 3) * 3 + 1 + 1 };

enum folder_found { folder_unknown, folder_unspellable, folder_spelled, folder_too_long };

// Writes the folder of the launcher's own path, up to and including its last
// separator, into folder (folder_room characters) and, as Windows gives it,
// into shown (path_room units). For a tool that reads its command line in
// UTF-16 the folder is as Windows gives it; in the ANSI code page it is
// spelled exactly, never by best fit, which would name another folder. Where
// only the path's short form keeps the tool's path within Windows' limit, or
// the code page can spell only the short form, the folder is taken from it.
// folder_too_long, with the exact spelling, when the tool's path is over the
// limit in both forms (it is then missing); folder_unspellable, with folder
// empty, when neither form can be spelled; folder_unknown, with both empty,
// when the path cannot be learnt whole or holds no folder.
template <typename C>
folder_found own_folder(C* folder, char16_t* shown);

// The same for a path of length units that Windows would give setup.exe
// started so: the folder that its copy takes.
template <typename C>
folder_found folder_of(const char16_t* path, unsigned length, C* folder, char16_t* shown);
