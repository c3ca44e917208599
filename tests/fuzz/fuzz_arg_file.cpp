// The arguments are a subsequence of the file's bytes before any Ctrl-Z, with
// no zero byte inside and no line feed at the end.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "launcher/arg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<char> text(data, data + size);
    text.push_back(0);
    const char* arguments = argument_text(text.data(), size);
    size_t length = strlen(arguments);
    if (length && arguments[length - 1] == '\n')
        abort();
    size_t at = 0;
    for (size_t i = 0; i < length; i++) {
        while (at < size && data[at] != static_cast<uint8_t>(arguments[i]))
            at++;
        if (at == size || data[at] == 0x1a)
            abort();
        at++;
    }
    if (memchr(data, 0x1a, at))
        abort();
    return 0;
}
