#!/usr/bin/python3
"""Checks build/win32/setup.exe as Windows 2000 and later would load it, and
prints its figures: size, header fields, imports and the manifest.

    check_exe.py SETUP_EXE WIN2000_LISTS_DIR

Needs Debian's python3-pefile, hence /usr/bin/python3.
"""
import os
import sys
import xml.parsers.expat

import pefile

MAX_SIZE = 20480
DLLS = {"kernel32.dll": "kernel32.txt", "user32.dll": "user32.txt", "msvcrt.dll": "msvcrt.txt"}
RT_MANIFEST = 24
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


def problems_of(path, lists_dir, level="asInvoker"):
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
    count = 0
    imports = {}
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
    if size > MAX_SIZE:
        problems.append("%d bytes, more than %d" % (size, MAX_SIZE))

    manifests = [r for r in resources(pe) if r[0] == RT_MANIFEST]
    if [(name, lang and 1) for _, name, lang, _ in manifests] not in ([(1, 1)], [(1, 0)]):
        problems.append("wanted one manifest with id 1, found %s" % [(n, l) for _, n, l, _ in manifests])
    if manifests:
        problems += manifest_problems(manifests[0][3], level)

    print("%s: %d bytes; subsystem %d.%d, OS %d.%d; DllCharacteristics %#x" % (
        os.path.basename(path), size, opt.MajorSubsystemVersion, opt.MinorSubsystemVersion,
        opt.MajorOperatingSystemVersion, opt.MinorOperatingSystemVersion, opt.DllCharacteristics))
    print("imports: %d names from %s" % (count, ", ".join("%s (%d)" % i for i in imports.items())))
    print("manifest: %d bytes" % len(manifests[0][3]) if manifests else "manifest: none")
    return problems


def main():
    problems = problems_of(sys.argv[1], sys.argv[2])
    for p in problems:
        print("FAIL " + p)
    print("%d passed, %d failed" % (0 if problems else 1, 1 if problems else 0))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
