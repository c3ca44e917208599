#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "launcher/launch.h"
#include "launcher/messages.h"

TEST(Messages, Language)
{
    const std::vector<unsigned> shipped = {0x0409, 0x0407, 0x0804, 0x0404, 0x0401, 0x0416};
    struct {
        const char* name;
        unsigned user;
        std::vector<unsigned> held;
        unsigned language;
    } cases[] = {
        {"the user's own", 0x0407, shipped, 0x0407},
        {"German of Austria: of Germany", 0x0c07, shipped, 0x0407},
        {"Portuguese of Portugal: of Brazil", 0x0816, shipped, 0x0416},
        {"Arabic of Egypt: of Saudi Arabia", 0x0c01, shipped, 0x0401},
        {"Chinese of Hong Kong: traditional", 0x0c04, shipped, 0x0404},
        {"Chinese of Singapore: simplified", 0x1004, shipped, 0x0804},
        {"Finnish: English", 0x040b, shipped, 0x0409},
        {"Finnish, British English alone", 0x040b, {0x0407, 0x0809}, 0x0809},
        {"nothing held", 0x0407, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(box_language(c.user, c.held.data(), static_cast<unsigned>(c.held.size())), c.language);
    }
}

// The box in the user's language where a text fits it; the line in English.
TEST(Messages, Box)
{
    const std::vector<std::string> german = {"", "Setup", "Das Programm \"%s\" fehlt.", "", ""};
    const std::vector<std::string> arabic = {"", "الإعداد", "البرنامج \"%s\" غير موجود.", "", ""};
    const std::string english = "Installer executable 'E:\\vorald_installer\\bin\\vorald_installer_cmd.exe' does not exist";
    struct {
        const char* name;
        unsigned user;
        std::map<unsigned, std::vector<std::string>> held;
        std::string box;
    } cases[] = {
        {"German", 0x0407, {{0x0407, german}}, "Das Programm \"E:\\vorald_installer\\bin\\vorald_installer_cmd.exe\" fehlt."},
        {"Arabic, right to left", 0x0401, {{0x0401, arabic}},
         "(style 1572880)الإعداد\nالبرنامج \"E:\\vorald_installer\\bin\\vorald_installer_cmd.exe\" غير موجود."},
        {"no table", 0x0407, {}, english},
        {"a table changed by hand: two %s", 0x0407, {{0x0407, {"", "Setup", "%s %s", "", ""}}}, english},
        {"a table changed by hand: %d", 0x0407, {{0x0407, {"", "Setup", "%d %s", "", ""}}}, english},
        {"a table changed by hand: no %s", 0x0407, {{0x0407, {"", "Setup", "fehlt", "", ""}}}, english},
        {"a table changed by hand: a % in the caption", 0x0401, {{0x0401, {"", "%s", arabic[2], "", ""}}},
         english},
        {"a table changed by hand: cut short", 0x0407, {{0x0407, {"", "Setup"}}}, english},
        {"the author's English", 0x040b, {{0x0409, {"", "Setup", "Missing: %s", "", ""}}},
         "Missing: E:\\vorald_installer\\bin\\vorald_installer_cmd.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset_fake();
        fake.user_language = c.user;
        fake.held_texts = c.held;
        EXPECT_EQ(launch("", false), 1u);
        EXPECT_EQ(fake.boxes, std::vector<std::string>{c.box});
        EXPECT_EQ(fake.standard_error, english + "\r\n");
    }
}
