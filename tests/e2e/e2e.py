#!/usr/bin/env python3
"""End-to-end tests of setup.exe under Wine, against a substitute installer
tool that records how it was started.

    e2e.py GROUP   runs one table of cases: launch, entry, codepage or special
"""
import os
import shutil
import sys

from winenv import BUILD, PREFIX, Wine, windows_path

WIN32 = os.environ.get("WIN32_BUILD_DIR", os.path.join(BUILD, "win32"))
WORK = os.path.join(BUILD, "e2e")
TOOL = b"vorald_installer\\bin\\vorald_installer_cmd.exe"
MISSING = b"Installer executable '{base}" + TOOL + b"' does not exist"
UNREADABLE = b"Can not open '{base}.setup_args' for reading"
DVD = b"{base}" + TOOL + b" --source={base} --dvd"

# An argument file that is a folder, or that another program holds open
# without read sharing.
FOLDER, LOCKED = "folder", "locked"


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
    case("argument file is a folder", args_file=FOLDER, status=2, box=UNREADABLE, command=None),
    case("argument file held open without read sharing", args_file=LOCKED, status=2, box=UNREADABLE,
         command=None),
    # Windows says 5 here, Wine 2: either way the start failed and no box shows.
    case("a folder named like the tool", tool="folder", status="error", command=None),
    case("blanks in the base directory; a planted my.exe does not run", folder="my media",
         plant="my.exe",
         command=b'"{base}' + TOOL + b'" "--source={base}\\" --dvd',
         argv=[b"--source={base}", b"--dvd"]),
]

ENTRY = [
    case("quoted program name with blanks, two blanks, one word", folder="my media",
         line=b'"{setup}"  word', command=b'"{base}' + TOOL + b'" "--source={base}\\" word'),
    case("unquoted name, a tab, two words, two trailing blanks",
         line=b"{setup}\tone two  ", command=b"{base}" + TOOL + b" --source={base} one two  "),
    case("only the program name", line=b'"{setup}"'),
    case("only the program name and blanks: the argument file is used", args_file=b"--file\n",
         line=b'"{setup}"   ', command=b"{base}" + TOOL + b" --source={base} --file"),
    case("a quote opening inside the program name", folder="med ia", line=b'{dir}"med ia"\\setup.exe --x',
         command=b'"{base}' + TOOL + b'" "--source={base}\\" --x'),
    case("an unclosed opening quote: the whole line is the program name", line=b'"{setup} --x'),
    case("a line that begins with a blank hands on the program name",
         line=b" {setup} --x", command=b"{base}" + TOOL + b" --source={base} {setup} --x"),
    case("quoted arguments keep their quotes", line=b'"{setup}" "--a b" "c"',
         command=b"{base}" + TOOL + b' --source={base} "--a b" "c"'),
    case("the launch result 2 becomes the exit status", args_file=FOLDER, status=2, box=UNREADABLE,
         command=None),
    case("a failed start's error code becomes the exit status", tool="folder", status="error",
         command=None),
]

# Code page 932: the second byte of 表 (0x95 0x5C) is a backslash.
CODEPAGE = [
    case("a folder named 表", folder="表", codepage="cp932"),
    case("a folder named 表 with a blank", folder="表 x\\表", codepage="cp932",
         command=b'"{base}' + TOOL + b'" "--source={base}\\" --dvd',
         argv=[b"--source={base}", b"--dvd"]),
    case("an argument file and a tail in 932", folder="表", codepage="cp932",
         tail=b"--name=\x95\x5c", command=b"{base}" + TOOL + b" --source={base} --name=\x95\x5c"),
]


def windows_dir(path, codepage):
    return windows_path(path, codepage) + b"\\"


