"""The settings (MEDIUM_*), each checked, and the plan they give: every file
of the medium, its label and the summary.
"""
import collections
import hashlib
import os
import stat

import setup_exe
from files import NotAFile, blocks, open_file, read_whole
from names import PATH_MAX, SUMS, label_problem, unholdable, windows_upper
from say import fail, step

# The ANSI code pages of Windows, by the names Python gives them.
CODE_PAGES = {n: "cp%d" % n for n in (874, 932, 949, 950, *range(1250, 1259))}
CODE_PAGES.update({936: "gbk", 65001: "utf-8"})
SETTINGS = ("MEDIUM_TOOL", "MEDIUM_ARGS", "MEDIUM_ARGS_CODE_PAGE", "MEDIUM_EXTRA", "MEDIUM_LABEL", "MEDIUM_ISO")
# What setup.exe takes: 32,766 UTF-16 units, of which the shortest head
# ("X:\" twice, the tool's path, " --source=" and the blank) takes 62.
ARGS_MAX_UNITS = 32766 - 62


# The kernel's pseudo-files: a link there would put the machine's state (a
# process's environment, say) on the medium, or block on a device.
PSEUDO = ("/proc", "/sys", "/dev")

# A file that goes on the medium as the plan saw it: the name it was found
# by, the path that the copy opens (a link's target, resolved, where one was
# followed), and what the open file must be: its device, inode and size.
Source = collections.namedtuple("Source", "name path followed device inode size links")


def pseudo(path):
    return any(path == p or path.startswith(p + "/") for p in PSEUDO)


def link_target(source):
    """Where the link source leads, each hop looked at: refused where one
    leads into the kernel's pseudo-files (/dev/stdin, say, which names
    whatever standard input is), nowhere or round in a loop."""
    hop = source
    for _ in range(40):
        if not os.path.islink(hop):
            break
        hop = os.path.normpath(os.path.join(os.path.realpath(os.path.dirname(hop)), os.readlink(hop)))
        if pseudo(hop):
            break
    try:
        real = hop if pseudo(hop) else os.path.realpath(source, strict=True)
    except OSError as e:
        fail("%s is a link that %s" % (source, "goes round in a loop" if e.errno == 40 else "leads nowhere"))
    if pseudo(real):
        fail("%s is a link to %s, among the kernel's pseudo-files (/proc, /sys, /dev): make medium "
             "follows links to files and folders alone" % (source, real))
    return real


def tree_files(top, prefix, files, medium):
    """Adds every file under top to files, as a Source; follows links to
    files and folders, refusing those that lead nowhere, back up the tree,
    into the kernel's pseudo-files, to anything else, or to a place that
    holds the medium or lies in it. Returns the links followed, each with
    its target."""
    links = []

    def visit(folder, above):
        names = sorted(os.listdir(folder))
        if not names and folder != top:
            fail("%s is an empty folder: SHA256SUMS lists files alone, so no check could tell it from one "
                 "added by hand; put a file in it, or remove it" % folder)
        for name in names:
            source = os.path.join(folder, name)
            followed = os.path.islink(source)
            real = link_target(source) if followed else os.path.realpath(source)
            seen = os.stat(real) if followed else os.lstat(source)
            if followed:
                if not (stat.S_ISREG(seen.st_mode) or stat.S_ISDIR(seen.st_mode)):
                    fail("%s is a link to %s, which is neither a file nor a folder" % (source, real))
                refuse_nested(medium, "%s, to which the link %s leads" % (real, source), real)
                links.append((source, real))
            if stat.S_ISDIR(seen.st_mode):
                if real in above:
                    fail("%s is a link to %s, a folder that holds it: a loop" % (source, real))
                visit(source, above | {real})
            elif stat.S_ISREG(seen.st_mode):
                files.append((prefix + os.path.relpath(source, top).replace(os.sep, "/"),
                              Source(source, real if followed else source, followed, seen.st_dev, seen.st_ino,
                                     seen.st_size, seen.st_nlink)))
            else:
                fail("%s is neither a file nor a folder" % source)

    visit(top, {os.path.realpath(top)})
    return links


