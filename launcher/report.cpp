#include "report.h"

#include "heap_string.h"
#include "platform.h"
#include "status.h"

enum box_viewer { viewer_someone, viewer_station_hidden, viewer_session_zero };

// Nobody sees a box in a window station without visible display surfaces,
// nor, from Vista on, in session 0 where the console's session is another
// (its number in console). Where Windows cannot tell, someone may.
static box_viewer who_sees_box(unsigned* console)
{
    bool visible = true;
    if (station_visible(&visible) == call_done && !visible)
        return viewer_station_hidden;
    unsigned session = 0;
    if (windows_major_version() >= 6 && session_id(&session) == call_done && session == 0 &&
        console_session(console) == call_done && *console != 0)
        return viewer_session_zero;
    return viewer_someone;
}

bool anyone_sees_box()
{
    unsigned console = 0;
    return who_sees_box(&console) == viewer_someone;
}

// One line ending in CR LF: to a console in UTF-16, which it shows whatever
// its code page; else in UTF-8, in every build and code page, as logs are
// read and searched elsewhere. False when the heap is out.
static bool write_line(const char16_t* message)
{
    unsigned length = 0;
    while (message[length])
        length++;
    if (standard_error_is_console()) {
        write_console_error(message, length);
        write_console_error(u"\r\n", 2);
        return true;
    }
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

// The number in decimal, within digits.
static const char16_t* decimal(unsigned number, char16_t (&digits)[12])
{
    unsigned at = sizeof digits / sizeof digits[0] - 1;
    digits[at] = 0;
    do
        digits[--at] = static_cast<char16_t>(u'0' + number % 10);
    while (number /= 10);
    return digits + at;
}

// Where nobody sees a box, the log says which answer decided it: a box that a
// person missed then shows as such.
static void say_why_no_box(box_viewer viewer, unsigned console)
{
    char16_t digits[12];
    char16_t* line = nullptr;
    if (viewer == viewer_station_hidden)
        line = format_alloc<char16_t>("Setup showed no box: its window station is not visible");
    else if (console == 0xffffffff)
        line = format_alloc<char16_t>("Setup showed no box: it runs in session 0, and no session has the console");
    else
        line = format_alloc<char16_t>("Setup showed no box: it runs in session 0, and the console is in session %s",
                                      decimal(console, digits));
    if (line)
        write_line(line);
    free_and_clear(&line);
}

// A box that Windows could not show is said on standard error: its status
// alone would claim that someone saw it.
static void show(const char16_t* text, const box_texts& texts)
{
    char16_t digits[12];
    if (unsigned error = show_error(text, texts.caption, texts.style)) {
        char16_t* line =
            format_alloc<char16_t>("Setup could not show its box: Windows error %s", decimal(error, digits));
        if (line)
            write_line(line);
        free_and_clear(&line);
    }
}

unsigned report_no_memory()
{
    static const char line[] = "Setup ran out of memory\r\n";
    write_standard_error(line, sizeof line - 1);
    return launch_no_memory;
}

// The text of box id naming path, and after a blank line reason where there
// is one; null when the heap is out.
static char16_t* box_text(message_id id, const char16_t* path, const char16_t* reason, box_texts* texts)
{
    box_texts_of(id, texts);
    char16_t* sentence = format_alloc<char16_t>(texts->format, path);
    if (!sentence || !reason)
        return sentence;
    char16_t* text = format_alloc<char16_t>("%s\n\n%s", sentence, reason);
    free_and_clear(&sentence);
    return text;
}

static unsigned report_wide(message_id id, const char16_t* path, unsigned status)
{
    char16_t* line = format_alloc<char16_t>(english_text(id), path);
    unsigned console = 0;
    box_viewer viewer = who_sees_box(&console);
    bool box = viewer == viewer_someone;
    box_texts texts;
    char16_t* shown = line && box ? box_text(id, path, nullptr, &texts) : nullptr;
    unsigned result = status;
    if (!line || (box && !shown) || !write_line(line))
        result = report_no_memory();
    else if (box)
        show(shown, texts);
    else
        say_why_no_box(viewer, console);
    free_and_clear(&line);
    free_and_clear(&shown);
    return result;
}

template <typename C>
unsigned report(message_id id, const C* path, unsigned status)
{
    char16_t* wide = wide_copy(path);
    unsigned result = wide ? report_wide(id, wide, status) : report_no_memory();
    free_and_clear(&wide);
    return result;
}

// Windows' text with its inserts filled into out, or only counted where out
// is null: %1 (or %1!...!) names the file, every other one, %2 to %99, is
// left out; Windows has nothing to fill them with here. Its length.
static unsigned fill_inserts(const char16_t* text, const char16_t* name, char16_t* out)
{
    unsigned length = 0;
    for (const char16_t* p = text; *p;) {
        if (p[0] != u'%' || p[1] < u'1' || p[1] > u'9') {
            if (out)
                out[length] = *p;
            length++;
            p++;
            continue;
        }
        bool two_digits = p[2] >= u'0' && p[2] <= u'9';
        const char16_t* insert = p[1] == u'1' && !two_digits ? name : u"";
        p += two_digits ? 3 : 2;
        if (*p == u'!') {
            const char16_t* end = p + 1;
            while (*end && *end != u'!')
                end++;
            if (*end)
                p = end + 1;
        }
        for (; *insert; insert++, length++)
            if (out)
                out[length] = *insert;
    }
    return length;
}

// Windows' reason for error, in the user's language where Windows has it,
// ending in its number: "Access is denied. (5)"; or ours, where reason is a
// message. Windows' %1 names the program's file.
static char16_t* reason_for(unsigned error, const char16_t* program, message_id reason)
{
    char16_t digits[12];
    const char16_t* number = decimal(error, digits);
    box_texts texts;
    char16_t* text = texts.format;
    text[0] = 0;
    if (reason) {
        box_texts_of(reason, &texts);
    } else if (!system_message(error, user_language(), text, text_room)) {
        system_message(error, 0, text, text_room);
    }
    char16_t* end = text;
    while (*end)
        end++;
    while (end > text && (end[-1] == u' ' || end[-1] == u'\r' || end[-1] == u'\n'))
        *--end = 0;
    if (!text[0])
        return format_alloc<char16_t>("Windows error %s", number);
    const char16_t* name = program;
    for (const char16_t* p = program; *p; p++)
        if (*p == u'\\')
            name = p + 1;
    char16_t* filled = alloc_zeroed<char16_t>(fill_inserts(text, name, nullptr));
    if (!filled)
        return nullptr;
    fill_inserts(text, name, filled);
    char16_t* said = format_alloc<char16_t>("%s (%s)", filled, number);
    free_and_clear(&filled);
    return said;
}

// The line: the box's sentence in English, Windows' error code, and our own
// reason where there is one.
static char16_t* english_line(message_id sentence, const char16_t* program, unsigned error, message_id reason)
{
    char16_t digits[12];
    char16_t* said = format_alloc<char16_t>(english_text(sentence), program);
    char16_t* why = format_alloc<char16_t>(english_text(reason));
    char16_t* line = nullptr;
    if (said && why) {
        said[text_length(said) - 1] = 0; // its full stop
        line = format_alloc<char16_t>(reason ? "%s: Windows error %s. %s" : "%s: Windows error %s%s", said,
                                      decimal(error, digits), why);
    }
    free_and_clear(&said);
    free_and_clear(&why);
    return line;
}

// A program that did not start, or was not waited for. Returns error.
template <typename C>
static unsigned report_program(message_id sentence, const C* program, unsigned error, message_id reason)
{
    // Without memory for it, no line and no box: the status still tells.
    char16_t* wide = wide_copy(program);
    char16_t* message = wide ? english_line(sentence, wide, error, reason) : nullptr;
    // Whoever declined the consent prompt knows why.
    unsigned console = 0;
    box_viewer viewer = error == error_cancelled ? viewer_someone : who_sees_box(&console);
    bool box = message && error != error_cancelled && viewer == viewer_someone;
    char16_t* why = box ? reason_for(error, wide, reason) : nullptr;
    box_texts texts;
    char16_t* shown = why ? box_text(sentence, wide, why, &texts) : nullptr;
    if (message)
        write_line(message);
    if (shown)
        show(shown, texts);
    if (message && viewer != viewer_someone)
        say_why_no_box(viewer, console);
    free_and_clear(&wide);
    free_and_clear(&message);
    free_and_clear(&why);
    free_and_clear(&shown);
    return error;
}

template <typename C>
unsigned report_failed_start(const C* program, unsigned error)
{
    return report_program(message_start_failed, program, error, message_none);
}

template <typename C>
unsigned report_too_long(const C* program, message_id reason)
{
    return report_program(message_start_failed, program, launch_too_long, reason);
}

template <typename C>
unsigned report_not_waited(const C* program, unsigned error)
{
    return report_program(message_wait_failed, program, error, message_none);
}

template unsigned report<char>(message_id, const char*, unsigned);
template unsigned report<char16_t>(message_id, const char16_t*, unsigned);
template unsigned report_failed_start<char>(const char*, unsigned);
template unsigned report_failed_start<char16_t>(const char16_t*, unsigned);
template unsigned report_too_long<char>(const char*, message_id);
template unsigned report_too_long<char16_t>(const char16_t*, message_id);
template unsigned report_not_waited<char>(const char*, unsigned);
template unsigned report_not_waited<char16_t>(const char16_t*, unsigned);