def lay_out(group_dir, c, index):
    """Makes the medium of one case; returns its folder."""
    top = os.path.join(group_dir, str(index))
    medium = os.path.join(top, *c["folder"].split("\\"))
    if c.get("share"):
        # Wine serves \\server\share\ from dosdevices/unc/server/share.
        unc = os.path.join(PREFIX, "dosdevices", "unc", "server")
        os.makedirs(unc, exist_ok=True)
        link = os.path.join(unc, "share")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(top, link)
    os.makedirs(medium)
    os.makedirs(os.path.join(top, c["cwd"]))
    shutil.copy(os.path.join(WIN32, "setup.exe"), medium)
    bin_dir = os.path.join(medium, "vorald_installer", "bin")
    os.makedirs(bin_dir)
    tool = os.path.join(bin_dir, "vorald_installer_cmd.exe")
    if c["tool"] == "fake":
        shutil.copy(os.path.join(WIN32, "fake_tool.exe"), tool)
    elif c["tool"] == "folder":
        os.makedirs(tool)
    elif c["tool"] == "text":
        with open(tool, "w") as f:
            f.write("not a program\n")
    if c.get("plant_dll"):
        shutil.copy(os.path.join(WIN32, "planted.dll"), os.path.join(medium, c["plant_dll"]))
    if c.get("plant_in_cwd"):
        planted = os.path.join(top, c["cwd"], *c["plant_in_cwd"].split("\\"))
        os.makedirs(os.path.dirname(planted))
        shutil.copy(os.path.join(WIN32, "fake_tool.exe"), planted)
    if c.get("plant"):
        shutil.copy(os.path.join(WIN32, "fake_tool.exe"), os.path.join(os.path.dirname(medium), c["plant"]))
    args_path = os.path.join(medium, ".setup_args")
    if c["args_file"] == FOLDER:
        os.makedirs(args_path)
    elif c["args_file"] is not None:
        with open(args_path, "wb") as f:
            f.write(b"" if c["args_file"] == LOCKED else c["args_file"])
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


def check(c, values, result, record, cwd):
    """Returns the list of what went wrong in one case."""
    problems = []

    def expect(what, got, wanted):
        if got != wanted:
            problems.append("%s: got %r, wanted %r" % (what, got, wanted))

    if c.get("plant_dll"):
        expect("planted DLL loaded", os.path.exists(os.path.join(values[b"top"].decode(), "marker")), False)
    if "start_error" in result:
        return ["the runner could not start setup.exe: error %s" % result["start_error"][0].decode()]
    status = int(result["status"][0])
    if c["status"] == "error":
        if status in (0, 1):
            problems.append("status: got %d, wanted a platform error code" % status)
    else:
        expect("status", status, c["status"])

    boxes = result.get("box", [])
    wanted_boxes = [fill(c["box"], values)] if c["box"] else []
    expect("boxes", [b.split(b"\n")[0] for b in boxes], wanted_boxes)
    for box in boxes:
        expect("box caption, icon and buttons", box.split(b"\n")[1:], [b"Setup", b"error", b"1:OK;"])

    if c["command"] is None:
        expect("tool started", record is not None, False)
        return problems
    if record is None:
        return problems + ["the tool did not record a start"]
    expect("tool finished before setup.exe ended", result["tool_done"][0], b"1")
    expect("command line", record["cmdline"][0], fill(c["command"], values))
    expect("tool module", record["module"][0], values[b"tool"])
    expect("tool's current directory", record["cwd"][0], cwd)
    if c.get("argv"):
        expect("tool argv", record["argv"][1:], [fill(a, values) for a in c["argv"]])
    return problems


def run_table(wine, group_dir, cases):
    """Runs the cases in one Wine process; returns the number that failed."""
    shutil.rmtree(group_dir, ignore_errors=True)
    jobs = []
    for index, c in enumerate(cases):
        jobs.append(prepare(group_dir, c, index))
    out = wine.run(["wine", os.path.join(WIN32, "e2e_runner.exe")] + [j["case_file"] for j in jobs],
                   timeout=900)
    if out.returncode != 0:
        print(out.stdout.decode(errors="replace"))
    failures = 0
    for job in jobs:
        try:
            with open(os.path.join(job["top"], "result"), "rb") as f:
                result = parse_fields(f.read())
            problems = check(job["case"], job["values"], result, read_record(job["record"]), job["cwd"])
        except FileNotFoundError:
            problems = ["no result from the runner"]
        report(job["case"]["name"], problems)
        failures += bool(problems)
    return failures


