#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "launcher/arg_file.h"
#include "launcher/heap_string.h"

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

// For a tool that reads UTF-16: UTF-8 after the mark, never with U+FFFD for
// what is not valid; else the ANSI code page (932 here).
TEST(WideArguments, Table)
{
    const char16_t* invalid = nullptr;
    struct {
        const char* text;
        const char16_t* arguments; // null: refused
    } cases[] = {
        {"\xef\xbb\xbf--a=\xc5\x81\xe8\xa1\xa8\xf0\x9f\x98\x80", u"--a=Ł表😀"},
        {"\xef\xbb\xbf", u""},
        {"--a=\x95\x5c", u"--a=表"},
        {"\xef\xbb\xbf\xc5", invalid},             // cut short
        {"\xef\xbb\xbf\xc0\xaf", invalid},         // overlong
        {"\xef\xbb\xbf\xed\xa0\x80", invalid},     // a surrogate
        {"\xef\xbb\xbf\xf4\x90\x80\x80", invalid}, // beyond U+10FFFF
        {"\xef\xbb\xbf\x80", invalid},             // no lead byte
        {"\xef\xbb\xbf\xef\xbf\xbd", u"\xfffd"},   // U+FFFD itself is valid
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        reset_fake();
        char16_t* arguments = nullptr;
        EXPECT_EQ(wide_arguments(c.text, &arguments), c.arguments ? read_ok : read_failed);
        EXPECT_EQ(arguments ? std::u16string(arguments) : u"<refused>", c.arguments ? c.arguments : u"<refused>");
        free_and_clear(&arguments);
        EXPECT_EQ(fake.live_blocks, 0);
    }
}
