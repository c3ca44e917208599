// The installer path and the --source= value of a composed command, parsed
// back by the C runtime's argument rules (double-byte characters of code page
// 932 kept whole), give the base directory unchanged.
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "launcher/command.h"
#include "launcher/heap_string.h"
#include "launcher/platform.h"

static std::vector<std::string> parse_arguments(const char* p)
{
    std::vector<std::string> args;
    for (;;) {
        while (*p == ' ' || *p == '\t')
            p++;
        if (!*p)
            return args;
        std::string arg;
        bool quoted = false;
        while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
            if (is_lead_byte(static_cast<unsigned char>(*p)) && p[1]) {
                arg.append(p, 2);
                p += 2;
            } else if (*p == '\\') {
                size_t slashes = 0;
                while (*p == '\\')
                    slashes++, p++;
                if (*p == '"') {
                    arg.append(slashes / 2, '\\');
                    if (slashes % 2)
                        arg += '"';
                    else
                        quoted = !quoted;
                    p++;
                } else {
                    arg.append(slashes, '\\');
                }
            } else if (*p == '"') {
                quoted = !quoted;
                p++;
            } else {
                arg += *p++;
            }
        }
        args.push_back(arg);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A folder name: no quotes and no control characters, as Windows allows,
    // ending in a separator.
    std::string base;
    for (size_t i = 0; i < size; i++)
        if (data[i] >= 0x20 && data[i] != '"')
            base += static_cast<char>(data[i]);
    base += '\\';
    // A lead byte right before the final separator would swallow it.
    if (base.size() >= 2 && is_lead_byte(static_cast<unsigned char>(base[base.size() - 2])))
        return 0;
    char* head = command_head(base.c_str());
    std::vector<std::string> args = parse_arguments(head);
    free_and_clear(&head);
    std::string tool = base + installer_subpath;
    // Unquoted, a base with a blank would split: it is quoted exactly then.
    if (args.size() != 2 || args[0] != tool || args[1] != "--source=" + base)
        abort();
    return 0;
}
