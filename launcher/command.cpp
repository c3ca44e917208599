#include "command.h"

#include "heap_string.h"
#include "platform.h"

const char* installer_subpath = INSTALLER_SUBPATH;

// The character after the one that starts at p: a double-byte character of
// the ANSI code page is taken whole, so its trail byte is never a '\'.
static const char* next_char(const char* p)
{
    if (is_lead_byte(static_cast<unsigned char>(*p)) && p[1])
        return p + 2;
    return p + 1;
}

static const char16_t* next_char(const char16_t* p)
{
    return p + 1;
}

template <typename C>
unsigned trailing_backslashes(const C* text)
{
    unsigned count = 0;
    for (const C* p = text; *p; p = next_char(p))
        count = (*p == '\\' && next_char(p) == p + 1) ? count + 1 : 0;
    return count;
}

static size_t length_in_utf16(const char* text)
{
    return utf16_length(text);
}

static size_t length_in_utf16(const char16_t* text)
{
    return text_length(text);
}

template <typename C>
bool fits_command_line(const C* head, const C* arguments)
{
    // The head ends in a character of its own, so the two are counted apart.
    return length_in_utf16(head) + 1 + length_in_utf16(arguments) <= 32766;
}

template <typename C>
static bool has_blank(const C* text)
{
    for (const C* p = text; *p; p = next_char(p))
        if (*p == ' ')
            return true;
    return false;
}

template <typename C>
C* command_head(const C* base)
{
    if (!has_blank(base))
        return format_alloc<C>("%s" INSTALLER_SUBPATH " --source=%s", base, base);

    // Backslashes right before a closing quote must be doubled, or the
    // last one would escape the quote.
    unsigned count = trailing_backslashes(base);
    C* doubled = alloc_zeroed<C>(count);
    if (!doubled)
        return nullptr;
    for (unsigned i = 0; i < count; i++)
        doubled[i] = '\\';
    C* head = format_alloc<C>("\"%s" INSTALLER_SUBPATH "\" --source=\"%s%s\"", base, base, doubled);
    free_and_clear(&doubled);
    return head;
}

template char* command_head<char>(const char*);
template char16_t* command_head<char16_t>(const char16_t*);
template bool fits_command_line<char>(const char*, const char*);
template bool fits_command_line<char16_t>(const char16_t*, const char16_t*);
template unsigned trailing_backslashes<char>(const char*);
template unsigned trailing_backslashes<char16_t>(const char16_t*);
