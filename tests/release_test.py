#!/usr/bin/python3
"""What a medium's author does with setup.exe before shipping it.

    release_test.py branding   bad SETUP_* values and SOURCE_DATE_EPOCH stop
                               the configure step; a branded build carries
                               what it was given; two builds in two folders
                               give the same bytes; leaves a build that passes
                               the tool's status on, build/tool-status/, and
                               one for a tool that reads UTF-16, build/utf16/,
                               for the end-to-end tables
    release_test.py signing    make sign refuses to run without a certificate,
                               and leaves nothing behind when it fails or is
                               interrupted; signs with a throw-away certificate
                               (PEM, PKCS#12, an encrypted key, SHA-1 with a
                               nested SHA-256); the signatures verify and the
                               executable checks still pass; leaves the
                               dual-signed build/signed/setup.exe for the
                               end-to-end tables
    release_test.py medium     make medium refuses what Windows would not see
                               whole, and what it did not make or was edited
                               since; makes a medium and its image, which the
                               check passes and whose level-1 twin it fails;
                               is stopped at each step of a replacement, which
                               the next run finishes; takes one run at a time;
                               leaves the image's Joliet tree in
                               build/medium-joliet/ for the end-to-end tables
"""
import filecmp
import glob
import hashlib
import os
import re
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import time

import pefile

import check_exe

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
TOOL = "vorald_installer/bin/vorald_installer_cmd.exe"
BUILD = os.path.join(ROOT, "build")
SETUP = os.path.join(BUILD, "win32", "setup.exe")
CHECK = [sys.executable, os.path.join(ROOT, "tests", "check_exe.py")]
LISTS = os.path.join(ROOT, "tests", "win2000")
BRANDING = {"SETUP_COMPANY": "Łódź Media \"Works\" Ltd.", "SETUP_PRODUCT": "Example Suite 表 😀",
            "SETUP_VERSION": "2.5.0.65535", "SETUP_COPYRIGHT": "© 2026 Łódź Media",
            "SETUP_DESCRIPTION": "Example Suite Setup", "SETUP_EXECUTION_LEVEL": "requireAdministrator"}
AUTHOR_MESSAGES = """# Corrected and added
de.tool_missing = Das Programm %s fehlt.
fi.caption = Asennus
fi.tool_missing = Asennusohjelmaa "%s" ei ole.
fi.file_unreadable = Tiedostoa "%s" ei voi avata luettavaksi.
fi.folder_unspellable = Asennusta ei voi käynnistää kansiosta "%s", koska sen nimessä on merkkejä, joita asennusohjelma ei voi lukea tässä järjestelmässä. Kopioi koko tietoväline kansioon, jolla on yksinkertainen nimi, kuten C:\\Setup, ja käynnistä setup.exe siellä.
fi.start_failed = Asennusohjelmaa "%s" ei voitu käynnistää.
he.tool_missing = תוכנית ההתקנה "%s" חסרה.
# The longest text that setup.exe shows: 1,023 UTF-16 units.
fi.command_too_long = """ + ("Liian pitkä. " * 79)[:1023] + """
"""
STOPPING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
failures = []


def expect(what, ok, detail=""):
    print("%s %s%s" % ("ok  " if ok else "FAIL", what, "" if ok else ": " + detail))
    if not ok:
        failures.append(what)


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, errors="replace", **kw)


def write_icon(path):
    """A 32 x 32 icon, 32 bits a pixel, as Windows 2000 reads them."""
    pixels = b"".join(struct.pack("<I", 0xFF000000 | (x * 8 << 16) | (y * 8 << 8) | 0x80)
                      for y in range(32) for x in range(32))
    image = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 32, 0, len(pixels), 0, 0, 0, 0) + pixels + bytes(128)
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 32, 32, 0, 0, 1, 32, len(image), 22) + image)


