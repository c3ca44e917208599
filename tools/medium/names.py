"""The names on a medium: the kit's own, and what Joliet and Windows take
for a name, a path and a label.
"""

TOOL = "vorald_installer/bin/vorald_installer_cmd.exe"
SUMS = "SHA256SUMS"
# Joliet holds names of 64 UCS-2 characters and paths of 240 bytes; xorriso
# cuts a longer name, and leaves out a file on a longer path, with at most a
# warning. Windows shows the Joliet tree and takes no name that differs from
# another only in case, or that ends in a dot or a blank.
NAME_MAX, PATH_MAX, LABEL_MAX = 64, 120, 16
FORBIDDEN = set('*/:;?\\"<>|') | {chr(c) for c in range(32)}
# Windows opens these devices for the name, whatever its extension; it takes
# the superscript digits of ISO 8859-1 for digits there.
RESERVED = {"CON", "PRN", "AUX", "NUL"} | {d + n for d in ("COM", "LPT") for n in "123456789\u00b9\u00b2\u00b3"}


def windows_upper(name):
    """name as Windows compares it: each character through a table of one
    character to one, so that ß, ﬀ and the dotless ı stay as they are."""
    out = []
    for c in name:
        upper = c.upper()
        out.append(upper if len(upper) == 1 and (upper.isascii() == c.isascii()) else c)
    return "".join(out)


def unholdable(name):
    """Why Joliet or Windows cannot hold name whole, else None."""
    if any(0xD800 <= ord(c) <= 0xDFFF for c in name):
        return "is not UTF-8"
    if any(ord(c) > 0xFFFF for c in name):
        return "has a character beyond Joliet's UCS-2"
    if FORBIDDEN & set(name):
        return "has a character that Joliet or Windows forbids (* / : ; ? \\ \" < > | or a control character)"
    if len(name) > NAME_MAX:
        return "is longer than Joliet's %d characters" % NAME_MAX
    if name.endswith((".", " ")):
        return "ends in a dot or a blank, which Windows drops"
    if name.split(".")[0].rstrip(" ").upper() in RESERVED:
        return "is a device name that Windows reserves (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, " \
               "COM\u00b9 to COM\u00b3, LPT\u00b9 to LPT\u00b3)"
    return None


def label_problem(label):
    """Why Joliet cannot hold label as a volume's name, else None. A label
    is no file: a device name is one like any other."""
    if not label:
        return "is empty"
    if any(0xD800 <= ord(c) <= 0xDFFF or ord(c) > 0xFFFF for c in label):
        return "has a character beyond Joliet's UCS-2"
    if FORBIDDEN & set(label):
        return "has a character that Joliet forbids (* / : ; ? \\ \" < > | or a control character)"
    if len(label) > LABEL_MAX:
        return "is longer than Joliet's %d characters" % LABEL_MAX
    return None
