#!/usr/bin/env python3
"""Writes sample.puf, the small buffer that ships for the demo and the
end-to-end tests: a handful of messages, some with the drawn sample faces,
one whose face does not decode. Run it again only when it should change."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def faces():
    out = {}
    with open(os.path.join(HERE, "faces.tsv")) as f:
        for line in f:
            if line.startswith("#"):
                continue
            name, value, _ = line.rstrip("\n").split("\t")
            out[name] = value
    return out


def message(headers, body):
    data = b"".join(b"%s: %s\r\n" % (n.encode(), v.encode()) for n, v in headers)
    return data + b"LEN: %d\r\n\r\n" % len(body) + body


def main():
    f = faces()
    msgs = [
        message([("EMP", "/kivex/test"), ("ABS", "anna@example.org (Anna Beispiel)"),
                 ("BET", "Willkommen"), ("EDA", "20040807153012W+2"),
                 ("MID", "a1@example.org"), ("ROT", "example.org"),
                 ("X-Face", f["smiley"]), ("X-XP-ARC", "30")],
                b"Hallo zusammen,\r\nhier ist mein Gesicht.\r\n"),
        message([("EMP", "/kivex/test"), ("ABS", "bernd@example.org"),
                 ("BET", "Ohne Bild"), ("EDA", "20040807160000W+2"),
                 ("MID", "b1@example.org"), ("X_C", "")],
                b"Keine X-Face-Zeile in dieser Nachricht.\r\n"),
        message([("EMP", "/kivex/test"), ("ABS", "carla@example.org"),
                 ("BET", "Schachbrett"), ("EDA", "20040807170000W+2"),
                 ("MID", "c1@example.org"), ("X-Face", f["checker"])],
                b"Binaer: \x00\x01\r\n\x02 Ende\r\n"),
        message([("EMP", "/kivex/test"), ("ABS", "dora@example.org"),
                 ("BET", "Kaputtes Bild"), ("EDA", "20040807180000W+2"),
                 ("MID", "d1@example.org"), ("X-Face", "~" * 1000)],
                b"Dieses X-Face ist kaputt.\r\n"),
        message([("EMP", "/kivex/test"), ("ABS", "anna@example.org (Anna Beispiel)"),
                 ("BET", "Re: Willkommen"), ("EDA", "20040808090000W+2"),
                 ("MID", "a2@example.org"), ("BEZ", "a1@example.org"),
                 ("X-Face", f["smiley"])],
                b"Noch einmal, mit demselben Gesicht.\r\n"),
        message([("EMP", "/kivex/test"), ("ABS", "emil@example.org"),
                 ("BET", "Ecken"), ("EDA", "20040808100000W+2"),
                 ("MID", "e1@example.org"), ("x-face", f["corners"])], b""),
    ]
    with open(os.path.join(HERE, "sample.puf"), "wb") as out:
        out.write(b"".join(msgs))


if __name__ == "__main__":
    main()
