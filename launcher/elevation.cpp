#include "elevation.h"

#include "command.h"
#include "command_tail.h"
#include "dll_search.h"
#include "heap_string.h"
#include "own_folder.h"
#include "platform.h"
#include "report.h"

// Set before the prompt, for a copy that the shell starts without raising
// its token (a policy may) and that would otherwise ask again, and again. A
// copy that the prompt raised gets the user's own environment, not this one:
// its token tells it not to ask.
static const char16_t asked[] = u"SETUP_ASKED_FOR_ELEVATION";

// The shell takes no command line of more than about 2,048 units: what it
// does with a longer one is no answer that could be told to anyone.
enum { shell_tail_room = 2048 };

// Room for a path as another logon reaches it: a share's name may make it
// longer than the drive letter did.
enum { logon_room = 1024 };

bool take_elevation_mark()
{
    if (!environment_has(asked))
        return false;
    set_environment(asked, nullptr);
    return true;
}

bool may_ask_for_elevation(bool marked)
{
    // ADVAPI32, MPR, OLE32 and SHELL32 come from the system folder, not the
    // current one; no child inherits this any more.
    restrict_dll_search();
    bool elevated = false;
    return !marked && !(token_elevated(&elevated) == call_done && elevated);
}

static bool starts_with(const char16_t* text, const char16_t* prefix)
{
    while (*prefix)
        if (*text++ != *prefix++)
            return false;
    return true;
}

// "X:" alone or followed by a backslash.
static bool is_drive(const char16_t* path)
{
    char16_t letter = path[0] | 0x20;
    return letter >= u'a' && letter <= u'z' && path[1] == u':' && (!path[2] || path[2] == u'\\');
}

static void copy(const char16_t* from, char16_t* to)
{
    while ((*to++ = *from++))
        ;
}

// A path on a drive letter of this logon alone (a network drive or a subst
// drive that the user made, which an elevated process does not see) as
// another logon reaches it, in place: the share's UNC name, or the folder
// that the letter stands for, which may itself be such a letter. Where
// Windows does not tell, the path stays as it is.
static void as_other_logon_sees(char16_t* path)
{
    char16_t target[logon_room], joined[logon_room];
    for (unsigned hop = 0; hop < 8; hop++) {
        if (!is_drive(path))
            return;
        char16_t drive[] = {path[0], u':', u'\\', 0};
        if (drive_type(drive) == drive_remote && universal_name(path, target, logon_room)) {
            copy(target, path);
            return;
        }
        drive[2] = 0;
        // \??\C:\folder, or \??\UNC\server\share\folder; a volume or a
        // network redirector is a \Device\, and \??\Volume{...}\ no path.
        if (!dos_device(drive, target, logon_room) || !starts_with(target, u"\\??\\"))
            return;
        const char16_t* folder = target + 4;
        unsigned at = 0;
        if (starts_with(folder, u"UNC\\")) {
            joined[at++] = u'\\';
            folder += 3;
        } else if (!is_drive(folder)) {
            return;
        }
        while (*folder)
            joined[at++] = *folder++;
        if (at && joined[at - 1] == u'\\')
            at--;
        for (const char16_t* rest = path + 2; *rest; rest++) {
            if (at + 1 >= logon_room)
                return;
            joined[at++] = *rest;
        }
        joined[at] = 0;
        copy(joined, path);
    }
}

// What the copy, started as self, would refuse once the person said yes:
// its own path or its tool's, in both forms, over Windows' limit, or a
// folder that the ANSI code page cannot spell; told as the copy would tell
// it. 0 where it can start the tool.
template <typename C>
static unsigned refuse_what_copy_cannot_start(const char16_t* self)
{
    unsigned length = text_length(self);
    if (length >= path_room)
        return report_failed_start(self, launch_too_long);
    C base[folder_room];
    char16_t shown[path_room];
    folder_found found = folder_of(self, length, base, shown);
    if (found == folder_unspellable)
        return report(message_folder_unspellable, shown, launch_tool_missing);
    if (found != folder_too_long)
        return 0;
    char16_t* tool = format_alloc<char16_t>("%s" INSTALLER_SUBPATH, shown);
    unsigned refused = tool ? report_failed_start(tool, launch_too_long) : report_no_memory();
    free_and_clear(&tool);
    return refused;
}

// Windows keeps room for the backslash that it adds to a current directory:
// 258 characters without it.
static bool fits_current_directory(const char16_t* folder)
{
    unsigned length = text_length(folder);
    if (length && folder[length - 1] == u'\\')
        length--;
    return length <= path_room - 2;
}

template <typename C>
unsigned run_elevated_copy(const C* tool)
{
    char16_t self[logon_room], folder[logon_room];
    unsigned length = module_path(self, path_room);
    const char16_t* line = wide_command_line();
    if (!length || length >= path_room || !line)
        return report_failed_start(tool, error_elevation_required);
    // Windows' limits hold for the paths as the other logon gets them.
    as_other_logon_sees(self);
    if (unsigned refused = refuse_what_copy_cannot_start<C>(self))
        return refused;
    // The tail exactly as setup.exe got it, in UTF-16 in both builds: the
    // copy's GetCommandLineA then gives an ANSI build the same bytes.
    const char16_t* tail = command_tail(line);
    if (text_length(tail) > shell_tail_room)
        return report_too_long(self, message_prompt_too_long);
    // Without a folder, an elevated program starts in Windows' own.
    length = current_directory(folder, path_room);
    bool has_folder = length && length < path_room;
    if (has_folder) {
        as_other_logon_sees(folder);
        has_folder = fits_current_directory(folder);
    }
    set_environment(asked, u"1");
    // Windows checked this file's zone when the person started it. The shell
    // may hand the verb to COM; it is done with it once it returns.
    bool com = initialize_com() == call_done;
    shell_request request = {shell_no_close_process | shell_no_async | shell_no_ui | shell_no_zone_checks,
                             u"runas", self, tail, has_folder ? folder : nullptr, show_normal};
    void* process = nullptr;
    unsigned error = 0;
    call_result called = shell_execute(&request, &process, &error);
    if (com)
        release_com();
    if (called == call_missing)
        return report_failed_start(tool, error_elevation_required);
    if (called == call_failed)
        return report_failed_start(self, error ? error : static_cast<unsigned>(error_elevation_required));
    // Started, as the shell says, but without a process to wait for, the
    // copy may still run.
    unsigned status = error_invalid_handle;
    if (process && wait_for_process(process, &status) == call_done)
        return status;
    return report_not_waited(self, status);
}

template unsigned run_elevated_copy<char>(const char*);
template unsigned run_elevated_copy<char16_t>(const char16_t*);
