#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "launcher/command_tail.h"
#include "launcher/launch.h"

#define TOOL "vorald_installer\\bin\\vorald_installer_cmd.exe"

namespace {

// Folder names that make a base directory "C:\...\" of the given length.
std::string base_dir(size_t length)
{
    return "C:\\" + std::string(length - 4, 'd') + "\\";
}

// The launcher's path is given in UTF-8; as code page 932 spells it, 表 is 0x95 0x5C.
std::string in_932(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++)
        out += text.compare(i, 3, "表") == 0 ? (i += 2, "\x95\x5c") : std::string(1, text[i]);
    return out;
}

struct launch_case {
    const char* name;
    std::string module;
    bool tool_present;
    const char* args_file; // null: none; "<unreadable>", "<read fails>" after 4 bytes, "<ends early>"
    const char* tail;
    unsigned start_result;
    unsigned result;
    std::string box;     // empty: no box
    std::string started; // empty: nothing started
    unsigned tool_status = 0;
    bool pass_tool_status = false; // as a build with SETUP_EXIT_STATUS=tool
    // SETUP_COMMAND_LINE: the texts are ANSI bytes in an ansi build, UTF-8
    // for what a utf16 build passes in UTF-16; alike where they are ASCII.
    enum { both, ansi, utf16 } build = both;
    std::string short_form = ""; // of module, which then has its tool too; none: the long path
    unsigned wait_error = 0;     // the wait for the tool fails with it
};

std::string base_of(const std::string& module)
{
    return module.substr(0, module.find_last_of("\\/") + 1);
}

// A fresh fake medium: the launcher at module, the tool and argument file
// beside it, named as an ansi or a utf16 build looks for them.
void lay_out(const std::string& module, bool tool_present, const char* args_file, bool utf16 = false)
{
    reset_fake();
    fake.module = module;
    std::string base = utf16 ? base_of(module) : in_932(base_of(module));
    if (tool_present)
        fake.existing.insert(base + TOOL);
    std::string args = args_file ? args_file : "", args_path = base + ".setup_args";
    if (args == "<unreadable>") {
        fake.existing.insert(args_path);
    } else if (args == "<read fails>") {
        fake.files[args_path] = "--a --b";
        fake.read_error_at = 4;
    } else if (args == "<ends early>") {
        fake.files[args_path] = "--part";
        fake.told_sizes[args_path] = 5000; // another program shortened it meanwhile
    } else if (args_file) {
        fake.files[args_path] = args;
    }
}

void run(const launch_case& c)
{
    for (bool utf16 : {false, true}) {
        if (c.build == (utf16 ? launch_case::ansi : launch_case::utf16))
            continue;
        SCOPED_TRACE(std::string(c.name) + (utf16 ? ", utf16" : ", ansi"));
        lay_out(c.module, c.tool_present, c.args_file, utf16);
        fake.start_result = c.start_result;
        fake.tool_status = c.tool_status;
        fake.tool_wait_error = c.wait_error;
        if (!c.short_form.empty()) {
            fake.short_forms[c.module] = c.short_form;
            if (c.tool_present)
                fake.existing.insert(base_of(c.short_form) + TOOL);
        }

        unsigned result = utf16 ? launch(fake_utf16(c.tail).c_str(), c.pass_tool_status)
                                : launch(c.tail, c.pass_tool_status);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(fake.boxes, c.box.empty() ? std::vector<std::string>() : std::vector<std::string>{c.box});
        EXPECT_EQ(fake.started,
                  c.started.empty() ? std::vector<std::string>() : std::vector<std::string>{c.started});
        // The box's text, or the tool that did not start, as a line in UTF-8.
        std::string line = c.box;
        if (c.result && (c.start_result || c.result == 206))
            line = "Setup could not start the installer '" + base_of(c.module) + TOOL "': Windows error " +
                   std::to_string(c.result);
        if (c.result == 206)
            line += ". The command line for the installer is longer than Windows allows.";
        if (c.wait_error)
            line = "Setup started the installer '" + base_of(c.module) + TOOL "' but could not wait for it to "
                   "finish: Windows error " + std::to_string(c.result);
        EXPECT_EQ(fake.standard_error, line.empty() ? "" : line + "\r\n");
    }
}

} // namespace

