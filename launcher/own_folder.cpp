#include "own_folder.h"

#include "platform.h"

// Windows' path routines take 259 characters and the terminator.
enum { path_room = 260 };

// The exact ANSI spelling of the first length units of wide, terminated.
static bool spell_exactly(const char16_t* wide, unsigned length, char* out, unsigned room)
{
    // Best fit would spell a character that the code page lacks as another
    // one (Ł as L, ¥ as '\'); UTF-8 would spell a lone surrogate as U+FFFD.
    bool used_default = false;
    unsigned bytes = ansi_code_page() == code_page_utf8
                         ? to_multibyte(code_page_utf8, invalid_chars_fail, wide, length, out, room - 1, nullptr)
                         : to_multibyte(code_page_ansi, no_best_fit, wide, length, out, room - 1, &used_default);
    if (used_default)
        bytes = 0;
    out[bytes] = 0;
    return bytes > 0;
}

// The separator is found in UTF-16, where no byte of another character can
// look like one.
static bool spell_folder(const char16_t* path, char* folder, unsigned room)
{
    unsigned end = 0;
    for (unsigned i = 0; path[i]; i++)
        if (path[i] == u'\\' || path[i] == u'/')
            end = i + 1;
    return end > 0 && spell_exactly(path, end, folder, room);
}

bool own_folder(char* folder, unsigned room)
{
    folder[0] = 0;
    char16_t path[path_room];
    unsigned length = module_path(path, path_room);
    if (length == 0 || length >= path_room)
        return false;
    if (spell_folder(path, folder, room))
        return true;
    char16_t short_form[path_room];
    length = short_path(path, short_form, path_room);
    return length > 0 && length < path_room && spell_folder(short_form, folder, room);
}
