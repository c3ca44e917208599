#include "messages.h"

#include "platform.h"

static const char* const english[] = {
    "",
    "Setup",
    "Installer executable '%s' does not exist",
    "Can not open '%s' for reading",
    "Setup cannot start the installer from the folder '%s', because its name has characters that the "
    "installer cannot read on this system. Copy the whole medium to a folder with a plain name, such as "
    "C:\\Setup, and start setup.exe there.",
    "Setup could not start the installer '%s'.",
    "The command line for the installer is longer than Windows allows.",
    "Setup started the installer '%s' but could not wait for it to finish.",
    "Windows cannot ask for administrator rights for a command line longer than 2,048 characters.",
};

const char* english_text(message_id id)
{
    return english[id];
}

enum { english_us = 0x0409 };

// A language identifier is the language in its low ten bits, the region above.
static unsigned primary(unsigned language)
{
    return language & 0x3ff;
}

// Chinese is written in traditional characters in Hong Kong and Macao, as in
// Taiwan; in simplified ones in Singapore, as in China.
static unsigned nearest_region(unsigned language)
{
    switch (language) {
    case 0x0c04:
    case 0x1404:
        return 0x0404;
    case 0x1004:
        return 0x0804;
    }
    return language;
}

static unsigned held_as(const unsigned* held, unsigned count, unsigned language, bool any_region)
{
    for (unsigned i = 0; i < count; i++)
        if (held[i] == language || (any_region && primary(held[i]) == primary(language)))
            return held[i];
    return 0;
}

unsigned box_languages(unsigned user, const unsigned* held, unsigned count, unsigned* order)
{
    const unsigned wanted[box_fallbacks] = {
        held_as(held, count, user, false),
        held_as(held, count, nearest_region(user), false),
        held_as(held, count, user, true),
        held_as(held, count, english_us, false),
        held_as(held, count, english_us, true),
    };
    unsigned found = 0;
    for (unsigned language : wanted)
        if (language && !held_as(order, found, language, false))
            order[found++] = language;
    return found;
}

// The caption and a reason hold no %, every other text one %s and no other
// %: the path must show, and a box's format knows nothing else.
static bool fits_its_box(const char16_t* text, message_id id)
{
    unsigned percents = 0, paths = 0;
    for (const char16_t* p = text; *p; p++) {
        if (*p != u'%')
            continue;
        percents++;
        paths += p[1] == u's';
    }
    bool pathless = id == message_caption || id == message_command_too_long || id == message_prompt_too_long;
    unsigned wanted = pathless ? 0 : 1;
    return text[0] && percents == wanted && paths == wanted;
}

// Text id of language's string table, a block of 16 texts, each its length
// and then its units, into out (text_room units, terminated).
static bool held_text(unsigned language, message_id id, char16_t* out)
{
    unsigned units = 0;
    const char16_t* block = text_block(language, &units);
    if (!block)
        return false;
    unsigned at = 0;
    for (unsigned i = 0; i < static_cast<unsigned>(id) && at < units; i++)
        at += 1 + block[at];
    if (at >= units)
        return false;
    unsigned length = block[at++];
    if (length >= text_room || length > units - at)
        return false;
    for (unsigned i = 0; i < length; i++)
        out[i] = block[at + i];
    out[length] = 0;
    return fits_its_box(out, id);
}

static bool held_texts(unsigned language, message_id id, box_texts* box)
{
    return held_text(language, message_caption, box->caption) && held_text(language, id, box->format);
}

static void english_texts(message_id id, box_texts* box)
{
    const char* texts[] = {english_text(message_caption), english_text(id)};
    char16_t* out[] = {box->caption, box->format};
    for (unsigned t = 0; t < 2; t++) {
        unsigned i = 0;
        for (; texts[t][i]; i++)
            out[t][i] = static_cast<unsigned char>(texts[t][i]);
        out[t][i] = 0;
    }
}

// Arabic, Hebrew, Urdu and Persian read from right to left.
static bool reads_right_to_left(unsigned language)
{
    unsigned p = primary(language);
    return p == 0x01 || p == 0x0d || p == 0x20 || p == 0x29;
}

void box_texts_of(message_id id, box_texts* box)
{
    unsigned held[64], order[box_fallbacks];
    unsigned count = text_languages(held, sizeof held / sizeof held[0]);
    unsigned languages = box_languages(user_language(), held, count, order);
    for (unsigned i = 0; i < languages; i++) {
        if (!held_texts(order[i], id, box))
            continue;
        box->style = box_error_icon;
        if (reads_right_to_left(order[i]))
            box->style |= box_right_to_left | box_right;
        return;
    }
    box->style = box_error_icon;
    english_texts(id, box);
}
