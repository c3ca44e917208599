// Where DLLs loaded on demand come from, while the launcher runs.
#pragma once

// Keeps DLLs loaded on demand out of the launcher's own folder and the
// current directory. Returns whether it set a DLL directory, which a child
// process would inherit.
bool restrict_dll_search();

// Undoes that DLL directory, so that the tool starts with its own DLL search.
void release_dll_search(bool directory_set);
