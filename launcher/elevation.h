// A tool that Windows starts only with administrator rights: setup.exe asks
// for them for itself through the consent prompt, and its elevated copy
// starts the tool as any start does, without a console window.
#pragma once

#include "status.h"

// Whether this setup.exe was marked by the one that asked for it, as a copy
// that the shell starts without raising its token inherits the first one's
// environment. The mark is removed at once, so that neither the tool nor
// what it starts inherits it.
bool take_elevation_mark();

// Whether setup.exe may ask: never from an elevated copy of itself, nor from
// a marked one.
bool may_ask_for_elevation(bool marked);

// Starts setup.exe again through the shell's "runas" verb with its own
// command tail, in the current directory, both as another logon of the user
// reaches them, and waits until that copy ends. Returns the copy's exit
// status; else tells why it did not start, or could not be waited for
// (without a box where the person declined: 1223), and returns Windows'
// error code; 206 where the tail is too long for the shell, or setup.exe's
// path or its tool's too long as the copy would find them; 1 where the ANSI
// code page cannot spell the copy's folder; 740 for the tool where the shell
// cannot be had.
template <typename C>
unsigned run_elevated_copy(const C* tool);
