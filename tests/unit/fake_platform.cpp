#include "fake_platform.h"

#include <cstdlib>
#include <cstring>

#include "launcher/heap_string.h"
#include "launcher/platform.h"

fake_platform fake;

void reset_fake()
{
    fake = fake_platform();
}

bool is_lead_byte(unsigned char c)
{
    if (fake.code_page == 65001)
        return false;
    return (c >= 0x81 && c <= 0x9f) || (c >= 0xe0 && c <= 0xfc);
}

// As MultiByteToWideChar counts: in 932 a lead byte and the byte after it make
// one unit; in UTF-8 a four-byte sequence makes two (a surrogate pair), and
// every other sequence or stray byte one.
size_t utf16_length(const char* text)
{
    size_t units = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; units++) {
        if (fake.code_page != 65001) {
            p += is_lead_byte(*p) && p[1] ? 2 : 1;
            continue;
        }
        size_t length = *p >= 0xf0 ? 4 : *p >= 0xe0 ? 3 : *p >= 0xc0 ? 2 : 1;
        size_t i = 1;
        while (i < length && (p[i] & 0xc0) == 0x80)
            i++;
        if (i == length && length == 4)
            units++;
        p += i;
    }
    return units;
}

void* heap_alloc(size_t size)
{
    if (fake.allocations++ == fake.fail_allocation || size > fake.largest_block)
        return nullptr;
    fake.live_blocks++;
    return std::malloc(size);
}

void heap_free(void* block)
{
    if (block)
        fake.live_blocks--;
    std::free(block);
}

unsigned module_path(char* path, unsigned room)
{
    size_t length = fake.module.size() < room ? fake.module.size() : room;
    std::memcpy(path, fake.module.data(), length);
    return fake.module_length ? fake.module_length : static_cast<unsigned>(length);
}

// Windows' path routines take at most 259 characters and the terminator.
static bool within_path_limit(const char* path)
{
    return std::strlen(path) <= 259;
}

bool path_exists(const char* path)
{
    fake.looked_at.push_back(path);
    return within_path_limit(path) && (fake.existing.count(path) || fake.files.count(path));
}

read_result read_whole_file(const char* path, char** data, size_t* size)
{
    fake.looked_at.push_back(path);
    auto file = fake.files.find(path);
    if (!within_path_limit(path) || file == fake.files.end())
        return read_failed;
    char* text = alloc_zeroed(file->second.size());
    if (!text)
        return read_no_memory;
    std::memcpy(text, file->second.data(), file->second.size());
    *data = text;
    *size = file->second.size();
    return read_ok;
}

void show_error(const char* text)
{
    fake.boxes.push_back(text);
}

unsigned run_and_wait(char* command)
{
    fake.started.push_back(command);
    return fake.start_result;
}
