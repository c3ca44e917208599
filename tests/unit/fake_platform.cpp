#include "fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>


fake_platform fake;

void reset_fake()
{
    fake = fake_platform();
}

std::string repeat(const std::string& text, size_t times)
{
    std::string out;
    for (size_t i = 0; i < times; i++)
        out += text;
    return out;
}

bool is_lead_byte(unsigned char c)
{
    if (fake.code_page != 932)
        return false;
    return (c >= 0x81 && c <= 0x9f) || (c >= 0xe0 && c <= 0xfc);
}

// As MultiByteToWideChar counts: in 932 a lead byte and the byte after it make
// one unit; in UTF-8 a four-byte sequence makes two (a surrogate pair), and
// every other sequence or stray byte one; in 1252 every byte one.
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

unsigned ansi_code_page()
{
    return fake.code_page;
}

// The characters the tests use beyond ASCII, as each code page spells them:
// exactly, or only by a best fit that names another character.
static const struct {
    char16_t c;
    unsigned code_page;
    const char* bytes;
    bool best_fit;
} spellings[] = {
    {u'ó', 1252, "\xf3", false}, {u'Ł', 1252, "L", true}, {u'ź', 1252, "z", true},
    {u'表', 932, "\x95\x5c", false}, {u'¥', 932, "\x5c", true},
};

static bool is_surrogate(char16_t c)
{
    return c >= 0xd800 && c <= 0xdfff;
}

// A lone surrogate becomes U+FFFD when replace is set, as Windows spells it,
// else its own three bytes, as the tests write it.
static std::string utf8_of(const char16_t* wide, unsigned length, bool replace, bool* invalid)
{
    std::string out;
    for (unsigned i = 0; i < length; i++) {
        char32_t c = wide[i];
        if (c >= 0xd800 && c <= 0xdbff && i + 1 < length && wide[i + 1] >= 0xdc00 && wide[i + 1] <= 0xdfff)
            c = 0x10000 + ((c - 0xd800) << 10) + (wide[++i] - 0xdc00);
        else if (is_surrogate(static_cast<char16_t>(c))) {
            *invalid = true;
            c = replace ? 0xfffd : c;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xc0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xe0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3f));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return out;
}

// As WideCharToMultiByte: UTF-8 takes no flag but WC_ERR_INVALID_CHARS and no
// used-default pointer; other code pages take no WC_ERR_INVALID_CHARS.
unsigned to_multibyte(unsigned code_page, unsigned flags, const char16_t* wide, unsigned length,
                      char* out, unsigned room, bool* used_default)
{
    std::string bytes;
    bool used = false;
    if (code_page == 65001 || (code_page == 0 && fake.code_page == 65001)) {
        if ((flags & ~invalid_chars_fail) || used_default)
            return 0;
        bool invalid = false;
        bytes = utf8_of(wide, length, true, &invalid);
        if (invalid && (flags & invalid_chars_fail))
            return 0;
    } else {
        if (code_page != 0 || (flags & ~no_best_fit))
            return 0;
        for (unsigned i = 0; i < length; i++) {
            if (wide[i] < 0x80) {
                bytes += static_cast<char>(wide[i]);
                continue;
            }
            const char* spelled = nullptr;
            for (const auto& s : spellings)
                if (s.c == wide[i] && s.code_page == fake.code_page && !(s.best_fit && (flags & no_best_fit)))
                    spelled = s.bytes;
            used = used || !spelled;
            bytes += spelled ? spelled : "?";
        }
    }
    if (bytes.size() > room)
        return 0;
    std::memcpy(out, bytes.data(), bytes.size());
    if (used_default)
        *used_default = used;
    return static_cast<unsigned>(bytes.size());
}

