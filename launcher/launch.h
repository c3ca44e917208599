// The launch sequence: find the installer tool beside the launcher, choose
// its arguments, start it and wait for it.
//
// setup.exe is built for a tool that reads its command line in the ANSI code
// page (C = char, the default) or in UTF-16 (C = char16_t,
// SETUP_COMMAND_LINE=utf16); the unit tests run both. The two take the same
// decisions. What differs: the tail (entry.cpp: GetCommandLineA or W); how
// the folder is spelled (own_folder.cpp: exactly in the code page, or as
// Windows gives it; in both by its short form where only that fits); how
// .setup_args becomes the arguments (take_arguments in launch.cpp: its bytes
// as they stand, or decoded from UTF-8 or the code page by arg_file.cpp);
// and the A or W form of the calls that take paths and start the tool
// (platform_win32.cpp, child_process.cpp). Boxes are UTF-16 and the line on
// standard error UTF-8 (UTF-16 to a console) in both; the consent prompt
// passes setup.exe's own tail from GetCommandLineW in both.
#pragma once

// Returns 0 once the tool has run (or, with pass_tool_status, the tool's own
// exit status), 1 when it is missing or the ANSI code page cannot spell its
// folder, 2 when the argument file cannot be read, 8 when the heap is out,
// 206 when the command line is longer than Windows takes, else the
// platform's error code from a failed start, or from a wait for the tool
// that failed; where the tool demands
// administrator rights, the status of setup.exe's elevated copy, or 1223
// when the person declined the consent prompt. The tail
// and the command are 8-bit ANSI text, or UTF-16 for a tool that reads its
// command line so.
template <typename C>
unsigned launch(const C* tail, bool pass_tool_status);
