"""make medium's settings and plan: what it refuses before it writes
anything, what the summary says, and what it reads from setup.exe itself.
"""
import glob
import os
import shlex
import shutil

from common import BUILD, SETUP, expect, lay_files, medium_holding, replaced, rewrite, run


def refusals(m):
    """Each setting and each name that make medium refuses, naming it."""
    work, out, script, good, tool, bare = m.work, m.out, m.script, m.good, m.tool, m.bare
    deep = m.deep
    lodz = dict(good, MEDIUM_ARGS="--title=Łódź")
    no_args = {k: v for k, v in good.items() if k != "MEDIUM_ARGS"}
    os.mkfifo(os.path.join(work, "a-fifo"))
    for what, env, extra_files, says in (
            ("no MEDIUM_TOOL", bare, [], "MEDIUM_TOOL"),
            ("a tool folder without bin", dict(good, MEDIUM_TOOL=os.path.join(tool, "bin")), [], "found"),
            ("a tool in Bin, not bin", dict(good, MEDIUM_TOOL=os.path.join(work, "cased")), [], "Bin"),
            ("a name of 65 characters", good, ["n" * 65], "64 characters"),
            ("a colon in a name", good, ["a:b.txt"], "forbids"),
            ("a character beyond U+FFFF", good, ["a😀.txt"], "UCS-2"),
            ("a name that is not UTF-8", good, ["a\udcff.txt"], "not UTF-8"),
            ("a name ending in a dot", good, ["docs/a.txt."], "ends in a dot"),
            ("a file named aux", good, ["aux"], "reserves"),
            ("a file named docs/Con.txt", good, ["docs/Con.txt"], "reserves"),
            ("a file named docs/CON .txt", good, ["docs/CON .txt"], "reserves"),
            ("a file named com9", good, ["com9"], "reserves"),
            ("a file named docs/LPT9.log", good, ["docs/LPT9.log"], "reserves"),
            ("a file named COM\u00b9", good, ["COM\u00b9"], "reserves"),
            ("a file named docs/lpt\u00b3.log", good, ["docs/lpt\u00b3.log"], "reserves"),
            ("a name ending in a blank", good, ["docs/a "], "ends in a dot or a blank"),
            ("a name with a line feed, said on one line", good, ["a\nb.txt"], "a\\nb.txt"),
            ("a link to the folder that holds it", good, ["docs/up -> .."], "loop"),
            ("a link to itself", good, ["me -> me"], "loop"),
            ("a link that leads nowhere", good, ["gone -> missing.txt"], "leads nowhere"),
            ("a path of 120 characters", good, [deep + "f"], deep + "f"),
            ("two names that differ in case", good, ["readme.txt", "README.txt"], "README.txt"),
            ("a setup.exe in MEDIUM_EXTRA", good, ["Setup.exe"], "Setup.exe"),
            ("a label of 17 characters", dict(good, MEDIUM_LABEL="x" * 17), [], "MEDIUM_LABEL"),
            ("MEDIUM_ARGS beyond ASCII without a code page", lodz, [], "MEDIUM_ARGS_CODE_PAGE"),
            ("MEDIUM_ARGS that code page 1252 cannot hold", dict(lodz, MEDIUM_ARGS_CODE_PAGE="1252"), [], "U+0141"),
            ("a MEDIUM_ variable that is no setting", dict(good, MEDIUM_LABLE="x"), [], "MEDIUM_LABLE"),
            ("a .SETUP_ARGS in MEDIUM_EXTRA, MEDIUM_ARGS unset", no_args, [".SETUP_ARGS"], ".SETUP_ARGS"),
            ("a .setup_args in MEDIUM_EXTRA, MEDIUM_ARGS unset", no_args, [".setup_args"], "own .setup_args"),
            ("a link to /proc/self/environ", good, ["env -> /proc/self/environ"], "pseudo-files"),
            ("a link to a FIFO", good, ["pipe -> ../a-fifo"], "neither a file nor a folder"),
            ("a link to /dev/stdin, which names whatever standard input is", good, ["in -> /dev/stdin"],
             "pseudo-files"),
            ("a file from MEDIUM_EXTRA in the tool's own folder", good, ["Vorald_Installer/bin/version.dll"],
             "version.dll into vorald_installer\\bin\\"),
            ("a FOLDER inside MEDIUM_EXTRA", dict(good, MEDIUM_EXTRA=work), [], "lies inside MEDIUM_EXTRA"),
            ("a link to the folder that holds FOLDER", good, ["up -> " + work], "lies inside %s, to which" % work),
            ("a label with a byte that is not UTF-8", dict(good, MEDIUM_LABEL="x\udcff"), [], "MEDIUM_LABEL"),
            ("an autorun.inf in MEDIUM_EXTRA, named as text", good, ["AutoRun.inf"], "make medium's own autorun"),
            ("an empty folder", good, ["docs/empty/"], "empty folder"),
            ("MEDIUM_ARGS too long for any folder", dict(good, MEDIUM_ARGS="x" * 40000), [], "32,766"),
            ("MEDIUM_ARGS with a Ctrl-Z", dict(good, MEDIUM_ARGS="--a\x1a--b"), [], "Ctrl-Z"),
            ("MEDIUM_ARGS with CR LF", dict(good, MEDIUM_ARGS="--a\r\n--b"), [], "CR LF")):
        bad_extra = os.path.join(work, "bad-extra")
        lay_files(bad_extra, extra_files)
        done = run(script + ["make", out], env=dict(env, MEDIUM_EXTRA=bad_extra) if extra_files else env)
        expect("make medium refuses %s, naming it, and makes nothing" % what,
               done.returncode != 0 and says in done.stderr and "b'" not in done.stderr and
               len(done.stderr.strip().splitlines()) == 1 and
               "Traceback" not in done.stderr and not glob.glob(os.path.join(work, "*medium*")), done.stderr[-300:])
        run(["rm", "-rf"] + glob.glob(os.path.join(work, "*medium*")))  # one fault, one failing row
    # A MEDIUM_TOOL inside FOLDER; /dev/stdin while standard input is a
    # file, whose name the link then leads to; a procfs mounted elsewhere.
    linked = os.path.join(work, "linked-folder")
    os.symlink(m.extra, linked)
    done = run(script + ["make", linked], env=good)
    expect("make medium refuses a FOLDER that is a link, naming it, and leaves no lock beside it",
           done.returncode != 0 and "is a link" in done.stderr and not os.path.lexists(linked + ".lock"),
           done.stderr[-300:])
    os.remove(linked)
    inner = os.path.join(work, "inner")
    lay_files(inner, ["tool/bin/vorald_installer_cmd.exe"])
    stdin_extra, secret = os.path.join(work, "stdin-extra"), os.path.join(work, "secret.txt")
    lay_files(stdin_extra, ["in -> /dev/stdin"])
    with open(secret, "w") as f:
        f.write("not for the medium\n")
    proc = os.path.join(work, "p")
    os.makedirs(proc)
    mounted = run(["mount", "--bind", "/proc", proc]).returncode == 0
    proc_extra = os.path.join(work, "proc-extra")
    lay_files(proc_extra, ["env.txt -> %s/self/environ" % proc])
    try:
        for what, folder, env, says in (
                ("a MEDIUM_TOOL inside FOLDER", inner, dict(good, MEDIUM_TOOL=os.path.join(inner, "tool")),
                 "lies inside %s, which make medium replaces" % inner),
                ("a link to /dev/stdin while standard input is a file", out, dict(good, MEDIUM_EXTRA=stdin_extra),
                 "pseudo-files"),
                ("a link to a procfs mounted elsewhere", out, dict(good, MEDIUM_EXTRA=proc_extra),
                 "kernel's file system proc")):
            if "procfs" in what and not mounted:
                print("skipped: %s (this test cannot mount one)" % what)
                continue
            with open(secret) as stdin:
                done = run(script + ["make", folder], env=env, stdin=stdin)
            expect("make medium refuses %s, naming it, and makes nothing" % what,
                   done.returncode != 0 and says in done.stderr and "Traceback" not in done.stderr and
                   not os.path.exists(folder + ".iso") and not os.path.exists(os.path.join(folder, "autorun.inf")),
                   done.stderr[-300:])
    finally:
        if mounted:
            run(["umount", proc])
    run(["rm", "-rf", inner, out + ".lock", out + ".made"])

