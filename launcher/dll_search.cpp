#include "dll_search.h"

#include "platform.h"

bool restrict_dll_search()
{
    // Windows 2000 has neither call; there USER32, the one DLL loaded on
    // demand, is safe only because it is loaded by its full path.
    if (search_system_folder_only() == call_done)
        return false;
    return set_dll_directory("") == call_done;
}

void release_dll_search(bool directory_set)
{
    if (directory_set)
        set_dll_directory(nullptr);
}
