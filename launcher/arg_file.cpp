#include "arg_file.h"

char* argument_text(char* data, size_t size)
{
    size_t length = 0;
    for (size_t i = 0; i < size && data[i] != '\x1a'; i++) {
        if (data[i] == '\r' && i + 1 < size && data[i + 1] == '\n')
            continue;
        data[length++] = data[i];
    }
    data[length] = 0;

    length = 0;
    while (data[length])
        length++;
    while (length > 0 && data[length - 1] == '\n')
        data[--length] = 0;
    return data;
}
