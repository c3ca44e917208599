#include <gtest/gtest.h>

#include <string>

#include "fake_platform.h"
#include "launcher/path.h"

// 0x95 0x5C is the code page 932 character 表: its trail byte is a backslash.
#define HYO "\x95\x5c"

TEST(SplitPath, Table)
{
    struct {
        std::string path;
        const char *drive, *dir, *fname, *ext; // null: long, checked whole below
    } cases[] = {
        {"E:\\setup.exe", "E:", "\\", "setup", ".exe"},
        {"E:\\my media\\setup.exe", "E:", "\\my media\\", "setup", ".exe"},
        {"\\\\server\\share\\media\\setup.exe", "", "\\\\server\\share\\media\\", "setup", ".exe"},
        {"UNC\\server\\share\\media\\setup.exe", "", "UNC\\server\\share\\media\\", "setup", ".exe"},
        {"C:/a.b/file", "C:", "/a.b/", "file", ""},
        {"C:\\a\\file.tar.gz", "C:", "\\a\\", "file.tar", ".gz"},
        {"C:\\a\\.setup_args", "C:", "\\a\\", "", ".setup_args"},
        {"setup.exe", "", "", "setup", ".exe"},
        {"", "", "", "", ""},
        {"C:\\" HYO "\\setup.exe", "C:", "\\" HYO "\\", "setup", ".exe"},
        {"C:\\" HYO "setup.exe", "C:", "\\", HYO "setup", ".exe"},
        {"C:\\a\\" HYO ".x", "C:", "\\a\\", HYO, ".x"},
        {"C:\\" + std::string(253, 'd') + "\\f.e", "C:", nullptr, "f", ".e"},
        {"C:\\" + std::string(254, 'd') + "\\f.e", "", "", "", ""},
        {"C:\\" + std::string(255, 'f'), "C:", "\\", nullptr, ""},
        {"C:\\" + std::string(256, 'f'), "", "", "", ""},
        {"C:\\f." + std::string(254, 'e'), "C:", "\\", "f", nullptr},
        {"C:\\f." + std::string(255, 'e'), "", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        path_parts parts;
        bool fits = split_path(c.path.c_str(), &parts);
        bool all_empty = !parts.drive[0] && !parts.dir[0] && !parts.fname[0] && !parts.ext[0];
        EXPECT_EQ(fits, !all_empty || c.path.empty());
        EXPECT_STREQ(parts.drive, c.drive);
        if (c.dir) {
            EXPECT_STREQ(parts.dir, c.dir);
        }
        if (c.fname) {
            EXPECT_STREQ(parts.fname, c.fname);
        }
        if (c.ext) {
            EXPECT_STREQ(parts.ext, c.ext);
        }
        // Whatever fits comes back whole.
        if (fits) {
            EXPECT_EQ(std::string(parts.drive) + parts.dir + parts.fname + parts.ext, c.path);
        }
    }
}

TEST(MakePath, Table)
{
    struct {
        const char *drive, *dir, *fname, *ext, *expected;
    } cases[] = {
        {"E:", "\\", "", "", "E:\\"},
        {"E:", "\\", "", ".setup_args", "E:\\.setup_args"},
        {"", "\\\\server\\share\\media\\", "", ".setup_args", "\\\\server\\share\\media\\.setup_args"},
        {"", "dir", "f", "txt", "dir\\f.txt"},
        {"", "dir/", "f", ".txt", "dir/f.txt"},
        {"C", "", "", "", "C:"},
        {"", "", "", "", ""},
        {"C:", "\\" HYO, "", "", "C:\\" HYO "\\"},
        {"C:", "\\" HYO "\\", "", "", "C:\\" HYO "\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        char out[64] = "junk";
        EXPECT_TRUE(make_path(out, sizeof out, c.drive, c.dir, c.fname, c.ext));
        EXPECT_STREQ(out, c.expected);
    }
}

TEST(MakePath, RefusesWhatDoesNotFit)
{
    char out[8];
    EXPECT_TRUE(make_path(out, sizeof out, "C:", "\\abc", "", ""));
    EXPECT_STREQ(out, "C:\\abc\\");
    EXPECT_FALSE(make_path(out, sizeof out, "C:", "\\abcd", "", ""));
    EXPECT_STREQ(out, "");
}
