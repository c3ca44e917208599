#include "command_tail.h"

#include "platform.h"

static unsigned code(char c)
{
    return static_cast<unsigned char>(c);
}

static unsigned code(char16_t c)
{
    return c;
}

// A double-byte character of the ANSI code page is taken whole; UTF-16 has
// no byte that another character's could be taken for.
static bool is_lead(char c)
{
    return is_lead_byte(static_cast<unsigned char>(c));
}

static bool is_lead(char16_t)
{
    return false;
}

template <typename C>
const C* command_tail(const C* line)
{
    static const C empty[1] = {};
    if (!line)
        return empty;
    const C* p = line;
    bool quoted = false;
    for (;; p++) {
        unsigned c = code(*p);
        if (c == 0)
            return p;
        if (c <= ' ' && !quoted)
            break;
        if (c == '"') {
            quoted = !quoted;
        } else if (is_lead(*p)) {
            // The trail byte is not looked at; a lead byte with none ends it all.
            if (!p[1])
                return p + 1;
            p++;
        }
    }
    while (*p && code(*p) <= ' ')
        p++;
    return p;
}

template const char* command_tail<char>(const char*);
template const char16_t* command_tail<char16_t>(const char16_t*);
