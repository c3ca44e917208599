// A tool that Windows starts only with administrator rights: setup.exe asks
// for them for itself through the consent prompt, and its elevated copy
// starts the tool as any start does, without a console window.
#pragma once

enum {
    error_elevation_required = 740, // ERROR_ELEVATION_REQUIRED
    error_cancelled = 1223,         // ERROR_CANCELLED: the person declined
};

// Whether setup.exe may ask: never from an elevated copy of itself, nor from
// one that the prompt started without raising its token.
bool may_ask_for_elevation();

// Starts setup.exe again through the shell's "runas" verb with its own
// command tail, in the current directory, both as another logon of the user
// reaches them, and waits until that copy ends. Returns the copy's exit
// status; else tells why it did not start (1223, the person declined,
// without a box) and returns Windows' error code, or 740 for the tool where
// the shell cannot be had.
template <typename C>
unsigned run_elevated_copy(const C* tool);
