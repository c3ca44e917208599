#include <gtest/gtest.h>

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
        {"E:\\my media\\", "\"E:\\my media\\" TOOL "\" \"--source=E:\\my media\\\\\""},
        {"E:/my media/", "\"E:/my media/" TOOL "\" \"--source=E:/my media/\""},
        {"E:\\my media\\\\", "\"E:\\my media\\\\" TOOL "\" \"--source=E:\\my media\\\\\\\\\""},
        // The trail byte of 表 is no backslash to a DBCS-aware argument parser.
        {"E:\\a b\\\x95\x5c\\", "\"E:\\a b\\\x95\x5c\\" TOOL "\" \"--source=E:\\a b\\\x95\x5c\\\\\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.base);
        reset_fake();
        char* head = command_head(c.base);
        ASSERT_NE(head, nullptr);
        EXPECT_STREQ(head, c.head);
        free_and_clear(&head);
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

TEST(CommandLine, LengthCountsCharactersNotBytes)
{
    struct {
        std::string command;
        bool fits;
    } cases[] = {
        {std::string(32766, 'x'), true},
        {std::string(32767, 'x'), false},
        {std::string(32000, 'x') + std::string(1500, '\x95'), true}, // 750 double-byte characters
        {std::string(32000, 'x') + std::string(1534, '\x95'), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fits_command_line(c.command.c_str()), c.fits) << c.command.size();
}