def few(names):
    return ", ".join(names[:3]) + (" and %d more" % (len(names) - 3) if len(names) > 3 else "")


def links_said(links, tops, files):
    """The summary's word on links: how many, and those that lead out of the
    trees given, which may bring in what the author did not mean to ship;
    and files with another name (a hard link) outside them, which an edit
    there changes."""
    inside = [os.path.realpath(t) for t in tops]
    outside = ["%s -> %s" % link for link in links
               if not any(link[1] == t or link[1].startswith(t + os.sep) for t in inside)]
    said = "%d" % len(links)
    if outside:
        said += "; %d to outside MEDIUM_TOOL and MEDIUM_EXTRA: %s" % (len(outside), few(outside))
    sources = [source for _, source in files if isinstance(source, Source)]
    names_inside = collections.Counter((s.device, s.inode) for s in sources if not s.followed)
    hard = sorted({s.name for s in sources if not s.followed and s.links > names_inside[(s.device, s.inode)]})
    if hard:
        said += "; %d a hard link to a file outside MEDIUM_TOOL and MEDIUM_EXTRA: %s" % (len(hard), few(hard))
    return said


def refuse_what_setup_exe_would_change(text):
    """setup.exe stops reading .setup_args at a zero byte or a Ctrl-Z, reads
    CR LF as a line feed and drops the line feeds at its end, and refuses
    (206) a command line longer than Windows takes, whatever its folder."""
    for c, what in (("\0", "a zero byte"), ("\x1a", "a Ctrl-Z"), ("\r\n", "a CR LF")):
        if c in text:
            fail("MEDIUM_ARGS holds %s, where setup.exe would %s" % (
                what, "read CR LF as a line feed" if c == "\r\n" else "stop reading"))
    if text.endswith("\n"):
        fail("MEDIUM_ARGS ends in a line feed, which setup.exe drops")
    units = len(text.encode("utf-16-le", "surrogatepass")) // 2
    if units > ARGS_MAX_UNITS:
        fail("MEDIUM_ARGS is %d characters long: with the shortest folder, the tool's command line would "
             "be longer than the 32,766 that Windows takes, and setup.exe would refuse it (status 206); "
             "at most %d fit" % (units, ARGS_MAX_UNITS))


def argument_bytes(utf16):
    """The bytes of .setup_args, None for none, and what the summary says of
    them, for a setup.exe that passes a UTF-16 command line on, or not."""
    page = os.environ.get("MEDIUM_ARGS_CODE_PAGE")
    if page is not None and not (page.isdigit() and int(page) in CODE_PAGES):
        fail("MEDIUM_ARGS_CODE_PAGE is %r: it takes a Windows ANSI code page, one of %s"
             % (page, ", ".join(str(n) for n in sorted(CODE_PAGES))))
    if "MEDIUM_ARGS" not in os.environ:
        return None, "unset: no .setup_args, so the tool gets --dvd"
    raw = os.environb[b"MEDIUM_ARGS"]
    if raw.isascii():
        refuse_what_setup_exe_would_change(raw.decode())
        return raw, "%r, %d bytes of ASCII" % (raw.decode(), len(raw))
    if page is None and utf16:
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            fail("MEDIUM_ARGS is not UTF-8 text")
        refuse_what_setup_exe_would_change(text)
        data = b"\xef\xbb\xbf" + raw
        return data, "%r, %d bytes in UTF-8 with the byte-order mark, which this setup.exe reads on " \
                     "every Windows" % (text, len(data))
    if page is None:
        fail("MEDIUM_ARGS is not ASCII: setup.exe reads .setup_args in the ANSI code page of the Windows "
             "it runs on, so MEDIUM_ARGS_CODE_PAGE must say which one to write it in (1252 for Western "
             "European Windows, 932 for Japanese, ...)")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        fail("MEDIUM_ARGS is not UTF-8 text")
    refuse_what_setup_exe_would_change(text)
    for c in text:
        try:
            c.encode(CODE_PAGES[int(page)])
        except UnicodeEncodeError:
            fail("MEDIUM_ARGS has %r (U+%04X), which code page %s cannot hold" % (c, ord(c), page))
    data = text.encode(CODE_PAGES[int(page)])
    return data, "%r, %d bytes in code page %s" % (text, len(data), page)


