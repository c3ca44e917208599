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
        std::vector<unsigned> order;
    } cases[] = {
        {"the user's own, then English", 0x0407, shipped, {0x0407, 0x0409}},
        {"German of Austria: of Germany", 0x0c07, shipped, {0x0407, 0x0409}},
        {"Portuguese of Portugal: of Brazil", 0x0816, shipped, {0x0416, 0x0409}},
        {"Arabic of Egypt: of Saudi Arabia", 0x0c01, shipped, {0x0401, 0x0409}},
        {"Chinese of Hong Kong: traditional, then simplified", 0x0c04, shipped, {0x0404, 0x0804, 0x0409}},
        {"Chinese of Macao: traditional, then simplified", 0x1404, shipped, {0x0404, 0x0804, 0x0409}},
        {"Chinese of Singapore: simplified", 0x1004, shipped, {0x0804, 0x0409}},
        {"traditional Chinese, simplified alone held", 0x0404, {0x0804}, {0x0804}},
        {"Finnish: English", 0x040b, shipped, {0x0409}},
        {"Finnish, British English alone", 0x040b, {0x0407, 0x0809}, {0x0809}},
        {"nothing held", 0x0407, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned order[box_fallbacks];
        unsigned count = box_languages(c.user, c.held.data(), static_cast<unsigned>(c.held.size()), order);
        EXPECT_EQ(std::vector<unsigned>(order, order + count), c.order);
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
        {"Hebrew, right to left", 0x040d, {{0x040d, {"", "התקנה", "חסר: %s"}}},
         "(style 1572880)התקנה\nחסר: E:\\vorald_installer\\bin\\vorald_installer_cmd.exe"},
        {"Urdu, right to left", 0x0420, {{0x0420, {"", "سیٹ اپ", "%s نہیں ملا"}}},
         "(style 1572880)سیٹ اپ\nE:\\vorald_installer\\bin\\vorald_installer_cmd.exe نہیں ملا"},
        {"Persian, right to left", 0x0429, {{0x0429, {"", "نصب", "%s یافت نشد"}}},
         "(style 1572880)نصب\nE:\\vorald_installer\\bin\\vorald_installer_cmd.exe یافت نشد"},
        {"a damaged German table, British English alone held: the British", 0x0407,
         {{0x0407, {"", "", "Das Programm \"%s\" fehlt."}}, {0x0809, {"", "Setup", "Missing: %s"}}},
         "Missing: E:\\vorald_installer\\bin\\vorald_installer_cmd.exe"},
        {"a table cut short before the text", 0x0407, {{0x0407, {"", "Setup"}}}, english},
        {"a text longer than what is left of the table", 0x0407, {{0x0407, {"", "Setup", "<claims 8>Das"}}},
         english},
        {"a text of 1,023 units", 0x0407, {{0x0407, {"", "Setup", "%s" + std::string(1021, 'x')}}},
         "E:\\vorald_installer\\bin\\vorald_installer_cmd.exe" + std::string(1021, 'x')},
        {"a caption of 1,024 units", 0x0407, {{0x0407, {"", std::string(1024, 'S'), german[2]}}}, english},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset_fake();
        fake.user_language = c.user;
        fake.held_texts = c.held;
        // Read past a table's end, this would make a text that fits its box.
        fake.after_tables = u" %s" + std::u16string(60, u'g');
        EXPECT_EQ(launch("", false), 1u);
        EXPECT_EQ(fake.boxes, std::vector<std::string>{c.box});
        EXPECT_EQ(fake.standard_error, english + "\r\n");
    }
}
