"""The Authenticode signatures of a setup.exe, each checked on its own, as
Windows checks them before it asks whom to trust: the file's digest that the
signature names, the signature's value over it with its own certificate,
and the value of its time stamp over the signature with the authority's
certificate. Whether a chain is trusted is not asked, and nothing goes to
the network. openssl checks each value.
"""
import collections
import hashlib
import os
import struct
import subprocess
import tempfile
import time

DIGESTS = {"1.3.14.3.2.26": "sha1", "2.16.840.1.101.3.4.2.1": "sha256", "2.16.840.1.101.3.4.2.2": "sha384",
           "2.16.840.1.101.3.4.2.3": "sha512", "1.2.840.113549.2.5": "md5"}
MESSAGE_DIGEST, SIGNING_TIME, COUNTER_SIGNATURE = "1.2.840.113549.1.9.4", "1.2.840.113549.1.9.5", "1.2.840.113549.1.9.6"
NESTED, RFC3161 = "1.3.6.1.4.1.311.2.4.1", "1.3.6.1.4.1.311.3.3.1"
SUBJECT_KEY_ID = "2.5.29.14"

# digest: SHA1, SHA256...; problem: why it does not verify, in words that
# follow "its SHA256 signature", or None; stamp: None where there is none,
# else a Stamp, whose problem follows "its time stamp".
Signature = collections.namedtuple("Signature", "digest subject problem stamp")
Stamp = collections.namedtuple("Stamp", "time problem")


class Unreadable(Exception):
    """Bytes that are no signature as Windows reads one."""


class NoOpenssl(Exception):
    pass


class Node(collections.namedtuple("Node", "tag whole body")):
    """One DER element: its tag, all its bytes, and its content's."""

    def items(self):
        found, at = [], 0
        while at < len(self.body):
            item = node(self.body, at)
            found.append(item)
            at += len(item.whole)
        return found


def node(data, at=0):
    try:
        tag, first = data[at], data[at + 1]
        start, length = at + 2, first
        if first & 0x80:
            count = first & 0x7F
            if not 1 <= count <= 4:
                raise Unreadable("a length of %d bytes" % count)
            length = int.from_bytes(data[at + 2:at + 2 + count], "big")
            start += count
    except IndexError:
        raise Unreadable("cut short")
    if start + length > len(data):
        raise Unreadable("cut short")
    return Node(tag, data[at:start + length], data[start:start + length])


