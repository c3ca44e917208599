#include "launch.h"

#include "arg_file.h"
#include "command.h"
#include "dll_search.h"
#include "elevation.h"
#include "heap_string.h"
#include "own_folder.h"
#include "platform.h"
#include "report.h"
#include "status.h"

// "X:\..." or "\\server\share\...": anything else would be looked up
// relative to a current directory.
template <typename C>
static bool is_absolute(const C* base)
{
    if (!base[0])
        return false;
    if (base[0] == '\\' || base[0] == '/')
        return base[1] == '\\' || base[1] == '/';
    return base[1] == ':' && (base[2] == '\\' || base[2] == '/');
}

// A folder that the ANSI code page spells only by best fit would name
// another one: the user is told what to do about it.
template <typename C>
static unsigned find_folder(C* base)
{
    char16_t shown[path_room];
    if (own_folder(base, shown) != folder_unspellable)
        return 0;
    return report(message_folder_unspellable, shown, launch_tool_missing);
}

// The text of the argument file as the tool is to read it. (Each build of
// setup.exe uses one of the two.)
[[maybe_unused]] static read_result take_arguments(char* text, const char** arguments)
{
    *arguments = text;
    return read_ok;
}

[[maybe_unused]] static read_result take_arguments(char* text, const char16_t** arguments)
{
    char16_t* wide = nullptr;
    read_result read = wide_arguments(text, &wide);
    *arguments = wide;
    return read;
}

template <typename C>
unsigned launch(const C* tail, bool pass_tool_status)
{
    bool dll_directory_set = restrict_dll_search();

    C base[folder_room];
    if (unsigned refused = find_folder(base))
        return refused;
    // Unknown, or relative (Wine shows a share as UNC\server\...): the tool
    // would be looked for, and run, relative to the current directory.
    if (!is_absolute(base))
        base[0] = 0;

    C* installer = format_alloc<C>("%s" INSTALLER_SUBPATH, base);
    if (!installer)
        return report_no_memory();
    if (!base[0] || !path_exists(installer))
        return report(message_tool_missing, installer, launch_tool_missing);

    C* head = command_head(base);
    if (!head)
        return report_no_memory();

    static const C default_arguments[] = {'-', '-', 'd', 'v', 'd', 0};
    const C* arguments = tail;
    if (!tail[0]) {
        C* args_path = format_alloc<C>("%s.setup_args", base);
        if (!args_path)
            return report_no_memory();
        arguments = default_arguments;
        if (path_exists(args_path)) {
            char* text = nullptr;
            size_t size = 0;
            read_result read = read_whole_file(args_path, &text, &size);
            if (read == read_ok)
                read = take_arguments(argument_text(text, size), &arguments);
            if (read == read_no_memory)
                return report_no_memory();
            if (read != read_ok)
                return report(message_file_unreadable, args_path, launch_file_unreadable);
        }
    }

    // Windows refuses such a command with this code; Wine would start the
    // tool with its arguments cut off. Told before a huge argument file is
    // copied into a command.
    if (!fits_command_line(head, arguments))
        return report_too_long(installer, message_command_too_long);
    C* command = format_alloc<C>("%s %s", head, arguments);
    free_and_clear(&head);
    if (!command)
        return report_no_memory();
    release_dll_search(dll_directory_set);
    bool marked = take_elevation_mark();
    unsigned code = 0;
    run_result run = run_and_wait(command, &code);
    free_and_clear(&command);
    if (run == run_not_waited)
        return report_not_waited(installer, code);
    if (run == run_ended)
        return pass_tool_status ? code : 0;
    // Windows asks the person at the screen, if there is one, for the rights
    // that the tool demands: for setup.exe, whose elevated copy starts the
    // tool as this one would have, and whose status is the status.
    if (code == error_elevation_required && anyone_sees_box() && may_ask_for_elevation(marked))
        return run_elevated_copy(installer);
    return report_failed_start(installer, code);
}

// The unit tests reach both; setup.exe is built for one (SETUP_COMMAND_LINE).
#if !defined(SETUP_UTF16) || !SETUP_UTF16
template unsigned launch<char>(const char*, bool);
#endif
#if !defined(SETUP_UTF16) || SETUP_UTF16
template unsigned launch<char16_t>(const char16_t*, bool);
#endif
