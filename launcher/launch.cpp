#include "launch.h"

#include "arg_file.h"
#include "command.h"
#include "dll_search.h"
#include "heap_string.h"
#include "own_folder.h"
#include "platform.h"

const char* setup_caption = "Setup";

// "X:\..." or "\\server\share\...": anything else would be looked up
// relative to a current directory.
static bool is_absolute(const char* base)
{
    bool separator_first = base[0] == '\\' || base[0] == '/';
    bool separator_second = base[1] == '\\' || base[1] == '/';
    if (separator_first)
        return separator_second;
    return base[0] && base[1] == ':' && (base[2] == '\\' || base[2] == '/');
}

template <typename C>
static unsigned report(const C* format, const C* path, unsigned status)
{
    C* message = format_alloc(format, path);
    if (!message)
        return launch_no_memory;
    show_error(message);
    free_and_clear(&message);
    return status;
}

unsigned launch(const char* tail, bool pass_tool_status)
{
    bool dll_directory_set = restrict_dll_search();

    // Spelled only by best fit: the user is told what to do about it.
    char base[folder_room];
    char16_t shown[path_room];
    folder_found found = own_folder(base, shown);
    if (found == folder_unspellable)
        return report(u"Setup cannot start the installer from the folder '%s', because its name has "
                      u"characters that the installer cannot read on this system. Copy the whole medium "
                      u"to a folder with a plain name, such as C:\\Setup, and start setup.exe there.",
                      shown, launch_tool_missing);
    // Unknown, or relative (Wine shows a share as UNC\server\...): the tool
    // would be looked for, and run, relative to the current directory.
    if (found == folder_unknown || !is_absolute(base))
        base[0] = 0;

    char* installer = format_alloc("%s%s", base, installer_subpath);
    if (!installer)
        return launch_no_memory;
    if (!base[0] || !path_exists(installer))
        return report("Installer executable '%s' does not exist", installer, launch_tool_missing);

    char* head = command_head(base);
    if (!head)
        return launch_no_memory;

    const char* arguments = tail;
    if (!tail[0]) {
        char* args_path = format_alloc("%s.setup_args", base);
        if (!args_path)
            return launch_no_memory;
        arguments = "--dvd";
        if (path_exists(args_path)) {
            char* text = nullptr;
            size_t size = 0;
            read_result read = read_whole_file(args_path, &text, &size);
            if (read == read_no_memory)
                return launch_no_memory;
            if (read != read_ok)
                return report("Can not open '%s' for reading", args_path, launch_file_unreadable);
            arguments = argument_text(text, size);
        }
    }

    // Windows refuses such a command with this code; Wine would start the
    // tool with its arguments cut off. Told before a huge argument file is
    // copied into a command.
    if (!fits_command_line(head, arguments))
        return launch_command_too_long;
    char* command = format_alloc("%s %s", head, arguments);
    free_and_clear(&head);
    if (!command)
        return launch_no_memory;
    release_dll_search(dll_directory_set);
    unsigned tool_status = 0;
    unsigned result = run_and_wait(command, &tool_status);
    free_and_clear(&command);
    return result == 0 && pass_tool_status ? tool_status : result;
}
