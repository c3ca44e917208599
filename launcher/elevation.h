// Starting a tool that Windows starts only with administrator rights:
// through the consent prompt, as Explorer's "Run as administrator" does.
#pragma once

enum {
    error_elevation_required = 740, // ERROR_ELEVATION_REQUIRED
    error_cancelled = 1223,         // ERROR_CANCELLED: the person declined
};

// Starts the command that CreateProcess refused with 740 (the tool's path,
// quoted when command begins with a quote, a blank and its arguments)
// through the shell's "runas" verb, hidden, in the current directory, and
// waits until the tool ends. Returns 0 and the tool's status as
// run_and_wait does; else Windows' error code: 1223 when the person
// declined, 740 where the shell cannot be had.
template <typename C>
unsigned run_elevated(const C* tool, const C* command, unsigned* tool_status);
