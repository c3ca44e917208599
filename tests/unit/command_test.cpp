#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "fake_platform.h"
#include "launcher/command.h"
#include "launcher/heap_string.h"

#define TOOL "vorald_installer\\bin\\vorald_installer_cmd.exe"

TEST(CommandHead, QuotesOnlyWhenTheBaseHoldsABlank)
{
    struct {
        const char* base;
        const char* head;
    } cases[] = {
        {"E:\\", "E:\\" TOOL " --source=E:\\"},
        {"\\\\server\\share\\media\\", "\\\\server\\share\\media\\" TOOL " --source=\\\\server\\share\\media\\"},
        {"E:\\my media\\", "\"E:\\my media\\" TOOL "\" --source=\"E:\\my media\\\\\""},
        {"E:/my media/", "\"E:/my media/" TOOL "\" --source=\"E:/my media/\""},
        {"E:\\my media\\\\", "\"E:\\my media\\\\" TOOL "\" --source=\"E:\\my media\\\\\\\\\""},
        // The trail byte of 表 is no backslash to a DBCS-aware argument parser.
        {"E:\\a b\\\x95\x5c\\", "\"E:\\a b\\\x95\x5c\\" TOOL "\" --source=\"E:\\a b\\\x95\x5c\\\\\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.base);
        reset_fake();
        char* head = command_head(c.base);
        ASSERT_NE(head, nullptr);
        EXPECT_STREQ(head, c.head);
        free_and_clear(&head);
        // In UTF-16 the same, where the base is ASCII.
        std::u16string base = fake_utf16(c.base);
        if (std::all_of(c.base, c.base + std::strlen(c.base), [](char b) { return b > 0; })) {
            char16_t* wide_head = command_head(base.c_str());
            EXPECT_EQ(std::u16string(wide_head), fake_utf16(c.head));
            free_and_clear(&wide_head);
        }
        EXPECT_EQ(fake.live_blocks, 0);
    }
}

TEST(CommandHead, TrailingBackslashes)
{
    EXPECT_EQ(trailing_backslashes(""), 0u);
    EXPECT_EQ(trailing_backslashes("a\\\\"), 2u);
    EXPECT_EQ(trailing_backslashes("a\\b"), 0u);
    EXPECT_EQ(trailing_backslashes("\x95\x5c"), 0u);
    EXPECT_EQ(trailing_backslashes("\x95\x5c\\"), 1u);
}

TEST(CommandLine, LengthCountsUtf16Units)
{
    const std::string head(1000, 'h');
    const size_t room = 32766 - 1000 - 1; // units left for the arguments
    struct {
        unsigned code_page;
        std::string arguments;
        bool fits;
    } cases[] = {
        {932, repeat("x", room), true},
        {932, repeat("x", room + 1), false},
        {932, repeat("\x95\x5c", room), true}, // a double-byte character is one unit
        {932, repeat("\x95\x5c", room + 1), false},
        {65001, repeat("\xe8\xa1\xa8", room), true}, // U+8868: three bytes, one unit
        {65001, repeat("\xe8\xa1\xa8", room + 1), false},
        {65001, repeat("\xf0\x9f\x98\x80", room / 2 + 1), false}, // U+1F600: four bytes, two units
    };
    for (const auto& c : cases) {
        reset_fake();
        fake.code_page = c.code_page;
        EXPECT_EQ(fits_command_line(head.c_str(), c.arguments.c_str()), c.fits)
            << c.code_page << ", " << c.arguments.size() << " bytes";
    }
    // UTF-16, as it stands: a surrogate pair is two units.
    const std::u16string wide_head(1000, u'h');
    EXPECT_TRUE(fits_command_line(wide_head.c_str(), std::u16string(room, u'表').c_str()));
    EXPECT_FALSE(fits_command_line(wide_head.c_str(), std::u16string(room + 1, u'表').c_str()));
    EXPECT_FALSE(fits_command_line(wide_head.c_str(), (std::u16string(room - 1, u'x') + u"😀").c_str()));
}
