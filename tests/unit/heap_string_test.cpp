#include <gtest/gtest.h>

#include <cstring>

#include "fake_platform.h"
#include "launcher/heap_string.h"

TEST(HeapString, AllocZeroedHoldsCountCharactersAndATerminator)
{
    reset_fake();
    char* text = alloc_zeroed(0);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text[0], 0);
    free_and_clear(&text);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(fake.live_blocks, 0);
}

TEST(HeapString, FormatAllocKnowsOnlyWhatTheLauncherUses)
{
    struct {
        const char* format;
        const char* a;
        const char* b;
        const char* expected; // null: cannot be measured
    } cases[] = {
        {"%s%s", "E:\\", "tool.exe", "E:\\tool.exe"},
        {"no conversion", "", "", "no conversion"},
        {"100%% %s", "sure", "", "100% sure"},
        {"%s", "", "", ""},
        {"%d", "", "", nullptr},
        {"trailing %", "", "", nullptr},
        {"%s %s", "x", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        reset_fake();
        char* text = format_alloc(c.format, c.a, c.b);
        if (!c.expected) {
            EXPECT_EQ(text, nullptr);
        } else {
            ASSERT_NE(text, nullptr);
            EXPECT_STREQ(text, c.expected);
            // The block has one zero byte to spare after the terminator.
            EXPECT_EQ(text[std::strlen(c.expected) + 1], 0);
        }
        free_and_clear(&text);
        EXPECT_EQ(fake.live_blocks, 0);
    }
}

TEST(HeapString, FormatAllocReportsAnEmptyHeap)
{
    reset_fake();
    fake.fail_allocation = 0;
    EXPECT_EQ(format_alloc("%s", "x"), nullptr);
}

TEST(HeapString, FreeAndClearToleratesNullHoldersAndNullBlocks)
{
    reset_fake();
    free_and_clear<char>(nullptr);
    char* text = alloc_zeroed(4);
    free_and_clear(&text);
    free_and_clear(&text);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(fake.live_blocks, 0);
}
