#!/usr/bin/env python3
"""Writes the string tables of setup.exe's boxes, one a language, as a
resource script, from the shipped texts and the author's.

    messages.py SHIPPED LANGUAGES MESSAGES OUTPUT.rc

LANGUAGES is SETUP_LANGUAGES: "all", or tags such as en,de,ja. MESSAGES is
SETUP_MESSAGES: a file in SHIPPED's format whose texts replace or add to
SHIPPED's, or "" for none. Prints the tags that went in; refuses, naming the
variable and the line, a language or key it does not know, a text that does
not hold the one %s that its box needs or holds any other %, a text longer
than setup.exe shows, and a language without every text. In a right-to-left
language, a path is embedded left to right.
"""
import re
import sys

# Windows' language identifiers (LANGID) of the tags a text may have.
LANGUAGES = {
    "en": 0x0409, "en-GB": 0x0809, "de": 0x0407, "de-AT": 0x0C07, "de-CH": 0x0807, "fr": 0x040C,
    "fr-CA": 0x0C0C, "es": 0x0C0A, "es-MX": 0x080A, "it": 0x0410, "pt-BR": 0x0416, "pt-PT": 0x0816,
    "nl": 0x0413, "pl": 0x0415, "cs": 0x0405, "sk": 0x041B, "sv": 0x041D, "da": 0x0406, "nb": 0x0414,
    "fi": 0x040B, "et": 0x0425, "lv": 0x0426, "lt": 0x0427, "hu": 0x040E, "ro": 0x0418, "sl": 0x0424,
    "hr": 0x041A, "bg": 0x0402, "el": 0x0408, "ru": 0x0419, "uk": 0x0422, "tr": 0x041F, "ja": 0x0411,
    "ko": 0x0412, "zh-CN": 0x0804, "zh-TW": 0x0404, "zh-HK": 0x0C04, "th": 0x041E, "vi": 0x042A,
    "id": 0x0421, "hi": 0x0439, "ca": 0x0403, "ar": 0x0401, "he": 0x040D, "fa": 0x0429,
    "ur": 0x0420,
}
# As launcher/messages.h numbers them.
KEYS = {"caption": 1, "tool_missing": 2, "file_unreadable": 3, "folder_unspellable": 4, "start_failed": 5,
        "command_too_long": 6, "wait_failed": 7, "prompt_too_long": 8}
# Texts that name no path: the caption, and a reason that follows a sentence.
PATHLESS = ("caption", "command_too_long", "prompt_too_long")
# Where a path stands between these, it reads from left to right inside a
# right-to-left text: its separators stay where they are.
EMBEDDED_PATH = "\u202a%s\u202c"
RIGHT_TO_LEFT = ("ar", "he", "fa", "ur")  # as launcher/messages.cpp reads them
# setup.exe shows a text of at most this many UTF-16 units.
MAX_UNITS = 1023
LINE = re.compile(r"^([A-Za-z]+(?:-[A-Za-z]+)?)\.([a-z_]+)\s*=\s*(.*?)\s*$")


class Refused(Exception):
    pass


def in_box(tag, text):
    """The text as the box shows it: in a right-to-left language, its path
    embedded left to right where the author did not do so."""
    if tag in RIGHT_TO_LEFT and "%s" in text and EMBEDDED_PATH not in text:
        return text.replace("%s", EMBEDDED_PATH)
    return text


def text_problem(key, text):
    if not text:
        return "is empty"
    units = len(text.encode("utf-16-le")) // 2
    if units > MAX_UNITS:
        return "is %d UTF-16 units long; setup.exe shows at most %d" % (units, MAX_UNITS)
    if any(ord(c) < 0x20 or 0x7F <= ord(c) < 0xA0 for c in text):
        return "holds a control character"
    wanted = 0 if key in PATHLESS else 1
    if text.count("%s") != wanted or text.count("%") != wanted:
        return "holds %s; it takes %s" % (
            " ".join(re.findall(r"%.?", text)) or "no %s",
            "no %" if wanted == 0 else "exactly one %s, where the box names the path, and no other %")
    return None


def read_texts(path, variable):
    """The texts of a file, by (tag, key)."""
    where = "%s: %s" % (variable, path)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise Refused("%s: cannot be read (%s)" % (where, e.strerror))
    texts = {}
    for number, raw in enumerate(data.split(b"\n"), 1):
        try:
            line = raw.decode("utf-8").rstrip("\r")
        except UnicodeDecodeError:
            raise Refused("%s:%d: not UTF-8" % (where, number))
        if number == 1:
            line = line.lstrip("\ufeff")
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        match = LINE.match(line)
        if not match:
            raise Refused("%s:%d: not LANGUAGE.KEY = TEXT" % (where, number))
        tag, key, text = match.groups()
        if tag not in LANGUAGES:
            raise Refused("%s:%d: unknown language %r; known: %s" % (where, number, tag, " ".join(LANGUAGES)))
        if key not in KEYS:
            raise Refused("%s:%d: unknown key %r; known: %s" % (where, number, key, " ".join(KEYS)))
        if (tag, key) in texts:
            raise Refused("%s:%d: %s.%s given twice" % (where, number, tag, key))
        text = in_box(tag, text)
        problem = text_problem(key, text)
        if problem:
            raise Refused("%s:%d: %s.%s %s" % (where, number, tag, key, problem))
        texts[(tag, key)] = text
    return texts


def chosen_languages(texts, wanted):
    have = [tag for tag in LANGUAGES if any((tag, key) in texts for key in KEYS)]
    tags = have if wanted == "all" else [t.strip() for t in wanted.split(",")]
    for tag in tags:
        if tag not in LANGUAGES:
            raise Refused("SETUP_LANGUAGES is %r: unknown language %r; known: %s" % (
                wanted, tag, " ".join(LANGUAGES)))
        if tag not in have:
            raise Refused("SETUP_LANGUAGES is %r: no texts for %r (SETUP_MESSAGES can add them)" % (wanted, tag))
        missing = [key for key in KEYS if (tag, key) not in texts]
        if missing:
            raise Refused("SETUP_LANGUAGES is %r: %s lacks %s; neither the shipped texts nor SETUP_MESSAGES "
                          "give it" % (wanted, tag, ", ".join(missing)))
    if len(set(tags)) != len(tags):
        raise Refused("SETUP_LANGUAGES is %r: a language named twice" % wanted)
    return tags


def rc_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '""') + '"'


def resource_script(texts, tags):
    lines = ["// Made by win32/messages.py when the build is configured."]
    for tag in tags:
        language = LANGUAGES[tag]
        lines += ["", "// " + tag, "LANGUAGE %#x, %#x" % (language & 0x3FF, language >> 10), "STRINGTABLE", "BEGIN"]
        lines += ["    %d, %s" % (number, rc_string(texts[(tag, key)])) for key, number in KEYS.items()]
        lines.append("END")
    return "\n".join(lines) + "\n"


def main():
    shipped, wanted, messages, output = sys.argv[1:]
    try:
        texts = read_texts(shipped, "shipped texts")
        if messages:
            texts.update(read_texts(messages, "SETUP_MESSAGES"))
        tags = chosen_languages(texts, wanted)
    except Refused as e:
        print(e, file=sys.stderr)
        return 1
    with open(output, "w", encoding="utf-8") as f:
        f.write(resource_script(texts, tags))
    print(",".join(tags))
    return 0


if __name__ == "__main__":
    sys.exit(main())
