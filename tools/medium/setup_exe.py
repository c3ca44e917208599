"""What a built setup.exe is, read from its own bytes: the names it imports
and the kinds of resources it holds (with the standard library), and its
signatures (osslsigncode). A file that the build's configuration rewrites
can say otherwise.
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import time

RT_GROUP_ICON = 14
# A build for the tests alone plays a user without administrator rights where
# this variable asks (launcher/child_process.cpp); no build that ships holds
# its name.
TEST_ONLY_MARK = "SETUP_TEST_UNELEVATED".encode("utf-16-le")
TEST_ONLY = "%s is a build for the tests alone (TEST_ELEVATION or COVERAGE), which plays a user without " \
            "administrator rights: build setup.exe again (make) and ship that"


class NotAProgram(Exception):
    pass


def built_for_tests(data):
    """Whether setup.exe's bytes are a build for the tests alone."""
    return TEST_ONLY_MARK in data


class Image:
    def __init__(self, data):
        self.data = data
        try:
            if self.data[:2] != b"MZ":
                raise NotAProgram("no MZ header")
            pe = struct.unpack_from("<I", self.data, 0x3C)[0]
            if self.data[pe:pe + 4] != b"PE\0\0":
                raise NotAProgram("no PE header")
            sections, optional_size = struct.unpack_from("<H12xH", self.data, pe + 6)
            optional = pe + 24
            if struct.unpack_from("<H", self.data, optional)[0] != 0x10B:
                raise NotAProgram("not a 32-bit program")
            self.directories = [struct.unpack_from("<II", self.data, optional + 96 + 8 * i)
                                for i in range(struct.unpack_from("<I", self.data, optional + 92)[0])]
            table = optional + optional_size
            self.sections = [struct.unpack_from("<8xIIII", self.data, table + 40 * i) for i in range(sections)]
        except struct.error:
            raise NotAProgram("cut short")

    def offset(self, rva):
        for size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise NotAProgram("an address outside every section")

    def text(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def directory(self, index):
        rva, size = self.directories[index] if index < len(self.directories) else (0, 0)
        return self.offset(rva) if rva and size else None

    def imports(self):
        """The names imported, by DLL (in lower case)."""
        found = {}
        at = self.directory(1)
        while at is not None:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, at)
            if not name:
                break
            names = found.setdefault(self.text(name).lower(), set())
            entry = self.offset(lookup or thunks)
            while True:
                thunk = struct.unpack_from("<I", self.data, entry)[0]
                if not thunk:
                    break
                if not thunk & 0x80000000:  # else by ordinal
                    names.add(self.text(thunk + 2))
                entry += 4
            at += 20
        return found

    def resource_types(self):
        """The numbered types of the resources it holds."""
        at = self.directory(2)
        if at is None:
            return set()
        named, numbered = struct.unpack_from("<12xHH", self.data, at)
        return {struct.unpack_from("<I", self.data, at + 16 + 8 * i)[0] for i in range(named, named + numbered)}


def describe(data):
    """(whether it reads its command line in UTF-16, whether it has an icon),
    from its bytes; or raises NotAProgram."""
    try:
        image = Image(data)
        kernel = image.imports().get("kernel32.dll", set())
        wide, ansi = "GetCommandLineW" in kernel, "GetCommandLineA" in kernel
        if wide == ansi:
            raise NotAProgram("it reads its command line with %s" % ("both GetCommandLineA and GetCommandLineW"
                                                                     if wide else "neither GetCommandLine"))
        return wide, RT_GROUP_ICON in image.resource_types()
    except (struct.error, ValueError) as e:
        raise NotAProgram("cut short (%s)" % e)


class NoVerifier(Exception):
    pass


def stamp_time(text):
    """osslsigncode's "Dec  8 14:18:41 2026 GMT" as 2026-12-08 14:18:41 UTC."""
    try:
        return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.strptime(" ".join(text.split()), "%b %d %H:%M:%S %Y GMT"))
    except ValueError:
        return text.strip()


def signatures(data):
    """What osslsigncode reads of the signatures in a setup.exe's bytes: None
    where it has none; else whether each matches the bytes, the signer's
    subject, and of each signature its digest and the time of its stamp
    (None where it has none). Raises NoVerifier without osslsigncode."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "setup.exe")
        with open(path, "wb") as f:
            f.write(data)
        try:
            done = subprocess.run(["osslsigncode", "verify", "-in", path], capture_output=True, text=True,
                                  errors="replace")
        except FileNotFoundError:
            raise NoVerifier()
    out = done.stdout + done.stderr
    if "No signature found" in out:
        return None
    blocks = re.split(r"\nSignature Index: ", out)[1:] or [out]
    current = re.findall(r"Current message digest\s*: (\S+)", out)
    matches = bool(current) and current == re.findall(r"Calculated message digest\s*: (\S+)", out)
    subject = re.search(r"Signer's certificate:.*?Subject: ([^\n]*)", out, re.S)
    each = []
    for block in blocks:
        digest = re.search(r"Message digest algorithm\s+: (\S+)", block)
        stamp = re.search(r"Timestamp time: ([^\n]*)", block)
        each.append((digest.group(1) if digest else "an unknown digest", stamp and stamp_time(stamp.group(1))))
    return matches, subject.group(1) if subject else "an unknown subject", each


def signature_said(found):
    """signatures() in the summary's words, and a warning where a signature
    carries no time stamp: Windows stops trusting it with its certificate."""
    if found is None:
        return "NOT signed", None
    _, subject, each = found
    said = "signed by %s (%s)" % (subject, "; ".join("%s, %s" % (digest, "stamped " + stamp if stamp else "NOT stamped")
                                                  for digest, stamp in each))
    bare = [digest for digest, stamp in each if not stamp]
    warning = None
    if bare:
        warning = ("setup.exe's %s signature%s no time stamp: Windows stops trusting %s when the certificate "
                   "expires. Sign it with SIGN_TIMESTAMP_URL" % (" and ".join(bare), "s carry" if len(bare) > 1
                                                                  else " carries", "them" if len(bare) > 1 else "it"))
    return said, warning


if __name__ == "__main__":
    # make sign: setup_exe.py FILE NAME refuses FILE, the bytes it is about
    # to sign, as NAME.
    with open(sys.argv[1], "rb") as f:
        if built_for_tests(f.read()):
            sys.exit(TEST_ONLY % sys.argv[2])
