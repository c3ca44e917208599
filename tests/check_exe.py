#!/usr/bin/env python3
"""Checks build/win32/setup.exe as Windows 2000 would load it, and prints its
figures: size, imports, header fields.

    check_exe.py SETUP_EXE WIN2000_LISTS_DIR
"""
import os
import struct
import sys

MAX_SIZE = 16384
DLLS = {"kernel32.dll": "kernel32.txt", "user32.dll": "user32.txt", "msvcrt.dll": "msvcrt.txt"}
DYNAMIC_BASE, NX_COMPAT = 0x40, 0x100
MEM_EXECUTE, MEM_WRITE = 0x20000000, 0x80000000


def read_pe(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    fields = {"machine": machine, "magic": magic}
    (fields["os_major"], fields["os_minor"], _, _, fields["sub_major"], fields["sub_minor"]) = \
        struct.unpack_from("<HHHHHH", data, opt + 40)
    fields["subsystem"], fields["dll_characteristics"] = struct.unpack_from("<HH", data, opt + 68)
    import_rva = struct.unpack_from("<I", data, opt + 96 + 8)[0]
    table = []
    at = opt + optional_size
    for _ in range(sections):
        name, vsize, rva, raw_size, raw_at = struct.unpack_from("<8sIIII", data, at)
        flags = struct.unpack_from("<I", data, at + 36)[0]
        table.append((name.rstrip(b"\0").decode(), rva, max(vsize, raw_size), raw_at, flags))
        at += 40
    fields["sections"] = table

    def offset(rva):
        for _, start, size, raw_at, _ in table:
            if start <= rva < start + size:
                return rva - start + raw_at
        raise ValueError("RVA %#x in no section" % rva)

    def text(rva):
        at = offset(rva)
        return data[at:data.index(b"\0", at)].decode()

    imports = {}
    at = offset(import_rva)
    while True:
        lookup, _, _, name_rva, thunks = struct.unpack_from("<IIIII", data, at)
        if not name_rva:
            break
        names = imports.setdefault(text(name_rva), [])
        entry = offset(lookup or thunks)
        while True:
            thunk = struct.unpack_from("<I", data, entry)[0]
            if not thunk:
                break
            names.append("#%d" % (thunk & 0xFFFF) if thunk & 0x80000000 else text(thunk + 2))
            entry += 4
        at += 20
    fields["imports"] = imports
    return fields


def problems_of(path, lists_dir):
    with open(path, "rb") as f:
        data = f.read()
    pe = read_pe(data)
    problems = []
    if pe["machine"] != 0x14C or pe["magic"] != 0x10B:
        problems.append("not a 32-bit i386 program (machine %#x)" % pe["machine"])
    if pe["subsystem"] != 2:
        problems.append("subsystem %d, not Windows GUI (2)" % pe["subsystem"])
    for what, version in (("subsystem", (pe["sub_major"], pe["sub_minor"])),
                          ("operating system", (pe["os_major"], pe["os_minor"]))):
        if not (3, 10) <= version <= (5, 0):
            problems.append("%s version %d.%d outside 3.10 to 5.0" % ((what,) + version))
    for flag, name in ((DYNAMIC_BASE, "DYNAMIC_BASE"), (NX_COMPAT, "NX_COMPAT")):
        if not pe["dll_characteristics"] & flag:
            problems.append("DllCharacteristics lacks " + name)
    for name, _, _, _, flags in pe["sections"]:
        if flags & MEM_WRITE and flags & MEM_EXECUTE:
            problems.append("section %s is both writable and executable" % name)
    count = 0
    for dll, names in pe["imports"].items():
        if dll.lower() not in DLLS:
            problems.append("imports from %s" % dll)
            continue
        with open(os.path.join(lists_dir, DLLS[dll.lower()])) as f:
            exported = set(f.read().split())
        for name in names:
            count += 1
            if name.startswith("#"):
                problems.append("imports %s %s by ordinal" % (dll, name))
            elif name not in exported:
                problems.append("imports %s from %s, which Windows 2000 lacks" % (name, dll))
    if len(data) > MAX_SIZE:
        problems.append("%d bytes, more than %d" % (len(data), MAX_SIZE))

    print("%s: %d bytes; subsystem %d.%d, OS %d.%d; DllCharacteristics %#x" % (
        os.path.basename(path), len(data), pe["sub_major"], pe["sub_minor"], pe["os_major"],
        pe["os_minor"], pe["dll_characteristics"]))
    print("imports: %d names from %s" % (count, ", ".join(
        "%s (%d)" % (dll, len(names)) for dll, names in pe["imports"].items())))
    return problems


def main():
    problems = problems_of(sys.argv[1], sys.argv[2])
    for p in problems:
        print("FAIL " + p)
    print("%d passed, %d failed" % (0 if problems else 1, 1 if problems else 0))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
