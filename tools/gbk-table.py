#!/usr/bin/env python3
"""Writes diag/qvgbktable.inc: every GBK character in the library's texts
(diag/qvtexts.h, platform/qverrors.h) with its Unicode code point, for the
traces' UTF-8 form (diag/qvgbk.cpp).

Run it from the source tree's root after adding or changing a text:

    python3 tools/gbk-table.py

The test suite checks that every text converts without an unknown
character, so a forgotten run shows there.
"""
import re
import sys

SOURCES = ["diag/qvtexts.h", "platform/qverrors.h"]
OUTPUT = "diag/qvgbktable.inc"


def literals(source):
    """The bytes of every string literal outside comments."""
    source = re.sub(r"/\*.*?\*/", " ", source, flags=re.S)
    source = re.sub(r"//[^\n]*", " ", source)
    for body in re.findall(r'"((?:[^"\\\n]|\\.)*)"', source):
        out = bytearray()
        i = 0
        while i < len(body):
            c = body[i]
            if c != "\\":
                out += c.encode("ascii")
                i += 1
            elif body[i + 1] == "x":
                m = re.match(r"[0-9A-Fa-f]+", body[i + 2:])
                out.append(int(m.group(0), 16))
                i += 2 + len(m.group(0))
            else:
                out += {"n": b"\n", "t": b"\t", "\\": b"\\", '"': b'"', "'": b"'"}[body[i + 1]]
                i += 2
        yield bytes(out)


def main():
    pairs = {}
    for path in SOURCES:
        with open(path, encoding="utf-8") as f:
            for text in literals(f.read()):
                i = 0
                while i < len(text):
                    if text[i] < 0x80:
                        i += 1
                        continue
                    pair = text[i:i + 2]
                    if len(pair) != 2:
                        sys.exit("%s: a lone GBK lead byte in %r" % (path, text))
                    pairs[pair] = pair.decode("gbk")
                    i += 2
    with open(OUTPUT, "w", encoding="utf-8") as out:
        out.write("// qvgbktable.inc - written by tools/gbk-table.py; do not edit.\n")
        out.write("// Every GBK character of the library's texts, by its GBK code, with its\n")
        out.write("// Unicode code point.\n")
        for pair in sorted(pairs):
            char = pairs[pair]
            out.write("{0x%02X%02X, 0x%04X},  // %s\n" % (pair[0], pair[1], ord(char), char))
    print("%s: %d characters" % (OUTPUT, len(pairs)))


if __name__ == "__main__":
    main()
