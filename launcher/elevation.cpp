#include "elevation.h"

#include "dll_search.h"
#include "heap_string.h"
#include "own_folder.h"
#include "platform.h"

template <typename C>
unsigned run_elevated(const C* tool, const C* command, unsigned* tool_status)
{
    // The shell's own DLLs come from the system folder, not the current one;
    // no child inherits this any more.
    restrict_dll_search();
    // The shell quotes the program itself: the parameters are what follows
    // the tool's path (and its quotes) and the blank after it.
    const C* parameters = command + text_length(tool) + (command[0] == '"' ? 2 : 0) + 1;
    char16_t* file = wide_copy(tool);
    char16_t* wide_parameters = wide_copy(parameters);
    // An elevated process would start in the system folder: the tool starts
    // where setup.exe was started, as CreateProcess would have started it.
    // (A current directory is at most 259 characters but where a program
    // opted into longer paths; the tool then starts in the system folder.)
    char16_t folder[path_room];
    unsigned length = current_directory(folder, path_room);
    unsigned error = 8; // ERROR_NOT_ENOUGH_MEMORY
    void* process = nullptr;
    call_result called = call_failed;
    if (file && wide_parameters) {
        shell_request request = {shell_no_close_process | shell_no_async | shell_no_ui, u"runas", file,
                                 wide_parameters, length && length < path_room ? folder : nullptr, show_hidden};
        called = shell_execute(&request, &process, &error);
    }
    free_and_clear(&file);
    free_and_clear(&wide_parameters);
    if (called == call_missing)
        return error_elevation_required;
    if (called == call_failed)
        return error ? error : static_cast<unsigned>(error_elevation_required); // never a failure told as a start
    // Without a process to wait for, the tool's status cannot be told.
    *tool_status = process ? wait_for_process(process) : 6; // ERROR_INVALID_HANDLE
    return 0;
}

template unsigned run_elevated<char>(const char*, const char*, unsigned*);
template unsigned run_elevated<char16_t>(const char16_t*, const char16_t*, unsigned*);