// As MultiByteToWideChar from the ANSI code page: the exact spellings of the
// table back, other bytes as they stand (in 1252 they are U+0080 to U+00FF
// but for a few, which the tests do not use).
size_t to_wide(const char* text, size_t length, char16_t* out, size_t room)
{
    std::u16string wide;
    if (fake.code_page == 65001)
        wide = fake_utf16(std::string(text, length));
    for (size_t i = 0; fake.code_page != 65001 && i < length; i++) {
        char16_t c = static_cast<unsigned char>(text[i]);
        for (const auto& s : spellings)
            if (s.code_page == fake.code_page && !s.best_fit && std::string(text + i, length - i).rfind(s.bytes, 0) == 0) {
                c = s.c;
                i += std::strlen(s.bytes) - 1;
            }
        wide += c;
    }
    size_t units = std::min(wide.size(), room);
    std::memcpy(out, wide.data(), units * sizeof(char16_t));
    return units;
}

static std::string utf8(const char16_t* text)
{
    bool invalid = false;
    return utf8_of(text, std::u16string(text).size(), false, &invalid);
}

// UTF-8 into UTF-16; a three-byte sequence may stand for a lone surrogate.
std::u16string fake_utf16(const std::string& text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = text[i];
        size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 1;
        char32_t code = length == 1 ? c : c & (0x3f >> (length - 1));
        for (size_t k = 1; k < length; k++)
            code = code << 6 | (text[i + k] & 0x3f);
        i += length;
        if (code >= 0x10000) {
            out += static_cast<char16_t>(0xd800 + ((code - 0x10000) >> 10));
            out += static_cast<char16_t>(0xdc00 + ((code - 0x10000) & 0x3ff));
        } else {
            out += static_cast<char16_t>(code);
        }
    }
    return out;
}

// As Windows XP and later: a path that does not fit is cut off, and room
// comes back.
static unsigned give_path(const std::u16string& path, char16_t* out, unsigned room)
{
    unsigned length = path.size() < room ? static_cast<unsigned>(path.size()) : room - 1;
    std::memcpy(out, path.data(), length * sizeof(char16_t));
    out[length] = 0;
    return path.size() < room ? length : room;
}

unsigned module_path(char16_t* path, unsigned room)
{
    return give_path(fake_utf16(fake.module), path, room);
}

unsigned short_path(const char16_t* path, char16_t* out, unsigned room)
{
    bool invalid = false;
    std::u16string long_form(path);
    auto found = fake.short_forms.find(utf8_of(path, long_form.size(), false, &invalid));
    std::u16string short_form = found == fake.short_forms.end() ? long_form : fake_utf16(found->second);
    if (short_form.empty())
        return 0;
    // Asks for room for the path and its terminator.
    if (short_form.size() >= room)
        return static_cast<unsigned>(short_form.size() + 1);
    return give_path(short_form, out, room);
}

