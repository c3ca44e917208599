// The arguments are a subsequence of the file's bytes before any Ctrl-Z, with
// no zero byte inside and no line feed at the end. In UTF-16 they are what
// glibc's iconv makes of the UTF-8 after the whole byte-order mark, refused
// where iconv refuses it; without the mark, the ANSI code page's reading.
#include <iconv.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "launcher/arg_file.h"
#include "launcher/heap_string.h"
#include "tests/unit/fake_platform.h"

static void check_text_rules(const uint8_t* data, size_t size)
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
}

// false where iconv refuses the bytes.
static bool iconv_utf16(const std::string& utf8, std::u16string* wide)
{
    iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
    std::vector<char> out(utf8.size() * 2 + 2);
    char* in = const_cast<char*>(utf8.data());
    char* put = out.data();
    size_t in_left = utf8.size(), out_left = out.size();
    bool ok = iconv(cd, &in, &in_left, &put, &out_left) != static_cast<size_t>(-1);
    iconv_close(cd);
    wide->assign(reinterpret_cast<const char16_t*>(out.data()), (out.size() - out_left) / 2);
    return ok;
}

static void check_wide(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.c_str();
    reset_fake();
    std::u16string wanted;
    bool ok = true;
    if (text.compare(0, 3, "\xef\xbb\xbf") == 0) {
        ok = iconv_utf16(text.substr(3), &wanted);
    } else {
        wanted.resize(text.size());
        wanted.resize(to_wide(text.data(), text.size(), &wanted[0], wanted.size()));
    }
    char16_t* arguments = nullptr;
    read_result read = wide_arguments(text.c_str(), &arguments);
    if ((read == read_ok) != ok || (ok && std::u16string(arguments) != wanted))
        abort();
    free_and_clear(&arguments);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    check_text_rules(data, size);
    check_wide(data, size);
    return 0;
}
