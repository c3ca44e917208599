#include "own_folder.h"

#include "command.h"
#include "platform.h"

// The exact ANSI spelling of the first length units of wide, terminated.
static bool spell_exactly(const char16_t* wide, unsigned length, char* out)
{
    // Best fit would spell a character that the code page lacks as another
    // one (Ł as L, ¥ as '\'); UTF-8 would spell a lone surrogate as U+FFFD.
    bool used_default = false;
    unsigned room = folder_room - 1;
    unsigned bytes = ansi_code_page() == code_page_utf8
                         ? to_multibyte(code_page_utf8, invalid_chars_fail, wide, length, out, room, nullptr)
                         : to_multibyte(code_page_ansi, no_best_fit, wide, length, out, room, &used_default);
    if (used_default)
        bytes = 0;
    out[bytes] = 0;
    return bytes > 0;
}

// The length of the folder, with its last separator, of a path of length
// units that Windows gave whole; 0 when it holds no folder or names no file.
// The separator is found in UTF-16, where no byte of another character can
// look like one.
static unsigned folder_length(const char16_t* path, unsigned length)
{
    if (length == 0 || length >= path_room)
        return 0;
    unsigned end = 0;
    for (unsigned i = 0; i < length; i++)
        if (path[i] == u'\\' || path[i] == u'/')
            end = i + 1;
    return end < length ? end : 0;
}

// Whether the tool's path under a folder of length units stays within
// Windows' limit; the ANSI calls count it in UTF-16, whatever its bytes.
static bool tool_path_fits(unsigned length)
{
    unsigned tool = 0;
    while (installer_subpath[tool])
        tool++;
    return length + tool < path_room;
}

// A tool that reads UTF-16 takes the folder as Windows gives it.
static bool spell_exactly(const char16_t* wide, unsigned length, char16_t* out)
{
    for (unsigned i = 0; i < length; i++)
        out[i] = wide[i];
    out[length] = 0;
    return true;
}

template <typename C>
folder_found folder_of(const char16_t* path, unsigned length, C* folder, char16_t* shown)
{
    folder[0] = 0;
    shown[0] = 0;
    unsigned end = folder_length(path, length);
    if (end == 0)
        return folder_unknown;
    spell_exactly(path, end, shown);
    if (tool_path_fits(end) && spell_exactly(path, end, folder))
        return folder_spelled;

    char16_t short_form[path_room];
    unsigned short_end = folder_length(short_form, short_path(path, short_form, path_room));
    if (short_end && tool_path_fits(short_end) && spell_exactly(short_form, short_end, folder))
        return folder_spelled;
    // Too long either way: the exact spelling, whose tool is then missing.
    return spell_exactly(path, end, folder) ? folder_too_long : folder_unspellable;
}

template <typename C>
folder_found own_folder(C* folder, char16_t* shown)
{
    char16_t path[path_room];
    return folder_of(path, module_path(path, path_room), folder, shown);
}

template folder_found own_folder<char>(char*, char16_t*);
template folder_found own_folder<char16_t>(char16_t*, char16_t*);
template folder_found folder_of<char>(const char16_t*, unsigned, char*, char16_t*);
template folder_found folder_of<char16_t>(const char16_t*, unsigned, char16_t*, char16_t*);
