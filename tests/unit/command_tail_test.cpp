#include <gtest/gtest.h>

#include <string>

#include "entry/command_tail.h"
#include "fake_platform.h"

TEST(CommandTail, Table)
{
    struct {
        std::string line;
        std::string tail;
    } cases[] = {
        {"\"C:\\my media\\setup.exe\"  word", "word"},
        {"setup.exe\tone two  ", "one two  "},
        {"setup.exe", ""},
        {"setup.exe   ", ""},
        {"C:\\a\" b\"\\setup.exe --x", "--x"},
        {"\"C:\\setup.exe --x", ""},
        {"  setup.exe --x", "setup.exe --x"},
        {"setup.exe \"--a b\" \"c\"", "\"--a b\" \"c\""},
        {"setup.exe\x01\x1f --x", "--x"},
        {"set\xa0up.exe --x", "--x"}, // 0xA0 is a single-byte character in 932
        {"", ""},
        // Code page 932: a lead byte takes the byte after it, unexamined.
        {"\x95\x22setup.exe --x", "--x"},
        {"\x95 setup.exe --x", "--x"},
        {"C:\\\x95\x5c\\setup.exe --x", "--x"},
        {"setup.exe\x95", ""},
        {"setup.exe --x\x95", "--x\x95"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.line));
        const char* tail = command_tail(c.line.c_str());
        EXPECT_EQ(std::string(tail), c.tail);
        // Always a position inside the line itself.
        EXPECT_EQ(tail, c.line.c_str() + c.line.size() - std::string(tail).size());
    }
}

TEST(CommandTail, NoLineGivesAnEmptyTail)
{
    EXPECT_STREQ(command_tail(nullptr), "");
}
