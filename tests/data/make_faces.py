#!/usr/bin/env python3
"""Compresses the drawn sample faces with the compface tool.

Each faces/NAME.txt holds 48 lines of 48 characters, '#' black and '.'
white. The result, faces.tsv, holds NAME, the X-Face value and the hex text
that uncompface gives back for it (the reference for decoding tests).
Run it again only when a drawing changes."""
import os
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
NAMES = ["white", "black", "topleft", "corners", "smiley", "checker"]


def tool(name, text):
    return subprocess.run([name], input=text.encode(), capture_output=True, check=True).stdout.decode()


def main():
    rows = ["# name\tX-Face value\tuncompface text (lines joined)"]
    for name in NAMES:
        bits = open(os.path.join(HERE, "faces", name + ".txt")).read().replace("#", "1").replace(".", "0")
        hex_text = "".join("0x%04X," % int(bits.replace("\n", "")[i:i + 16], 2) for i in range(0, 2304, 16))
        value = "".join(tool("compface", hex_text).split())  # unfold the tool's line breaks
        back = tool("uncompface", value).replace("\n", "")
        assert back == hex_text, name
        rows.append("%s\t%s\t%s" % (name, value, back))
    with open(os.path.join(HERE, "faces.tsv"), "w") as f:
        f.write("\n".join(rows) + "\n")


if __name__ == "__main__":
    main()
