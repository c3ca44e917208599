#include "command_tail.h"

#include "../launcher/platform.h"

const char* command_tail(const char* line)
{
    if (!line)
        return "";
    const char* p = line;
    bool quoted = false;
    for (;; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == 0)
            return p;
        if (c <= ' ' && !quoted)
            break;
        if (c == '"') {
            quoted = !quoted;
        } else if (is_lead_byte(c)) {
            // The trail byte is not looked at; a lead byte with none ends it all.
            if (!p[1])
                return p + 1;
            p++;
        }
    }
    while (*p && static_cast<unsigned char>(*p) <= ' ')
        p++;
    return p;
}