def prepare(group_dir, c, index):
    """Lays out one case's medium and writes the runner's case file."""
    cp = c["codepage"]
    top, medium = lay_out(group_dir, c, index)
    base = windows_dir(medium, cp)
    if c.get("share"):
        base = b"\\\\server\\share\\" + c["folder"].encode() + b"\\"
    setup = base + b"setup.exe"
    values = {b"base": base, b"setup": setup, b"dir": windows_dir(top, cp), b"tool": base + TOOL,
              b"top": top.encode()}
    if c["line"]:
        line = fill(c["line"], values)
    else:
        line = b'"' + setup + b'"' + (b" " + c["tail"] if c["tail"] else b"")
    record = os.path.join(top, "record")
    cwd = windows_path(os.path.join(top, c["cwd"]), cp)
    lines = [b"app=" + setup, b"cmdline=" + line, b"cwd=" + cwd,
             b"env=FAKE_TOOL_RECORD=" + windows_path(record, cp),
             b"env=FAKE_TOOL_EXIT=%d" % c["exit"], b"env=FAKE_TOOL_SLEEP_MS=%d" % c["sleep"],
             b"result=" + windows_path(os.path.join(top, "result"), cp)]
    if c["args_file"] == LOCKED:
        lines.append(b"lock=" + base + b".setup_args")
    if c.get("plant_dll"):
        values[b"marker"] = windows_path(os.path.join(top, "marker"), cp)
    lines += [b"env=" + fill(e, values) for e in c.get("env", [])]
    case_file = os.path.join(top, "case")
    with open(case_file, "wb") as f:
        f.write(b"\n".join(lines) + b"\n")
    return {"case": c, "values": values, "top": top, "record": record, "cwd": cwd,
            "case_file": case_file}


def read_record(path):
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        return parse_fields(f.read())


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
    case("a text file named like the tool", tool="text", status="error", command=None),
    case("a tool that crashes has still run", env=[b"FAKE_TOOL_CRASH=1"]),
    # Windows would refuse it with 206; Wine would start the tool without
    # its arguments, so setup.exe refuses it itself.
    case("an argument file of 1 MiB on one line: the command line is refused",
         args_file=b"x" * (1 << 20), status=206, command=None),
    # Wine prefers its own user32 unless told otherwise; told so, it would
    # take a user32.dll that a DLL search finds beside the program. Last: the
    # runner keeps the setting for the cases after it.
    case("a planted user32.dll beside setup.exe is never loaded", tool=None, status=1, box=MISSING,
         command=None, plant_dll="user32.dll",
         env=[b"FAKE_DLL_MARKER={marker}", b"WINEDLLOVERRIDES=user32=n,b"]),
]


def long_path(wine):
    """A launcher whose path is too long for Windows' limit of 259 characters,
    with a tool planted where the cut-off path points."""
    top = os.path.join(WORK, "special", "long_path")
    shutil.rmtree(top, ignore_errors=True)
    short = os.path.join(top, "a")
    short += "a" * (200 - len(windows_dir(short, "cp1252")))
    medium = os.path.join(short, "b" * 100)
    os.makedirs(os.path.join(medium, "vorald_installer", "bin"))
    shutil.copy(os.path.join(WIN32, "setup.exe"), medium)
    for base in (medium, short):
        os.makedirs(os.path.join(base, "vorald_installer", "bin"), exist_ok=True)
        shutil.copy(os.path.join(WIN32, "fake_tool.exe"),
                    os.path.join(base, "vorald_installer", "bin", "vorald_installer_cmd.exe"))
    record = os.path.join(top, "record")
    result = os.path.join(top, "result")
    wine.env["FAKE_TOOL_RECORD"] = windows_path(record).decode()
    # CreateProcess refuses such a path; Wine starts it from its Unix path.
    watcher = wine.popen(["wine", os.path.join(WIN32, "e2e_runner.exe"), "--watch",
                          windows_path(result).decode(), "120000"])
    run = wine.run(["wine", os.path.join(medium, "setup.exe")], cwd=top)
    watcher.wait(timeout=300)
    with open(result, "rb") as f:
        boxes = parse_fields(f.read()).get("box", [])
    problems = []
    if run.returncode != 1:
        problems.append("status: got %d, wanted 1" % run.returncode)
    wanted = [b"Installer executable '" + TOOL + b"' does not exist", b"Setup", b"error", b"1:OK;"]
    if [b.split(b"\n") for b in boxes] != [wanted]:
        problems.append("boxes: got %r" % boxes)
    if os.path.exists(record):
        problems.append("a tool ran: %r" % read_record(record)["module"])
    report("a launcher path over 259 characters; a tool planted at the cut-off path", problems)
    return bool(problems)

TABLES = {"launch": LAUNCH, "entry": ENTRY, "codepage": CODEPAGE, "special": SPECIAL}


LANGS = {"cp1252": "C.UTF-8", "cp932": "ja_JP.UTF-8"}


def main():
    group = sys.argv[1]
    failures = 0
    cases = TABLES[group]
    for cp in sorted({c["codepage"] for c in cases}):
        with Wine(LANGS[cp]) as wine:
            failures += run_table(wine, os.path.join(WORK, group, cp),
                                  [c for c in cases if c["codepage"] == cp])
    if group == "special":
        with Wine() as wine:
            failures += long_path(wine)
    print("%s: %d failed" % (group, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
