#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "launcher/launch.h"

#define TOOL "vorald_installer\\bin\\vorald_installer_cmd.exe"

namespace {

// Folder names that make a base directory "C:\...\" of the given length.
std::string base_dir(size_t length)
{
    return "C:\\" + std::string(length - 4, 'd') + "\\";
}

struct launch_case {
    const char* name;
    std::string module;
    unsigned module_length;
    bool tool_present;
    const char* args_file; // null: no argument file; "<unreadable>": present, not readable
    const char* tail;
    unsigned start_result;
    unsigned result;
    std::string box;     // empty: no box
    std::string started; // empty: nothing started
};

std::string base_of(const std::string& module)
{
    return module.substr(0, module.find_last_of("\\/") + 1);
}

// A fresh fake medium: the launcher at module, the tool and argument file beside it.
void lay_out(const std::string& module, bool tool_present, const char* args_file)
{
    reset_fake();
    fake.module = module;
    std::string base = base_of(module);
    if (tool_present)
        fake.existing.insert(base + TOOL);
    if (args_file && std::string(args_file) == "<unreadable>")
        fake.existing.insert(base + ".setup_args");
    else if (args_file)
        fake.files[base + ".setup_args"] = args_file;
}

void run(const launch_case& c)
{
    SCOPED_TRACE(c.name);
    lay_out(c.module, c.tool_present, c.args_file);
    fake.module_length = c.module_length;
    fake.start_result = c.start_result;

    EXPECT_EQ(launch(c.tail), c.result);
    EXPECT_EQ(fake.boxes, c.box.empty() ? std::vector<std::string>() : std::vector<std::string>{c.box});
    EXPECT_EQ(fake.started,
              c.started.empty() ? std::vector<std::string>() : std::vector<std::string>{c.started});
}

} // namespace

TEST(Launch, Table)
{
    const std::string tool = "E:\\" TOOL;
    const std::string head = tool + " --source=E:\\";
    const std::string too_long(32767 - head.size() - 1, 'x'); // one more than Windows takes
    const std::string base214 = base_dir(214), base215 = base_dir(215); // the tool's path: 259, 260
    const std::string module259 = base_dir(250) + "setup.exe";
    const launch_case cases[] = {
        {"no tail, no file", "E:\\setup.exe", 0, true, nullptr, "", 0, 0, "", head + " --dvd"},
        {"tool status ignored, start fails", "E:\\setup.exe", 0, true, nullptr, "", 2, 2, "", head + " --dvd"},
        {"tail wins over file", "E:\\setup.exe", 0, true, "--file", "\"C:\\a b\\x\" y ", 0, 0, "",
         head + " \"C:\\a b\\x\" y "},
        {"file with CR LF", "E:\\setup.exe", 0, true, "--silent\r\n", "", 0, 0, "", head + " --silent"},
        {"empty file", "E:\\setup.exe", 0, true, "\n\n", "", 0, 0, "", head + " "},
        {"unreadable file", "E:\\setup.exe", 0, true, "<unreadable>", "", 0, 2,
         "Can not open 'E:\\.setup_args' for reading", ""},
        {"tool missing, tail given", "E:\\setup.exe", 0, false, nullptr, "--x", 0, 1,
         "Installer executable '" + tool + "' does not exist", ""},
        {"network share", "\\\\srv\\share\\m\\setup.exe", 0, true, nullptr, "", 0, 0, "",
         "\\\\srv\\share\\m\\" TOOL " --source=\\\\srv\\share\\m\\ --dvd"},
        {"blank in the base", "E:\\my media\\setup.exe", 0, true, nullptr, "", 0, 0, "",
         "\"E:\\my media\\" TOOL "\" \"--source=E:\\my media\\\\\" --dvd"},
        {"tool missing, argument file unreadable", "E:\\setup.exe", 0, false, "<unreadable>", "", 0, 1,
         "Installer executable '" + tool + "' does not exist", ""},
        {"longest base, argument file read", base214 + "setup.exe", 0, true, "--long", "", 0, 0, "",
         base214 + TOOL " --source=" + base214 + " --long"},
        {"longest base, unreadable file named in full", base214 + "setup.exe", 0, true, "<unreadable>", "", 0, 2,
         "Can not open '" + base214 + ".setup_args' for reading", ""},
        {"base too long for the tool's path", base215 + "setup.exe", 0, true, nullptr, "", 0, 1,
         "Installer executable '" + base215 + TOOL "' does not exist", ""},
        {"module path of 259 characters is whole", module259, 0, true, nullptr, "", 0, 1,
         "Installer executable '" + base_dir(250) + TOOL "' does not exist", ""},
        {"argument file too long for Windows", "E:\\setup.exe", 0, true,
         too_long.c_str(), "", 0, 206, "", ""},
        // The launcher's own path unknown: nothing is looked for or started.
        {"path cut off", "E:\\dir\\setup.exe", 260, true, nullptr, "", 0, 1,
         "Installer executable '" TOOL "' does not exist", ""},
        {"no path", "", 0, true, nullptr, "", 0, 1, "Installer executable '" TOOL "' does not exist", ""},
        {"no directory", "setup.exe", 0, true, nullptr, "", 0, 1,
         "Installer executable '" TOOL "' does not exist", ""},
        {"relative path", "UNC\\srv\\share\\m\\setup.exe", 0, true, nullptr, "", 0, 1,
         "Installer executable '" TOOL "' does not exist", ""},
        {"root-relative path", "\\media\\setup.exe", 0, true, nullptr, "", 0, 1,
         "Installer executable '" TOOL "' does not exist", ""},
        {"drive-relative path", "C:setup.exe", 0, true, nullptr, "", 0, 1,
         "Installer executable '" TOOL "' does not exist", ""},
        {"split fails", "C:\\" + std::string(300, 'd') + "\\setup.exe", 0, true, nullptr, "", 0, 1,
         "Installer executable '" TOOL "' does not exist", ""},
    };
    for (const auto& c : cases)
        run(c);
}