TEST(Launch, Table)
{
    const std::string tool = "E:\\" TOOL;
    const std::string head = tool + " --source=E:\\";
    const std::string failed = "Setup could not start the installer '" + tool + "'.\n\n";
    const std::string too_long(32767 - head.size() - 1, 'x'); // one more than Windows takes
    const std::string base214 = base_dir(214), base215 = base_dir(215); // the tool's path: 259, 260
    const std::string module259 = base_dir(250) + "setup.exe";
    // 214 and 215 characters in code page 932, in twice as many bytes.
    const std::string hyo214 = "E:\\" + repeat("表", 210) + "\\", hyo215 = "E:\\" + repeat("表", 211) + "\\";
    const launch_case cases[] = {
        {"no tail, no file; the tool's status not passed on", "E:\\setup.exe", true, nullptr, "", 0, 0, "",
         head + " --dvd", 3010},
        {"start fails: Windows' reason", "E:\\setup.exe", true, nullptr, "", 2, 2,
         failed + "The system cannot find the file specified. (2)", head + " --dvd"},
        {"the tool's status passed on", "E:\\setup.exe", true, nullptr, "", 0, 3010, "", head + " --dvd", 3010, true},
        {"the tool's status passed on, start fails: the reason names the tool", "E:\\setup.exe", true, nullptr, "",
         193, 193, failed + "vorald_installer_cmd.exe is not a valid Win32 application. (193)", head + " --dvd", 7,
         true},
        {"start fails where Windows holds its reason only language-neutral", "E:\\setup.exe", true, nullptr, "", 5,
         5, failed + "Access is denied. (5)", head + " --dvd"},
        {"start fails: the inserts that nothing fills left out", "E:\\setup.exe", true, nullptr, "", 34, 34,
         failed + "Insert  (Volume Serial Number: ) into drive vorald_installer_cmd.exe. (34)", head + " --dvd"},
        {"start fails: %10 is an insert of its own, not %1 and a 0", "E:\\setup.exe", true, nullptr, "", 1000,
         1000, failed + "vorald_installer_cmd.exe failed at step  of . (1000)", head + " --dvd"},
        {"start fails where Windows has no reason", "E:\\setup.exe", true, nullptr, "", 1260, 1260,
         failed + "Windows error 1260", head + " --dvd"},
        {"the wait for the tool fails: said, never 0", "E:\\setup.exe", true, nullptr, "", 0, 5,
         "Setup started the installer '" + tool + "' but could not wait for it to finish.\n\nAccess is denied. (5)",
         head + " --dvd", 0, false, launch_case::both, "", 5},
        {"tail wins over file", "E:\\setup.exe", true, "--file", "\"C:\\a b\\x\" y ", 0, 0, "",
         head + " \"C:\\a b\\x\" y "},
        {"file with CR LF", "E:\\setup.exe", true, "--silent\r\n", "", 0, 0, "", head + " --silent"},
        {"empty file", "E:\\setup.exe", true, "\n\n", "", 0, 0, "", head + " "},
        {"unreadable file", "E:\\setup.exe", true, "<unreadable>", "", 0, 2,
         "Can not open 'E:\\.setup_args' for reading", ""},
        {"tool missing, tail given", "E:\\setup.exe", false, nullptr, "--x", 0, 1,
         "Installer executable '" + tool + "' does not exist", ""},
        {"network share", "\\\\srv\\share\\m\\setup.exe", true, nullptr, "", 0, 0, "",
         "\\\\srv\\share\\m\\" TOOL " --source=\\\\srv\\share\\m\\ --dvd"},
        {"blank in the base", "E:\\my media\\setup.exe", true, nullptr, "", 0, 0, "",
         "\"E:\\my media\\" TOOL "\" --source=\"E:\\my media\\\\\" --dvd"},
        {"tool missing, argument file unreadable", "E:\\setup.exe", false, "<unreadable>", "", 0, 1,
         "Installer executable '" + tool + "' does not exist", ""},
        {"longest base, argument file read", base214 + "setup.exe", true, "--long", "", 0, 0, "",
         base214 + TOOL " --source=" + base214 + " --long"},
        {"longest base, unreadable file named in full", base214 + "setup.exe", true, "<unreadable>", "", 0, 2,
         "Can not open '" + base214 + ".setup_args' for reading", ""},
        {"base too long for the tool's path", base215 + "setup.exe", true, nullptr, "", 0, 1,
         "Installer executable '" + base215 + TOOL "' does not exist", ""},
        {"base too long for the tool's path: its short form", base_dir(220) + "setup.exe", true, nullptr, "", 0, 0,
         "", "C:\\SETUP~1\\" TOOL " --source=C:\\SETUP~1\\ --dvd", 0, false, launch_case::both,
         "C:\\SETUP~1\\SETUP.EXE"},
        {"module path of 259 characters is whole", module259, true, nullptr, "", 0, 1,
         "Installer executable '" + base_dir(250) + TOOL "' does not exist", ""},
        {"argument file too long for Windows: the reason in words", "E:\\setup.exe", true, too_long.c_str(), "", 0,
         206, failed + "The command line for the installer is longer than Windows allows. (206)", ""},
        // The launcher's own path unknown: nothing is looked for or started.
        {"path of 260 characters, cut off", base_dir(251) + "setup.exe", true, nullptr, "", 0, 1,
         "Installer executable '" TOOL "' does not exist", ""},
        {"no path", "", true, nullptr, "", 0, 1, "Installer executable '" TOOL "' does not exist", ""},
        {"no directory", "setup.exe", true, nullptr, "", 0, 1,
         "Installer executable '" TOOL "' does not exist", ""},
        {"relative path", "UNC\\srv\\share\\m\\setup.exe", true, nullptr, "", 0, 1,
         "Installer executable '" TOOL "' does not exist", ""},
        {"root-relative path", "\\media\\setup.exe", true, nullptr, "", 0, 1,
         "Installer executable '" TOOL "' does not exist", ""},
        {"drive-relative path", "C:media\\setup.exe", true, nullptr, "", 0, 1,
         "Installer executable '" TOOL "' does not exist", ""},
        {"a read fails in the middle of the argument file", "E:\\setup.exe", true, "<read fails>", "", 0, 2,
         "Can not open 'E:\\.setup_args' for reading", ""},
        {"the argument file ends early: what it held", "E:\\setup.exe", true, "<ends early>", "", 0, 0, "",
         head + " --part"},
        {"a folder that the code page spells only by best fit, no short names", "D:\\Łódź\\setup.exe", true,
         nullptr, "", 0, 1,
         "Setup cannot start the installer from the folder 'D:\\Łódź\\', because its name has characters that "
         "the installer cannot read on this system. Copy the whole medium to a folder with a plain name, such as "
         "C:\\Setup, and start setup.exe there.",
         "", 0, false, launch_case::ansi},
        {"any folder, as Windows gives it", "D:\\Łódź\\setup.exe", true, nullptr, "", 0, 0, "",
         "D:\\Łódź\\" TOOL " --source=D:\\Łódź\\ --dvd", 0, false, launch_case::utf16},
        {"the tool's path of 259 characters, 469 bytes", hyo214 + "setup.exe", true, nullptr, "", 0, 0, "",
         in_932(hyo214 + TOOL " --source=" + hyo214 + " --dvd"), 0, false, launch_case::ansi},
        {"the tool's path of 259 characters", hyo214 + "setup.exe", true, nullptr, "", 0, 0, "",
         hyo214 + TOOL " --source=" + hyo214 + " --dvd", 0, false, launch_case::utf16},
        {"the tool's path of 260 characters", hyo215 + "setup.exe", true, nullptr, "", 0, 1,
         "Installer executable '" + hyo215 + TOOL "' does not exist", ""},
        {"a tail beyond the code page, exactly", "E:\\setup.exe", true, nullptr, "--target=\"D:\\Łódź\"", 0, 0,
         "", head + " --target=\"D:\\Łódź\"", 0, false, launch_case::utf16},
        {"an argument file in UTF-8 with the mark", "E:\\setup.exe", true, "\xef\xbb\xbf--title=Łódź 😀\r\n", "",
         0, 0, "", head + " --title=Łódź 😀", 0, false, launch_case::utf16},
        {"an argument file of the mark alone", "E:\\setup.exe", true, "\xef\xbb\xbf", "", 0, 0, "", head + " ", 0,
         false, launch_case::utf16},
        {"an argument file in the ANSI code page", "E:\\setup.exe", true, "--name=\x95\x5c\n", "", 0, 0, "",
         head + " --name=表", 0, false, launch_case::utf16},
        {"an argument file in UTF-8 that is not valid", "E:\\setup.exe", true, "\xef\xbb\xbf--a=\xc5", "", 0, 2,
         "Can not open 'E:\\.setup_args' for reading", "", 0, false, launch_case::utf16},
    };
    for (const auto& c : cases)
        run(c);
}

