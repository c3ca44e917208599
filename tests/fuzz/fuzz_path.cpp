// A split gives back the whole path, its directory ends in a separator, and
// the base directory joined from it is empty or ends in a separator.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "launcher/path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string path(reinterpret_cast<const char*>(data), size);
    path = path.c_str();
    path_parts parts;
    if (!split_path(path.c_str(), &parts)) {
        if (parts.drive[0] || parts.dir[0] || parts.fname[0] || parts.ext[0])
            abort();
        return 0;
    }
    if (std::string(parts.drive) + parts.dir + parts.fname + parts.ext != path)
        abort();
    if (parts.dir[0] && !ends_in_separator(parts.dir))
        abort();
    char base[261 + 16];
    if (!make_path(base, sizeof base, parts.drive, parts.dir, "", ""))
        abort();
    if (parts.dir[0] && !ends_in_separator(base))
        abort();
    return 0;
}