def oid(item):
    numbers, value = [], 0
    for byte in item.body:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            numbers.append(value)
            value = 0
    if not numbers:
        raise Unreadable("an empty object identifier")
    first = min(numbers[0] // 40, 2)
    return ".".join(str(n) for n in [first, numbers[0] - 40 * first] + numbers[1:])


def tagged(items, tag):
    return next((i for i in items if i.tag == tag), None)


def attributes(item):
    """An attribute set as {object identifier: [values]}."""
    found = {}
    for attribute in item.items() if item else []:
        kind, values = attribute.items()[:2]
        found.setdefault(oid(kind), []).extend(values.items())
    return found


def file_digest(data, name):
    """The file's Authenticode digest: every byte up to its signatures but
    the checksum and the pointer to them."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    entries = optional + (96 if struct.unpack_from("<H", data, optional)[0] == 0x10B else 112)
    checksum, security = optional + 64, entries + 4 * 8
    at, size = struct.unpack_from("<II", data, security)
    end = at if size else len(data)
    h = hashlib.new(name)
    for start, stop in ((0, checksum), (checksum + 4, security), (security + 8, end)):
        h.update(data[start:stop])
    return h.digest()


def signature_blob(data):
    """The first signature of the file's certificate table, or None."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    entries = optional + (96 if struct.unpack_from("<H", data, optional)[0] == 0x10B else 112)
    at, size = struct.unpack_from("<II", data, entries + 4 * 8)
    if not size:
        return None
    length, _, kind = struct.unpack_from("<IHH", data, at)
    if kind != 2 or length < 8 or at + length > len(data):
        raise Unreadable("its certificate table holds no PKCS#7 signature")
    return data[at + 8:at + length]


def openssl(argv, folder):
    try:
        return subprocess.run(["openssl"] + argv, capture_output=True, cwd=folder)
    except FileNotFoundError:
        raise NoOpenssl()


def signer_certificate(sid, certificates):
    """The certificate that sid names, by issuer and serial number or by its
    key's identifier, among certificates (DER elements)."""
    for certificate in certificates:
        tbs = certificate.items()[0].items()
        fields = tbs[1:] if tbs[0].tag == 0xA0 else tbs
        serial, issuer = fields[0], fields[2]
        if sid.tag == 0x30:
            wanted_issuer, wanted_serial = sid.items()[:2]
            if issuer.whole == wanted_issuer.whole and serial.body == wanted_serial.body:
                return certificate
        elif sid.tag == 0x80:
            extensions = tagged(tbs, 0xA3)
            for extension in extensions.items()[0].items() if extensions else []:
                parts = extension.items()
                if oid(parts[0]) == SUBJECT_KEY_ID and node(parts[-1].body).body == sid.body:
                    return certificate
    return None


def check_signer(signer, content, certificates, folder):
    """The signer's subject, why its value over content does not verify (or
    None), and its digest's name."""
    items = signer.items()
    sid, algorithm = items[1], DIGESTS.get(oid(items[2].items()[0]))
    signed, value = tagged(items, 0xA0), tagged(items[3:], 0x04)
    if not algorithm:
        return "an unknown signer", "uses a digest that Windows does not know", None
    certificate = signer_certificate(sid, certificates)
    if certificate is None:
        return "an unknown signer", "carries no certificate of its signer", algorithm
    with open(os.path.join(folder, "certificate"), "wb") as f:
        f.write(certificate.whole)
    said = openssl(["x509", "-inform", "DER", "-in", "certificate", "-noout", "-subject", "-nameopt", "compat",
                    "-pubkey"], folder)
    first, _, key = said.stdout.partition(b"\n")
    subject = first.decode(errors="replace").partition("=")[2] or "an unknown signer"
    with open(os.path.join(folder, "key.pem"), "wb") as f:
        f.write(key)
    if signed is None or value is None:
        return subject, "has no signed digest", algorithm
    told = attributes(signed).get(MESSAGE_DIGEST, [])
    if [d.body for d in told] != [hashlib.new(algorithm, content).digest()]:
        return subject, "signs a digest that is not that of what it stands for", algorithm
    with open(os.path.join(folder, "signed"), "wb") as f:
        f.write(b"\x31" + signed.whole[1:])  # signed as a SET, stored as [0]
    with open(os.path.join(folder, "value"), "wb") as f:
        f.write(value.body)
    done = openssl(["dgst", "-" + algorithm, "-verify", "key.pem", "-signature", "value", "signed"], folder)
    if said.returncode or done.returncode:
        return subject, "does not verify with its certificate's key", algorithm
    return subject, None, algorithm


def signed_data(blob):
    """The parts of a PKCS#7 SignedData: its content's type and bytes, its
    certificates and its first signer."""
    content_info = node(blob).items()
    signed = content_info[1].items()[0].items()
    encapsulated = signed[2].items()
    content = encapsulated[1].items()[0] if len(encapsulated) > 1 else None
    certificates = tagged(signed[3:], 0xA0)
    signers = signed[-1].items()
    if not signers:
        raise Unreadable("a signature without a signer")
    return oid(encapsulated[0]), content, certificates.items() if certificates else [], signers[0]


def readable_time(text):
    """A UTCTime or GeneralizedTime as 2026-12-09 14:03:11 UTC."""
    text = text.decode("ascii", "replace").rstrip("Z").split(".")[0]
    try:
        return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.strptime(text, "%y%m%d%H%M%S" if len(text) == 12
                                                                      else "%Y%m%d%H%M%S"))
    except ValueError:
        return text


def check_stamp(kind, value, signature_value, certificates, folder):
    """A time stamp (an RFC 3161 token, or a countersignature with the
    signature's certificates) over signature_value: Stamp."""
    if kind == RFC3161:
        _, content, own, signer = signed_data(value.whole)
        info = node(content.body).items()
        imprint, hashed = info[2].items()
        name = DIGESTS.get(oid(imprint.items()[0]))
        stamped = readable_time(info[4].body)
        if not name or hashed.body != hashlib.new(name, signature_value).digest():
            return Stamp(stamped, "stamps another signature")
        _, problem, _ = check_signer(signer, content.body, own, folder)
    else:
        _, problem, _ = check_signer(value, signature_value, certificates, folder)
        stamped = attributes(tagged(value.items(), 0xA0)).get(SIGNING_TIME, [None])[0]
        stamped = readable_time(stamped.body) if stamped else "an unknown time"
    return Stamp(stamped, problem)


def check_signature(blob, data, found, folder):
    """Appends to found each signature in blob, the nested ones after it."""
    kind, content, certificates, signer = signed_data(blob)
    claimed = content.items()[1].items()
    name = DIGESTS.get(oid(claimed[0].items()[0]))
    subject, problem, _ = check_signer(signer, content.body, certificates, folder)
    if not name or claimed[1].body != file_digest(data, name):
        problem = "does not match the file's bytes"
    unsigned = attributes(tagged(signer.items(), 0xA1))
    signature_value = tagged(signer.items()[3:], 0x04).body
    stamps = [check_stamp(k, v, signature_value, certificates, folder)
              for k in (RFC3161, COUNTER_SIGNATURE) for v in unsigned.get(k, [])]
    found.append(Signature((name or "an unknown digest").upper(), subject, problem, stamps[0] if stamps else None))
    for nested in unsigned.get(NESTED, []):
        check_signature(nested.whole, data, found, folder)


def signatures(data):
    """Each signature of setup.exe's bytes, in the order Windows nests them,
    or None where it has none. Raises Unreadable, NoOpenssl."""
    try:
        blob = signature_blob(data)
        if blob is None:
            return None
        found = []
        with tempfile.TemporaryDirectory() as folder:
            check_signature(blob, data, found, folder)
        return found
    except (IndexError, ValueError, struct.error) as e:
        raise Unreadable(str(e) or "cut short")