// A chain of subst drives, each standing for the root of the next, from M:
// on; the last for C:\real.
void subst_chain(unsigned hops)
{
    for (unsigned i = 0; i < hops; i++)
        fake.dos_devices[std::string(1, static_cast<char>('M' + i)) + ":"] =
            i + 1 < hops ? "\\??\\" + std::string(1, static_cast<char>('M' + i + 1)) + ":\\" : "\\??\\C:\\real";
}

// CreateProcess refuses a tool that demands administrator rights with 740;
// where someone can answer Windows' prompt, setup.exe asks for them for
// itself, and ends with its elevated copy's status.
TEST(Launch, Elevation)
{
    const std::string tool = "E:\\" TOOL, self = "E:\\setup.exe", cwd = " [C:\\Users\\me] show 1";
    const std::string asked = "set SETUP_ASKED_FOR_ELEVATION=1";
    // What setup.exe asks the shell for, after the refused start.
    auto ask = [&](const std::string& file, const std::string& tail, const std::string& folder) {
        return std::vector<std::string>{"SetDefaultDllDirectories", asked, "CoInitializeEx",
                                        "ShellExecuteExW 0x800540 runas [" + file + "] [" + tail + "]" + folder,
                                        "CoUninitialize"};
    };
    auto then = [](std::vector<std::string> calls, const std::string& last) {
        calls.push_back(last);
        return calls;
    };
    auto failed = [](const std::string& path, const std::string& reason) {
        return "Setup could not start the installer '" + path + "'.\n\n" + reason;
    };
    auto line = [](const std::string& path, unsigned error, const std::string& why = "") {
        return "Setup could not start the installer '" + path + "': Windows error " + std::to_string(error) + why +
               "\r\n";
    };
    const std::string requires = "The requested operation requires elevation. (740)";
    const std::string prompt_too_long =
        "Windows cannot ask for administrator rights for a command line longer than 2,048 characters.";
    const std::string not_waited = "Setup started the installer 'E:\\setup.exe' but could not wait for it to finish";
    const std::string long_share = "\\\\srv\\" + std::string(60, 's'), long_folder = std::string(200, 'f');
    const std::string too_long = "The filename or extension is too long. (206)";
    // Z: is \\srv\share: a folder under it whose tool's path there is n characters.
    auto share_folder = [](size_t n) { return std::string(n - 58, 'f'); };
    auto on_share = [] {
        fake.remote_drives = {'Z'};
        fake.universal_names["Z:"] = "\\\\srv\\share";
    };
    // The current directory on Z:, n characters as the share names it.
    auto cwd_on_share = [&](size_t n) {
        return [=] {
            on_share();
            fake.current_directory = "Z:\\" + std::string(n - 12, 'd');
        };
    };
    const std::string share = "\\\\srv\\share\\";
    const std::string unspellable =
        "Setup cannot start the installer from the folder '\\\\srv\\Łódź\\media\\', because its name has "
        "characters that the installer cannot read on this system. Copy the whole medium to a folder with a plain "
        "name, such as C:\\Setup, and start setup.exe there.";
    // Z: is a share whose name is n characters long, and setup.exe 200 deep in it.
    auto share_of = [](size_t n) { return "\\\\srv\\" + std::string(n - 6, 's') + "\\"; };
    auto on_long_share = [&](size_t n) {
        return [=] {
            fake.remote_drives = {'Z'};
            fake.universal_names["Z:"] = share_of(n).substr(0, n);
        };
    };
    const std::string long_self = "Z:\\" + long_folder + "\\setup.exe";
    const std::vector<std::string> refused = {"SetDefaultDllDirectories", "box"};
    struct {
        const char* name;
        std::string module;
        std::function<void()> arrange;
        unsigned result;
        std::vector<std::string> calls; // after the refused start
        std::string box;
        std::string standard_error;
        bool pass_tool_status = false;
        bool ansi = false; // the ANSI build alone
    } cases[] = {
        {"someone sees: setup.exe asks, waits and ends with its copy's status", self, [] {}, 3010,
         then(ask(self, "", cwd), "wait"), "", ""},
        {"built to pass the tool's status on: the copy's all the same", self, [] {}, 3010,
         then(ask(self, "", cwd), "wait"), "", "", true},
        {"the tail exactly as setup.exe got it", self,
         [] { fake.wide_command_line = "\"E:\\setup.exe\"  --a \"b c\" "; }, 3010,
         then(ask(self, "--a \"b c\" ", cwd), "wait"), "", ""},
        {"a tail beyond the ANSI code page, from the UTF-16 line", self,
         [] { fake.wide_command_line = "E:\\setup.exe --target=D:\\Łódź"; }, 3010,
         then(ask(self, "--target=D:\\Łódź", cwd), "wait"), "", ""},
        {"a tail of 2,048 units, as many as the shell takes", self,
         [] { fake.wide_command_line = "E:\\setup.exe " + repeat("表", 2048); }, 3010,
         then(ask(self, repeat("表", 2048), cwd), "wait"), "", ""},
        {"a tail of 2,049 units: refused before the shell", self,
         [] { fake.wide_command_line = "E:\\setup.exe " + repeat("表", 2049); }, 206, refused,
         failed(self, prompt_too_long + " (206)"), line(self, 206, ". " + prompt_too_long)},
        {"a current directory over 259 characters: none given", self,
         [] { fake.current_directory = "C:\\" + std::string(257, 'd'); }, 3010,
         then(ask(self, "", " [(null)] show 1"), "wait"), "", ""},
        {"the person declines: the line, no box", self, [] { fake.shell = call_failed, fake.shell_error = 1223; },
         1223, ask(self, "", cwd), "", line(self, 1223)},
        {"the shell fails: the box names setup.exe", self, [] { fake.shell = call_failed, fake.shell_error = 2; },
         2, then(ask(self, "", cwd), "box"), failed(self, "The system cannot find the file specified. (2)"),
         line(self, 2)},
        {"the shell fails without a code: a failure all the same", self, [] { fake.shell = call_failed; }, 740,
         then(ask(self, "", cwd), "box"), failed(self, requires), line(self, 740)},
        {"COM cannot be had: setup.exe asks all the same, and leaves COM alone", self,
         [] { fake.com = call_failed; }, 3010,
         {"SetDefaultDllDirectories", asked, "CoInitializeEx",
          "ShellExecuteExW 0x800540 runas [E:\\setup.exe] []" + cwd, "wait"},
         "", ""},
        {"started, but no process to wait for: not waited for, never 0", self, [] { fake.shell_process = false; },
         6, then(ask(self, "", cwd), "box"),
         not_waited + ".\n\nWindows error 6", not_waited + ": Windows error 6\r\n"},
        {"the wait fails: its own code, never 259", self, [] { fake.wait = call_failed, fake.wait_error = 5; }, 5,
         then(then(ask(self, "", cwd), "wait"), "box"), not_waited + ".\n\nAccess is denied. (5)",
         not_waited + ": Windows error 5\r\n"},
        {"an elevated copy never asks again", self, [] { fake.token_elevated = true; }, 740, refused,
         failed(tool, requires), line(tool, 740)},
        {"nor a marked one, which hands no mark on to the tool", self,
         [] { fake.environment.insert("SETUP_ASKED_FOR_ELEVATION"); }, 740, refused, failed(tool, requires),
         line(tool, 740)},
        {"the token cannot be had, as before Vista: setup.exe asks", self, [] { fake.token = call_missing; }, 3010,
         then(ask(self, "", cwd), "wait"), "", ""},
        {"the token cannot be told, as on XP: setup.exe asks", self, [] { fake.token = call_failed; }, 3010,
         then(ask(self, "", cwd), "wait"), "", ""},
        {"nobody sees: no prompt, no box", self, [] { fake.station_visible = false; }, 740, {}, "",
         line(tool, 740) + "Setup showed no box: its window station is not visible\r\n"},
        {"no SHELL32: the box for the tool", self, [] { fake.shell = call_missing; }, 740,
         {"SetDefaultDllDirectories", asked, "CoInitializeEx", "CoUninitialize", "box"}, failed(tool, requires),
         line(tool, 740)},
        {"a mapped network drive: the share's name for setup.exe and the folder", "Z:\\media\\setup.exe",
         [] {
             fake.current_directory = "Z:\\work";
             fake.remote_drives = {'Z'};
             fake.universal_names["Z:"] = "\\\\srv\\share";
         },
         3010, then(ask("\\\\srv\\share\\media\\setup.exe", "", " [\\\\srv\\share\\work] show 1"), "wait"), "", ""},
        {"setup.exe's path too long as the share names it: Windows' reason", "Z:\\" + long_folder + "\\setup.exe",
         [&] {
             fake.remote_drives = {'Z'};
             fake.universal_names["Z:"] = long_share;
         },
         206, refused,
         failed(long_share + "\\" + long_folder + "\\setup.exe", "The filename or extension is too long. (206)"),
         line(long_share + "\\" + long_folder + "\\setup.exe", 206)},
        {"the folder too long as the share names it: none given", self,
         [&] {
             fake.current_directory = "Z:\\" + long_folder;
             fake.remote_drives = {'Z'};
             fake.universal_names["Z:"] = long_share;
         },
         3010, then(ask(self, "", " [(null)] show 1"), "wait"), "", ""},
        {"a subst drive: the folder it stands for", "S:\\setup.exe",
         [] {
             fake.current_directory = "S:\\";
             fake.dos_devices["S:"] = "\\??\\C:\\media";
             fake.dos_devices["C:"] = "\\Device\\HarddiskVolume2";
         },
         3010, then(ask("C:\\media\\setup.exe", "", " [C:\\media\\] show 1"), "wait"), "", ""},
        {"a subst drive of a drive's root", "S:\\media\\setup.exe", [] { fake.dos_devices["S:"] = "\\??\\C:\\"; },
         3010, then(ask("C:\\media\\setup.exe", "", cwd), "wait"), "", ""},
        {"a subst drive of a mapped one", "T:\\m\\setup.exe",
         [] {
             fake.dos_devices["T:"] = "\\??\\Z:\\x";
             fake.remote_drives = {'Z'};
             fake.universal_names["Z:"] = "\\\\srv\\share";
         },
         3010, then(ask("\\\\srv\\share\\x\\m\\setup.exe", "", cwd), "wait"), "", ""},
        {"a subst drive of a share", "T:\\m\\setup.exe", [] { fake.dos_devices["T:"] = "\\??\\UNC\\srv\\share\\x"; },
         3010, then(ask("\\\\srv\\share\\x\\m\\setup.exe", "", cwd), "wait"), "", ""},
        {"a chain of 8 subst drives, followed to its end", "M:\\setup.exe", [] { subst_chain(8); }, 3010,
         then(ask("C:\\real\\setup.exe", "", cwd), "wait"), "", ""},
        {"a chain of 9: followed no further than 8", "M:\\setup.exe", [] { subst_chain(9); }, 3010,
         then(ask("U:\\setup.exe", "", cwd), "wait"), "", ""},
        {"a subst drive of a volume that no letter names: as it is", "S:\\setup.exe",
         [] { fake.dos_devices["S:"] = "\\??\\Volume{0b1c2d3e-0000-0000-0000-100000000000}\\"; }, 3010,
         then(ask("S:\\setup.exe", "", cwd), "wait"), "", ""},
        {"setup.exe's path of 259 characters as the share names it, its tool's by its short form", long_self,
         [&] {
             on_long_share(48)();
             fake.short_forms[share_of(48) + long_folder + "\\setup.exe"] = share_of(48) + "\\FFFFFF~1\\SETUP.EXE";
         },
         3010, then(ask(share_of(48) + long_folder + "\\setup.exe", "", cwd), "wait"), "", ""},
        {"setup.exe's path of 260 characters as the share names it: Windows' reason", long_self, on_long_share(49),
         206, refused, failed(share_of(49) + long_folder + "\\setup.exe", too_long),
         line(share_of(49) + long_folder + "\\setup.exe", 206)},
        {"the tool's path of 258 characters as the share names it", "Z:\\" + share_folder(258) + "\\setup.exe",
         on_share, 3010, then(ask(share + share_folder(258) + "\\setup.exe", "", cwd), "wait"), "", ""},
        {"the tool's path of 259 characters as the share names it", "Z:\\" + share_folder(259) + "\\setup.exe",
         on_share, 3010, then(ask(share + share_folder(259) + "\\setup.exe", "", cwd), "wait"), "", ""},
        {"the tool's path of 260 characters as the share names it: never asked, Windows' reason",
         "Z:\\" + share_folder(260) + "\\setup.exe", on_share, 206, refused,
         failed(share + share_folder(260) + "\\" TOOL, too_long), line(share + share_folder(260) + "\\" TOOL, 206)},
        {"the tool's path of 260 characters, its short form within the limit", "Z:\\" + share_folder(260) + "\\setup.exe",
         [&] {
             on_share();
             fake.short_forms[share + share_folder(260) + "\\setup.exe"] = share + "FFFFFF~1\\SETUP.EXE";
         },
         3010, then(ask(share + share_folder(260) + "\\setup.exe", "", cwd), "wait"), "", ""},
        {"a folder that the code page cannot spell as the share names it: never asked", "Z:\\media\\setup.exe",
         [] {
             fake.remote_drives = {'Z'};
             fake.universal_names["Z:"] = "\\\\srv\\Łódź";
         },
         1, refused, unspellable, unspellable + "\r\n", false, true},
        {"a current directory of 258 characters as the share names it", self, cwd_on_share(258), 3010,
         then(ask(self, "", " [" + share + std::string(246, 'd') + "] show 1"), "wait"), "", ""},
        {"a current directory of 259 characters: none given", self, cwd_on_share(259), 3010,
         then(ask(self, "", " [(null)] show 1"), "wait"), "", ""},
        {"a current directory of 260 characters: none given", self, cwd_on_share(260), 3010,
         then(ask(self, "", " [(null)] show 1"), "wait"), "", ""},
        {"a current directory of 259 characters with its backslash: given", self,
         [] {
             fake.current_directory = "S:\\";
             fake.dos_devices["S:"] = "\\??\\C:\\" + std::string(255, 'd');
         },
         3010, then(ask(self, "", " [C:\\" + std::string(255, 'd') + "\\] show 1"), "wait"), "", ""},
        {"a subst drive of a drive's root, as a bare letter", "S:\\media\\setup.exe",
         [] { fake.dos_devices["S:"] = "\\??\\C:"; }, 3010, then(ask("C:\\media\\setup.exe", "", cwd), "wait"), "",
         ""},
        {"a target in no form that Windows names: as it is", "S:\\setup.exe",
         [] { fake.dos_devices["S:"] = "\\\\?\\C:\\real"; }, 3010, then(ask("S:\\setup.exe", "", cwd), "wait"), "",
         ""},
        {"a target too long to join to the path: as it is", "S:\\" + std::string(40, 'm') + "\\setup.exe",
         [] { fake.dos_devices["S:"] = "\\??\\C:\\" + std::string(1010, 'x'); }, 3010,
         then(ask("S:\\" + std::string(40, 'm') + "\\setup.exe", "", cwd), "wait"), "", ""},
        {"a local drive is never asked for a share's name", "C:\\media\\setup.exe",
         [] { fake.universal_names["C:"] = "\\\\srv\\wrong"; }, 3010,
         then(ask("C:\\media\\setup.exe", "", cwd), "wait"), "", ""},
        {"a mapped drive that Windows does not resolve: as it is", "Z:\\media\\setup.exe",
         [] {
             fake.remote_drives = {'Z'};
             fake.dos_devices["Z:"] = "\\Device\\LanmanRedirector\\;Z:0\\srv\\share";
         },
         3010, then(ask("Z:\\media\\setup.exe", "", cwd), "wait"), "", ""},
    };
    for (bool utf16 : {false, true})
    for (const auto& c : cases) {
        if (c.ansi && utf16)
            continue;
        SCOPED_TRACE(std::string(c.name) + (utf16 ? ", utf16" : ", ansi"));
        lay_out(c.module, true, nullptr, utf16);
        fake.start_result = 740;
        fake.tool_status = 740;
        fake.elevated_status = 3010;
        c.arrange();
        bool marked = fake.environment.count("SETUP_ASKED_FOR_ELEVATION") > 0;
        // The tail that setup.exe got: in the ANSI build, what code page 932
        // makes of it.
        std::u16string tail = command_tail(fake_utf16(fake.wide_command_line).c_str());
        std::string ansi_tail;
        for (char16_t unit : tail)
            ansi_tail += unit < 0x80 ? static_cast<char>(unit) : '?';
        unsigned result = utf16 ? launch(tail.c_str(), c.pass_tool_status)
                                : launch(ansi_tail.c_str(), c.pass_tool_status);
        EXPECT_EQ(result, c.result);
        // The mark goes before the tool starts.
        std::vector<std::string> calls = {"SetDefaultDllDirectories"};
        if (marked)
            calls.push_back("unset SETUP_ASKED_FOR_ELEVATION");
        calls.push_back("start");
        calls.insert(calls.end(), c.calls.begin(), c.calls.end());
        EXPECT_EQ(fake.calls, calls);
        EXPECT_EQ(fake.boxes, c.box.empty() ? std::vector<std::string>() : std::vector<std::string>{c.box});
        EXPECT_EQ(fake.standard_error, c.standard_error);
    }
}