TEST(Launch, AHugeArgumentFileIsRefusedBeforeItIsCopied)
{
    lay_out("E:\\setup.exe", true, nullptr);
    fake.files["E:\\.setup_args"] = std::string(1 << 20, 'x');
    fake.largest_block = (1 << 20) + 1; // room for the text, none for a command
    EXPECT_EQ(launch(""), 206u);
    EXPECT_TRUE(fake.started.empty());
}

TEST(Launch, TailLeavesTheArgumentFileAlone)
{
    reset_fake();
    fake.existing.insert("E:\\" TOOL);
    fake.files["E:\\.setup_args"] = "--file";
    launch("--tail");
    EXPECT_EQ(fake.looked_at, std::vector<std::string>{"E:\\" TOOL});
}

TEST(Launch, UnknownPathLooksAtNothing)
{
    reset_fake();
    fake.module = "";
    fake.existing.insert(TOOL);
    launch("");
    EXPECT_TRUE(fake.looked_at.empty());
}

TEST(Launch, AnEmptyHeapStopsQuietly)
{
    struct {
        const char* name;
        bool tool_present;
        const char* args_file;
        const char* tail;
    } flows[] = {
        {"tail", true, nullptr, "--x"},
        {"argument file", true, "--file\n", ""},
        {"blank quoted", true, nullptr, ""},
        {"tool missing", false, nullptr, ""},
        {"unreadable", true, "<unreadable>", ""},
    };
    for (const auto& flow : flows) {
        // Let each allocation of the flow fail in turn, until one run needs no failure.
        for (int failing = 0;; failing++) {
            SCOPED_TRACE(std::string(flow.name) + ", allocation " + std::to_string(failing));
            lay_out(std::string(flow.name) == "blank quoted" ? "E:\\a b\\setup.exe" : "E:\\setup.exe",
                    flow.tool_present, flow.args_file);
            fake.fail_allocation = failing;
            unsigned result = launch(flow.tail);
            if (fake.allocations <= failing)
                break;
            EXPECT_EQ(result, 8u);
            EXPECT_TRUE(fake.boxes.empty());
            EXPECT_TRUE(fake.started.empty());
        }
    }
}
