// The launch sequence: find the installer tool beside the launcher, choose
// its arguments, start it and wait for it.
#pragma once

enum launch_status {
    launch_tool_missing = 1,
    launch_file_unreadable = 2,
    launch_no_memory = 8,          // ERROR_NOT_ENOUGH_MEMORY
    launch_command_too_long = 206, // ERROR_FILENAME_EXCED_RANGE
};

// Returns 0 once the tool has run (or, with pass_tool_status, the tool's own
// exit status), 1 when it is missing or the ANSI code page cannot spell its
// folder, 2 when the argument file cannot be read, 8 when the heap is out,
// 206 when the command line is longer than Windows takes, else the
// platform's error code from a failed start (1223 when the person declined
// the consent prompt for a tool that demands administrator rights). The tail and the command are
// 8-bit ANSI text, or UTF-16 for a tool that reads its command line so.
template <typename C>
unsigned launch(const C* tail, bool pass_tool_status);