def made(m):
    """The good medium, which the later tests start from; its summary."""
    out, script, good = m.out, m.script, m.good
    done = run(script + ["make", out], env=good)
    expect("make medium, adding nothing to a standard error that is no terminal",
           done.returncode == 0 and done.stderr == "", done.stderr[-800:])
    said = os.path.join(m.work, "said")
    shown = run(["script", "-qec", shlex.join(script + ["check", out + ".iso"]) + " > " + shlex.quote(said),
                 "/dev/null"])
    with open(said) as f:
        plain = f.read()
    expect("on a terminal, check-medium shows its progress on one line of standard error, none on standard output",
           shown.returncode == 0 and "\x1b[Kchecking: " in shown.stdout and "\x1b" not in plain and
           plain.startswith("ok "), shown.stdout[-300:] + plain[-300:])
    expect("its summary says setup.exe is not signed, each setting and the links followed",
           all(s in done.stdout for s in ("NOT signed", "MEDIUM_LABEL          'Example Suite'",
                                          "MEDIUM_ARGS_CODE_PAGE unset", "links followed        1")), done.stdout)
    with open(os.path.join(out, "autorun.inf"), "rb") as f:
        expect("autorun.inf", f.read() == b"[autorun]\r\nopen=setup.exe\r\nlabel=Example Suite\r\n")
    done = run(["sha256sum", "-c", "--quiet", "SHA256SUMS"], cwd=out)
    expect("sha256sum -c reads the medium's sums", done.returncode == 0, done.stdout[-300:])
    linked = os.path.join(m.work, "linked")
    lay_files(linked, ["notes.txt -> ../outside.txt", "a\u2028b.txt", "c\u2029d.txt", "e\u0085f.txt"])
    with open(os.path.join(m.work, "outside.txt"), "w") as f:
        f.write("from elsewhere\n")
    os.link(os.path.join(m.work, "outside.txt"), os.path.join(linked, "hard.txt"))
    medium = os.path.join(m.work, "linked-medium")
    done = run(script + ["make", medium], env=dict(good, MEDIUM_EXTRA=linked))
    expect("the summary names a link that leads out of the trees given, and a hard link to a file outside",
           done.returncode == 0 and "1; 1 to outside MEDIUM_TOOL and MEDIUM_EXTRA: %s -> %s; 1 a hard link to a file "
           "outside MEDIUM_TOOL and MEDIUM_EXTRA: %s" % (os.path.join(linked, "notes.txt"),
                                                           os.path.join(m.work, "outside.txt"),
                                                           os.path.join(linked, "hard.txt")) in done.stdout,
           done.stdout[-400:] + done.stderr[-300:])
    checked = [run(script + ["check", medium + suffix]) for suffix in (".iso", "")]
    expect("names with U+2028, U+2029 and U+0085, which Windows and Joliet allow: made, checked and read by "
           "sha256sum -c", all(d.returncode == 0 for d in checked) and
           run(["sha256sum", "-c", "--quiet", "SHA256SUMS"], cwd=medium).returncode == 0,
           "".join(d.stdout[-300:] + d.stderr[-300:] for d in checked))
    # Paths are bytes: one that is not UTF-8 works, whatever the locale.
    odd_tool = os.path.join(m.work, "tool \udcff")
    shutil.copytree(m.tool, odd_tool)
    for what, folder, env in (("a FOLDER whose name is not UTF-8", os.path.join(m.work, "medium \udcff"), good),
                              ("a MEDIUM_TOOL whose path is not UTF-8", os.path.join(m.work, "odd-tool-medium"),
                               dict(good, MEDIUM_TOOL=odd_tool))):
        done = run(script + ["make", folder], env=dict(env, LANG="de_DE.UTF-8", LC_ALL="de_DE.UTF-8"))
        expect("%s, under de_DE.UTF-8: the medium is made and said" % what,
               done.returncode == 0 and "Traceback" not in done.stderr and "image:" in done.stdout,
               done.stderr[-400:])
        run(["rm", "-rf", folder, folder + ".iso", folder + ".made", folder + ".lock"])
    _, _, fresh = replaced(m)
    work = m.work
    twins = dict(good, MEDIUM_LABEL="CON", MEDIUM_EXTRA=os.path.join(work, "twins"))
    lay_files(twins["MEDIUM_EXTRA"], ["ß.txt", "SS.txt", "ı.txt", "I.txt", "ﬀ.txt", "FF.txt"])
    done = fresh(twins)
    expect("make medium keeps apart the names that Windows keeps apart, and takes CON as a label",
           done.returncode == 0, done.stderr[-300:])


