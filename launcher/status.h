// The statuses that setup.exe itself ends with, and the error codes of
// Windows that it gives or looks for by number.
#pragma once

enum launch_status {
    launch_tool_missing = 1,
    launch_file_unreadable = 2,
    launch_no_memory = 8,  // ERROR_NOT_ENOUGH_MEMORY
    launch_too_long = 206, // ERROR_FILENAME_EXCED_RANGE, also for a command line
};

enum {
    error_invalid_handle = 6,       // ERROR_INVALID_HANDLE
    error_elevation_required = 740, // ERROR_ELEVATION_REQUIRED
    error_cancelled = 1223,         // ERROR_CANCELLED: the person declined
};
