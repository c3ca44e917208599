// The texts of the boxes: in the user's interface language where setup.exe
// holds them in its string tables, else in English.
#pragma once

// As the string tables number them (win32/messages.py).
enum message_id {
    message_none = 0,             // where a reason is Windows' own
    message_caption = 1,
    message_tool_missing = 2,
    message_file_unreadable = 3,
    message_folder_unspellable = 4,
    message_start_failed = 5,     // followed by a reason
    message_command_too_long = 6, // the reason for 206, which Windows words for a file name
    message_wait_failed = 7,      // followed by a reason
    message_prompt_too_long = 8,  // the reason for 206 where the consent prompt would be asked
};

// Room for one text of a box, in UTF-16 units and its terminator.
enum { text_room = 1024 };

// The English text, compiled in: the line on standard error in every build,
// and the box's where no string table has a text that fits.
const char* english_text(message_id id);

// The held languages whose texts a box is in, first that fits first: the
// user's own; the same language as written in the nearest region (Chinese
// of Hong Kong in that of Taiwan); in another region; English of the United
// States; any English. Into order (box_fallbacks of them); their number.
enum { box_fallbacks = 5 };
unsigned box_languages(unsigned user, const unsigned* held, unsigned count, unsigned* order);

struct box_texts {
    char16_t caption[text_room];
    char16_t format[text_room]; // with the one %s that names the path
    unsigned style;             // MessageBox's: the error icon; right to left in Arabic, Hebrew, Persian, Urdu
};

// The caption and format of a box, both from the string table of the first
// of box_languages whose texts fit the box (one replaced by hand may not), or
// else compiled in.
void box_texts_of(message_id id, box_texts* box);
