// The tail is a suffix of the line, and never starts with a byte of 0x20 or below.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "launcher/command_tail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string line(reinterpret_cast<const char*>(data), size);
    line = line.c_str(); // up to the first zero byte, as Windows hands it over
    const char* tail = command_tail(line.c_str());
    size_t length = strlen(tail);
    if (tail != line.c_str() + line.size() - length)
        abort();
    if (length && static_cast<unsigned char>(tail[0]) <= 0x20)
        abort();
    return 0;
}
