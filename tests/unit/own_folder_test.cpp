#include <gtest/gtest.h>

#include <string>

#include "fake_platform.h"
#include "launcher/own_folder.h"

// The folder as setup.exe spells it, or nothing: never a best-fit spelling,
// which names another folder.
TEST(OwnFolder, Table)
{
    const std::string none = "<none>"; // the volume keeps no short names
    const std::string hyo = "表", hyo932 = "\x95\x5c";
    const std::string folder214 = "E:\\" + repeat(hyo, 210) + "\\"; // the tool's path: 259 characters
    const std::string folder215 = "E:\\" + repeat(hyo, 211) + "\\";
    const std::string longest = repeat(hyo, 257) + "\\"; // 258 characters, 772 bytes in UTF-8
    struct {
        const char* name;
        unsigned code_page;
        std::string module; // UTF-8
        std::string short_form; // "": cannot be learnt
        std::string folder; // as spelled; empty: none
        folder_found found = folder_spelled;
    } cases[] = {
        {"exact: the same bytes, not the short form", 932, "E:\\media\\setup.exe", "E:\\MEDIA~1\\SETUP.EXE",
         "E:\\media\\"},
        {"exact, a trail byte 0x5C no separator", 932, "E:\\" + hyo + "\\setup.exe", none, "E:\\" + hyo932 + "\\"},
        {"1252 best fit: Ł as L", 1252, "D:\\Share\\Łódź\\setup.exe", none, "", folder_unspellable},
        {"1252, the short form", 1252, "D:\\Share\\Łódź\\setup.exe", "D:\\Share\\DZ~1\\SETUP.EXE", "D:\\Share\\DZ~1\\"},
        {"932 best fit: ¥ as a backslash", 932, "D:\\Share\\x¥y\\setup.exe", none, "", folder_unspellable},
        {"932, the short form", 932, "D:\\Share\\x¥y\\setup.exe", "D:\\Share\\XY~1\\SETUP.EXE", "D:\\Share\\XY~1\\"},
        {"the short form cannot be learnt", 1252, "D:\\Łódź\\setup.exe", "", "", folder_unspellable},
        {"a short form over 259 characters", 1252, "D:\\Łódź\\setup.exe",
         "D:\\" + std::string(250, 'X') + "\\SETUP.EXE", "", folder_unspellable},
        {"UTF-8 spells every name", 65001, "E:\\Łódź " + hyo + "\\setup.exe", none, "E:\\Łódź " + hyo + "\\"},
        {"UTF-8: a lone surrogate is no name", 65001, "E:\\a\xed\xa0\x80\\setup.exe", none, "", folder_unspellable},
        {"UTF-8: a lone surrogate, the short form", 65001, "E:\\a\xed\xa0\x80\\setup.exe", "E:\\A~1\\SETUP.EXE",
         "E:\\A~1\\"},
        {"260 bytes in 932: exact, whatever its bytes", 932, "E:\\" + repeat(hyo, 128) + "\\setup.exe",
         "E:\\HYO~1\\SETUP.EXE", "E:\\" + repeat(hyo932, 128) + "\\"},
        {"the tool's path of 259 characters, 634 bytes in UTF-8", 65001, folder214 + "setup.exe",
         "E:\\HYO~1\\SETUP.EXE", folder214},
        {"the tool's path of 260 characters: the short form", 65001, folder215 + "setup.exe",
         "E:\\HYO~1\\SETUP.EXE", "E:\\HYO~1\\"},
        {"the tool's path of 260 characters, no short names: the tool is missing", 65001, folder215 + "setup.exe",
         none, folder215, folder_too_long},
        {"the longest folder in UTF-8", 65001, longest + "s", none, longest, folder_too_long},
        {"the longest folder, best fit, a short form too long", 1252, "E:\\" + repeat("Ł", 254) + "\\s",
         "E:\\" + std::string(254, 'L') + "\\S", "", folder_unspellable},
        {"a name of setup.exe that 932 cannot spell", 932, "E:\\media\\setup¥.exe", none, "E:\\media\\"},
        {"a path of 260 characters, cut off", 932, "E:\\" + std::string(247, 'd') + "\\setup.exe", "E:\\D~1\\SETUP.EXE",
         "", folder_unknown},
        {"no path", 932, "", none, "", folder_unknown},
        {"no folder", 932, "setup.exe", none, "", folder_unknown},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset_fake();
        fake.code_page = c.code_page;
        fake.module = c.module;
        if (c.short_form != none)
            fake.short_forms[c.module] = c.short_form;
        char folder[folder_room];
        char16_t wide[path_room];
        EXPECT_EQ(own_folder(folder, wide), c.found);
        EXPECT_EQ(std::string(folder), c.folder);
        std::u16string shown(wide), path = fake_utf16(c.module);
        EXPECT_EQ(shown, c.found == folder_unknown ? u"" : path.substr(0, path.find_last_of(u"\\/") + 1));
    }
}