TEST(Launch, AHugeArgumentFileIsRefusedBeforeItIsCopied)
{
    lay_out("E:\\setup.exe", true, nullptr);
    fake.files["E:\\.setup_args"] = std::string(1 << 20, 'x');
    EXPECT_EQ(launch("", false), 206u);
    EXPECT_TRUE(fake.started.empty());
    EXPECT_EQ(fake.largest_request, (1u << 20) + 1); // the text, and no command
}

TEST(Launch, TailLeavesTheArgumentFileAlone)
{
    reset_fake();
    fake.existing.insert("E:\\" TOOL);
    fake.files["E:\\.setup_args"] = "--file";
    launch("--tail", false);
    EXPECT_EQ(fake.looked_at, std::vector<std::string>{"E:\\" TOOL});
}

TEST(Launch, UnknownPathLooksAtNothing)
{
    // No path; a folder that code page 932 spells only by best fit, as
    // D:\x\y\, on a volume without short names.
    for (const char* module : {"", "D:\\x¥y\\setup.exe"}) {
        SCOPED_TRACE(module);
        reset_fake();
        fake.module = module;
        fake.existing.insert(TOOL);
        fake.existing.insert("D:\\x\\y\\" TOOL);
        EXPECT_EQ(launch("", false), 1u);
        ASSERT_EQ(fake.boxes.size(), 1u);
        EXPECT_EQ(fake.boxes[0].find("Installer executable 'vorald"), module[0] ? std::string::npos : 0);
        EXPECT_TRUE(fake.looked_at.empty());
    }
}

