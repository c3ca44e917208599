// The folder that holds the launcher: spelled exactly in the ANSI code page,
// or as Windows gives it in UTF-16.
#pragma once

// Windows' paths: 259 UTF-16 characters and the terminator.
enum { path_room = 260 };

// The longest folder that a path within that limit holds: 258 characters
// (the file name takes one), ending in a one-byte separator, each other
// character spelled in up to three bytes (UTF-8); and the terminator.
enum { folder_room = (path_room - 3) * 3 + 1 + 1 };

enum folder_found { folder_unknown, folder_unspellable, folder_spelled };

// Writes the folder of the launcher's own path, up to and including its last
// separator, into folder (folder_room bytes) and, as Windows gives it, into
// wide (path_room units). The folder is spelled exactly in the ANSI code
// page, or taken from the path's short form where the code page cannot spell
// it or where only the short form keeps the tool's path within Windows'
// limit. Never a best-fit spelling, which would name another folder:
// folder_unspellable then, with folder empty. folder_unknown, with both
// empty, when the path cannot be learnt whole or holds no folder.
folder_found own_folder(char* folder, char16_t* wide);

// For a tool that reads its command line in UTF-16: the folder as Windows
// gives it (folder_room units), never refused for its name.
folder_found own_folder(char16_t* folder);
