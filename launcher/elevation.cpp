#include "elevation.h"

#include "../entry/command_tail.h"
#include "dll_search.h"
#include "own_folder.h"
#include "platform.h"
#include "report.h"

// Set before the prompt, so that a copy that the shell started without
// raising its token (a policy may) does not ask again, and again.
static const char16_t asked[] = u"SETUP_ASKED_FOR_ELEVATION";

// Room for a path as another logon reaches it: a share's name may make it
// longer than the drive letter did.
enum { logon_room = 1024 };

bool may_ask_for_elevation()
{
    // ADVAPI32, MPR and SHELL32 come from the system folder, not the current
    // one; no child inherits this any more.
    restrict_dll_search();
    bool elevated = false;
    if (token_elevated(&elevated) == call_done && elevated)
        return false;
    return !environment_has(asked);
}

static bool starts_with(const char16_t* text, const char16_t* prefix)
{
    while (*prefix)
        if (*text++ != *prefix++)
            return false;
    return true;
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
        char16_t letter = path[0] | 0x20;
        if (letter < u'a' || letter > u'z' || path[1] != u':')
            return;
        char16_t drive[] = {path[0], u':', u'\\', 0};
        if (drive_type(drive) == drive_remote && universal_name(path, target, logon_room)) {
            copy(target, path);
            return;
        }
        drive[2] = 0;
        unsigned length = dos_device(drive, target, logon_room);
        // \??\C:\folder, or \??\UNC\server\share\folder; a volume or a
        // network redirector is a \Device\.
        if (!length || !starts_with(target, u"\\??\\"))
            return;
        const char16_t* folder = target + 4;
        unsigned at = 0;
        if (starts_with(folder, u"UNC\\")) {
            joined[at++] = u'\\';
            folder += 3;
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

template <typename C>
unsigned run_elevated_copy(const C* tool)
{
    char16_t self[logon_room], folder[logon_room];
    unsigned length = module_path(self, path_room);
    const char16_t* line = wide_command_line();
    if (!length || length >= path_room || !line)
        return report_failed_start(tool, error_elevation_required);
    as_other_logon_sees(self);
    // Null would start the copy in this process's current directory too, as
    // Windows has it; one that does not fit Windows' 259 characters is left
    // to Windows.
    length = current_directory(folder, path_room);
    bool has_folder = length && length < path_room;
    if (has_folder)
        as_other_logon_sees(folder);
    set_environment(asked, u"1");
    // The tail exactly as setup.exe got it, in UTF-16 in both builds: the
    // copy's GetCommandLineA then gives an ANSI build the same bytes. Windows
    // checked this file's zone when the person started it.
    shell_request request = {shell_no_close_process | shell_no_async | shell_no_ui | shell_no_zone_checks,
                             u"runas", self, command_tail(line), has_folder ? folder : nullptr, show_normal};
    void* process = nullptr;
    unsigned error = 0;
    call_result called = shell_execute(&request, &process, &error);
    if (called == call_missing)
        return report_failed_start(tool, error_elevation_required);
    if (called == call_done && process)
        return wait_for_process(process);
    // A start that cannot be waited for is none; nor is a failure without a code.
    if (called == call_done)
        error = 6; // ERROR_INVALID_HANDLE
    return report_failed_start(self, error ? error : static_cast<unsigned>(error_elevation_required));
}

template unsigned run_elevated_copy<char>(const char*);
template unsigned run_elevated_copy<char16_t>(const char16_t*);
