"""Branding: bad values stop the configure step, a branded build carries
what it was given, two builds give the same bytes; and the builds that the
other tests and the end-to-end tables take.
"""
import filecmp
import os
import shutil
import struct

import pefile

import check_exe
from common import BUILD, CHECK, LISTS, ROOT, expect, run

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
fi.wait_failed = Asennusohjelma "%s" käynnistettiin, mutta sen päättymistä ei voitu odottaa.
fi.prompt_too_long = Windows ei voi pyytää järjestelmänvalvojan oikeuksia yli 2 048 merkin komentoriville.
he.tool_missing = תוכנית ההתקנה "%s" חסרה.
# The longest text that setup.exe shows: 1,023 UTF-16 units.
fi.command_too_long = """ + ("Liian pitkä. " * 79)[:1023] + """
"""


def write_icon(path):
    """A 32 x 32 icon, 32 bits a pixel, as Windows 2000 reads them."""
    pixels = b"".join(struct.pack("<I", 0xFF000000 | (x * 8 << 16) | (y * 8 << 8) | 0x80)
                      for y in range(32) for x in range(32))
    image = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 32, 0, len(pixels), 0, 0, 0, 0) + pixels + bytes(128)
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 32, 32, 0, 0, 1, 32, len(image), 22) + image)


def build(folder, options, earlier=None):
    """Builds setup.exe alone into build/FOLDER, configured once before with
    earlier options where given; returns its path."""
    directory = os.path.join(BUILD, folder)
    shutil.rmtree(directory, ignore_errors=True)
    configure = ["cmake", "-S", ROOT, "-B", directory, "-DCMAKE_BUILD_TYPE=MinSizeRel",
                 "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(ROOT, "cmake", "i686-w64-mingw32.cmake")]
    if earlier:
        run(configure + ["-D%s=%s" % kv for kv in earlier.items()])
    done = run(configure + ["-D%s=%s" % kv for kv in options.items()])
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
    english = build("english", {"SETUP_LANGUAGES": "en"}, earlier={"TEST_ELEVATION": "ON", "COVERAGE": "ON"})
    done = run(CHECK + [english, LISTS, "@" + os.path.join(BUILD, "english", "check_exe.args")])
    print(done.stdout, end="")
    expect("with English boxes alone, setup.exe is at most 24 KiB; a folder configured for the tests before "
           "makes a shipped build once configured without", done.returncode == 0)
    refused = run(["cmake", "--preset", "win32", "-DCOVERAGE=ON"], cwd=ROOT)
    again = run(["cmake", "--preset", "win32"], cwd=ROOT)
    expect("build/win32, which ships, refuses to be configured for the tests alone, and takes a shipped build next",
           refused.returncode != 0 and "never ship" in " ".join(refused.stderr.split()) and again.returncode == 0,
           refused.stderr[-300:] + again.stderr[-300:])
    # For the end-to-end tables; the builds for the consent prompt's table
    # alone, which no shipped build resembles.
    for folder, options in (("elevation", {"SETUP_EXIT_STATUS": "tool"}), ("elevation-utf16",
                                                                          {"SETUP_COMMAND_LINE": "utf16"})):
        tested = build(folder, dict(options, TEST_ELEVATION="ON"))
        done = run(CHECK + [tested, LISTS, "@" + os.path.join(BUILD, folder, "check_exe.args")])
        expect("the %s build for the tests alone fails the checks of a shipped one" % folder,
               done.returncode != 0 and "a build for the tests alone" in done.stdout, done.stdout[-500:])
    build("tool-status", {"SETUP_EXIT_STATUS": "tool"})
    utf16 = build("utf16", {"SETUP_COMMAND_LINE": "utf16"})
    done = run(CHECK + [utf16, LISTS, "@" + os.path.join(BUILD, "utf16", "check_exe.args")])
    print(done.stdout, end="")
    expect("the utf16 build reads its command line in UTF-16, and passes the other checks", done.returncode == 0)
