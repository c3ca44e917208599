// A stand-in for Windows: code page 932 (or 65001, UTF-8), a heap that can be
// told to fail, a file system of a few names, and a record of boxes and starts.
#pragma once
#include <map>
#include <set>
#include <string>
#include <vector>

struct fake_platform {
    std::string module = "E:\\setup.exe";
    unsigned module_length = 0; // when not 0, reported instead of the real length
    std::set<std::string> existing;
    std::map<std::string, std::string> files;     // readable, with their bytes
    unsigned code_page = 932;                     // or 65001
    int fail_allocation = -1;                     // index of the allocation that fails
    size_t largest_block = static_cast<size_t>(-1); // larger allocations fail
    int allocations = 0;
    int live_blocks = 0;
    std::vector<std::string> looked_at;           // paths tested or read
    std::vector<std::string> boxes;
    std::vector<std::string> started;
    unsigned start_result = 0;
};

extern fake_platform fake;
void reset_fake();
