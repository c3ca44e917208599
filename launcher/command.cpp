#include "command.h"

#include "heap_string.h"
#include "platform.h"

const char* installer_subpath = "vorald_installer\\bin\\vorald_installer_cmd.exe";

// The byte after the character that starts at p: a double-byte character of
// the ANSI code page is taken whole, so its trail byte is never a '\'.
static const char* next_char(const char* p)
{
    if (is_lead_byte(static_cast<unsigned char>(*p)) && p[1])
        return p + 2;
    return p + 1;
}

unsigned trailing_backslashes(const char* text)
{
    unsigned count = 0;
    for (const char* p = text; *p; p = next_char(p))
        count = (*p == '\\' && next_char(p) == p + 1) ? count + 1 : 0;
    return count;
}

bool fits_command_line(const char* head, const char* arguments)
{
    // The head ends in a character of its own, so the two are counted apart.
    return utf16_length(head) + 1 + utf16_length(arguments) <= 32766;
}

static bool has_blank(const char* text)
{
    for (const char* p = text; *p; p = next_char(p))
        if (*p == ' ')
            return true;
    return false;
}

char* command_head(const char* base)
{
    if (!has_blank(base))
        return format_alloc("%s%s --source=%s", base, installer_subpath, base);

    // Backslashes right before a closing quote must be doubled, or the
    // last one would escape the quote.
    unsigned count = trailing_backslashes(base);
    char* doubled = alloc_zeroed(count);
    if (!doubled)
        return nullptr;
    for (unsigned i = 0; i < count; i++)
        doubled[i] = '\\';
    char* head = format_alloc("\"%s%s\" \"--source=%s%s\"", base, installer_subpath, base, doubled);
    free_and_clear(&doubled);
    return head;
}