def signature(setup, data, record):
    """Who signed setup (its bytes, data), or that nobody did, and a warning
    where a signature carries no time stamp; refuses a setup.exe that is not
    the one that make sign recorded (record), or any of whose signatures or
    stamps does not verify."""
    if os.path.lexists(record):
        signed = (read_whole(record) or b"").decode("utf-8", "replace").split()
        if hashlib.sha256(data).hexdigest() not in signed:
            fail("%s is not the file that make sign recorded in %s: it was built or changed since, or make sign "
                 "was stopped before it recorded it. Sign it again (make sign), or remove %s to ship it "
                 "unsigned" % (setup, record, record))
    try:
        found = setup_exe.signatures(data)
    except setup_exe.NoVerifier:
        fail("openssl is missing (make deps): it checks setup.exe's signatures")
    except setup_exe.NotAProgram as e:
        fail("%s: %s; sign it again (make sign)" % (setup, e))
    problem = setup_exe.signature_problem(setup, found)
    if problem:
        fail(problem + ": sign it again (make sign)")
    return setup_exe.signature_said(found)


def setup_facts(setup, data):
    """What setup is, from its bytes (data), read once: whether it reads a
    UTF-16 command line, whether it has an icon, who signed it, and a warning
    where its signature is not stamped."""
    try:
        utf16, has_icon = setup_exe.describe(data)
    except setup_exe.NotAProgram as e:
        fail("%s is not a setup.exe that make builds: %s" % (setup, e))
    if setup_exe.built_for_tests(data):
        fail(setup_exe.TEST_ONLY % setup)
    return (utf16, has_icon) + signature(setup, data, setup + ".signed")


def inside(path, folder):
    return path == folder or path.startswith(folder.rstrip("/") + "/")


def work_folder(medium):
    return os.path.join(os.path.dirname(medium), ".%s.work" % os.path.basename(medium))


def refuse_nested(medium, what, real):
    """A tree or a followed link's target (real, named by what) that holds
    FOLDER, its image or the kit's files beside them would ship the last
    run's medium, image, lock and record, more each run; one inside FOLDER
    or its work folder would go aside with the old medium."""
    work = work_folder(medium)
    for path in (medium, medium + ".iso", medium + ".made", medium + ".lock", work):
        if inside(path, real):
            fail("%s lies inside %s: each run would ship the last one's medium and image; make the medium "
                 "elsewhere" % (path, what))
    for path in (medium, work):
        if inside(real, path):
            fail("%s lies inside %s, which make medium replaces; keep it elsewhere" % (what, path))


Plan = collections.namedtuple("Plan", "files label summary warning setup_read")