def build(folder, options):
    """Builds setup.exe alone into build/FOLDER; returns its path."""
    directory = os.path.join(BUILD, folder)
    shutil.rmtree(directory, ignore_errors=True)
    done = run(["cmake", "-S", ROOT, "-B", directory, "-DCMAKE_BUILD_TYPE=MinSizeRel",
                "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(ROOT, "cmake", "i686-w64-mingw32.cmake")] +
               ["-D%s=%s" % kv for kv in options.items()])
    if done.returncode == 0:
        done = run(["cmake", "--build", directory, "--target", "setup", "--parallel", str(os.cpu_count())])
    if done.returncode:
        raise RuntimeError("building %s failed:\n%s%s" % (folder, done.stdout[-2000:], done.stderr[-2000:]))
    return os.path.join(directory, "setup.exe")


def branding():
    not_icon = os.path.join(BUILD, "not-an-icon.ico")
    icon = os.path.join(BUILD, "example.ico")
    with open(not_icon, "w") as f:
        f.write("hello\n")
    write_icon(icon)
    bad = [("SETUP_VERSION", "1.2.3"), ("SETUP_VERSION", "1.2.3.65536"), ("SETUP_VERSION", "1.2.3.x"),
           ("SETUP_EXECUTION_LEVEL", "admin"), ("SETUP_ICON", os.path.join(BUILD, "missing.ico")),
           ("SETUP_ICON", not_icon), ("SETUP_COMPANY", "two\nlines"), ("SETUP_PRODUCT", "not UTF-8 \udcff"),
           ("SETUP_VERSION", "1.010.0.0"), ("SETUP_EXIT_STATUS", "both"), ("SETUP_COMMAND_LINE", "utf8"), ("SOURCE_DATE_EPOCH", "abc"),
           ("SOURCE_DATE_EPOCH", "4294967296"), ("SOURCE_DATE_EPOCH", "1 2")]
    # The boxes' texts: each bad line second in its file, which must be named with it.
    bad_messages = {"an unknown language": "xx.caption = Setup", "an unknown key": "de.title = Setup",
                    "two %s": "de.tool_missing = %s fehlt: %s", "a %d": "de.tool_missing = %s fehlt %d",
                    "no %s": "de.file_unreadable = fehlt", "a % in the caption": "de.caption = 100%",
                    "no TEXT": "de.caption =", "one UTF-16 unit too long": "de.command_too_long = " + "x" * 1024}
    for what, line in bad_messages.items():
        path = os.path.join(BUILD, "bad-messages-%d.txt" % len(bad))
        with open(path, "w", encoding="utf-8") as f:
            f.write("# a comment\n" + line + "\n")
        bad.append(("SETUP_MESSAGES", path, path + ":2:", what))
    alone = os.path.join(BUILD, "bad-messages-alone.txt")
    with open(alone, "w", encoding="utf-8") as f:
        f.write("fi.caption = Asennus\n")
    bad += [("SETUP_LANGUAGES", "en,xx"), ("SETUP_LANGUAGES", "en,fi"),
            ("SETUP_MESSAGES", alone, "fi lacks tool_missing", "a language without every text")]
    for variable, value, *named in bad:
        # SOURCE_DATE_EPOCH comes from the environment, the others from -D.
        env = dict(os.environ, **{variable: value}) if variable == "SOURCE_DATE_EPOCH" else None
        done = run(["cmake"] + ([] if env else ["-D%s=%s" % (variable, value)]) +
                   ["-DBRANDING_DIR=" + os.path.join(BUILD, "bad-branding"),
                    "-P", os.path.join(ROOT, "win32", "branding.cmake")], env=env)
        expect("configure stops for %s=%r, naming it" % (variable, named[1] if named else value),
               done.returncode != 0 and variable in done.stderr and (named or [""])[0] in done.stderr,
               done.stderr.strip()[-300:])

    # An author's texts: German corrected, Finnish added.
    messages = os.path.join(BUILD, "author-messages.txt")
    with open(messages, "w", encoding="utf-8") as f:
        f.write("\ufeff" + AUTHOR_MESSAGES)
    options = dict(BRANDING, SETUP_ICON=icon, SETUP_MESSAGES=messages, SETUP_LANGUAGES="en,de,fi,he")
    branded = build("branded", options)
    texts = {"CompanyName": BRANDING["SETUP_COMPANY"], "ProductName": BRANDING["SETUP_PRODUCT"],
             "LegalCopyright": BRANDING["SETUP_COPYRIGHT"], "FileDescription": BRANDING["SETUP_DESCRIPTION"]}
    done = run(CHECK + [branded, LISTS, "--level", "requireAdministrator", "--icon", "--languages", "en,de,fi,he",
                        "--version", BRANDING["SETUP_VERSION"]] + ["--text=%s=%s" % kv for kv in texts.items()])
    print(done.stdout, end="")
    expect("the branded setup.exe carries its name, version, icon, execution level and boxes", done.returncode == 0)
    tables = check_exe.string_tables(check_exe.resources(pefile.PE(branded)))
    expect("the author's texts replace and add to the shipped ones",
           tables.get(0x0407, [""] * 3)[2] == "Das Programm %s fehlt." and
           tables.get(0x040B, [""] * 5)[4].startswith("Asennusta") and
           tables.get(0x0407, [""] * 4)[3] == '"%s" kann nicht zum Lesen geöffnet werden.' and
           len(tables.get(0x040B, [""] * 7)[6]) == 1023, repr(tables))
    expect("an author's right-to-left text gets its path embedded left to right",
           tables.get(0x040D, [""] * 3)[2] == 'תוכנית ההתקנה "\u202a%s\u202c" חסרה.', repr(tables.get(0x040D)))

    # Other folders, later: the same bytes, and no trace of either folder.
    again = build("branded-again", options)
    expect("two branded builds give the same bytes", filecmp.cmp(branded, again, shallow=False))
    expect("two default builds give the same bytes",
           filecmp.cmp(build("default", {}), build("default-again", {}), shallow=False))
    with open(again, "rb") as f:
        data = f.read()
    expect("no build folder named inside", ROOT.encode() not in data and b"branded-again" not in data)
    english = build("english", {"SETUP_LANGUAGES": "en"})
    done = run(CHECK + [english, LISTS, "@" + os.path.join(BUILD, "english", "check_exe.args")])
    print(done.stdout, end="")
    expect("with English boxes alone, setup.exe is at most 24 KiB", done.returncode == 0)
    # For the end-to-end tables.
    build("tool-status", {"SETUP_EXIT_STATUS": "tool"})
    utf16 = build("utf16", {"SETUP_COMMAND_LINE": "utf16"})
    done = run(CHECK + [utf16, LISTS, "@" + os.path.join(BUILD, "utf16", "check_exe.args")])
    print(done.stdout, end="")
    expect("the utf16 build reads its command line in UTF-16, and passes the other checks", done.returncode == 0)


def wait_for(done, seconds):
    for _ in range(seconds * 10):
        if done():
            return True
        time.sleep(0.1)
    return False


def stopped_process(pid):
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "T"


def gone(pid):
    """Whether process pid has ended (a zombie has)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


def signed_as_recorded(exe):
    """Whether exe.signed holds the digest of exe, as make sign writes it."""
    try:
        with open(exe + ".signed") as f, open(exe, "rb") as signed:
            return f.read() == "# make sign\n%s\n" % hashlib.sha256(signed.read()).hexdigest()
    except OSError:
        return False


def signing():
    work = os.path.join(BUILD, "signed")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    cert, key, locked = (os.path.join(work, name) for name in ("cert.pem", "key.pem", "key-locked.pem"))
    pkcs12, password = os.path.join(work, "cert.p12"), os.path.join(work, "password")
    done = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                "/CN=Throw-away test signer", "-addext", "extendedKeyUsage=codeSigning",
                "-keyout", key, "-out", cert])
    expect("openssl makes a throw-away certificate", done.returncode == 0, done.stderr[-500:])
    with open(password, "w") as f:
        f.write("secret\n")
    run(["openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-passout", "file:" + password, "-out", pkcs12])
    run(["openssl", "pkey", "-in", key, "-aes256", "-passout", "file:" + password, "-out", locked])

    sign = os.path.join(ROOT, "tools", "sign.sh")
    unsigned = os.path.join(work, "unsigned.exe")
    shutil.copy(SETUP, unsigned)
    os.symlink("unsigned.exe", os.path.join(work, "link.exe"))
    files = sorted(os.listdir(work))
    untouched = lambda: filecmp.cmp(SETUP, unsigned, shallow=False) and sorted(os.listdir(work)) == files
    bare = {k: v for k, v in os.environ.items() if not k.startswith("SIGN_")}
    pem = dict(bare, SIGN_CERT=cert, SIGN_KEY=key)
    for what, env, says, exe in (("no certificate", bare, "no certificate", unsigned),
                                 ("a missing key", dict(pem, SIGN_KEY=os.path.join(work, "no-key.pem")), "", unsigned),
                                 ("SIGN_DIGESTS=md5", dict(pem, SIGN_DIGESTS="md5"), "SIGN_DIGESTS", unsigned),
                                 ("a link", pem, "unsigned.exe", os.path.join(work, "link.exe"))):
        done = run([sign, exe], env=env)
        expect("sign with %s fails, leaving the file as it was and nothing beside it" % what,
               done.returncode != 0 and says in done.stderr and untouched(), done.stderr[-300:])
    foreign = unsigned + ".signed"
    with open(foreign, "w") as f:
        f.write("notes of my own\n")
    done = run([sign, unsigned], env=pem)
    with open(foreign) as f:
        kept = f.read() == "notes of my own\n"
    os.remove(foreign)
    expect("sign refuses a .signed file that it did not write, leaving both as they were",
           done.returncode != 0 and "not a record of make sign" in done.stderr and kept and untouched(),
           done.stderr[-300:])

    # A stand-in for osslsigncode writes part of its output and waits for a
    # signal to reach make sign, which must stop it.
    fake_bin = os.path.join(BUILD, "fake-signer")
    os.makedirs(fake_bin, exist_ok=True)
    pid_file = os.path.join(fake_bin, "pid")
    with open(os.path.join(fake_bin, "osslsigncode"), "w") as f:
        f.write('#!/bin/sh\nfor arg; do [ "${last:-}" = -out ] && out=$arg; last=$arg; done\n'
                'echo $$ > %s\necho partial > "$out"\nexec sleep 60\n' % pid_file)
    os.chmod(os.path.join(fake_bin, "osslsigncode"), 0o755)
    for name in ("SIGINT", "SIGTERM", "SIGHUP"):
        # Each signal at its default, as a shell cannot trap one that was
        # ignored when it started (under nohup, HUP is).
        process = subprocess.Popen([sign, unsigned], env=dict(pem, PATH=fake_bin + ":" + os.environ["PATH"]),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   preexec_fn=lambda: [signal.signal(s, signal.SIG_DFL) for s in STOPPING])
        started = wait_for(lambda: glob.glob(os.path.join(work, ".unsigned.exe.signing.*", "*.exe")), 20)
        process.send_signal(getattr(signal, name))
        try:
            status = process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            process.kill()
            status = None
        with open(pid_file) as f:
            signer = int(f.read())
        stopped = wait_for(lambda: gone(signer), 10)
        expect("%s while signing stops the signer and leaves the file as it was and nothing beside it" % name,
               started and stopped and status not in (0, None) and untouched(),
               "status %s, signer stopped %s, files %s" % (status, stopped, os.listdir(work)))
    # KILL leaves its folder; the next run removes it.
    process = subprocess.Popen([sign, unsigned], env=dict(pem, PATH=fake_bin + ":" + os.environ["PATH"]),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for(lambda: glob.glob(os.path.join(work, ".unsigned.exe.signing.*", "*.exe")), 20)
    process.kill()
    process.wait()
    with open(pid_file) as f:
        os.kill(int(f.read()), signal.SIGKILL)
    left = glob.glob(os.path.join(work, ".unsigned.exe.signing.*"))
    done = run([sign, unsigned], env=pem)
    expect("a folder that a killed make sign left is removed by the next, which signs",
           left and done.returncode == 0 and not glob.glob(os.path.join(work, ".unsigned.exe.signing.*")) and
           signed_as_recorded(unsigned), done.stderr[-300:])
    shutil.copy(SETUP, unsigned)
    os.remove(unsigned + ".signed")

    for kind, env, digests in (("a PEM certificate", pem, ["SHA256"]),
                               ("a PKCS#12 file", dict(bare, SIGN_PKCS12=pkcs12, SIGN_PASSWORD_FILE=password),
                                ["SHA256"]),
                               ("an encrypted PEM key", dict(pem, SIGN_KEY=locked, SIGN_PASSWORD_FILE=password),
                                ["SHA256"]),
                               ("SHA-1 and a nested SHA-256", dict(pem, SIGN_DIGESTS="sha1+sha256"),
                                ["SHA1", "SHA256"])):
        signed = os.path.join(work, "setup.exe")  # the last one stays, for the end-to-end tables
        shutil.copy(SETUP, signed)
        os.chmod(signed, 0o751)
        done = run([sign, signed], env=env)
        expect("make sign with %s, keeping the file's mode, and records what it signed" % kind,
               done.returncode == 0 and os.stat(signed).st_mode & 0o7777 == 0o751 and signed_as_recorded(signed),
               done.stderr[-500:])
        done = run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed])
        found = re.findall(r"Message digest algorithm  : (\S+)", done.stdout)
        expect("osslsigncode verifies the signatures made with %s: %s" % (kind, " and ".join(digests)),
               done.returncode == 0 and found == digests and
               "Number of verified signatures: %d" % len(digests) in done.stdout, (done.stdout + done.stderr)[-800:])
        done = run(CHECK + [signed, LISTS])
        print(done.stdout, end="")
        expect("the executable checks pass on the signed file", done.returncode == 0)
    # A signal between the signed file's rename and its record's waits for both.
    again = os.path.join(work, "again.exe")
    shutil.copy(SETUP, again)
    done = run([sign, again], env=dict(pem, KIT_TEST_SIGNAL="TERM:signed in"))
    expect("TERM between the renames of make sign: the signed file goes in with its record",
           done.returncode == 143 and signed_as_recorded(again), done.stderr[-300:])
    shutil.copy(SETUP, os.path.join(work, "-setup.exe"))
    done = run([sign, "-setup.exe"], env=pem, cwd=work)
    expect("make sign signs a file whose name begins with -", done.returncode == 0 and run(
        ["osslsigncode", "verify", "-CAfile", cert, "-in", os.path.join(work, "-setup.exe")]).returncode == 0,
        done.stderr[-300:])


def rewrite(path, old=None, new=None):
    """Changes path as a hand edit would: the same size, other bytes (old
    replaced by new, or the last byte)."""
    with open(path, "rb") as f:
        data = f.read()
    data = data.replace(old.encode(), new.encode()) if old else data[:-1] + bytes([data[-1] ^ 1])
    os.chmod(path, 0o644)
    with open(path, "wb") as f:
        f.write(data)


def lay_script(path, body):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body)
    os.chmod(path, 0o755)


def lay_files(folder, names):
    """Copies of the substitute tool at each of names under folder, a new one;
    "name -> target" makes a link instead, "name/" an empty folder."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name in names:
        name, _, target = name.partition(" -> ")
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if name.endswith("/"):
            os.makedirs(path, exist_ok=True)
        elif target:
            os.symlink(target, path)
        else:
            shutil.copy(os.path.join(BUILD, "win32", "fake_tool.exe"), path)


def snapshot(folder):
    """Names, sizes, times and inodes of folder, FOLDER.iso and FOLDER.made."""
    tops = [p for p in (folder, folder + ".iso", folder + ".made") if os.path.lexists(p)]
    return tops and run(["find"] + tops + ["-printf", "%p %s %T@ %i\n"]).stdout


def damaged(work, medium, remove=None, write=None, listed=False, folder=None, junk=None, cut=0, whole=False):
    """What make check-medium says of an image of a copy of medium with the
    file remove gone, or with write added or appended to; with the line of
    either in the list (listed) or not; with an empty folder added, a junk
    line in the list, or cut blocks cut from the image's end; of the copy
    itself when whole."""
    copy = os.path.join(work, "damaged")
    shutil.rmtree(copy, ignore_errors=True)
    shutil.copytree(medium, copy)
    sums = os.path.join(copy, "SHA256SUMS")
    with open(sums) as f:
        lines = [line for line in f if listed or not line.endswith("  %s\n" % remove)]
    if remove:
        os.remove(os.path.join(copy, *remove.split("/")))
    if write:
        with open(os.path.join(copy, write), "a") as f:
            f.write("x")
        lines += ["%s  %s\n" % (hashlib.sha256(b"x").hexdigest(), write)] if listed else []
    if folder:
        os.mkdir(os.path.join(copy, folder))
    with open(sums, "w") as f:
        f.writelines(lines + ([junk + "\n"] if junk else []))
    run(["xorriso", "-as", "mkisofs", "-J", "-r", "-o", copy + ".iso", copy])
    if cut:
        os.truncate(copy + ".iso", os.path.getsize(copy + ".iso") - cut * 2048)
    return run([sys.executable, os.path.join(ROOT, "tools", "medium.py"), "check", copy if whole else copy + ".iso"])


def args_of(folder):
    with open(os.path.join(folder, ".setup_args"), "rb") as f:
        return f.read()


def stopped_at(argv, env, at):
    """A run of argv stopped (SIGSTOP) at the step at, once it is there."""
    process = subprocess.Popen(argv, env=dict(env, KIT_TEST_SIGNAL="STOP:" + at), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    wait_for(lambda: stopped_process(process.pid), 60)
    return process


def finished(process):
    """Lets a stopped run go on; its status and standard error."""
    os.kill(process.pid, signal.SIGCONT)
    _, error = process.communicate(timeout=120)
    return process.returncode, error


def replacements(script, work, good):
    """What a replacement keeps under edits made during it, after an
    interruption, a full disk, a busy or protected folder, and what it takes
    for its own."""
    folder = os.path.join(work, "replaced")
    make = script + ["make", folder]
    again = dict(good, MEDIUM_ARGS="--again")
    trace = os.path.join(work, "trace")

    def fresh(env=good):
        run(["rm", "-rf", folder, folder + ".iso", folder + ".made", os.path.join(work, ".replaced.work")])
        return run(make, env=env)

    def edit_old():
        with open(os.path.join(folder, "NOTES.txt"), "w") as f:
            f.write("mine\n")
        rewrite(os.path.join(folder, "autorun.inf"))

    def edits_kept():
        return os.path.exists(os.path.join(folder, "NOTES.txt")) and args_of(folder) == b'--from-medium "a b"'

    # An edit made while a run makes the new medium is never lost.
    fresh()
    running = stopped_at(make, again, "synced")
    edit_old()
    status, error = finished(running)
    expect("an edit of the old medium during a run: the new medium is discarded, the edit kept",
           status != 0 and "changed while this run" in error and edits_kept() and
           not os.path.exists(os.path.join(work, ".replaced.work")), error[-300:])

    # The steps in order: on the disk before READY, a second look before
    # the old one goes aside.
    fresh()
    done = run(make, env=dict(again, KIT_TEST_TRACE=trace))
    with open(trace) as f:
        steps = [line for line in f.read().split() if line in ("synced", "ready", "looked", "medium")]
    os.remove(trace)
    expect("the new medium reaches the disk before READY, and the old is looked at again before it goes aside",
           done.returncode == 0 and steps[:2] == ["synced", "ready"], steps)

    # From READY on, a signal waits: the run finishes and leaves no READY.
    fresh()
    stopped = run(make, env=dict(again, KIT_TEST_SIGNAL="TERM:ready"))
    expect("TERM once READY is written: the run finishes the replacement and leaves no work folder",
           args_of(folder) == b"--again" and not os.path.exists(os.path.join(work, ".replaced.work")),
           stopped.stderr[-300:])

    # What an interrupted run left is checked before anything moves.
    fresh()
    run(make, env=dict(again, KIT_TEST_SIGNAL="KILL:ready"))
    edit_old()
    done = run(make, env=good)
    expect("an edit of the old medium after a run was stopped at READY is kept; the new medium is discarded",
           done.returncode != 0 and "changed while" in done.stderr and edits_kept(), done.stderr[-300:])
    fresh()
    run(make, env=dict(again, KIT_TEST_SIGNAL="KILL:medium aside"))
    rewrite(os.path.join(work, ".replaced.work", "medium", "autorun.inf"))
    done = run(make, env=good)
    expect("a new medium that is not what READY says (a power loss) is not moved in; the old one is put back",
           done.returncode != 0 and "not what it recorded" in done.stderr and
           args_of(folder) == b'--from-medium "a b"' and run(make, env=again).returncode == 0, done.stderr[-300:])
    fresh()
    run(make, env=dict(again, KIT_TEST_SIGNAL="KILL:making", MEDIUM_EXTRA=os.path.join(work, "tool")))
    done = run(make, env=good)
    expect("what a run stopped before READY left never reaches the next medium",
           done.returncode == 0 and "interrupted run left unfinished" in done.stdout and
           not os.path.exists(os.path.join(folder, "bin")) and args_of(folder) == b'--from-medium "a b"',
           done.stderr[-300:])

    # A lock removed during a run: the second run still keeps out.
    fresh()
    running = stopped_at(make, again, "synced")
    os.remove(folder + ".lock")
    second = run(make, env=good)
    status, error = finished(running)
    expect("a lock file removed during a run: a second run is refused, the first goes on",
           second.returncode != 0 and "another make medium" in second.stderr and status == 0 and
           args_of(folder) == b"--again", second.stderr[-300:] + error[-300:])

    # Only the content counts: modes, links, times and a moved image do not.
    fresh()
    run(["chmod", "-R", "a-w", folder])
    run(["touch", "-d", "2001-01-01", os.path.join(folder, "setup.exe")])
    run(["cp", "-al", folder, folder + ".copy"])
    os.rename(folder + ".iso", folder + ".moved")
    os.rename(folder + ".moved", folder + ".iso")
    done = run(make, env=again)
    run(["rm", "-rf", folder + ".copy"])
    expect("make medium takes its own medium back after chmod -R a-w, cp -al, a time set and the image moved",
           done.returncode == 0 and args_of(folder) == b"--again", done.stderr[-300:])
    twins = dict(good, MEDIUM_LABEL="CON", MEDIUM_EXTRA=os.path.join(work, "twins"))
    lay_files(twins["MEDIUM_EXTRA"], ["ß.txt", "SS.txt", "ı.txt", "I.txt", "ﬀ.txt", "FF.txt"])
    done = fresh(twins)
    expect("make medium keeps apart the names that Windows keeps apart, and takes CON as a label",
           done.returncode == 0, done.stderr[-300:])
    full_disk(script, work, good, again)


def one_line(done):
    """A refusal of one sentence: no traceback."""
    return done.returncode != 0 and "Traceback" not in done.stderr and len(done.stderr.strip().splitlines()) == 1


def full_disk(script, work, good, again):
    """A small file system of its own: full while the record is written,
    then freed; a folder that is a mount point; a protected parent."""
    disk = os.path.join(work, "disk")
    os.makedirs(disk)
    run(["mount", "-t", "tmpfs", "-o", "size=24m", "tmpfs", disk])
    try:
        folder = os.path.join(disk, "m")
        make = script + ["make", folder]
        filler = os.path.join(disk, "filler")
        for free_by in ("the filler removed", "the work folder removed"):
            run(["rm", "-rf", folder, folder + ".iso", folder + ".made", filler, os.path.join(disk, ".m.work")])
            first = run(make, env=good)
            running = stopped_at(make, again, "medium in")
            run(["dd", "if=/dev/zero", "of=" + filler, "bs=64k"])
            status, error = finished(running)
            full = status != 0 and "No space left" in error and "Traceback" not in error and \
                len(error.strip().splitlines()) == 1
            run(["rm", "-rf", filler if free_by == "the filler removed" else os.path.join(disk, ".m.work")])
            done = run(make, env=again)
            if free_by == "the work folder removed":
                run(["rm", "-f", filler])
                done = run(make, env=again)
            expect("a full disk while the record is written: one line; with %s, the next run takes its own medium "
                   "and makes the new one" % free_by,
                   first.returncode == 0 and full and done.returncode == 0 and args_of(folder) == b"--again" and
                   "changed since" not in done.stderr, error[-300:] + done.stderr[-300:])
        run(["mount", "--bind", folder, folder])
        busy = run(make, env=good)
        run(["umount", folder])
        done = run(make, env=good)
        expect("a medium folder that is a mount point: one line, and the next run finishes the replacement",
               one_line(busy) and "busy" in busy.stderr and done.returncode == 0 and
               "interrupted run" in done.stdout, busy.stderr[-300:] + done.stderr[-300:])
    finally:
        run(["umount", disk])
    protected = os.path.join(work, "protected")
    os.makedirs(protected)
    run(["chattr", "+i", protected])
    done = run(script + ["make", os.path.join(protected, "m")], env=good)
    run(["chattr", "-i", protected])
    expect("a protected folder: one line, nothing made", one_line(done) and os.listdir(protected) == [],
           done.stderr[-300:])


def medium():
    work = os.path.join(BUILD, "medium-test")
    out = os.path.join(work, "medium")
    script = [sys.executable, os.path.join(ROOT, "tools", "medium.py")]
    shutil.rmtree(work, ignore_errors=True)
    tool, extra = os.path.join(work, "tool"), os.path.join(work, "extra")
    # Joliet's longest path: 240 bytes with the leading slash.
    deep = "/".join(["d" * 10] * 10) + "/" + "f" * 9
    lay_files(tool, ["bin/vorald_installer_cmd.exe"])
    lay_files(os.path.join(work, "cased"), ["Bin/vorald_installer_cmd.exe"])
    lay_files(extra, ["docs/Łódź 表.txt", deep, "docs/link.txt -> Łódź 表.txt"])
    bare = {k: v for k, v in os.environ.items() if not k.startswith("MEDIUM_")}
    good = dict(bare, MEDIUM_TOOL=tool, MEDIUM_ARGS='--from-medium "a b"', MEDIUM_EXTRA=extra,
                MEDIUM_LABEL="Example Suite")
    lodz = dict(good, MEDIUM_ARGS="--title=Łódź")
    no_args = {k: v for k, v in good.items() if k != "MEDIUM_ARGS"}
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
            ("a .setup_args in MEDIUM_EXTRA, MEDIUM_ARGS unset", no_args, [".SETUP_ARGS"], ".SETUP_ARGS"),
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
               not glob.glob(os.path.join(work, "*medium*")), done.stderr[-300:])
        run(["rm", "-rf"] + glob.glob(os.path.join(work, "*medium*")))  # one fault, one failing row

    done = run(script + ["make", out], env=good)
    expect("make medium, adding nothing to a standard error that is no terminal",
           done.returncode == 0 and done.stderr == "", done.stderr[-800:])
    shown = run(["script", "-qec", shlex.join(script + ["check", out + ".iso"]), "/dev/null"])
    expect("on a terminal, check-medium shows its progress on one line",
           shown.returncode == 0 and "\x1b[Kchecking: " in shown.stdout, shown.stdout[-300:])
    expect("its summary says setup.exe is not signed, each setting and the links followed",
           all(s in done.stdout for s in ("NOT signed", "MEDIUM_LABEL          'Example Suite'",
                                          "MEDIUM_ARGS_CODE_PAGE unset", "links followed        1")), done.stdout)
    with open(os.path.join(out, "autorun.inf"), "rb") as f:
        expect("autorun.inf", f.read() == b"[autorun]\r\nopen=setup.exe\r\nlabel=Example Suite\r\n")
    done = run(["sha256sum", "-c", "--quiet", "SHA256SUMS"], cwd=out)
    expect("sha256sum -c reads the medium's sums", done.returncode == 0, done.stdout[-300:])
    joliet = os.path.join(BUILD, "medium-joliet")
    run(["chmod", "-R", "u+w", joliet])
    shutil.rmtree(joliet, ignore_errors=True)
    done = run(script + ["check", out + ".iso", "--extract", joliet])
    expect("the check passes on the image", done.returncode == 0, done.stdout[-800:])
    done = run(script + ["check", out])
    expect("the check passes on the medium's folder", done.returncode == 0, done.stdout[-800:])
    level1 = os.path.join(work, "level1.iso")
    run(["xorriso", "-as", "mkisofs", "-iso-level", "1", "-o", level1, out])
    done = run(script + ["check", level1])
    expect("the check fails on a level-1 image of the same folder",
           done.returncode != 0 and "no Joliet tree" in done.stdout, done.stdout[-300:])

    for what, change, says in (
            ("a byte more in a listed file", dict(write="autorun.inf"), "autorun.inf differs from its sum"),
            ("a file the list does not name", dict(write="extra.txt"), "extra.txt is in the image but not in"),
            ("no setup.exe, nor its line in the list", dict(remove="setup.exe"), "names no setup.exe"),
            ("no tool, its line kept", dict(remove=TOOL, listed=True), TOOL + " is not where"),
            ("a file named nul, listed", dict(write="nul", listed=True), "nul: Windows cannot open it"),
            ("a file named COM\u00b2, listed", dict(write="COM\u00b2", listed=True), "COM\u00b2: Windows cannot open it"),
            ("AUTORUN.INF beside autorun.inf, both listed", dict(write="AUTORUN.INF", listed=True),
             "differ only in case"),
            ("an empty folder", dict(folder="extra"), "extra is in the image but holds nothing"),
            ("a line in the list that is no sum", dict(junk="not a sum"), "is not a sum and a name: 'not a sum'"),
            ("its last 150 blocks cut off", dict(cut=150), "cut short"),
            ("a byte more in a listed file, checked as a folder", dict(write="autorun.inf", whole=True),
             "autorun.inf differs from its sum")):
        done = damaged(work, out, **change)
        expect("the check fails on an image with %s" % what, done.returncode != 0 and says in done.stdout,
               done.stdout[-500:])

    # Only what make medium made is replaced; a refusal leaves everything as it was.
    vendor, lone = (os.path.join(work, name) for name in ("vendor", "lone"))
    lay_files(vendor, ["SHA256SUMS", "bin/vorald_installer_cmd.exe"])
    lay_files(lone + ".iso", ["x"])
    edits = {"a file added": lambda m: lay_files(os.path.join(m, "new"), ["x"]),
             "an empty folder added": lambda m: os.mkdir(os.path.join(m, "empty")),
             "autorun.inf rewritten, its size kept": lambda m: rewrite(os.path.join(m, "autorun.inf")),
             "the tool rewritten, its size kept": lambda m: rewrite(os.path.join(m, TOOL)),
             "its image rewritten, its size kept": lambda m: rewrite(m + ".iso"),
             "its record rewritten": lambda m: rewrite(m + ".made", "make medium", "someone")}
    changed = []
    for what, edit in edits.items():
        folder = os.path.join(work, "edited-%d" % len(changed))
        run(script + ["make", folder], env=good)
        edit(folder)
        changed.append(("a medium with %s by hand" % what, folder, good,
                        "not a record" if "record" in what else "changed since"))
    broken_xorriso = dict(good, PATH=os.path.join(BUILD, "fake-xorriso") + ":" + os.environ["PATH"])
    lay_script(os.path.join(BUILD, "fake-xorriso", "xorriso"),
               '# Leaves out the Joliet tree.\nfor a; do shift; [ "$a" = -J ] || set -- "$@" "$a"; done\n'
               'exec /usr/bin/xorriso "$@"\n')
    for what, folder, env, says in [
            ("a misspelt MEDIUM_TOOL, keeping the last good medium", out, dict(good, MEDIUM_TOOL=tool + "x"), "no "),
            ("an image without Joliet from xorriso, keeping the last good medium", out, broken_xorriso,
             "not what Windows must see"),
            ("a folder with a SHA256SUMS that it did not make", vendor, good, "not a medium"),
            ("an image that it did not make", lone, good, "not the image")] + changed:
        before = snapshot(folder)
        done = run(script + ["make", folder], env=env)
        expect("make medium refuses %s, and leaves it as it was" % what,
               done.returncode != 0 and says in done.stderr and snapshot(folder) == before, done.stderr[-300:])
    # Each interruption of a run that replaces a medium: a signal, or the
    # machine's end (KILL). The next run finds a whole medium, says what it
    # finished or undid, and goes on.
    again = dict(good, MEDIUM_ARGS="--again")
    for signal_name, at in (("TERM", "making"), ("INT", "making"), ("KILL", "ready"), ("KILL", "medium aside"),
                            ("TERM", "medium aside"),
                            ("KILL", "medium in"),
                            ("KILL", "image aside"), ("KILL", "image in"), ("KILL", "recorded"),
                            ("TERM", "removing the old")):
        folder = os.path.join(work, "interrupted")
        run(["rm", "-rf", folder, folder + ".iso", folder + ".made", os.path.join(work, ".interrupted.work")])
        run(script + ["make", folder], env=good)
        before = snapshot(folder)
        stopped = run(script + ["make", folder], env=dict(again, KIT_TEST_SIGNAL=signal_name + ":" + at))
        # A signal waits while the new medium is moved in.
        kept = snapshot(folder) == before if at == "making" else signal_name == "KILL" or os.path.isdir(folder)
        done = run(script + ["make", folder], env=again)
        with open(os.path.join(folder, ".setup_args"), "rb") as f:
            args = f.read()
        expect("%s at the step %r: %s, and the next make medium makes the new medium" % (
                   signal_name, at, "the last good one kept" if at == "making" else "the replacement finished"
                   if signal_name == "KILL" else "the run finishes the replacement before it stops"),
               stopped.returncode != 0 and kept and done.returncode == 0 and args == b"--again" and
               (at == "making" or signal_name != "KILL" or "interrupted run" in done.stdout) and
               "Traceback" not in stopped.stderr,
               stopped.stderr[-300:] + done.stderr[-300:])

    # A second run while one is making the same medium (stopped, holding its lock).
    first = subprocess.Popen(script + ["make", folder], env=dict(good, KIT_TEST_SIGNAL="STOP:ready"),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    waited = wait_for(lambda: stopped_process(first.pid), 60)
    second = run(script + ["make", folder], env=again)
    os.kill(first.pid, signal.SIGCONT)
    expect("a second make medium of the same folder is refused, naming the first, which goes on",
           waited and second.returncode != 0 and "process %d" % first.pid in second.stderr and
           first.wait(timeout=60) == 0, second.stderr[-300:])

    replacements(script, work, good)

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
           done.returncode == 0 and "signed by /CN=Throw-away test signer (SHA1 and SHA256)" in done.stdout,
           done.stdout[-300:] + done.stderr[-300:])
    rewrite(os.path.join(signed, "setup.exe"), "This program cannot be run", "This program CANNOT be run")
    os.remove(os.path.join(signed, "setup.exe.signed"))
    done = run(signed_make, env=good)
    expect("make medium refuses a signed setup.exe whose bytes were changed since",
           done.returncode != 0 and "does not match its bytes" in done.stderr, done.stderr[-300:])
    shutil.copy(SETUP, signed)
    shutil.copy(os.path.join(BUILD, "signed", "setup.exe.signed"), signed)
    done = run(signed_make, env=good)
    expect("make medium refuses a setup.exe built again after make sign",
           done.returncode != 0 and "no longer the file that make sign signed" in done.stderr, done.stderr[-300:])


def main():
    {"branding": branding, "signing": signing, "medium": medium}[sys.argv[1]]()
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
