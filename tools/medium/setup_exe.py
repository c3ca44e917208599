"""What a built setup.exe is, read from its own bytes: the names it imports
and the kinds of resources it holds, whether it was built for the tests
alone, and its signatures, each checked on its own (authenticode.py). A file
that the build's configuration rewrites can say otherwise.
"""
import struct
import sys

import authenticode

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


def signatures(data):
    """Each signature of setup.exe's bytes, checked on its own
    (authenticode.py), or None where it has none. Raises NoVerifier without
    openssl, NotAProgram where the signature cannot be read."""
    try:
        return authenticode.signatures(data)
    except authenticode.NoOpenssl:
        raise NoVerifier()
    except authenticode.Unreadable as e:
        raise NotAProgram("its signature cannot be read (%s)" % e)


def signature_problem(name, found):
    """The first signature or stamp among found that does not verify, in a
    sentence about name; else None."""
    for s in found or []:
        if s.problem:
            return "%s's %s signature %s" % (name, s.digest, s.problem)
        if s.stamp and s.stamp.problem:
            return "the time stamp of %s's %s signature %s" % (name, s.digest, s.stamp.problem)
    return None


def signature_said(found):
    """signatures() in the summary's words, for signatures that verified,
    and a warning where one carries no time stamp: Windows stops trusting it
    with its certificate."""
    if found is None:
        return "NOT signed", None
    each = ["%s, %s" % (s.digest, "stamped " + s.stamp.time if s.stamp else "NOT stamped") for s in found]
    subjects = sorted({s.subject for s in found})
    if len(subjects) == 1:
        said = "signed by %s (%s)" % (subjects[0], "; ".join(each))
    else:
        said = "signed by " + " and ".join("%s (%s)" % (s.subject, e) for s, e in zip(found, each))
    bare = [s.digest for s in found if not s.stamp]
    warning = None
    if bare:
        warning = ("setup.exe's %s signature%s no time stamp: Windows stops trusting %s when the certificate "
                   "expires. Sign it with SIGN_TIMESTAMP_URL" % (" and ".join(bare), "s carry" if len(bare) > 1
                                                                  else " carries", "them" if len(bare) > 1 else "it"))
    return said, warning


def main(args):
    """make sign's checks, of FILE said as NAME: "shippable FILE NAME" before
    it signs; "signed FILE NAME [stamped]" once it has, which prints what
    verified."""
    verb, path, name = args[:3]
    with open(path, "rb") as f:
        data = f.read()
    if built_for_tests(data):
        return TEST_ONLY % name
    if verb == "shippable":
        return None
    try:
        found = signatures(data)
    except NoVerifier:
        return "openssl is missing (make deps): it checks the signatures"
    except NotAProgram as e:
        return "%s: %s" % (name, e)
    problem = signature_problem(name, found)
    bare = [s.digest for s in found or [] if not s.stamp]
    if found is None or problem:
        return (problem or "%s carries no signature" % name) + "; it is left as it was"
    if args[3:] == ["stamped"] and bare:
        return "%s's %s signature carries no time stamp; it is left as it was" % (name, " and ".join(bare))
    print(signature_said(found)[0])
    return None


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
