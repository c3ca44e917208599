#include "report.h"

#include "heap_string.h"
#include "launch.h"
#include "platform.h"

bool anyone_sees_box()
{
    bool visible = true;
    if (station_visible(&visible) == call_done && !visible)
        return false;
    // From Vista on, session 0 holds only services; no user's desktop is there.
    unsigned session = 0;
    return !(windows_major_version() >= 6 && session_id(&session) == call_done && session == 0);
}

// The path in UTF-16. The ANSI build spelled it exactly, so it converts back
// exactly.
static char16_t* wide_copy(const char* text)
{
    size_t length = 0;
    while (text[length])
        length++;
    char16_t* wide = alloc_zeroed<char16_t>(length);
    if (wide)
        to_wide(text, length, wide, length);
    return wide;
}

static char16_t* wide_copy(const char16_t* text)
{
    return format_alloc<char16_t>("%s", text);
}

// One line of UTF-8 ending in CR LF, in every build and code page: logs are
// read and searched elsewhere. False when the heap is out.
static bool write_line(const char16_t* message)
{
    unsigned length = 0;
    while (message[length])
        length++;
    char* line = alloc_zeroed<char>(length * 3 + 2);
    if (!line)
        return false;
    unsigned bytes = length ? to_multibyte(code_page_utf8, 0, message, length, line, length * 3, nullptr) : 0;
    line[bytes++] = '\r';
    line[bytes++] = '\n';
    write_standard_error(line, bytes);
    free_and_clear(&line);
    return true;
}

unsigned report_no_memory()
{
    static const char line[] = "Setup ran out of memory\r\n";
    write_standard_error(line, sizeof line - 1);
    return launch_no_memory;
}

template <typename C>
unsigned report(message_id id, const C* path, unsigned status)
{
    char16_t* wide = wide_copy(path);
    char16_t* line = wide ? format_alloc<char16_t>(english_text(id), wide) : nullptr;
    bool box = anyone_sees_box();
    box_texts texts;
    if (box)
        box_texts_of(id, &texts);
    char16_t* shown = line && box ? format_alloc<char16_t>(texts.format, wide) : nullptr;
    free_and_clear(&wide);
    unsigned result = status;
    if (!line || (box && !shown) || !write_line(line))
        result = report_no_memory();
    else if (box)
        show_error(shown, texts.caption, texts.style);
    free_and_clear(&line);
    free_and_clear(&shown);
    return result;
}

template <typename C>
unsigned report_failed_start(const C* tool, unsigned error)
{
    char16_t digits[12] = {};
    unsigned at = sizeof digits / sizeof digits[0] - 1;
    unsigned rest = error;
    do
        digits[--at] = static_cast<char16_t>(u'0' + rest % 10);
    while (rest /= 10);
    // Without memory for it, no line: the status still tells.
    char16_t* wide = wide_copy(tool);
    char16_t* message =
        wide ? format_alloc<char16_t>("Setup could not start the installer '%s': Windows error %s", wide, digits + at)
             : nullptr;
    if (message)
        write_line(message);
    free_and_clear(&wide);
    free_and_clear(&message);
    return error;
}

template unsigned report<char>(message_id, const char*, unsigned);
template unsigned report<char16_t>(message_id, const char16_t*, unsigned);
template unsigned report_failed_start<char>(const char*, unsigned);
template unsigned report_failed_start<char16_t>(const char16_t*, unsigned);