void* heap_alloc(size_t size)
{
    if (size > fake.largest_request)
        fake.largest_request = size;
    if (fake.allocations++ == fake.fail_allocation)
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

// Windows' path routines take at most 259 UTF-16 characters and the
// terminator, whatever their number of bytes in the ANSI code page.
static bool within_path_limit(const char* path)
{
    return utf16_length(path) <= 259;
}

static bool exists(const std::string& path, bool within_limit)
{
    fake.looked_at.push_back(path);
    return within_limit && (fake.existing.count(path) || fake.files.count(path));
}

bool path_exists(const char* path)
{
    return exists(path, within_path_limit(path));
}

// The UTF-16 calls: paths, boxes and starts are kept in UTF-8, the limit is
// the same number of units.
bool path_exists(const char16_t* path)
{
    return exists(utf8(path), std::u16string(path).size() <= 259);
}

struct fake_file {
    std::string bytes;
    size_t told_size;
    size_t at;
};

static void* open_known_file(const std::string& path, bool within_limit)
{
    fake.looked_at.push_back(path);
    auto file = fake.files.find(path);
    if (!within_limit || file == fake.files.end())
        return nullptr;
    auto told = fake.told_sizes.find(path);
    return new fake_file{file->second, told == fake.told_sizes.end() ? file->second.size() : told->second, 0};
}

void* open_file(const char* path)
{
    return open_known_file(path, within_path_limit(path));
}

void* open_file(const char16_t* path)
{
    return open_known_file(utf8(path), std::u16string(path).size() <= 259);
}

bool file_size(void* file, unsigned long long* size)
{
    *size = static_cast<fake_file*>(file)->told_size;
    return true;
}

// A few bytes at a time, as a pipe or a slow share might deliver them.
long read_file(void* handle, char* out, unsigned long count)
{
    fake_file* file = static_cast<fake_file*>(handle);
    size_t got = std::min<size_t>({count, 4096, file->bytes.size() - file->at});
    if (fake.read_error_at >= 0 && file->at + got > static_cast<size_t>(fake.read_error_at))
        return -1;
    std::memcpy(out, file->bytes.data() + file->at, got);
    file->at += got;
    return static_cast<long>(got);
}

void close_file(void* file)
{
    delete static_cast<fake_file*>(file);
}

call_result search_system_folder_only()
{
    if (fake.set_default_dll_directories != call_missing)
        fake.calls.push_back("SetDefaultDllDirectories");
    return fake.set_default_dll_directories;
}

call_result set_dll_directory(const char* path)
{
    if (fake.set_dll_directory != call_missing)
        fake.calls.push_back(path ? "SetDllDirectoryA(\"" + std::string(path) + "\")" : "SetDllDirectoryA(NULL)");
    return fake.set_dll_directory;
}

call_result station_visible(bool* visible)
{
    *visible = fake.station == call_done ? fake.station_visible : !fake.station_visible;
    return fake.station;
}

call_result session_id(unsigned* session)
{
    *session = fake.session == call_done ? fake.session_id : 0;
    return fake.session;
}

unsigned windows_major_version()
{
    return fake.windows_major;
}

call_result console_session(unsigned* session)
{
    *session = fake.console == call_done ? fake.console_session : 0;
    return fake.console;
}

unsigned show_error(const char16_t* text, const char16_t* caption, unsigned style)
{
    if (fake.box_error)
        return fake.box_error;
    fake.calls.push_back("box");
    std::string box = utf8(text);
    if (utf8(caption) != "Setup" || style != box_error_icon)
        box = (style != box_error_icon ? "(style " + std::to_string(style) + ")" : "") + utf8(caption) + "\n" + box;
    fake.boxes.push_back(box);
    return 0;
}

unsigned user_language()
{
    return fake.user_language;
}

unsigned text_languages(unsigned* languages, unsigned room)
{
    std::set<unsigned> held;
    for (const auto& table : fake.held_texts)
        held.insert(table.first);
    for (const auto& table : fake.raw_tables)
        held.insert(table.first);
    unsigned count = 0;
    for (unsigned language : held)
        if (count < room)
            languages[count++] = language;
    return count;
}

// As Windows holds a string table: each text its length and its units.
static std::u16string table_of(const std::vector<std::string>& texts)
{
    std::u16string table;
    for (std::string text : texts) {
        size_t claimed = std::string::npos;
        if (text.rfind("<claims ", 0) == 0) {
            claimed = std::stoul(text.substr(8));
            text = text.substr(text.find('>') + 1);
        }
        std::u16string units = fake_utf16(text);
        table += static_cast<char16_t>(claimed != std::string::npos ? claimed : units.size());
        table += units;
    }
    return table;
}

const char16_t* text_block(unsigned language, unsigned* units)
{
    auto held = fake.held_texts.find(language);
    auto raw = fake.raw_tables.find(language);
    if (held == fake.held_texts.end() && raw == fake.raw_tables.end())
        return nullptr;
    std::u16string table = raw != fake.raw_tables.end() ? raw->second : table_of(held->second);
    std::u16string memory = table + fake.after_tables;
    fake.blocks[language].assign(memory.begin(), memory.end());
    *units = static_cast<unsigned>(table.size());
    return fake.blocks[language].data();
}

bool standard_error_is_console()
{
    return fake.console_error;
}

void write_standard_error(const char* bytes, unsigned length)
{
    fake.standard_error.append(bytes, length);
}

void write_console_error(const char16_t* text, unsigned length)
{
    fake.standard_error += "<console>" + utf8(std::u16string(text, length).c_str());
}

run_result run_and_wait(char16_t* command, unsigned* code)
{
    std::string text = utf8(command);
    return run_and_wait(&text[0], code);
}

run_result run_and_wait(char* command, unsigned* code)
{
    fake.calls.push_back(fake.environment.count("SETUP_ASKED_FOR_ELEVATION") ? "start, marked" : "start");
    fake.started.push_back(command);
    *code = fake.start_result ? fake.start_result : fake.tool_wait_error ? fake.tool_wait_error : fake.tool_status;
    return fake.start_result ? run_not_started : fake.tool_wait_error ? run_not_waited : run_ended;
}

unsigned current_directory(char16_t* out, unsigned room)
{
    std::u16string folder = fake_utf16(fake.current_directory);
    if (folder.size() >= room)
        return static_cast<unsigned>(folder.size() + 1);
    return give_path(folder, out, room);
}

unsigned system_message(unsigned error, unsigned language, char16_t* out, unsigned room)
{
    const auto& messages = language ? fake.system_messages : fake.neutral_messages;
    auto found = messages.find(error);
    if (found == messages.end() || fake_utf16(found->second).size() >= room)
        return 0;
    return give_path(fake_utf16(found->second), out, room);
}

const char16_t* wide_command_line()
{
    static std::u16string line;
    line = fake_utf16(fake.wide_command_line);
    return fake.wide_command_line == "<none>" ? nullptr : line.c_str();
}

call_result token_elevated(bool* elevated)
{
    *elevated = fake.token == call_done ? fake.token_elevated : !fake.token_elevated;
    return fake.token;
}

bool environment_has(const char16_t* name)
{
    return fake.environment.count(utf8(name)) > 0;
}

void set_environment(const char16_t* name, const char16_t* value)
{
    if (!value) {
        fake.calls.push_back("unset " + utf8(name));
        fake.environment.erase(utf8(name));
        return;
    }
    fake.calls.push_back("set " + utf8(name) + "=" + utf8(value));
    fake.environment.insert(utf8(name));
}

unsigned drive_type(const char16_t* root)
{
    return std::u16string(root).size() == 3 && fake.remote_drives.count(static_cast<char>(root[0])) ? drive_remote
                                                                                                   : 3;
}

// What fits room with its terminator, else nothing.
static unsigned give_whole(const std::u16string& text, char16_t* out, unsigned room)
{
    return text.size() < room ? give_path(text, out, room) : 0;
}

// A drive's target joined to the rest of the path, as WNetGetUniversalNameW gives it.
unsigned universal_name(const char16_t* path, char16_t* out, unsigned room)
{
    std::string whole = utf8(path);
    auto found = fake.universal_names.find(whole.substr(0, 2));
    if (found == fake.universal_names.end())
        return 0;
    return give_whole(fake_utf16(found->second + whole.substr(2)), out, room);
}

unsigned dos_device(const char16_t* drive, char16_t* out, unsigned room)
{
    auto found = fake.dos_devices.find(utf8(drive));
    return found == fake.dos_devices.end() ? 0 : give_whole(fake_utf16(found->second), out, room);
}

call_result initialize_com()
{
    fake.calls.push_back("CoInitializeEx");
    return fake.com;
}

void release_com()
{
    fake.calls.push_back("CoUninitialize");
}

static std::string utf8_or_null(const char16_t* text)
{
    return text ? utf8(text) : "(null)";
}

call_result shell_execute(const shell_request* request, void** process, unsigned* error)
{
    if (fake.shell == call_missing)
        return call_missing;
    char mask[16];
    std::snprintf(mask, sizeof mask, "%#x", request->mask);
    fake.calls.push_back(std::string("ShellExecuteExW ") + mask + " " + utf8_or_null(request->verb) + " [" +
                         utf8_or_null(request->file) + "] [" + utf8_or_null(request->parameters) + "] [" +
                         utf8_or_null(request->directory) + "] show " + std::to_string(request->show));
    *error = fake.shell_error;
    *process = fake.shell_process ? &fake : nullptr;
    return fake.shell;
}

call_result wait_for_process(void* process, unsigned* status)
{
    fake.calls.push_back(process == &fake ? "wait" : "wait on a stranger");
    *status = fake.wait == call_done ? fake.elevated_status : fake.wait_error;
    return fake.wait;
}
