// Where DLLs loaded on demand come from, while the launcher runs.
#pragma once

// Where Windows allows it, takes DLLs loaded on demand from the system
// folder alone (Windows 8, or 7 with KB2533623); else, on XP SP1 to 7, keeps
// them out of the current directory, though not out of the launcher's own
// folder. Returns whether it set a DLL directory, which a child process would
// inherit.
bool restrict_dll_search();

// Undoes that DLL directory, so that the tool starts with its own DLL search.
void release_dll_search(bool directory_set);