// Which DLL-search calls each Windows has, and what is undone before the
// tool starts: a DLL directory would be inherited by it.
TEST(Launch, DllSearch)
{
    const std::string restricted = "SetDllDirectoryA(\"\")", undone = "SetDllDirectoryA(NULL)";
    struct {
        const char* name;
        call_result set_default, set_directory;
        bool tool_present;
        std::vector<std::string> calls;
    } cases[] = {
        {"Windows 8 and later", call_done, call_done, true, {"SetDefaultDllDirectories", "start"}},
        {"XP SP1 to 7", call_missing, call_done, true, {restricted, undone, "start"}},
        {"SetDefaultDllDirectories fails", call_failed, call_done, true,
         {"SetDefaultDllDirectories", restricted, undone, "start"}},
        {"SetDllDirectoryA fails: nothing to undo", call_missing, call_failed, true, {restricted, "start"}},
        {"Windows 2000", call_missing, call_missing, true, {"start"}},
        {"restricted before the box", call_missing, call_done, false, {restricted, "box"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lay_out("E:\\setup.exe", c.tool_present, nullptr);
        fake.set_default_dll_directories = c.set_default;
        fake.set_dll_directory = c.set_directory;
        launch("", false);
        EXPECT_EQ(fake.calls, c.calls);
    }
}

// Where nobody can see a box it would wait for ever: the line alone then.
// The line goes to a console in UTF-16; a box that cannot be shown is said.
TEST(Launch, WhoIsTold)
{
    const std::string line = "Installer executable 'E:\\" TOOL "' does not exist\r\n";
    struct {
        const char* name;
        call_result station;
        bool visible;
        call_result session;
        unsigned session_id, windows_major, console_session;
        bool box;
        bool console = false;
        unsigned box_error = 0;
        std::string standard_error = "";
    } cases[] = {
        {"a user's desktop", call_done, true, call_done, 1, 10, 1, true},
        {"a service's window station: said", call_done, false, call_done, 1, 10, 1, false, false, 0,
         line + "Setup showed no box: its window station is not visible\r\n"},
        {"the station's flags cannot be told", call_failed, true, call_done, 1, 10, 1, true},
        {"no USER32", call_missing, true, call_done, 1, 10, 1, true},
        {"session 0 from Vista on, the console's elsewhere: said", call_done, true, call_done, 0, 6, 1, false, false,
         0, line + "Setup showed no box: it runs in session 0, and the console is in session 1\r\n"},
        {"session 0 from Vista on, no console attached: said", call_done, true, call_done, 0, 6, 0xffffffff, false,
         false, 0, line + "Setup showed no box: it runs in session 0, and no session has the console\r\n"},
        {"Windows PE: session 0 is the console's", call_done, true, call_done, 0, 10, 0, true},
        {"session 0 on Windows XP, where users log on", call_done, true, call_done, 0, 5, 1, true},
        {"the session cannot be told", call_done, true, call_failed, 1, 10, 1, true},
        {"standard error is a console: the line in UTF-16", call_done, true, call_done, 1, 10, 1, true, true, 0,
         "<console>Installer executable 'E:\\" TOOL "' does not exist<console>\r\n"},
        {"the box cannot be shown: said, the status kept", call_done, true, call_done, 1, 10, 1, false, false,
         1400, line + "Setup could not show its box: Windows error 1400\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lay_out("E:\\setup.exe", false, nullptr);
        fake.station = c.station;
        fake.station_visible = c.visible;
        fake.session = c.session;
        fake.session_id = c.session_id;
        fake.windows_major = c.windows_major;
        fake.console_session = c.console_session;
        fake.console_error = c.console;
        fake.box_error = c.box_error;
        EXPECT_EQ(launch("", false), 1u);
        EXPECT_EQ(fake.boxes.size(), c.box ? 1u : 0u);
        EXPECT_EQ(fake.standard_error, c.standard_error.empty() ? line : c.standard_error);
    }
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
        {"argument file in UTF-8", true, "\xef\xbb\xbf--file\n", ""},
    };
    for (bool utf16 : {false, true})
    for (const auto& flow : flows) {
        // Let each allocation of the flow fail in turn, until one run needs no failure.
        for (int failing = 0;; failing++) {
            SCOPED_TRACE(std::string(flow.name) + (utf16 ? ", utf16" : ", ansi") + ", allocation " +
                         std::to_string(failing));
            lay_out(std::string(flow.name) == "blank quoted" ? "E:\\a b\\setup.exe" : "E:\\setup.exe",
                    flow.tool_present, flow.args_file, utf16);
            fake.fail_allocation = failing;
            unsigned result = utf16 ? launch(fake_utf16(flow.tail).c_str(), false) : launch(flow.tail, false);
            if (fake.allocations <= failing)
                break;
            EXPECT_EQ(result, 8u);
            EXPECT_TRUE(fake.boxes.empty());
            EXPECT_EQ(fake.standard_error, "Setup ran out of memory\r\n");
            EXPECT_TRUE(fake.started.empty());
        }
    }
}
