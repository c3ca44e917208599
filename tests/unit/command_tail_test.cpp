#include <gtest/gtest.h>

#include <string>

#include "launcher/command_tail.h"
#include "fake_platform.h"

TEST(CommandTail, Table)
{
    struct {
        std::string line;
        std::string tail;
        bool utf16_too = true; // also cut from the UTF-16 command line, in which it is UTF-8 here
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
        {"set\xa0up.exe --x", "--x", false}, // 0xA0 is a single-byte character in 932
        {"", ""},
        {"\"D:\\Łódź 表\\setup.exe\" --target=\"D:\\Łódź\"", "--target=\"D:\\Łódź\""},
        // In UTF-16, U+4E22 丢 and U+4E20 丠 hold a quote and a blank in their low bytes.
        {"丢setup.exe --x", "--x"},
        {"set丠up.exe --x", "--x"},
        // Code page 932: a lead byte takes the byte after it, unexamined.
        {"\x95\x22setup.exe --x", "--x", false},
        {"\x95 setup.exe --x", "--x", false},
        {"C:\\\x95\x5c\\setup.exe --x", "--x", false},
        {"setup.exe\x95", "", false},
        {"setup.exe --x\x95", "--x\x95", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.line));
        const char* tail = command_tail(c.line.c_str());
        EXPECT_EQ(std::string(tail), c.tail);
        // Always a position inside the line itself.
        EXPECT_EQ(tail, c.line.c_str() + c.line.size() - std::string(tail).size());
        if (!c.utf16_too)
            continue;
        std::u16string line = fake_utf16(c.line);
        const char16_t* wide_tail = command_tail(line.c_str());
        EXPECT_EQ(std::u16string(wide_tail), fake_utf16(c.tail));
        EXPECT_EQ(wide_tail, line.c_str() + line.size() - std::u16string(wide_tail).size());
    }
}

TEST(CommandTail, NoLineGivesAnEmptyTail)
{
    EXPECT_STREQ(command_tail<char>(nullptr), "");
    EXPECT_EQ(command_tail<char16_t>(nullptr)[0], 0);
}
