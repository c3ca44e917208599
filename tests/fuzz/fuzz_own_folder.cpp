// The launcher's folder on random paths, in each code page, with short forms
// or none: it is an exact spelling of the folder or of its short form's, or
// nothing, and never written past its room (the buffers are exactly that
// size, under AddressSanitizer).
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "launcher/own_folder.h"
#include "tests/unit/fake_platform.h"

static std::string exact(const std::u16string& path)
{
    std::u16string folder = path.substr(0, path.find_last_of(u"\\/") + 1);
    char out[4096];
    bool used = false;
    unsigned bytes = fake.code_page == 65001
                         ? to_multibyte(65001, invalid_chars_fail, folder.data(), folder.size(), out, sizeof out, nullptr)
                         : to_multibyte(0, no_best_fit, folder.data(), folder.size(), out, sizeof out, &used);
    return used ? "" : std::string(out, bytes);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const unsigned code_pages[] = {932, 1252, 65001};
    static const char* const pieces[] = {"a", "\\", "/", " ", "ó", "Ł", "ź", "表", "¥", "\xed\xa0\x80", "😀", "~"};
    if (size < 2)
        return 0;
    reset_fake();
    fake.code_page = code_pages[data[0] % 3];
    // A piece a byte, up to 21 times over, so that lengths near the limits come soon.
    fake.module.clear();
    for (size_t i = 2; i < size; i++)
        for (unsigned n = 0; n <= data[i] / 12u; n++)
            fake.module += pieces[data[i] % 12];
    // No short names, none to be learnt, or an ASCII one of any length.
    if (data[1] % 3)
        fake.short_forms[fake.module] = data[1] % 3 == 1 ? "" : "C:\\" + std::string(data[1], 'S') + "\\S.EXE";

    char* folder = new char[folder_room];
    char16_t* wide = new char16_t[path_room];
    folder_found found = own_folder(folder, wide);
    std::string got(folder);
    std::u16string path = fake_utf16(fake.module);
    auto short_form = fake.short_forms.find(fake.module);
    bool spelled = got.size() > 0 &&
                   (got == exact(path) || (short_form != fake.short_forms.end() && got == exact(fake_utf16(short_form->second))));
    bool given = found == folder_spelled || found == folder_too_long;
    if (given != spelled || (!given && !got.empty()))
        abort();
    // A folder with an exact spelling is never refused for its name.
    if (found == folder_unspellable && !exact(path).empty())
        abort();
    if (found != folder_unknown && std::u16string(wide) != path.substr(0, path.find_last_of(u"\\/") + 1))
        abort();
    delete[] folder;
    delete[] wide;
    return 0;
}
