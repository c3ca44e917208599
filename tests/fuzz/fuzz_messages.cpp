// The boxes' string table in the user's language, as an author's resource
// editor may have left it: whatever its units, every box gets a caption and
// a format that fit it, the format formats, and nothing is read past the
// table's end.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "launcher/heap_string.h"
#include "launcher/messages.h"
#include "tests/unit/fake_platform.h"

static void expect(bool condition)
{
    if (!condition)
        abort();
}

static unsigned count(const char16_t* text, char16_t c)
{
    unsigned n = 0;
    for (; *text; text++)
        n += *text == c;
    return n;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    reset_fake();
    fake.user_language = 0x0407;
    std::u16string table(size / 2, u'\0');
    memcpy(&table[0], data, table.size() * 2);
    fake.raw_tables[0x0407] = table;
    for (unsigned id = message_caption; id <= message_command_too_long; id++) {
        box_texts box;
        box_texts_of(static_cast<message_id>(id), &box);
        bool pathless = id == message_caption || id == message_command_too_long;
        expect(box.caption[0] && !count(box.caption, u'%'));
        expect(count(box.format, u'%') == (pathless ? 0 : 1));
        char16_t* shown = format_alloc<char16_t>(box.format, u"E:\\");
        expect(shown != nullptr);
        free_and_clear(&shown);
    }
    return 0;
}