def from_setup_exe(m):
    """MEDIUM_ARGS in a code page, and what make medium learns from setup.exe:
    its command line, its icon, its signature."""
    work, out, script, good = m.work, m.out, m.script, m.good
    lodz = dict(good, MEDIUM_ARGS="--title=Łódź")
    code_page = dict(lodz, MEDIUM_ARGS_CODE_PAGE="1250")
    done = run(script + ["make", out], env=code_page)
    with open(os.path.join(out, ".setup_args"), "rb") as f:
        expect("make medium replaces its own medium, and writes MEDIUM_ARGS in MEDIUM_ARGS_CODE_PAGE",
               done.returncode == 0 and f.read() == b"--title=\xa3\xf3d\x9f", done.stderr[-300:])
    # What setup.exe reads is taken from setup.exe, not from a file beside it.
    claims = os.path.join(work, "claims-utf16")
    os.makedirs(claims)
    shutil.copy(SETUP, claims)
    with open(os.path.join(claims, "check_exe.args"), "w") as f:
        f.write("--command-line=utf16\n--icon\n")
    done = run(script + ["make", os.path.join(work, "claims-medium"), "--setup", os.path.join(claims, "setup.exe")],
               env=lodz)
    expect("make medium reads the command line from setup.exe's imports, not from check_exe.args beside it",
           done.returncode != 0 and "MEDIUM_ARGS_CODE_PAGE" in done.stderr, done.stderr[-300:])
    branded = os.path.join(BUILD, "branded", "setup.exe")  # release_test.py branding makes it
    done = run(script + ["make", os.path.join(work, "branded-medium"), "--setup", branded], env=good)
    with open(os.path.join(work, "branded-medium", "autorun.inf"), "rb") as f:
        expect("make medium finds the icon in setup.exe's resources, for autorun.inf",
               done.returncode == 0 and b"icon=setup.exe,0\r\n" in f.read(), done.stderr[-300:])
    # A build for the tests alone: never made into a medium, nor passed in one.
    test_only = os.path.join(BUILD, "elevation", "setup.exe")  # release_test.py branding makes it
    done = run(script + ["make", os.path.join(work, "test-only-medium"), "--setup", test_only], env=good)
    checked = run(script + ["check", medium_holding(out, test_only, os.path.join(work, "test-only-copy"))])
    expect("make medium refuses a build for the tests alone, and check-medium fails a copy that holds one",
           done.returncode != 0 and "is a build for the tests alone" in done.stderr and
           not os.path.exists(os.path.join(work, "test-only-medium")) and checked.returncode != 0 and
           "FAIL its setup.exe is a build for the tests alone" in checked.stdout,
           done.stderr[-300:] + checked.stdout[-300:])
    utf16 = os.path.join(BUILD, "utf16", "setup.exe")  # release_test.py branding makes it
    done = run(script + ["make", os.path.join(work, "utf16-medium"), "--setup", utf16], env=lodz)
    with open(os.path.join(work, "utf16-medium", ".setup_args"), "rb") as f:
        expect("for a utf16 build, make medium writes MEDIUM_ARGS in UTF-8 with the byte-order mark, and says so",
               done.returncode == 0 and f.read() == "\ufeff--title=Łódź".encode() and "byte-order mark" in done.stdout,
               done.stderr[-300:])

    # A setup.exe that make sign signed, then one built again after it.
    signed = os.path.join(work, "signed")
    os.makedirs(signed)
    for source in (os.path.join(BUILD, "signed", "setup.exe"), os.path.join(BUILD, "signed", "setup.exe.signed")):
        if os.path.exists(source):  # else the first row fails: release_test.py signing makes them
            shutil.copy(source, signed)
    signed_make = script + ["make", os.path.join(work, "signed-medium"), "--setup", os.path.join(signed, "setup.exe")]
    done = run(signed_make, env=good)
    expect("make medium says who signed setup.exe",
           done.returncode == 0 and "signed by /CN=Test signer (SHA1, stamped " in done.stdout,
           done.stdout[-300:] + done.stderr[-300:])
    rewrite(os.path.join(signed, "setup.exe"), "This program cannot be run", "This program CANNOT be run")
    os.remove(os.path.join(signed, "setup.exe.signed"))
    done = run(signed_make, env=good)
    expect("make medium refuses a signed setup.exe whose bytes were changed since",
           done.returncode != 0 and "does not match the file's bytes" in done.stderr, done.stderr[-300:])
    shutil.copy(SETUP, signed)
    shutil.copy(os.path.join(BUILD, "signed", "setup.exe.signed"), signed)
    done = run(signed_make, env=good)
    expect("make medium refuses a setup.exe built again after make sign",
           done.returncode != 0 and "is not the file that make sign recorded" in done.stderr, done.stderr[-300:])
