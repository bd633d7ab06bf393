#!/usr/bin/env python3
# LIESMICH.TXT is the Windows user's manual: every text the program can
# print there must be in it, and it must read well in Notepad (lines of at
# most 79 characters, the Windows code page it is shipped in).
#
# The texts are the string literals of the program's sources that end in a
# line feed, those printed in pieces (PrintText, fputs) and the system texts
# of the Windows build; a format's conversions stand for any text.
import glob
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
# What no Windows user sees: dumps for the log file, which nothing opens,
# and the dotlock, which only the POSIX build takes.
UNSEEN = re.compile(r"Dump|^Anzahl Elemente|^OfsStart|^OfsEnde|^scan_args|Sperrdatei")


def program_texts():
    for path in sorted(glob.glob(os.path.join(ROOT, "*", "*.cc"))):
        part = os.path.relpath(path, ROOT)
        if part.endswith("_test.cc") or part.split(os.sep)[0] not in ("buffer", "face", "platform", "run"):
            continue
        if part.endswith("env_posix.cc"):
            continue
        source = re.sub(r"//[^\n]*", "", open(path, encoding="latin-1").read())
        source = re.sub(r'"\s*\n\s*"', "", source)  # adjacent literals are one
        for m in LITERAL.finditer(source):
            text, before = m.group(1), source[max(0, m.start() - 40):m.start()]
            printed = (text.endswith("\\n") or re.search(r'(PrintText\(\w+,|fputs\(|"%s\\n",)\s*$', before)
                       or (part.endswith("env_windows.cc") and re.search(r"return\s*$", before)))
            if printed and re.search(r"[A-Za-z]{4}", text) and not UNSEEN.search(text):
                yield part, text


def pattern(text):
    # Blanks and line ends in either text are one blank; a conversion
    # (%s, %llX, %4d) is whatever the manual puts there.
    text = text.replace("\\n", " ").replace('\\"', '"').replace("\\\\", "\\")
    pieces = re.split(r"%[-0-9.]*(?:ll|l|z)?[a-zA-Z]", text)
    return r"\S*.{0,40}?".join(re.escape(" ".join(p.split())) for p in pieces).replace(r"\ ", r"\s*")


def main():
    raw = open(os.path.join(ROOT, "dist", "LIESMICH.TXT"), "rb").read()
    manual = " ".join(raw.decode("utf-8").split())
    failures = ["line %d has %d characters" % (i + 1, len(line))
                for i, line in enumerate(raw.decode("utf-8").split("\n")) if len(line) > 79]
    raw.decode("utf-8").encode("cp1252")  # shipped in the Windows code page
    if re.search(r"linux|posix", manual, re.I):
        failures.append("a sentence about another system")
    texts = list(program_texts())
    for part, text in texts:
        if not re.search(pattern(text), manual):
            failures.append("%s: %s" % (part, text))
    if len(texts) < 60:
        failures.append("only %d texts found in the sources" % len(texts))
    for f in failures:
        print("not in LIESMICH.TXT or wrong there:", f)
    print("%d program texts checked" % len(texts))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
