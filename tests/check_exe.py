#!/usr/bin/python3
"""Checks build/win32/setup.exe as Windows 2000 and later would load it, and
prints what is inside: size, header fields, imports, the manifest's execution
level, the version resource, the icon and the signature.

    check_exe.py EXE WIN2000_LISTS_DIR [--level LEVEL] [--icon]
                 [--version A.B.C.D] [--text NAME=VALUE]...
                 [--command-line ansi|utf16] [--languages TAG,...] [@ARGS_FILE]

The options say what the build was asked for (by default asInvoker, no
icon, 1.0.0.0, the default texts, an ANSI command line and boxes in every
shipped language);
the build writes them to build/win32/check_exe.args, one a line. Every
language's string table must hold each box's text with its one %s.

Needs Debian's python3-pefile, hence /usr/bin/python3.
"""
import argparse
import os
import struct
import sys
import xml.parsers.expat

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win32"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "medium"))
from messages import KEYS, LANGUAGES, chosen_languages, read_texts  # noqa: E402
from setup_exe import TEST_ONLY, built_for_tests  # noqa: E402

# The default build's boxes: every shipped language.
SHIPPED_LANGUAGES = ",".join(chosen_languages(read_texts(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win32", "messages.txt"), "shipped texts"), "all"))

# Without an icon and a signature: with the boxes in English alone, and in
# every shipped language.
MAX_SIZE, MAX_SIZE_LANGUAGES = 24576, 49152
DLLS = {"kernel32.dll": "kernel32.txt", "user32.dll": "user32.txt", "msvcrt.dll": "msvcrt.txt"}
RT_ICON, RT_STRING, RT_VERSION, RT_GROUP_ICON, RT_MANIFEST = 3, 6, 16, 14, 24
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
SUPPORTED_OS = {  # Vista, 7, 8, 8.1, 10 and 11
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}


def resources(pe):
    """(type, name, language, bytes) of each resource."""
    found = []
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size)
                found.append((kind.id, name.id, language.id, data))
    return found


def string_tables(found):
    """Strings 0 to 15 by language, read as setup.exe reads them: each its
    length and its units; None for a string the table cuts short."""
    tables = {}
    for kind, name, language, data in found:
        if kind != RT_STRING or name != 1:
            continue
        units = struct.unpack("<%dH" % (len(data) // 2), data[:len(data) // 2 * 2])
        strings, at = [], 0
        for _ in range(16):
            if at >= len(units) or units[at] > len(units) - at - 1:
                strings.append(None)
                at = len(units)
                continue
            strings.append(struct.pack("<%dH" % units[at], *units[at + 1:at + 1 + units[at]]).decode(
                "utf-16-le", "surrogatepass"))
            at += 1 + units[at]
        tables[language] = strings
    return tables


# setup.exe's room for one text, with its terminator (launcher/messages.h).
TEXT_ROOM = 1024
PATHLESS = ("caption", "command_too_long", "prompt_too_long")


def box_text_problem(key, text):
    """What keeps setup.exe from showing a text in its box, as it checks."""
    if text is None:
        return "is cut short"
    if len(text.encode("utf-16-le", "surrogatepass")) // 2 >= TEXT_ROOM:
        return "is %d units long; setup.exe shows at most %d" % (len(text), TEXT_ROOM - 1)
    if not text:
        return "is empty"
    wanted = 0 if key in PATHLESS else 1
    if text.count("%") != wanted or text.count("%s") != wanted:
        return "holds %d %% and %d %%s, not %d" % (text.count("%"), text.count("%s"), wanted)
    return None


RIGHT_TO_LEFT = (0x01, 0x0D, 0x20, 0x29)  # Arabic, Hebrew, Urdu, Persian
SAMPLE_PATHS = ("C:\\Users\\Łódź\\", "E:\\برامج\\vorald_installer\\bin\\vorald_installer_cmd.exe",
                "D:\\תוכנה\\vorald_installer\\bin\\vorald_installer_cmd.exe")


def reading_order_problems(tag, key, text):
    """A path in a right-to-left text must read in its own order: the
    bidirectional algorithm's visual order of the text holds the path's."""
    from bidi.algorithm import get_display
    problems = []
    for path in SAMPLE_PATHS:
        shown = get_display(text.replace("%s", path), base_dir="R")
        if get_display(path, base_dir="L") not in shown:
            problems.append("string table %s: %s shows %s as %r" % (tag, key, path, shown))
    return problems


def string_table_problems(found, tags):
    """The boxes' texts: a table of strings 0 to 15 for each language asked
    for and no other, each box's text in it fit for its box, a path in a
    right-to-left text in its own order."""
    problems = []
    tables = string_tables(found)
    wanted = {LANGUAGES[tag]: tag for tag in tags}
    if set(tables) != set(wanted):
        problems.append("string tables in languages %s, wanted %s" % (
            sorted("%#06x" % t for t in tables), sorted("%#06x" % t for t in wanted)))
    for language, strings in sorted(tables.items()):
        tag = wanted.get(language, "%#06x" % language)
        for key, number in KEYS.items():
            problem = box_text_problem(key, strings[number])
            if problem:
                problems.append("string table %s: %s %s" % (tag, key, problem))
            elif language & 0x3FF in RIGHT_TO_LEFT and key not in PATHLESS:
                problems += reading_order_problems(tag, key, strings[number])
    return problems


def elements(text):
    """Each element of an XML text in document order, as [name, attributes,
    text, depth], namespace declarations among the attributes; raises on text
    that is not XML."""
    found, open_elements = [], []

    def start(name, attrs):
        found.append([name, attrs, "", len(open_elements)])
        open_elements.append(found[-1])

    parser = xml.parsers.expat.ParserCreate()
    parser.StartElementHandler = start
    parser.CharacterDataHandler = lambda data: open_elements[-1].__setitem__(2, open_elements[-1][2] + data)
    parser.EndElementHandler = lambda name: open_elements.pop()
    parser.Parse(text, True)
    return found


def manifest_problems(manifest, level):
    try:
        found = elements(manifest)
    except xml.parsers.expat.ExpatError as error:
        return ["the manifest is no well-formed XML: %s" % error]
    problems = []
    by_name = {}
    for name, attrs, text, _ in found:
        by_name.setdefault(name, []).append((attrs, text.strip()))
        if sum(1 for a in attrs if a == "xmlns" or a.startswith("xmlns:")) > 1:
            problems.append("manifest: <%s> declares more than one namespace" % name)
    if [e[0] for e in found if e[3] == 1][:1] != ["assemblyIdentity"]:
        problems.append("manifest: assemblyIdentity is not the first element in the assembly")
    identity = (by_name.get("assemblyIdentity") or [({}, "")])[0][0]
    for key, value in (("type", "win32"), ("processorArchitecture", "x86")):
        if identity.get(key) != value:
            problems.append("manifest: assemblyIdentity %s is %r, not %r" % (key, identity.get(key), value))
    if [a.get("xmlns") for a, _ in by_name.get("trustInfo", [])] != [ASM_V3]:
        problems.append("manifest: no single trustInfo in the %s namespace" % ASM_V3)
    levels = [(a.get("level"), a.get("uiAccess")) for a, _ in by_name.get("requestedExecutionLevel", [])]
    if levels != [(level, "false")]:
        problems.append("manifest: execution level %r, wanted [(%r, 'false')]" % (levels, level))
    ids = {a.get("Id", "").lower() for a, _ in by_name.get("supportedOS", [])}
    if ids != SUPPORTED_OS:
        problems.append("manifest: supportedOS %s, wanted Vista to 11" % sorted(ids))
    if [t for _, t in by_name.get("dpiAware", [])] != ["true"]:
        problems.append("manifest: dpiAware is not true")
    for unwanted, why in (("dependency", "a dependency (Common-Controls 6 loads uxtheme.dll)"),
                          ("longPathAware", "longPathAware (the buffers hold 260 bytes)"),
                          ("activeCodePage", "activeCodePage (it changes how .setup_args reads)")):
        if unwanted in by_name:
            problems.append("manifest: declares " + why)
    return problems


def version_texts(data):
    """The texts of a version resource's StringFileInfo, read from its UTF-16
    as it stands: pefile reads each half of a surrogate pair alone."""
    texts = {}

    def walk(offset, end, path):
        while offset + 6 <= end:
            length, value_length, kind = struct.unpack_from("<HHH", data, offset)
            if length < 6:
                return
            key_end = offset + 6
            while key_end + 2 <= end and data[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = data[offset + 6:key_end].decode("utf-16-le")
            value = (key_end + 2 + 3) & ~3
            if path[:2] == ["VS_VERSION_INFO", "StringFileInfo"] and len(path) == 3:
                texts[key] = data[value:offset + length].decode("utf-16-le").split("\0")[0]
            else:
                walk((value + value_length * (2 if kind else 1) + 3) & ~3, offset + length, path + [key])
            offset = (offset + length + 3) & ~3

    walk(0, len(data), [])
    return texts


def version_info(pe, found):
    """The version resource's numbers and texts, or None."""
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        return None
    fixed = pe.VS_FIXEDFILEINFO[0]
    numbers = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    texts = {}
    for kind, _, _, data in found:
        if kind == RT_VERSION:
            texts.update(version_texts(data))
    return {"file": numbers(fixed.FileVersionMS, fixed.FileVersionLS),
            "product": numbers(fixed.ProductVersionMS, fixed.ProductVersionLS), "texts": texts}


def pe_checksum(data, field):
    """The PE checksum of the file's own bytes, with its checksum field at
    offset field counted as zero."""
    words = data[:field] + bytes(4) + data[field + 4:] + bytes(len(data) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", words):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def version_problems(version, wanted_number, wanted_texts):
    if version is None:
        return ["no version resource"]
    texts = version["texts"]
    wanted = {"FileDescription": "Setup", "OriginalFilename": "setup.exe", "InternalName": "setup"}
    wanted.update(wanted_texts)
    wanted.update(FileVersion=wanted_number, ProductVersion=wanted_number)
    # An empty text is left out.
    problems = ["version resource: %s is %r, wanted %r" % (k, texts.get(k), v or None)
                for k, v in sorted(wanted.items()) if texts.get(k) != (v or None)]
    for kind in ("file", "product"):
        if version[kind] != wanted_number:
            problems.append("version resource: %s version %s, wanted %s" % (kind, version[kind], wanted_number))
    return problems


def problems_of(path, lists_dir, level="asInvoker", icon=False, version_number="1.0.0.0", texts=None, command_line="ansi",
                languages=("en",)):
    pe = pefile.PE(path)
    size = os.path.getsize(path)
    opt = pe.OPTIONAL_HEADER
    problems = []
    if pe.FILE_HEADER.Machine != 0x14C or opt.Magic != 0x10B:
        problems.append("not a 32-bit i386 program (machine %#x)" % pe.FILE_HEADER.Machine)
    if opt.Subsystem != 2:
        problems.append("subsystem %d, not Windows GUI (2)" % opt.Subsystem)
    for what, version in (("subsystem", (opt.MajorSubsystemVersion, opt.MinorSubsystemVersion)),
                          ("operating system", (opt.MajorOperatingSystemVersion, opt.MinorOperatingSystemVersion))):
        if not (3, 10) <= version <= (5, 0):
            problems.append("%s version %d.%d outside 3.10 to 5.0" % ((what,) + version))
    for flag in ("IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE", "IMAGE_DLLCHARACTERISTICS_NX_COMPAT"):
        if not opt.DllCharacteristics & pefile.DLL_CHARACTERISTICS[flag]:
            problems.append("DllCharacteristics lacks " + flag.split("_", 2)[2])
    for section in pe.sections:
        if section.IMAGE_SCN_MEM_WRITE and section.IMAGE_SCN_MEM_EXECUTE:
            problems.append("section %s is both writable and executable" % section.Name.rstrip(b"\0").decode())
    with open(path, "rb") as f:
        data = f.read()
    checksum = pe_checksum(data, opt.get_file_offset() + 64)
    if built_for_tests(data):
        problems.append(TEST_ONLY % os.path.basename(path))
    if opt.CheckSum != checksum:
        problems.append("PE checksum %#x, but the file's is %#x" % (opt.CheckSum, checksum))
    # A signature lies after every section, at the end of the file.
    security = opt.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    sections_end = max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections)
    if security.Size and (security.VirtualAddress < sections_end or security.VirtualAddress + security.Size != size):
        problems.append("the certificate table at %#x is not at the end, after every section" % security.VirtualAddress)
    count = 0
    imports = {}
    names = set()
    for entry in pe.DIRECTORY_ENTRY_IMPORT:
        dll = entry.dll.decode()
        imports[dll] = len(entry.imports)
        if dll.lower() not in DLLS:
            problems.append("imports from %s" % dll)
            continue
        with open(os.path.join(lists_dir, DLLS[dll.lower()])) as f:
            exported = set(f.read().split())
        for imported in entry.imports:
            count += 1
            if imported.name is None:
                problems.append("imports %s #%d by ordinal" % (dll, imported.ordinal))
            elif imported.name.decode() not in exported:
                problems.append("imports %s from %s, which Windows 2000 lacks" % (imported.name.decode(), dll))
            else:
                names.add(imported.name.decode())
    # The command line the tool is to read: the tail is cut from the same one.
    wanted, other = ("GetCommandLineW", "GetCommandLineA") if command_line == "utf16" else (
        "GetCommandLineA", "GetCommandLineW")
    if wanted not in names or other in names:
        problems.append("the %s build reads its command line with %s, wanted %s" % (
            command_line, " and ".join(sorted(names & {wanted, other})) or "nothing", wanted))
    found = resources(pe)
    # The icon and the signature are the author's: they do not count.
    own = size - security.Size - sum(len(data) for kind, _, _, data in found if kind in (RT_ICON, RT_GROUP_ICON))
    limit = MAX_SIZE if list(languages) == ["en"] else MAX_SIZE_LANGUAGES
    if own > limit:
        problems.append("%d bytes without the icon and the signature, more than %d" % (own, limit))
    problems += string_table_problems(found, languages)

    manifests = [r for r in found if r[0] == RT_MANIFEST]
    if [(name, lang and 1) for _, name, lang, _ in manifests] not in ([(1, 1)], [(1, 0)]):
        problems.append("wanted one manifest with id 1, found %s" % [(n, l) for _, n, l, _ in manifests])
    if manifests:
        problems += manifest_problems(manifests[0][3], level)
    icons = [r for r in found if r[0] == RT_GROUP_ICON]
    if bool(icons) != icon:
        problems.append("icon: %s, wanted %s" % ("there" if icons else "none", "one" if icon else "none"))
    version = version_info(pe, found)
    problems += version_problems(version, version_number, texts or {})

    print("%s: %d bytes; subsystem %d.%d, OS %d.%d; DllCharacteristics %#x; time stamp %d; checksum %#x" % (
        os.path.basename(path), size, opt.MajorSubsystemVersion, opt.MinorSubsystemVersion,
        opt.MajorOperatingSystemVersion, opt.MinorOperatingSystemVersion, opt.DllCharacteristics,
        pe.FILE_HEADER.TimeDateStamp, opt.CheckSum))
    print("imports: %d names from %s" % (count, ", ".join("%s (%d)" % i for i in imports.items())))
    levels = [a.get("level") for e in (elements(manifests[0][3]) if manifests else [])
              for name, a, _, _ in [e] if name == "requestedExecutionLevel"]
    print("manifest: %s; execution level %s" % (
        "%d bytes" % len(manifests[0][3]) if manifests else "none", ", ".join(levels) or "none"))
    if version:
        print("version: %s; %s" % (version["file"], "; ".join("%s=%s" % kv for kv in sorted(version["texts"].items()))))
    print("boxes: %s" % ",".join(languages))
    print("icon: %s; signature: %s" % (
        "%d images" % len([r for r in found if r[0] == RT_ICON]) if icons else "none",
        "%d bytes" % security.Size if security.Size else "none"))
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], fromfile_prefix_chars="@")
    parser.add_argument("exe")
    parser.add_argument("lists")
    parser.add_argument("--level", default="asInvoker")
    parser.add_argument("--icon", action="store_true")
    parser.add_argument("--version", default="1.0.0.0")
    parser.add_argument("--text", action="append", default=[], metavar="NAME=VALUE")
    parser.add_argument("--command-line", choices=("ansi", "utf16"), default="ansi")
    parser.add_argument("--languages", default=SHIPPED_LANGUAGES)
    args = parser.parse_args()
    texts = dict(t.split("=", 1) for t in args.text)
    problems = problems_of(args.exe, args.lists, args.level, args.icon, args.version, texts, args.command_line,
                           args.languages.split(","))
    for p in problems:
        print("FAIL " + p)
    print("%d passed, %d failed" % (0 if problems else 1, 1 if problems else 0))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
