#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/arg_file.h"

TEST(ArgumentText, Table)
{
    struct {
        std::string raw;
        std::string expected;
    } cases[] = {
        {"--silent", "--silent"},
        {"--silent\r\n", "--silent"},
        {"--a\n--b\n", "--a\n--b"},
        {"--a\r\n--b\r\n", "--a\n--b"},
        {"", ""},
        {"\n\n\n", ""},
        {"\r\n\r\n", ""},
        {"--a \t", "--a \t"},
        {"--a\r", "--a\r"},
        {"--a\r\r\n", "--a\r"},
        {"--a\rb", "--a\rb"},
        {"--a\r\n\x1a--b", "--a"},
        {"--a\x1a", "--a"},
        {"\x1a--a", ""},
        {std::string("--a\n\0--b", 8), "--a"},
        {std::string("\0--a", 4), ""},
        {"\"C:\\my dir\\x\" --y\n", "\"C:\\my dir\\x\" --y"},
        {"\x95\x5c\n", "\x95\x5c"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.raw));
        std::vector<char> data(c.raw.begin(), c.raw.end());
        data.push_back(0);
        EXPECT_EQ(std::string(argument_text(data.data(), c.raw.size())), c.expected);
    }
}