def plan(setup, medium):
    """Every file of the medium, as (path on the medium, Source or bytes),
    the label, the lines of the summary, a warning (or None), and what
    setup.exe was when its bytes were read, once: what the summary says of
    it and what ships are those bytes."""
    unknown = sorted(k for k in os.environ if k.startswith("MEDIUM_") and k not in SETTINGS)
    if unknown:
        fail("%s: not a setting of make medium (%s)" % (", ".join(unknown), ", ".join(SETTINGS[:-1])))
    tool = os.environ.get("MEDIUM_TOOL")
    if not tool:
        fail("MEDIUM_TOOL is not set: it names the folder that becomes vorald_installer, "
             "with bin/vorald_installer_cmd.exe in it")
    if not os.path.isfile(os.path.join(tool, "bin", "vorald_installer_cmd.exe")):
        found = [os.path.join(d, f) for d, _, fs in os.walk(tool) for f in fs
                 if f.lower() == "vorald_installer_cmd.exe"]
        fail("no %s: setup.exe looks for vorald_installer\\bin\\vorald_installer_cmd.exe, spelled so%s"
             % (os.path.join(tool, "bin", "vorald_installer_cmd.exe"),
                "; found " + ", ".join(found) if found else ""))
    if not os.path.isfile(setup):
        fail("no %s: build it first (make)" % setup)
    try:
        fd, setup_read = open_file(setup, follow=True)
        try:
            data = b"".join(blocks(fd, setup_read.st_size))
        finally:
            os.close(fd)
    except NotAFile as e:
        fail("%s %s" % (setup, e) + (" while it was read: run make medium again once it is built"
                                     if str(e) in ("grew", "shrank") else ": make medium ships a setup.exe"))
    except OSError as e:
        fail("%s cannot be read: %s" % (setup, e.strerror))
    step("setup.exe read")
    utf16, has_icon, signed, warning = setup_facts(setup, data)
    label = os.environ.get("MEDIUM_LABEL", "Setup")
    why = label_problem(label)
    if why:
        fail("MEDIUM_LABEL is %r: it %s" % (label, why))
    autorun = "[autorun]\r\nopen=setup.exe\r\n" + ("icon=setup.exe,0\r\n" if has_icon else "")
    # autorun.inf is ANSI text: a label it cannot hold is left to the volume's.
    if label.isascii():
        autorun += "label=%s\r\n" % label
    files = [("setup.exe", data), ("autorun.inf", autorun.encode("ascii"))]
    args, args_said = argument_bytes(utf16)
    if args is not None:
        files.append((".setup_args", args))
    extra = os.environ.get("MEDIUM_EXTRA")
    links = []
    tops = [("vorald_installer/", tool)] + ([("", extra)] if extra else [])
    for variable, top in [("MEDIUM_TOOL", tool)] + ([("MEDIUM_EXTRA", extra)] if extra else []):
        refuse_nested(medium, "%s (%s)" % (variable, top), os.path.realpath(top))
    extras = []
    for prefix, top in tops:
        if not os.path.isdir(top):
            fail("%s is not a folder" % top)
        links += tree_files(top, prefix, extras if prefix == "" else files, medium)
    files += extras
    # The tool's own folder is the tool's: a DLL there is one that the tool loads.
    beside_tool = [source.name for path, source in extras
                   if windows_upper(path).startswith(windows_upper("vorald_installer/bin/"))]
    if beside_tool:
        fail("MEDIUM_EXTRA would put %s into vorald_installer\\bin\\, the tool's own folder, where the tool "
             "would load a DLL of that name: put them into MEDIUM_TOOL" % few(beside_tool))
    summary = ["setup.exe             %s, %s, for a tool that reads its command line in %s"
               % (setup, signed, "UTF-16" if utf16 else "the ANSI code page"),
               "MEDIUM_TOOL           %s" % tool,
               "MEDIUM_ARGS           %s" % args_said,
               "MEDIUM_ARGS_CODE_PAGE %s" % os.environ.get("MEDIUM_ARGS_CODE_PAGE", "unset"),
               "MEDIUM_EXTRA          %s" % (extra or "unset"),
               "MEDIUM_LABEL          %r%s" % (label, "" if "MEDIUM_LABEL" in os.environ else " (unset: the default)"),
               "links followed        %s" % links_said(links, [top for _, top in tops], files)]
    return Plan(files, label, summary, warning, setup_read)


def refuse_what_windows_would_not_see(files):
    """Names that Windows cannot hold, and two that it would take for one,
    among them the kit's own: SHA256SUMS, and .setup_args whether or not
    MEDIUM_ARGS asks for one, so that the summary always tells the truth."""
    seen = {}
    own = [(SUMS, b""), (".setup_args", b"")]
    for path, source in files + own:
        parts = path.split("/")
        for depth, name in enumerate(parts):
            here = "/".join(parts[:depth + 1])
            named = source.name if isinstance(source, Source) else \
                path if path == "setup.exe" else "make medium's own " + path
            mine = (here, named if depth == len(parts) - 1 else "the folder " + here)
            why = unholdable(name)
            if why:
                fail("%s (%s on the medium): the name %s" % (mine[1], here, why))
            if len(here) + 1 > PATH_MAX:
                fail("%s (%s on the medium): the path is longer than Joliet's %d characters"
                     % (mine[1], here, PATH_MAX))
            other = seen.setdefault(windows_upper(here), mine)
            if other != mine:
                fail("%s and %s would both be %s on the medium: Windows would see only one of them"
                     % (other[1], mine[1], here))
