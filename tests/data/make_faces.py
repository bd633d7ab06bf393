#!/usr/bin/env python3
"""Draws the sample faces and compresses them with the compface tool.

Each faces/NAME.txt holds 48 lines of 48 characters, '#' black and '.'
white. The result, faces.tsv, holds NAME, the X-Face value and the hex text
that uncompface gives back for it (the reference for decoding tests).
Run it again only when a drawing changes."""
import math
import os
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))


def draw():
    faces = {}
    blank = [[0] * 48 for _ in range(48)]
    faces["white"] = blank
    faces["black"] = [[1] * 48 for _ in range(48)]
    tl = [row[:] for row in blank]
    tl[0][0] = 1
    faces["topleft"] = tl
    corners = [row[:] for row in blank]
    for y, x in ((0, 0), (0, 47), (47, 0), (47, 47)):
        corners[y][x] = 1
    faces["corners"] = corners
    smiley = [row[:] for row in blank]
    for y in range(48):
        for x in range(48):
            d = math.hypot(x - 23.5, y - 23.5)
            if 20 <= d <= 22:
                smiley[y][x] = 1
            if math.hypot(x - 16, y - 17) <= 3 or math.hypot(x - 31, y - 17) <= 3:
                smiley[y][x] = 1
            if 11 <= d <= 13 and y > 27:
                smiley[y][x] = 1
    faces["smiley"] = smiley
    faces["checker"] = [[((x // 3) + (y // 3)) % 2 for x in range(48)] for y in range(48)]
    return faces


def to_hex(bits):
    lines = []
    for row in bits:
        words = []
        for w in range(3):
            v = 0
            for b in range(16):
                v = (v << 1) | row[16 * w + b]
            words.append("0x%04X," % v)
        lines.append("".join(words))
    return "\n".join(lines) + "\n"


def main():
    faces = draw()
    rows = []
    for name, bits in faces.items():
        with open(os.path.join(HERE, "faces", name + ".txt"), "w") as f:
            for row in bits:
                f.write("".join("#" if b else "." for b in row) + "\n")
        value = subprocess.run(["compface"], input=to_hex(bits).encode(),
                               capture_output=True, check=True).stdout.decode()
        value = "".join(value.split())  # unfold: drop the tool's line breaks
        back = subprocess.run(["uncompface"], input=value.encode(),
                              capture_output=True, check=True).stdout.decode()
        assert back.replace("\n", "") == to_hex(bits).replace("\n", ""), name
        rows.append("%s\t%s\t%s" % (name, value, back.replace("\n", "")))
    with open(os.path.join(HERE, "faces.tsv"), "w") as f:
        f.write("# name\tX-Face value\tuncompface text (lines joined)\n")
        f.write("\n".join(rows) + "\n")


if __name__ == "__main__":
    main()
