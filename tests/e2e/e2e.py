#!/usr/bin/env python3
"""End-to-end tests of setup.exe under Wine, against a substitute installer
tool that records how it was started. All tables run in one Wine session,
but for fresh, which runs first, in two sessions of its own.

    e2e.py [--rounds N] [--load N] [TABLE...]
        runs the tables (launch, entry, codepage, special, nsis, elevation,
        fresh; all unless named) N times and counts the failures of each case; --load keeps N
        processes busy beside it (stress-ng)
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

from winenv import BUILD, PREFIX, RUNNER, WIN32, Wine, record_stage, run_where_wine_runs, windows_path

WORK = os.path.join(BUILD, "e2e")
# Other builds of setup.exe, which the tests setup_exe.signing,
# setup_exe.branding and setup_exe.medium make before make test runs these
# tables. Run alone, the
# tables leave out the cases of a build that is not there; under make test
# (E2E_ALL_BUILDS=1) such a case fails.
BUILDS = {"signed": "dual-signed (make sign)", "tool-status": "SETUP_EXIT_STATUS=tool",
          "utf16": "SETUP_COMMAND_LINE=utf16",
          "medium-joliet": "medium (the Joliet tree of make medium's image)",
          "elevation": "TEST_ELEVATION, SETUP_EXIT_STATUS=tool (for the tests alone)",
          "elevation-utf16": "TEST_ELEVATION, SETUP_COMMAND_LINE=utf16 (for the tests alone)"}
ALL_BUILDS = os.environ.get("E2E_ALL_BUILDS") == "1"
# make coverage: the builds that count their lines, in E2E_COVERAGE, each in
# place of the builds that it stands for.
COVERAGE = os.environ.get("E2E_COVERAGE")
COUNTING = {None: "win32", "signed": "win32", "tool-status": "tool-status", "utf16": "utf16",
            "elevation": "tool-status", "elevation-utf16": "utf16"}


NSIS_TOOL = os.path.join(WORK, "nsis_tool.exe")


def build_of(c):
    if COVERAGE and c.get("build") in COUNTING:
        return os.path.join(COVERAGE, COUNTING[c.get("build")], "setup.exe")
    return os.path.join(BUILD, c["build"], "setup.exe") if c.get("build") else os.path.join(WIN32, "setup.exe")

TOOL = b"vorald_installer\\bin\\vorald_installer_cmd.exe"
MISSING = b"Installer executable '{base}" + TOOL + b"' does not exist"
UNREADABLE = b"Can not open '{base}.setup_args' for reading"
DVD = b"{base}" + TOOL + b" --source={base} --dvd"
# A failed start's box: this sentence, a blank line and Windows' reason, which
# for PROBE is what Windows says of the runner's own start of the command.
FAILED = b"Setup could not start the installer '{tool}'."
FAILED_DE = 'Das Installationsprogramm "{tool}" konnte nicht gestartet werden.'.encode("cp1252")
FAILED_JA = 'インストーラー "{tool}" を起動できませんでした。'.encode("cp932")
PROBE = "probe"
TOO_LONG = "The command line for the installer is longer than Windows allows. (206)"
NAME_TOO_LONG = "File name is too long. (206)"  # Wine's words for 206
PROMPT_TOO_LONG = "Windows cannot ask for administrator rights for a command line longer than 2,048 characters. (206)"
TOO_LONG_JA = "インストーラーのコマンド ラインが、Windows で許可されている長さを超えています。 (206)"
UNSPELLABLE = (b"Setup cannot start the installer from the folder '{base}', because its name has characters that "
               b"the installer cannot read on this system. Copy the whole medium to a folder with a plain name, "
               b"such as C:\\Setup, and start setup.exe there.")

# An argument file that is a folder, that another program holds open without
# sharing, that another program holds open for writing, sharing read and
# write, or of 2 GiB (sparse), more than anyone's arguments.
FOLDER, LOCKED, HELD, HUGE = "folder", "locked", "held", "huge"


def case(name, **kw):
    c = {"name": name, "folder": "media", "tool": "fake", "args_file": None, "tail": b"",
         "line": None, "status": 0, "box": None, "command": DVD, "exit": 0, "sleep": 0,
         "codepage": "cp1252", "cwd": "elsewhere"}
    c.update(kw)
    return c


LAUNCH = [
    case("no tail, no argument file; the tool's own status is not passed on", exit=3, sleep=700),
    case("a tail wins over the argument file, which is not even opened", args_file=FOLDER,
         tail=b'--a  "b c"  ', command=b"{base}" + TOOL + b' --source={base} --a  "b c"  '),
    case("tool missing, a tail given", tool=None, tail=b"--x", status=1, box=MISSING, command=None),
    # A window station without visible display surfaces, as a service's.
    case("tool missing where nobody can see a box", tool=None, hidden=True, status=1, box=MISSING, command=None),
    case("argument file unreadable where nobody can see a box", args_file=FOLDER, hidden=True, status=2,
         box=UNREADABLE, command=None),
    case("argument file: one option, CR LF", args_file=b"--silent\r\n",
         command=b"{base}" + TOOL + b" --source={base} --silent"),
    case("argument file: two lines", args_file=b"--a\n--b\n",
         command=b"{base}" + TOOL + b" --source={base} --a\n--b"),
    case("argument file: empty", args_file=b"", command=b"{base}" + TOOL + b" --source={base} "),
    case("argument file: only line feeds", args_file=b"\n\n\r\n",
         command=b"{base}" + TOOL + b" --source={base} "),
    case("argument file: trailing blanks, a tab and a lone CR kept", args_file=b"--a \t\r",
         command=b"{base}" + TOOL + b" --source={base} --a \t\r"),
    case("argument file: Ctrl-Z ends the data", args_file=b"--a\r\n\x1a--b\n",
         command=b"{base}" + TOOL + b" --source={base} --a"),
    case("argument file: a zero byte ends the text", args_file=b"--a\n\x00--b",
         command=b"{base}" + TOOL + b" --source={base} --a"),
    case("argument file is a folder; no standard error", args_file=FOLDER, status=2, box=UNREADABLE,
         command=None, stderr=False),
    case("argument file held open without read sharing", args_file=LOCKED, status=2, box=UNREADABLE,
         command=None),
    case("argument file of 2 GiB", args_file=HUGE, status=2, box=UNREADABLE, command=None),
    case("argument file held open for writing by another program", args_file=HELD,
         command=b"{base}" + TOOL + b" --source={base} --held"),
    # The status is whatever CreateProcessA says for the same command line.
    case("a folder named like the tool", tool="folder", status="probe", box=FAILED, reason=PROBE, command=None),
    case("a folder named like the tool where nobody can see a box", tool="folder", status="probe", box=FAILED,
         reason=PROBE, hidden=True, command=None),
    # Wine starts it (its token is always an administrator's); Windows would
    # refuse it with 740 and setup.exe would ask through the consent prompt.
    case("a tool whose manifest demands administrator rights", tool="admin", exit=5, sleep=700),
    case("an empty mark of the consent prompt never reaches the tool", env=[b"SETUP_ASKED_FOR_ELEVATION="]),
    case("a dual-signed setup.exe", build="signed"),
    # Built to end with the tool's own status.
    case("the tool's status 0 passed on", build="tool-status"),
    case("the tool's status 7 passed on", build="tool-status", exit=7, status=7),
    case("the tool's status 1603 passed on", build="tool-status", exit=1603, status=1603),
    case("the tool's status 3010 passed on", build="tool-status", exit=3010, status=3010),
    # The tree as Windows reads it from the image, read-only; .setup_args
    # holds --from-medium "a b".
    case("a medium made by make medium, from its image", build="medium-joliet", medium=True,
         command=b"{base}" + TOOL + b' --source={base} --from-medium "a b"'),
    case("blanks in the base directory; a planted my.exe does not run", folder="my media",
         plant="my.exe",
         command=b'"{base}' + TOOL + b'" --source="{base}\\" --dvd',
         argv=[b"--source={base}", b"--dvd"]),
]

ENTRY = [
    case("quoted program name with blanks, two blanks, one word", folder="my media",
         line=b'"{setup}"  word', command=b'"{base}' + TOOL + b'" --source="{base}\\" word'),
    case("unquoted name, a tab, two words, two trailing blanks",
         line=b"{setup}\tone two  ", command=b"{base}" + TOOL + b" --source={base} one two  "),
    case("only the program name", line=b'"{setup}"'),
    case("only the program name and blanks: the argument file is used", args_file=b"--file\n",
         line=b'"{setup}"   ', command=b"{base}" + TOOL + b" --source={base} --file"),
    case("a quote opening inside the program name", folder="med ia", line=b'{dir}"med ia"\\setup.exe --x',
         command=b'"{base}' + TOOL + b'" --source="{base}\\" --x'),
    case("an unclosed opening quote: the whole line is the program name", line=b'"{setup} --x'),
    case("a line that begins with a blank hands on the program name",
         line=b" {setup} --x", command=b"{base}" + TOOL + b" --source={base} {setup} --x"),
    case("quoted arguments keep their quotes", line=b'"{setup}" "--a b" "c"',
         command=b"{base}" + TOOL + b' --source={base} "--a b" "c"'),
    case("the launch result 2 becomes the exit status", args_file=FOLDER, status=2, box=UNREADABLE,
         command=None),
    case("a failed start's error code becomes the exit status", tool="folder", status="probe", box=FAILED,
         reason=PROBE, command=None),
]

# Code page 932: the second byte of 表 (0x95 0x5C) is a backslash.
CODEPAGE = [
    case("a folder named 表", folder="表", codepage="cp932"),
    case("a folder named 表 with a blank", folder="表 x\\表", codepage="cp932",
         command=b'"{base}' + TOOL + b'" --source="{base}\\" --dvd',
         argv=[b"--source={base}", b"--dvd"]),
    case("an argument file and a tail in 932", folder="表", codepage="cp932",
         tail=b"--name=\x95\x5c", command=b"{base}" + TOOL + b" --source={base} --name=\x95\x5c"),
    # Code page 1252 has no Ł, no Cyrillic: setup.exe goes by its short path.
    case("a folder that code page 1252 cannot spell", folder="Łódź Иван", unicode=True,
         command=b"{short}" + TOOL + b" --source={short} --dvd"),
    # 141 characters, 282 bytes in code page 932: Windows counts a path in
    # UTF-16, so the folder is used as the user sees it.
    case("a folder of 282 bytes, 141 characters", folder="表" * 70 + "\\" + "表" * 70, codepage="cp932"),
    # The box in the interface language, the line in English and UTF-8.
    case("Japanese: the tool missing in a folder named 表", folder="表", codepage="cp932", tool=None,
         status=1, box='インストーラー "{tool}" が見つかりません。'.encode("cp932"), log=MISSING, caption="セットアップ",
         command=None),
    case("German: the tool missing", lang="de_DE.UTF-8", tool=None, status=1,
         box='Das Installationsprogramm "{tool}" wurde nicht gefunden.'.encode("cp1252"), log=MISSING,
         command=None),
    case("Arabic of Egypt: the tool missing, in Arabic, right to left", lang="ar_EG.UTF-8", tool=None, status=1,
         box='تعذر العثور على برنامج التثبيت "\u202a{tool}\u202c".', codepage="cp1256", log=MISSING,
         caption="الإعداد", ok="حسنًا", reading=b"rtl", command=None),
    case("German: a folder named like the tool", lang="de_DE.UTF-8", tool="folder", status="probe",
         box=FAILED_DE, reason=PROBE, command=None),
    case("German: a file that is not a program as the tool", lang="de_DE.UTF-8", tool="text", status="probe",
         box=FAILED_DE, reason=PROBE, command=None),
    case("Finnish, which setup.exe does not hold: English", lang="fi_FI.UTF-8", tool=None, status=1, box=MISSING,
         command=None),
    # Too long for the tool's path in both forms, and not in code page 1252.
    case("a folder that code page 1252 cannot spell, too long for its short form", folder="Łódź", unicode=True,
         deep=True, status=1, box=UNSPELLABLE, command=None),
    case("a folder that code page 1252 cannot spell, where nobody can see a box", folder="Łódź", unicode=True,
         deep=True, hidden=True, status=1, box=UNSPELLABLE, command=None),
    # Windows takes 32,766 UTF-16 units; in bytes these are nearly twice as many.
    case("double-byte arguments, 32,766 units in all", codepage="cp932", units=32766),
    case("double-byte arguments, 32,767 units in all", codepage="cp932", units=32767, status=206, box=FAILED_JA,
         reason=TOO_LONG_JA, caption="セットアップ", command=None),
    # A build for a tool that reads its command line in UTF-16: any folder,
    # any argument, exactly. Its best-fit twin (Lódz for Łódź) never runs.
    case("utf16: a folder outside code page 1252 with a blank, beside its best-fit twin", build="utf16",
         folder="my Łódź", twin="my Lódz", unicode=True,
         command=b'"{base}' + TOOL + b'" --source="{base}\\" --dvd', argv=[b"--source={base}", b"--dvd"]),
    case("utf16: a folder and a tail outside code page 932", build="utf16", folder="한국어", codepage="cp932",
         unicode=True, tail="--target=D:\\Łódź".encode(),
         command=b"{base}" + TOOL + " --source={base} --target=D:\\Łódź".encode()),
    case("utf16: an argument file in UTF-8 with the byte-order mark", build="utf16", unicode=True,
         args_file=b"\xef\xbb\xbf" + "--title=Łódź 한국어\r\n".encode(),
         command=b"{base}" + TOOL + " --source={base} --title=Łódź 한국어".encode()),
    case("utf16: an argument file in the ANSI code page", build="utf16", unicode=True, args_file=b"--title=\xf3",
         command=b"{base}" + TOOL + " --source={base} --title=ó".encode()),
    case("utf16: an argument file in UTF-8 that is not valid", build="utf16", args_file=b"\xef\xbb\xbf--\xc5",
         status=2, box=UNREADABLE, command=None),
    case("utf16: tool missing where nobody can see a box", build="utf16", tool=None, hidden=True, status=1,
         box=MISSING, command=None),
    case("utf16: a folder named like the tool", build="utf16", tool="folder", status="probe", box=FAILED,
         reason=PROBE, command=None),
    # A console shows the line whatever its code page.
    case("utf16: tool missing in a folder outside the code page, the line on a console", build="utf16",
         folder="Łódź", unicode=True, tool=None, status=1, box=MISSING, command=None, console=True),
    case("utf16: double-byte arguments, 32,766 units in all", build="utf16", codepage="cp932", units=32766),
    case("utf16: double-byte arguments, 32,767 units in all", build="utf16", codepage="cp932", units=32767,
         status=206, box=FAILED_JA, reason=TOO_LONG_JA, caption="セットアップ", command=None),
]


def windows_dir(path, codepage):
    return windows_path(path, codepage) + b"\\"


# Drive letters of the end-to-end prefix, each a link to a folder: S: stands
# for a folder here as a subst drive does (the runner tells Windows so), N: is
# a network drive that Windows cannot name as a share, and T: a subst drive
# of a folder on C: so deep that little more fits under it (names of eight
# letters, their own short forms, whatever this tree's own path).
DRIVES = {"s": os.path.join(WORK, "drives", "s"), "n": os.path.join(WORK, "drives", "n"),
          "t": os.path.join(PREFIX, "drive_c", "deep", *["dddddddd"] * 10)}
SUBST = ("s", "t")


def lay_drives():
    for letter, folder in DRIVES.items():
        link = os.path.join(PREFIX, "dosdevices", letter + ":")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(folder, link)


def lay_out(group_dir, c, index):
    """Makes the medium of one case; returns its folder."""
    top = DRIVES[c["drive"]] if c.get("drive") else os.path.join(group_dir, str(index))
    shutil.rmtree(top, ignore_errors=True)
    medium = os.path.join(top, *c["folder"].split("\\"))
    if c.get("share"):
        # Wine serves \\server\share\ from dosdevices/unc/server/share.
        unc = os.path.join(PREFIX, "dosdevices", "unc", "server")
        os.makedirs(unc, exist_ok=True)
        link = os.path.join(unc, "share")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(top, link)
    os.makedirs(os.path.join(top, c["cwd"]))
    if c.get("medium"):
        if os.path.exists(build_of(c)):
            shutil.copytree(os.path.dirname(build_of(c)), medium)  # modes too: read-only
        return top, medium
    os.makedirs(medium)
    setup = build_of(c)
    if os.path.exists(setup):  # else the runner reports that it cannot start it
        shutil.copy(setup, medium)
    bin_dir = os.path.join(medium, "vorald_installer", "bin")
    os.makedirs(bin_dir)
    tool = os.path.join(bin_dir, "vorald_installer_cmd.exe")
    if c["tool"] in ("fake", "admin"):
        shutil.copy(os.path.join(WIN32, {"fake": "fake_tool.exe", "admin": "fake_tool_admin.exe"}[c["tool"]]), tool)
    elif c["tool"] == "nsis":
        if os.path.exists(NSIS_TOOL):
            shutil.copy(NSIS_TOOL, tool)
        with open(os.path.join(medium, "payload.txt"), "w") as f:
            f.write("from the medium\n")
    elif c["tool"] == "folder":
        os.makedirs(tool)
    elif c["tool"] == "text":
        with open(tool, "w") as f:
            f.write("not a program\n")
    if c.get("plant_in_cwd"):
        planted = os.path.join(top, c["cwd"], *c["plant_in_cwd"].split("\\"))
        os.makedirs(os.path.dirname(planted))
        shutil.copy(os.path.join(WIN32, "fake_tool.exe"), planted)
    if c.get("plant"):
        shutil.copy(os.path.join(WIN32, "fake_tool.exe"), os.path.join(os.path.dirname(medium), c["plant"]))
    if c.get("twin"):
        twin = os.path.join(os.path.dirname(medium), c["twin"], "vorald_installer", "bin")
        os.makedirs(twin)
        shutil.copy(os.path.join(WIN32, "fake_tool.exe"), os.path.join(twin, "vorald_installer_cmd.exe"))
    args_path = os.path.join(medium, ".setup_args")
    if c["args_file"] == FOLDER:
        os.makedirs(args_path)
    elif c["args_file"] == HUGE:
        with open(args_path, "wb") as f:
            f.truncate(1 << 31)
    elif c["args_file"] is not None:
        with open(args_path, "wb") as f:
            f.write({LOCKED: b"", HELD: b"--held\n"}.get(c["args_file"], c["args_file"]))
    return top, medium


def fill(template, values):
    for key, value in values.items():
        template = template.replace(b"{" + key + b"}", value)
    return template


def parse_fields(data):
    fields = {}
    for item in data.split(b"\0"):
        if item:
            key, _, value = item.partition(b"=")
            fields.setdefault(key.decode(), []).append(value)
    return fields


def wanted_line(c, values, cp, status):
    """What setup.exe is to write to standard error, in UTF-8: the tool that
    did not start, or the box's text in English; where nobody can see a box,
    why it showed none."""
    hidden = b"Setup showed no box: its window station is not visible\r\n" if c.get("hidden") else b""
    if c["status"] == "probe" or status == 206:
        # A command line too long: why, in English whatever the box's language.
        ours = {TOO_LONG: TOO_LONG, TOO_LONG_JA: TOO_LONG, PROMPT_TOO_LONG: PROMPT_TOO_LONG}.get(c["reason"])
        why = b". " + ours[:-6].encode() if ours else b""
        return (b"Setup could not start the installer '" + values[c.get("named", b"tool")].decode(cp).encode() +
                b"': Windows error %d" % status + why + b"\r\n") + hidden
    if c["box"]:
        return fill(c.get("log", c["box"]), values).decode(cp).encode() + b"\r\n" + hidden
    return b""


def wanted_box(c, values, cp, result, status):
    """The box's text in UTF-8; a failed start's ends in Windows' reason. (A
    text given as str holds what the code page cannot spell.)"""
    if isinstance(c["box"], str):
        text = fill(c["box"].encode("utf-8"), {k: v.decode(cp).encode() for k, v in values.items()})
    else:
        text = fill(c["box"], values).decode(cp).encode()
    if not c.get("reason"):
        return text
    reason = c["reason"].encode()
    if c["reason"] == PROBE:
        said = re.sub(rb"%([1-9][0-9]?)(![^!]*!)?", lambda m: b"vorald_installer_cmd.exe" if m[1] == b"1" else b"",
                      result["probe_reason"][0].rstrip(b" \t\r\n"))
        reason = said + b" (%d)" % status if said else b"Windows error %d" % status
    return text + b"\n\n" + reason


def check(c, values, cp, result, record, cwd, error_file):
    """Returns the list of what went wrong in one case."""
    problems = []

    def expect(what, got, wanted):
        if got != wanted:
            problems.append("%s: got %r, wanted %r" % (what, got, wanted))

    if not os.path.exists(build_of(c)):
        return ["no %s build at %s" % (BUILDS.get(c.get("build")), build_of(c))]
    for what in ("start_error", "hold_error"):
        if what in result:
            return ["the runner: %s %s" % (what, result[what][0].decode())]
    error_output = b""
    if c.get("stderr", True) and os.path.exists(error_file):
        with open(error_file, "rb") as f:
            error_output = f.read()
    # Windows refused the box itself (Wine's desktop not up yet, say):
    # setup.exe said so, and that is the fault to report, not a missing box.
    unshown = [l for l in error_output.split(b"\r\n") if l.startswith(b"Setup could not show its box")]
    if c.get("unshowable") and not unshown:
        problems.append("no line says that the box could not be shown")
    if unshown and not c.get("unshowable"):
        if not c.get("may_be_unshowable"):
            return ["the box could not be shown: %s" % unshown[0].decode(errors="replace")]
        c = dict(c, unshowable=True)
    if "timed_out" in result:
        problems.append("still running after a minute where nobody can see a box; ended")
    status = int(result["status"][0])
    if c["status"] == "probe":
        probe = int(result["probe_error"][0])
        if probe == 0:
            problems.append("the runner's own CreateProcessA of the command started it")
        expect("status (the error code of CreateProcessA)", status, probe)
    else:
        expect("status", status, c["status"])

    # Boxes come in UTF-8, in the interface language; where nobody can see
    # one, none shows.
    boxes = result.get("box", [])
    line = wanted_line(c, values, cp, status)
    shown = c["box"] and not c.get("hidden") and not c.get("unshowable")
    wanted_boxes = [wanted_box(c, values, cp, result, status)] if shown else []
    expect("boxes", [b.split(b"\n", 4)[4] for b in boxes], wanted_boxes)
    if any(b"%" in b for b in boxes):
        problems.append("a box shows an insert of Windows' text unfilled")
    for box in boxes:
        caption, icon, buttons, reading = box.split(b"\n")[:4]
        expect("box caption, icon, button and reading direction", [caption, icon, buttons, reading],
               [c.get("caption", "Setup").encode(), b"error", b"1:%s;" % c.get("ok", "OK").encode(),
                c.get("reading", b"ltr")])
    if c.get("console"):
        # The line in UTF-16, as the console shows it: a row of its own.
        expect("the console", result.get("console", [b""])[0], line.rstrip(b"\r\n"))
    elif c.get("stderr", True):
        unshown_line = b"".join(l + b"\r\n" for l in unshown[:1]) if c.get("unshowable") else b""
        expect("standard error", error_output, line + unshown_line)

    if c.get("medium"):
        expect("the medium after the run", tree_of(c["medium_dir"]), c["tree"])
    if c["command"] is None:
        expect("tool started", record is not None, False)
        return problems
    if record is None:
        return problems + ["the tool did not record a start"]
    expect("tool finished before setup.exe ended", result["tool_done"][0], b"1")
    if c["tool"] == "nsis":
        for name, wanted in dict({"cmdline": c["command"]}, **c["nsis"]).items():
            expect("NSIS's " + name, record[name][0], fill(wanted, values).decode(cp).encode())
        installed = os.path.join(values[b"top"].decode(), "installed", "payload.txt")
        if c["nsis"]["instdir"] != b"{installed}":
            installed = os.path.join(PREFIX, "drive_c", c["nsis"]["instdir"][3:].decode().replace("\\", "/"),
                                     "payload.txt")
        expect("the payload where NSIS installed", os.path.exists(installed), c["nsis"]["copied"] == b"1")
        return problems
    line, argv = "cmdline", "argv"
    if c.get("build") in ("utf16", "elevation-utf16") and c.get("unicode"):
        # In UTF-16 the tool gets the folder as Windows gives it.
        line, argv = "cmdline_w", "argv_w"
        expect("tool module, in its long form", record["module_long"][0], values[b"tool"])
    elif c.get("unicode"):
        # The short path cannot be known beforehand: it is what --source=
        # names, spelled in ASCII, and its long form is the medium. (Wine
        # tells the tool its own path in the long form, which the code page
        # may not spell.)
        values = dict(values)
        values[b"short"] = record["argv"][1][len(b"--source="):]
        expect("--source= spelled in ASCII", values[b"short"].isascii(), True)
        expect("the long form of --source=", record["source_long"][0], values[b"base"])
        expect("tool module, in its long form", record["module_long"][0], values[b"tool"])
    else:
        expect("tool module", record["module"][0], values[b"tool"])
    expect("command line", record[line][0], fill(c["command"], values))
    expect("a console window for the tool", record["console_window"][0], b"none")
    expect("the mark of the consent prompt, inherited by the tool", record.get("mark", [b"(not recorded)"])[0], b"none")
    if c.get("stderr", True) and not c.get("console"):
        expect("setup.exe's standard error, inherited by the tool", record.get("inherited", [b"(not recorded)"])[0],
               b"no")
    expect("tool's current directory", record["cwd"][0], cwd)
    if c.get("argv"):
        expect("tool argv", record[argv][1:], [fill(a, values) for a in c["argv"]])
    return problems


def tree_of(folder):
    """What a run could change in folder: names, sizes, modes and times."""
    return sorted((os.path.relpath(os.path.join(d, n), folder), s.st_size, s.st_mode, s.st_mtime_ns)
                  for d, dirs, files in os.walk(folder) for n in dirs + files
                  for s in [os.lstat(os.path.join(d, n))])


def run_table(wine, group_dir, cases, lang, together=False):
    """Runs the cases in one runner process, one after another or all at
    once; returns the names of those that failed."""
    if os.path.exists(group_dir):  # a medium is read-only
        subprocess.run(["chmod", "-R", "u+w", group_dir])
    shutil.rmtree(group_dir, ignore_errors=True)
    jobs = [prepare(group_dir, c, index) for index, c in enumerate(cases)]
    env = dict(wine.env, LANG=lang, LC_ALL=lang)
    out = wine.run(["wine", RUNNER] + (["--together"] if together else []) + [j["case_file"] for j in jobs],
                   timeout=1800, env=env)
    if out.returncode != 0:
        print(out.stdout.decode(errors="replace"))
    failed = []
    for job in jobs:
        try:
            with open(os.path.join(job["top"], "result"), "rb") as f:
                result = parse_fields(f.read())
            problems = check(job["case"], job["values"], job["cp"], result, read_record(job["record"]), job["cwd"],
                             os.path.join(job["top"], "stderr"))
        except FileNotFoundError:
            problems = ["no result from the runner"]
        report(job["case"]["name"], problems)
        if problems:
            failed.append(job["case"]["name"])
    return failed


def with_units(c, group_dir, index):
    """The case with an argument file of double-byte characters that makes
    its command line c["units"] UTF-16 units long."""
    base = windows_dir(os.path.join(group_dir, str(index), c["folder"]), c["codepage"])
    head = base + TOOL + b" --source=" + base
    room = c["units"] - len(head.decode(c["codepage"]).encode("utf-16-le")) // 2 - 1
    arguments = "あ".encode(c["codepage"]) * room
    return dict(c, args_file=arguments, command=c["command"] and b"{base}" + TOOL + b" --source={base} " + arguments)


def deep(c, group_dir, index):
    """The case with its folder under folders of eight letters, deep enough
    that the tool's path is over 259 characters in its short form too."""
    top = windows_dir(os.path.join(group_dir, str(index)), "cp1252")
    levels = max(0, (240 - len(top) - len(c["folder"])) // 9)
    return dict(c, folder=c["folder"] + "\\dddddddd" * levels)


def prepare(group_dir, c, index):
    """Lays out one case's medium and writes the runner's case file."""
    cp = "utf-8" if c.get("unicode") else c["codepage"]
    if c.get("units"):
        c = with_units(c, group_dir, index)
    if c.get("deep"):
        c = deep(c, group_dir, index)
    top, medium = lay_out(group_dir, c, index)
    if c.get("medium"):
        c = dict(c, medium_dir=medium, tree=tree_of(medium))
    base = windows_dir(medium, cp)
    if c.get("share"):
        base = b"\\\\server\\share\\" + c["folder"].encode() + b"\\"
    if c.get("drive") == "n":  # a network drive stays as it is
        base = b"N:\\" + c["folder"].encode() + b"\\"
    setup = base + b"setup.exe"
    values = {b"base": base, b"setup": setup, b"dir": windows_dir(top, cp), b"tool": base + TOOL,
              b"top": top.encode(), b"installed": windows_path(os.path.join(top, "installed"), cp)}
    # Started from the drive, which the tool is to get as the folder it
    # stands for, where Windows can tell; the current directory alike.
    on_drive = c.get("drive", "").upper().encode() + b":\\"
    started = on_drive + c["folder"].encode() + b"\\setup.exe" if c.get("drive") in SUBST else setup
    if c["line"]:
        line = fill(c["line"], values)
    else:
        line = b'"' + started + b'"' + (b" " + c["tail"] if c["tail"] else b"")
    record = os.path.join(top, "record")
    cwd = windows_path(os.path.join(top, c["cwd"]), cp)
    start_cwd = on_drive + c["cwd"].encode() if c.get("drive") else cwd
    if c.get("drive") == "n":
        cwd = start_cwd
    lines = [b"app=" + started, b"cmdline=" + line, b"cwd=" + start_cwd,
             b"env=FAKE_TOOL_RECORD=" + windows_path(record, cp),
             b"env=FAKE_TOOL_EXIT=%d" % c["exit"], b"env=FAKE_TOOL_SLEEP_MS=%d" % c["sleep"],
             b"result=" + windows_path(os.path.join(top, "result"), cp)]
    if c.get("unicode") or c.get("wide"):
        lines.append(b"wide=1")
    if c.get("hidden"):
        lines.append(b"hidden=1")
    if c.get("job"):
        lines.append(b"job=1")
    if c.get("elevate"):
        lines += [b"env=SETUP_TEST_UNELEVATED=1", b"any_box=1"]
    if c.get("drive") in SUBST:
        lines.append(b"subst=" + on_drive[:2] + b"=" + windows_path(top, cp))
    if c.get("console"):
        lines.append(b"console=1")
    elif c.get("stderr", True):
        lines.append(b"stderr=" + windows_path(os.path.join(top, "stderr"), cp))
    if c["args_file"] in (LOCKED, HELD):
        lines.append({LOCKED: b"lock=", HELD: b"hold="}[c["args_file"]] + base + b".setup_args")
    if c["status"] == "probe":
        lines.append(b"probe=" + fill(DVD, values))
    lines += [b"env=" + fill(e, values) for e in c.get("env", [])]
    if c["tool"] == "nsis":
        lines.append(b"env=NSIS_INSTALL_DIR=" + values[b"installed"])
        shutil.rmtree(os.path.join(PREFIX, "drive_c", "Program Files", "Test App"), ignore_errors=True)
    case_file = os.path.join(top, "case")
    with open(case_file, "wb") as f:
        f.write(b"\n".join(lines) + b"\n")
    return {"case": c, "values": values, "cp": cp, "top": top, "record": record, "cwd": cwd,
            "case_file": case_file}


def read_record(path):
    """The substitute tool's fields, or the NSIS tool's lines NAME=VALUE in
    UTF-16, each value in UTF-8."""
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        data = f.read()
    if data.startswith(b"\xff\xfe"):
        return {k: [v.encode()] for k, _, v in (l.partition("=") for l in data.decode("utf-16").split("\n") if l)}
    return parse_fields(data)


def report(name, problems):
    print("%s %s" % ("FAIL" if problems else "ok  ", name))
    for p in problems:
        print("       " + p)
    sys.stdout.flush()


SPECIAL = [
    # Wine shows the launcher its own path as UNC\server\share\media\setup.exe,
    # a relative path: nothing relative to the current directory may run.
    case("started from a network share", share=True, status=1,
         box=b"Installer executable '" + TOOL + b"' does not exist", command=None,
         plant_in_cwd="UNC\\server\\share\\media\\" + TOOL.decode()),
    case("a text file named like the tool", tool="text", status="probe", box=FAILED, reason=PROBE, command=None),
    case("a tool that crashes has still run", env=[b"FAKE_TOOL_CRASH=1"]),
    # Windows would refuse it with 206; Wine would start the tool without
    # its arguments, so setup.exe refuses it itself.
    case("an argument file of 1 MiB on one line: the command line is refused",
         args_file=b"x" * (1 << 20), status=206, box=FAILED, reason=TOO_LONG, command=None),
]


LONG_PATH = "a launcher path over 259 characters; a tool planted at the cut-off path"


def long_path(wine, top):
    """A launcher whose path is too long for Windows' limit of 259 characters,
    with a tool planted where the cut-off path points."""
    shutil.rmtree(top, ignore_errors=True)
    short = os.path.join(top, "a")
    short += "a" * (200 - len(windows_dir(short, "cp1252")))
    medium = os.path.join(short, "b" * 100)
    os.makedirs(os.path.join(medium, "vorald_installer", "bin"))
    shutil.copy(build_of({}), medium)
    for base in (medium, short):
        os.makedirs(os.path.join(base, "vorald_installer", "bin"), exist_ok=True)
        shutil.copy(os.path.join(WIN32, "fake_tool.exe"),
                    os.path.join(base, "vorald_installer", "bin", "vorald_installer_cmd.exe"))
    record = os.path.join(top, "record")
    result = os.path.join(top, "result")
    # CreateProcess refuses such a path; Wine starts it from its Unix path.
    watcher = wine.popen(["wine", RUNNER, "--watch",
                          windows_path(result).decode(), "300000"])
    run = wine.run(["wine", os.path.join(medium, "setup.exe")], cwd=top,
                   env=dict(wine.env, FAKE_TOOL_RECORD=windows_path(record).decode()))
    watcher.wait(timeout=400)
    with open(result, "rb") as f:
        boxes = parse_fields(f.read()).get("box", [])
    problems = []
    if run.returncode != 1:
        problems.append("status: got %d, wanted 1" % run.returncode)
    wanted = [b"Setup", b"error", b"1:OK;", b"ltr", b"Installer executable '" + TOOL + b"' does not exist"]
    if [b.split(b"\n", 4) for b in boxes] != [wanted]:
        problems.append("boxes: got %r" % boxes)
    if os.path.exists(record):
        problems.append("a tool ran: %r" % read_record(record)["module"])
    report(LONG_PATH, problems)
    return [LONG_PATH] if problems else []

# An installer built with NSIS as the tool, built to pass its status on. What
# NSIS reads: $CMDLINE, $EXEDIR, GetOptions "--source=" (the copy of
# payload.txt comes from there), $INSTDIR and /S.
def nsis_case(name, folder="media", source=b"{base}", copied=b"1", **kw):
    reading = {"exedir": b"{base}vorald_installer\\bin", "source": source, "instdir": b"{installed}",
               "silent": b"0", "copied": copied}
    reading.update(kw.pop("reading", {}))
    kw.setdefault("build", "tool-status")
    kw.setdefault("status", 7)
    return case(name, tool="nsis", folder=folder, exit=7, nsis=reading, **kw)


# GetOptions takes the quotes away but keeps the doubled backslash (Windows
# reads the two as one), ends a value at the next " -", and runs it on to a
# "/" option. NSIS takes /D= off $CMDLINE.
NSIS = [
    nsis_case("NSIS: a plain folder, no arguments"),
    nsis_case("NSIS: a folder with a blank", folder="my media", source=b"{base}\\",
              command=b'"{base}' + TOOL + b'" --source="{base}\\" --dvd'),
    nsis_case("NSIS: a folder with a -: GetOptions cuts it there", folder="my-media", source=b"{dir}my",
              copied=b"0"),
    nsis_case("NSIS: a folder with a - and a blank: quoted, read whole", folder="a-b c", source=b"{base}\\",
              command=b'"{base}' + TOOL + b'" --source="{base}\\" --dvd'),
    nsis_case("NSIS: a folder with a ' and no blank: GetOptions runs on to the end", folder="it's",
              source=b"{base} --dvd", copied=b"0"),
    nsis_case("NSIS: a folder with a blank, .setup_args /S: the quotes stay on the value", folder="my media",
              source=b'"{base}\\" /S', copied=b"0", args_file=b"/S",
              command=b'"{base}' + TOOL + b'" --source="{base}\\" /S', reading={"silent": b"1"}),
    nsis_case("NSIS: a folder outside the ANSI code page, UTF-16 build", folder="Łódź", build="utf16",
              unicode=True, status=0),
    nsis_case("NSIS: a tail", tail=b"--lang=de", command=b"{base}" + TOOL + b" --source={base} --lang=de"),
    nsis_case("NSIS: .setup_args with /S /D=: GetOptions runs the folder on to /S", source=b"{base} /S",
              copied=b"0", args_file=b"/S /D=C:\\Program Files\\Test App",
              command=b"{base}" + TOOL + b" --source={base} /S /D=C:\\Program Files\\Test App",
              reading={"instdir": b"C:\\Program Files\\Test App", "silent": b"1",
                       "cmdline": b"{base}" + TOOL + b" --source={base} /S"}),
]

# A tool that demands administrator rights, refused by CreateProcess with 740
# for a user without them: setup.exe asks for them for itself, and its copy
# that the shell starts elevated starts the tool. Wine refuses no start, and
# its every token is an administrator's: the build for these tests plays such
# a user where SETUP_TEST_UNELEVATED asks (elevate), until it asks the shell.
# The runner answers the boxes of the copy too.
def elevated(name, **kw):
    kw.setdefault("build", "elevation-utf16")
    return case(name, elevate=True, **kw)


FAILED_SETUP = b"Setup could not start the installer '{setup}'."
ELEVATION = [
    elevated("the copy starts the tool with the tail exactly, in the same folder; status 0",
             exit=7, tail=b'--a  "b c"  ', command=b"{base}" + TOOL + b' --source={base} --a  "b c"  '),
    elevated("built to pass the tool's status on: 7 through the copy", build="elevation", exit=7, status=7),
    elevated("a tail outside the ANSI code page, exactly", unicode=True, tail="--target=D:\\Łódź 표".encode(),
             command=b"{base}" + TOOL + " --source={base} --target=D:\\Łódź 표".encode()),
    # What Windows makes of Łódź in code page 1252 (best fit), in both copies.
    elevated("the ANSI build: its copy reads the bytes that the first one read", build="elevation", wide=True,
             tail="--target=D:\\Łódź".encode(), command=b"{base}" + TOOL + b" --source={base} --target=D:\\L\xf3dz"),
    elevated("a tail of 2,048 characters, as many as the shell takes", tail=b"x" * 2048,
             command=b"{base}" + TOOL + b" --source={base} " + b"x" * 2048),
    elevated("a tail of 2,049 characters: refused, naming the limit", tail=b"x" * 2049, status=206,
             box=FAILED_SETUP, named=b"setup", reason=PROMPT_TOO_LONG, command=None),
    # Wine hands the copy the first one's standard error, where Windows gives
    # an elevated copy none: its line is here.
    elevated("a failure that the copy told in its own box", args_file=FOLDER, status=2, box=UNREADABLE,
             command=None),
    elevated("a subst drive: the copy started from the folder it stands for", drive="s"),
    elevated("a subst drive of a deep folder, where the tool's path is too long: never asked", drive="t",
             folder="media" + "\\dddddddd" * 13, status=206, box=FAILED, reason=NAME_TOO_LONG, command=None),
    elevated("the current folder on a network drive that Windows cannot name: as it is", drive="n"),
]

# The first programs of a fresh Wine session, started as some harnesses start
# a program: suspended, no desktop named, in a job object, two at once.
# Wine gives a process no display driver for good when its desktop is not up
# within 10 s of its first window: without an X display, or on a slow
# machine. setup.exe cannot show a box then, and must say so: a box that
# Windows could not make is never taken for one that someone closed.
FRESH = [
    case("the first programs of a fresh session: the box, or where Wine's desktop came up too late, the line",
         tool=None, status=1, box=MISSING, command=None, job=True, may_be_unshowable=True),
    case("and beside it, at the same time", tool=None, status=1, box=MISSING, command=None, job=True,
         may_be_unshowable=True),
]
NO_DISPLAY = [
    case("no X display: the box could not be shown, and the line says so", tool=None, status=1, box=MISSING,
         command=None, job=True, unshowable=True),
    case("and beside it, at the same time", tool=None, status=1, box=MISSING, command=None, job=True,
         unshowable=True),
]

TABLES = {"launch": LAUNCH, "entry": ENTRY, "codepage": CODEPAGE, "special": SPECIAL, "nsis": NSIS,
          "elevation": ELEVATION, "fresh": FRESH + NO_DISPLAY}


LANGS = {"cp1252": "C.UTF-8", "cp932": "ja_JP.UTF-8", "cp1256": "ar_EG.UTF-8"}


def cases_of(group):
    return [c for c in TABLES[group] if ALL_BUILDS or os.path.exists(build_of(c))]


def lang_of(c):
    return c.get("lang") or LANGS[c["codepage"]]


def run_group(wine, top, group):
    """Runs one table, each code page's and language's cases in a runner of
    their own; returns the names of the cases that failed. NSIS's cases lie
    on drive C:, in a folder whose name GetOptions reads whole wherever this
    tree is (it would cut it at a - in the path)."""
    if group == "nsis":
        top = os.path.join(PREFIX, "drive_c", "nsis")
    failed = []
    cases = cases_of(group)
    if len(cases) < len(TABLES[group]):
        print("left out: the cases of builds that are not there (make test makes them first)")
    for cp, lang in sorted({(c["codepage"], lang_of(c)) for c in cases}):
        folder = cp if lang == LANGS[cp] else cp + "-" + lang.split(".")[0]
        failed += run_table(wine, os.path.join(top, folder),
                            [c for c in cases if (c["codepage"], lang_of(c)) == (cp, lang)], lang)
    if group == "special":
        failed += long_path(wine, os.path.join(top, "long_path"))
    return failed


def run_fresh(top):
    """The fresh table, each half in a Wine session of its own whose desktop
    nobody brought up; returns the names of the cases that failed."""
    failed = []
    for name, cases, display in (("no_display", NO_DISPLAY, False), ("display", FRESH, True)):
        with Wine() as wine:
            if not display:
                del wine.env["DISPLAY"]
            failed += run_table(wine, os.path.join(top, name), cases, "C.UTF-8", together=True)
    return failed


def in_wine(groups, rounds):
    lay_drives()
    counts = {}
    if "fresh" in groups:
        for n in range(rounds):
            started = time.time()
            print("== fresh%s" % (" (round %d)" % (n + 1) if rounds > 1 else ""))
            failed = run_fresh(os.path.join(WORK, str(n), "fresh"))
            print("fresh: %d failed, %.0f s" % (len(failed), time.time() - started))
            if rounds == 1:
                record_stage("e2e fresh sessions", time.time() - started)
            for name in failed:
                counts[("fresh", name)] = counts.get(("fresh", name), 0) + 1
    with Wine() as wine:
        started = time.time()
        wine.bring_up_desktop()
        record_stage("wine session: Xvfb, wineserver, desktop", time.time() - started)
        for n in range(rounds):
            for group in [g for g in groups if g != "fresh"]:
                started = time.time()
                print("== %s%s" % (group, " (round %d)" % (n + 1) if rounds > 1 else ""))
                failed = run_group(wine, os.path.join(WORK, str(n), group), group)
                seconds = time.time() - started
                print("%s: %d failed, %.0f s" % (group, len(failed), seconds))
                if rounds == 1:
                    record_stage("e2e " + group, seconds)
                for name in failed:
                    counts[(group, name)] = counts.get((group, name), 0) + 1
    if rounds > 1:
        print("== failures per case in %d rounds" % rounds)
        for group in groups:
            names = [c["name"] for c in cases_of(group)] + ([LONG_PATH] if group == "special" else [])
            for name in names:
                print("%d of %d  %s: %s" % (counts.get((group, name), 0), rounds, group, name))
    print("%d failed" % sum(counts.values()))
    return 1 if counts else 0


def make_nsis_tool():
    """Builds the NSIS installer that stands in for the tool, where makensis is."""
    if os.path.exists(NSIS_TOOL):
        os.remove(NSIS_TOOL)
    if shutil.which("makensis"):
        os.makedirs(os.path.dirname(NSIS_TOOL), exist_ok=True)
        subprocess.run(["makensis", "-V1", "-DOUT=" + NSIS_TOOL, os.path.join(os.path.dirname(__file__), "nsis_tool.nsi")],
                       check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--load", type=int, default=0)
    parser.add_argument("--in-wine", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("tables", nargs="*", metavar="TABLE")
    args = parser.parse_args()
    for table in args.tables:
        if table not in TABLES:
            parser.error("no table %r; there are %s" % (table, ", ".join(TABLES)))
    if not args.in_wine:
        started = time.time()
        make_nsis_tool()
        load = subprocess.Popen(["stress-ng", "--quiet", "--cpu", str(args.load)]) if args.load else None
        try:
            status = run_where_wine_runs(__file__, ["--rounds", str(args.rounds)] + args.tables,
                                         timeout=1800 * args.rounds + 1200)
        finally:
            if load:
                load.terminate()
                load.wait()
        record_stage("e2e in all, with the virtual machine where there is one", time.time() - started)
        return status
    return in_wine(args.tables or list(TABLES), args.rounds)


if __name__ == "__main__":
    sys.exit(main())
