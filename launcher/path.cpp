#include "path.h"

#include "platform.h"

const char* next_char(const char* p)
{
    if (is_lead_byte(static_cast<unsigned char>(*p)) && p[1])
        return p + 2;
    return p + 1;
}

static bool is_separator(char c)
{
    return c == '\\' || c == '/';
}

bool ends_in_separator(const char* text)
{
    const char* last = nullptr;
    for (const char* p = text; *p; p = next_char(p))
        last = p;
    return last && is_separator(*last) && next_char(last) == last + 1;
}

static bool copy_part(char* out, size_t room, const char* from, const char* to)
{
    size_t length = static_cast<size_t>(to - from);
    if (length >= room)
        return false;
    for (size_t i = 0; i < length; i++)
        out[i] = from[i];
    out[length] = 0;
    return true;
}

bool split_path(const char* path, path_parts* parts)
{
    const char* dir = path;
    if (path[0] && !is_lead_byte(static_cast<unsigned char>(path[0])) && path[1] == ':')
        dir = path + 2;

    const char* fname = dir;
    const char* dot = nullptr;
    const char* end = dir;
    for (const char* p = dir; *p; p = next_char(p)) {
        if (next_char(p) == p + 1 && is_separator(*p)) {
            fname = p + 1;
            dot = nullptr;
        } else if (*p == '.') {
            dot = p;
        }
        end = next_char(p);
    }
    if (!dot)
        dot = end;

    if (copy_part(parts->drive, drive_room, path, dir) &&
        copy_part(parts->dir, dir_room, dir, fname) &&
        copy_part(parts->fname, fname_room, fname, dot) &&
        copy_part(parts->ext, ext_room, dot, end))
        return true;
    parts->drive[0] = parts->dir[0] = parts->fname[0] = parts->ext[0] = 0;
    return false;
}

static bool append(char* out, size_t room, size_t* length, const char* text)
{
    for (; *text; text++) {
        if (*length + 1 >= room)
            return false;
        out[(*length)++] = *text;
    }
    out[*length] = 0;
    return true;
}

bool make_path(char* out, size_t room, const char* drive, const char* dir,
               const char* fname, const char* ext)
{
    size_t length = 0;
    char drive_text[3] = { drive[0], ':', 0 };
    bool fits = room > 0;
    if (fits)
        out[0] = 0;
    if (fits && drive[0])
        fits = append(out, room, &length, drive_text);
    if (fits)
        fits = append(out, room, &length, dir);
    if (fits && dir[0] && !ends_in_separator(dir))
        fits = append(out, room, &length, "\\");
    if (fits)
        fits = append(out, room, &length, fname);
    if (fits && ext[0] && ext[0] != '.')
        fits = append(out, room, &length, ".");
    if (fits)
        fits = append(out, room, &length, ext);
    if (!fits && room > 0)
        out[0] = 0;
    return fits;
}
