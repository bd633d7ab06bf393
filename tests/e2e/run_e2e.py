#!/usr/bin/env python3
"""End-to-end tests: run the built kivex on real files in a scratch
directory and check bytes, exit status and the exact console texts against
an independent model of the format.

    run_e2e.py --kivex PATH [--wine] [-k NAME]

With --wine, PATH is kivex.exe and runs under Wine; paths that the program
builds itself then show backslashes."""
import argparse
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(os.path.dirname(HERE), "data")
WINE = os.environ.get("WINE", "wine")
WINESERVER = os.environ.get("WINESERVER", "/usr/lib/wine/wineserver")
BANNER = ("\nKivex v0.90.00 WIN32  Aug  7 2004\n"
          "unter Benutzung der Compface-Routinen von James Ashton (1990)\n\n")
USAGE = (BANNER + "usage:\n\nKivex {-kAusgangspuffer} Eingangspuffer\n\n"
         "-kAusgangspuffer      optional, wird dieser Parameter angegeben, wird\n"
         "                      der Eingansgspuffer nicht ueberschrieben,\n"
         "                      stattdessen wir ein neuer Puffer angelegt mit\n"
         "                      dem Namen 'Ausgangspuffer'\n"
         "\noder\n\nKivex -xExtractVerzeichnis Eingangspuffer\n"
         "-xExtractVerzeichnis  in diesem Verzeichnis werden alle erkannten\n"
         "                      Faces als Bitmaps abgelegt. Es wird dafuer Sorge\n"
         "                      getragen, dass jedes Face nur einmal dort gespeichert\n"
         "                      wird\n")
BAD_FACE = "Invalid X-Face Header, uncompface() rc: -2\n"
USER_ENV = "HKCU\\Environment"


class Skip(Exception):
    pass


class Kivex:
    def __init__(self, path, wine):
        self.path, self.wine, self.sep = os.path.abspath(path), wine, "\\" if wine else "/"
        self.wine_env = {"TMP": None, "TEMP": None}
        if wine:  # one wine server for the suite; TMP and TEMP come from its registry
            subprocess.run([WINESERVER, "-p"], env=dict(os.environ, WINEDEBUG="-all"))
            for var in self.wine_env:
                for key in (USER_ENV, "HKLM\\System\\CurrentControlSet\\Control\\"
                            "Session Manager\\Environment"):
                    self.reg(["delete", key, "/v", var, "/f"])

    def reg(self, args):
        # Not captured: Wine's helpers outlive the call and would hold a pipe.
        subprocess.run([WINE, "reg"] + args, env=dict(os.environ, WINEDEBUG="-all"),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)

    def set_wine_env(self, env):
        for var in self.wine_env:
            value = env.get(var)
            if value is not None and value.startswith("/"):
                value = "Z:" + value.replace("/", "\\")
            if self.wine_env[var] != value:
                self.reg(["delete", USER_ENV, "/v", var, "/f"] if value is None else
                         ["add", USER_ENV, "/v", var, "/t", "REG_SZ", "/d", value, "/f"])
                self.wine_env[var] = value

    def runnable_copy(self, tmp):
        """A copy of the program in `tmp`, for an account that may not enter
        the checkout (a home directory of mode 700)."""
        d = tmp
        while d != os.path.dirname(d):
            if not os.stat(d).st_mode & 0o001:
                raise Skip("%s is closed to other accounts" % d)
            d = os.path.dirname(d)
        copy = Kivex.__new__(Kivex)
        copy.__dict__.update(self.__dict__)
        copy.path = os.path.join(tmp, os.path.basename(self.path))
        shutil.copy(self.path, copy.path)
        return copy

    def run(self, args, cwd, env=None, preexec=None, stdin=None):
        env = env or {}
        full = {k: v for k, v in os.environ.items() if k not in ("TMP", "TEMP")}
        full.update(env)
        cmd = [self.path] + list(args)
        if self.wine:
            self.set_wine_env(env)
            cmd, full["WINEDEBUG"] = [WINE] + cmd, "-all"
        p = subprocess.run(cmd, cwd=cwd, env=full, capture_output=True, input=stdin,
                           preexec_fn=preexec, timeout=600)
        out, err = p.stdout.decode("latin-1"), p.stderr.decode("latin-1")
        if self.wine:  # the Windows console writes CR LF
            out, err = out.replace("\r\n", "\n"), err.replace("\r\n", "\n")
        return p.returncode, out, err


# ---- an independent model of what Kivex must write ------------------------

class Tight(bytes):
    """A header name written back without a blank after the colon."""


def parse_buffer(data, spans=None):
    """Splits a buffer into (headers, body) pairs the way the format says;
    each message's (start, end) goes to `spans` when given."""
    msgs, pos = [], 0
    while pos < len(data):
        start, headers, length = pos, [], None
        while True:
            end = data.index(b"\n", pos)
            line, pos = data[pos:end + 1], end + 1
            if line[:1] in (b"\r", b"\n"):
                break
            piece, more = line[:511], line[511:]  # a line is read in pieces of 511
            name, colon, rest = piece.partition(b":")
            if line.startswith(b"LEN:"):
                if line[4:5] in (b" ", b"\t"):
                    length = int(line[5:].strip())
                else:  # no length, and none when written back
                    name = Tight(name)
            value = rest[1:] if rest[:1] in (b" ", b"\t") else rest
            if colon and not rest and more[:1] in (b" ", b"\t"):
                more = more[1:]  # the separator behind a colon that ends the piece
            if more:  # NULs beyond the first piece are dropped
                value = (value + more.replace(b"\0", b"")).rstrip(b"\n").rstrip(b"\r")
            headers.append((name, value.rstrip(b"\r\n")))
        msgs.append((headers, data[pos:pos + length]))
        pos += length
        if spans is not None:
            spans.append((start, pos))
    return msgs


def write_message(headers, body):
    out = b""
    for name, value in headers:
        tight = isinstance(name, Tight) or (name in (b"X_C", b"X-XP-ARC") and
                                            value[:1] not in (b" ", b"\t"))
        out += name + (b":" if tight else b": ") + value + b"\r\n"
    return out + b"\r\n" + body


FACE_BMPS = {}


def face_bmp(value):
    """The BMP file for an X-Face value, decoded by the compface tool; None
    when the tool cannot decode it."""
    if value not in FACE_BMPS:
        p = subprocess.run(["uncompface"], input=value + b"\n", capture_output=True)
        bmp = None
        if p.returncode == 0:
            words = [int(w, 16) for w in p.stdout.decode().replace("\n", "").split(",") if w]
            rows = [b"".join(w.to_bytes(2, "big") for w in words[3 * r:3 * r + 3])
                    for r in range(48)]
            bmp = bytes.fromhex("424DBE010000000000003E000000280000003000000030000000010001"
                                "000000000080010000C40E0000C40E00000000000000000000FFFFFF00"
                                "00000000") + b"".join(rows[47 - r] + b"\0\0" for r in range(48))
        FACE_BMPS[value] = bmp
    return FACE_BMPS[value]


def face_value(headers):
    return next((v for n, v in headers if n.upper() == b"X-FACE"), b"")


def expected_insertion(data):
    """What a -k or in-place run writes for `data` (message IDs masked),
    the faces found and the face messages written."""
    out, total, written = [], 0, 0
    for headers, body in parse_buffer(data):
        out.append(write_message(headers, body))
        value = face_value(headers)
        total += bool(value)
        if not value or face_bmp(value) is None:
            continue
        face = [({b"MID": b"BEZ"}.get(n.upper(), n), (b"[face]  " if n.upper() == b"BET" else b"") + v)
                for n, v in headers if n.upper() in (b"EMP", b"ABS", b"EDA", b"ROT", b"BET", b"MID")]
        face += [(b"MID", b"<id>"), (b"TYP", b"BIN"), (b"FILE", b"FACE.BMP"), (b"LEN", b"446")]
        out.append(write_message(face, face_bmp(value)))
        written += 1
    return b"".join(out), total, written


def mask_ids(data):
    """Replaces the face messages' IDs by <id>, checking their form: one
    timestamp a run, serials from 1."""
    tail = rb"@kivex\.face\r\nTYP: BIN\r\nFILE: FACE\.BMP\r\nLEN: 446\r\n\r\n"
    ids = re.findall(rb"MID: (\d{14})_(\d+)" + tail, data)
    expect(len({stamp for stamp, _ in ids}) <= 1, "one timestamp per run")
    expect_eq([int(n) for _, n in ids], list(range(1, len(ids) + 1)), "serials")
    return re.sub(rb"MID: \d{14}_\d+" + tail,
                  b"MID: <id>\r\nTYP: BIN\r\nFILE: FACE.BMP\r\nLEN: 446\r\n\r\n", data)


def insertion_stats(total, written):
    return "\nFaces insgesamt      : %4d\nFacesMsgs geschrieben: %4d\n" % (total, written)


def extraction_stats(total, written, duplicate):
    return ("\nFaces insgesamt    : %4d\nFaces geschrieben  : %4d\nFaces mehrfach     : %4d\n"
            % (total, written, duplicate))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


SAMPLE = read(os.path.join(DATA, "sample.puf"))
TESTS = []


def case(fn):
    TESTS.append(fn)
    return fn


def posix_only(fn):
    def wrapped(k, tmp):
        if k.wine:
            raise Skip("POSIX only")
        fn(k, tmp)
    wrapped.__name__ = fn.__name__
    return wrapped


def expect(cond, what):
    if not cond:
        raise AssertionError(what)


def expect_eq(actual, wanted, what=""):
    if actual != wanted:
        raise AssertionError("%s\n  wanted: %r\n  actual: %r" % (what, wanted, actual))


def public_faces():
    path = os.path.join(DATA, "..", "..", "..", "shared", "testdata", "xfaces-public.tsv")
    if not os.path.exists(path):
        return []
    return [line.rstrip(b"\r\n").split(b"\t", 1)[1] for line in open(path, "rb")
            if line.strip() and not line.startswith(b"#")]


def foreign_buffer(seed, count):
    """A buffer as other programs write them: many header forms and line
    ends, Latin-1 text, binary bodies, faces real and drawn."""
    rnd = random.Random(seed)
    faces = [v.encode() for v in re.findall(r"^\w+\t(\S+)\t",
                                            read(os.path.join(DATA, "faces.tsv")).decode(),
                                            re.M)] + public_faces()
    names = [b"EMP", b"BET", b"MID", b"X-XP-ARC", b"X_C", b"U-Content-Type", b"emp", b" X-Leer"]
    out = b""
    for _ in range(count):
        lines = [rnd.choice(names) + rnd.choice([b": ", b":  ", b":", b":\t"]) +
                 bytes(rnd.choice(b"abcXYZ 019\t.@<>\xe4\xf6\xfc\xdf/:-")
                       for _ in range(rnd.choice([0, 1, 30, 700])))
                 for _ in range(rnd.randint(1, 12))]
        if rnd.random() < 0.5:
            lines.insert(rnd.randrange(len(lines) + 1),
                         rnd.choice([b"X-Face: ", b"x-face: "]) + rnd.choice(faces))
        body = bytes(rnd.randrange(256) for _ in range(rnd.choice([0, 1, 40, 3000])))
        end = rnd.choice([b"\r\n", b"\r\n", b"\n", b"\r\r\n"])
        out += b"".join(line + end for line in lines + [b"LEN: %d" % len(body)]) + end + body
    return out


# ---- the three modes -------------------------------------------------------

@case
def command_line(k, tmp):
    expect_eq(k.run([], tmp), (1, USAGE, ""), "usage")
    for args, wanted in [
            (["-K", "p"], "Kivex: Ungueltiges flag '-K'\n"),
            (["-", "p"], "Kivex: Ungueltiges flag '-'\n"),
            (["-ka", "-kb", "p"], "Flag -k nur einmal zulaessig\n"),
            (["-k", "neu.puf", "p"], "Flag -k muss im Format -kAusgabepuffer angegeben werden\n"),
            (["-xa", "-xb", "p"], "Flag -x nur einmal zulaessig\n"),
            (["-x", "p"], "Flag -x muss im Format -xExtraktionsverzeichnis angegeben werden\n"),
            (["-xbilder", "-kneu.puf"], "Puffername fehlt\n"),
            (["-xbilder", "-kneu.puf", "p"],
             BANNER + "Von den Flags -x und -k darf nur eines angegeben werden\n")]:
        expect_eq(k.run(args, tmp), (1, "", wanted), " ".join(args))
    expect_eq(os.listdir(tmp), [], "nothing created")


@case
def insertion_into_a_new_buffer_and_in_place(k, tmp):
    os.mkdir(os.path.join(tmp, "t"))
    wanted, total, written = expected_insertion(SAMPLE)
    expect_eq((total, written), (5, 4), "sample faces")
    write(os.path.join(tmp, "in.puf"), SAMPLE)
    expect_eq(k.run(["-kout.puf", "in.puf"], tmp),
              (0, insertion_stats(5, 4), BANNER + BAD_FACE))
    expect(mask_ids(read(os.path.join(tmp, "out.puf"))) == wanted, "-k bytes")
    expect(read(os.path.join(tmp, "in.puf")) == SAMPLE, "input untouched")
    os.chmod(os.path.join(tmp, "in.puf"), 0o640)
    expect_eq(k.run(["in.puf"], tmp, env={"TMP": os.path.join(tmp, "t")}),
              (0, insertion_stats(5, 4), BANNER + BAD_FACE))
    expect(mask_ids(read(os.path.join(tmp, "in.puf"))) == wanted, "replaced bytes")
    expect_eq(os.listdir(os.path.join(tmp, "t")), [], "no temporary buffer left")
    if not k.wine:
        expect_eq(os.stat(os.path.join(tmp, "in.puf")).st_mode & 0o777, 0o640, "mode kept")
    # Without faces, and empty, a buffer comes out as it went in; TEMP serves.
    plain = b"".join(write_message(h, b) for h, b in parse_buffer(SAMPLE) if not face_value(h))
    for data in (plain + b"EMP: x\r\nX-Face: \r\nLEN: 3\r\n\r\n\0\r\n", b""):
        write(os.path.join(tmp, "in.puf"), data)
        expect_eq(k.run(["in.puf"], tmp, env={"TEMP": tmp}), (0, insertion_stats(0, 0), BANNER))
        expect(read(os.path.join(tmp, "in.puf")) == data, "in-place copy")
    if not k.wine:  # where '/' begins a path, it begins no flag
        rc, out, _ = k.run(["-k" + os.path.join(tmp, "o2.puf"), os.path.join(tmp, "in.puf")], tmp)
        expect_eq((rc, out), (0, insertion_stats(0, 0)))


@case
def extraction_stores_each_face_once(k, tmp):
    os.mkdir(os.path.join(tmp, "faces"))
    write(os.path.join(tmp, "in.puf"), SAMPLE)
    expect_eq(k.run(["-xfaces", "in.puf"], tmp), (0, extraction_stats(5, 3, 1), BANNER + BAD_FACE))
    bmps = []
    for v in (face_value(h) for h, _ in parse_buffer(SAMPLE)):
        if v and face_bmp(v) is not None and face_bmp(v) not in bmps:
            bmps.append(face_bmp(v))
    names = sorted(os.listdir(os.path.join(tmp, "faces")))
    expect_eq(names, ["KIVO0000.BMP", "KIVO0001.BMP", "KIVO0002.BMP"], "files")
    expect_eq([read(os.path.join(tmp, "faces", n)) for n in names], bmps, "pixel-exact")
    # An independent reader sees the drawing upright, black on white.
    path = os.path.join(tmp, "faces", "KIVO0000.BMP")
    info = subprocess.run(["identify", "-format", "%m %w %h %z", path], capture_output=True,
                          check=True).stdout.decode()
    expect(re.match(r"BMP3? 48 48 1$", info), "identify: " + info)
    pixels = subprocess.run(["convert", path, "-depth", "8", "gray:-"], capture_output=True,
                            check=True).stdout
    seen = ["".join("#" if pixels[48 * y + x] < 128 else "." for x in range(48)) for y in range(48)]
    expect(seen == read(os.path.join(DATA, "faces", "smiley.txt")).decode().split(), "upright")
    # A second run into a subdirectory named with a separator finds them all.
    os.rename(os.path.join(tmp, "faces"), os.path.join(tmp, "sub"))
    os.mkdir(os.path.join(tmp, "faces"))
    os.rename(os.path.join(tmp, "sub"), os.path.join(tmp, "faces", "sub"))
    rc, out, _ = k.run(["-xfaces" + k.sep + "sub" + k.sep, "in.puf"], tmp)
    expect_eq((rc, out), (0, extraction_stats(5, 0, 4)))
    expect_eq(len(os.listdir(os.path.join(tmp, "faces", "sub"))), 3, "nothing new")


@case
def buffers_written_by_others(k, tmp):
    os.mkdir(os.path.join(tmp, "faces"))
    for seed in range(2):
        data = foreign_buffer(seed, 150)
        write(os.path.join(tmp, "in.puf"), data)
        wanted, total, written = expected_insertion(data)
        rc, out, _ = k.run(["-kout.puf", "in.puf"], tmp)
        expect_eq((rc, out), (0, insertion_stats(total, written)), "seed %d" % seed)
        expect(mask_ids(read(os.path.join(tmp, "out.puf"))) == wanted, "-k bytes, seed %d" % seed)
        expect_eq(k.run(["-xfaces", "in.puf"], tmp)[0], 0)
    stored = [read(os.path.join(tmp, "faces", n)) for n in os.listdir(os.path.join(tmp, "faces"))]
    expect_eq(len(set(stored)), len(stored), "each face once")


@case
def later_passes_keep_every_header_byte(k, tmp):
    smiley = face_value(parse_buffer(SAMPLE)[0][0])
    data = (b"EMP: /t\r\nX-XP-ARC: 30\r\nX_C: 12\r\nABC:xyz\r\nTAB:\tv\r\nX_C:  2\r\n"
            b"X-Face: " + smiley + b"\r\nLEN: 3\r\nLEN:9\r\nLEN:\r\n\r\nabc" +
            b"EMP: x\r\nLEN: 0\r\n\r\n")
    write(os.path.join(tmp, "in.puf"), data)
    runs = []
    for _ in range(3):
        expect_eq(k.run(["in.puf"], tmp, env={"TMP": tmp})[0], 0)
        runs.append(read(os.path.join(tmp, "in.puf")))
    expect(mask_ids(runs[0]) == expected_insertion(data)[0], "first pass as the model says")

    def originals(data):
        spans = []
        msgs = parse_buffer(data, spans)
        return [data[a:b] for (a, b), (h, _) in zip(spans, msgs) if (b"TYP", b"BIN") not in h]
    for later in runs[1:]:
        expect_eq(originals(later), originals(runs[0]), "header bytes kept")
    expect_eq(len(parse_buffer(runs[2])), 5, "one face message per pass")


@case
@posix_only
def a_pipe_reads_like_the_file(k, tmp):
    """NULs in header lines (at a line's start, across the 511-byte piece),
    long lines, CR CR LF, a large binary body: from a pipe as from the file."""
    data = foreign_buffer(7, 60) + (
        b"EMP: a\0b\r\n\0X: y\r\nLONG: " + b"n" * 505 + b"\0\0\0" + b"m" * 700 + b"\r\r\n" +
        b"LEN: 100000\r\n\r\n" + bytes(range(256)) * 390 + b"\0" * 160 + b"EMP: z\r\nLEN: 0\r\n\r\n")
    write(os.path.join(tmp, "in.puf"), data)
    rc, out, err = k.run(["-kfile.puf", "in.puf"], tmp)
    expect_eq(k.run(["-kpipe.puf", "/dev/stdin"], tmp, stdin=data), (0, out, err))
    expect(mask_ids(read(os.path.join(tmp, "pipe.puf"))) ==
           mask_ids(read(os.path.join(tmp, "file.puf"))), "same bytes")


@case
def console_shows_buffer_bytes_escaped_and_bounded(k, tmp):
    body = (b"\x1b[2J\x1b]0;pwned\x07\x7f\x9b" * 20000)[:200000]
    write(os.path.join(tmp, "in.puf"), b"EMP: x\r\nBAD \x1b[31m\0 line\r\nLEN: 0\r\n\r\n" +
          b"EMP: y\r\nLEN: 300000\r\n\r\n" + body)
    rc, out, err = k.run(["-kout.puf", "in.puf"], tmp)
    expect_eq((rc, out), (1, ""))
    expect(len(err) < 4096, "%d bytes on the console" % len(err))
    expect_eq([c for c in err.encode("latin-1") if (c < 32 and c not in b"\t\r\n") or c == 127],
              [], "raw control bytes")
    expect("fehlerhafte Headerzeile: <BAD \\x1B[31m> at 0\n" in err, err)
    expect(re.search(r"gelesen wurde\|\\x1B\[2J[^|]*\.\.\. \(200000 Bytes\)\|\n", err), err)


# ---- failures: the input survives, the user is told -------------------------

@case
def failures_keep_the_input(k, tmp):
    rc, out, err = k.run(["fehlt.puf"], tmp, env={"TMP": tmp})
    expect_eq((rc, out), (1, ""))
    expect(err.startswith(BANNER + "Fehler: ") and
           err.endswith("Fehler beim Oeffnen der Datei fehlt.puf\n"), err)
    expect_eq(os.listdir(tmp), [], "nothing created")
    write(os.path.join(tmp, "datei"), b"x")
    write(os.path.join(tmp, "in.puf"), SAMPLE)
    expect_eq(k.run(["-xfehlt", "in.puf"], tmp), (1, "", BANNER +
              "Das angegebene Extraktionsverzeichnis fehlt existiert nicht\n"
              "No such file or directory (2)\n"))
    expect_eq(k.run(["-xdatei", "in.puf"], tmp), (1, "", BANNER +
              "Das angegebene Extraktiosverzeichnis datei ist kein Verzeichnis\n"))
    # A broken message: no statistics, the result waits under the next free name.
    t = os.path.join(tmp, "t")
    os.mkdir(t)
    for c in "ABCDEFGHIJKLMNOPQRSTUVWXYZ":
        write(os.path.join(t, "~KIVTAA%s.TMP" % c), b"")
    broken = SAMPLE + b"EMP: x\r\n\r\nohne LEN"
    write(os.path.join(tmp, "in.puf"), broken)
    expect_eq(k.run(["in.puf"], tmp, env={"TMP": t}, preexec=lambda: os.umask(0o022)),
              (1, "", BANNER + BAD_FACE +
               "Keine Laengenangabe im Header\nEs ist ein Fehler aufgetreten, siehe Logdatei\n"))
    expect(read(os.path.join(tmp, "in.puf")) == broken, "input byte-identical")
    expect(os.path.exists(os.path.join(t, "~KIVTABA.TMP")), "next name after AAZ is ABA")
    if not k.wine:
        expect_eq(os.stat(os.path.join(t, "~KIVTABA.TMP")).st_mode & 0o077, 0, "kept private")


@case
def temporary_directory_on_another_file_system(k, tmp):
    shm = "/dev/shm"
    if not os.path.isdir(shm) or os.stat(shm).st_dev == os.stat(tmp).st_dev:
        raise Skip("no second file system")
    t = tempfile.mkdtemp(dir=shm)
    try:
        write(os.path.join(tmp, "in.puf"), SAMPLE)
        expect_eq(k.run(["in.puf"], tmp, env={"TMP": t})[0], 0)
        expect(mask_ids(read(os.path.join(tmp, "in.puf"))) == expected_insertion(SAMPLE)[0],
               "replaced across file systems")
        expect_eq(os.listdir(t) + os.listdir(tmp), ["in.puf"], "no temporary buffer, no copy")
    finally:
        shutil.rmtree(t)


@case
def read_only_buffer_on_windows_is_kept(k, tmp):
    """Windows will not replace a read-only file: after the retries the run
    fails, the input stays and the result waits in the temporary buffer."""
    if not k.wine:
        raise Skip("Windows only")
    os.mkdir(os.path.join(tmp, "t"))
    write(os.path.join(tmp, "in.puf"), SAMPLE)
    os.chmod(os.path.join(tmp, "in.puf"), 0o444)  # Wine shows it as read-only
    rc, out, err = k.run(["in.puf"], tmp, env={"TMP": os.path.join(tmp, "t")})
    expect_eq((rc, out), (1, ""))
    expect("Fehler beim Verschieben des temporaeren Puffers: " in err and
           "Fehler: Permission denied\n" in err, err)
    expect(read(os.path.join(tmp, "in.puf")) == SAMPLE, "input byte-identical")
    expect_eq(os.listdir(os.path.join(tmp, "t")), ["~KIVTAAA.TMP"], "result kept")


@case
@posix_only
def full_disk_while_writing_fails_the_run(k, tmp):
    data = b"".join(write_message([(b"EMP", b"/t"), (b"LEN", b"%d" % (i % 500))], b"z" * (i % 500))
                    for i in range(3000)) + SAMPLE
    write(os.path.join(tmp, "in.puf"), data)

    def limit(size):
        def preexec():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
        return preexec
    for size in (100, 5000, len(data)):  # early, mid-way, and at the last flush
        for args in (["in.puf"], ["-kout.puf", "in.puf"]):
            rc, out, err = k.run(args, tmp, env={"TMP": tmp}, preexec=limit(size))
            expect_eq((rc, out), (1, ""), "%s, limit %d" % (args, size))
            expect("File too large" in err, err)
            expect(read(os.path.join(tmp, "in.puf")) == data, "input byte-identical")
    # A small result stays in the stream's buffer until the close: only the
    # close can tell that it never reached the disk.
    write(os.path.join(tmp, "in.puf"), SAMPLE)
    rc, out, err = k.run(["-k/dev/full", "in.puf"], tmp)
    expect((rc, out) == (1, "") and "No space left on device" in err, err)


@case
@posix_only
def access_owner_and_links(k, tmp):
    """The result takes the input's mode and, for root, its owner; a link
    keeps pointing at the buffer, which holds the result."""
    for d in ("mail", "t"):
        os.mkdir(os.path.join(tmp, d))
    target = os.path.join(tmp, "mail", "post.puf")
    write(target, SAMPLE)
    os.chmod(target, 0o640)
    owner = (65534, 65534) if os.geteuid() == 0 else (os.getuid(), os.getgid())
    os.chown(target, *owner)
    os.symlink(target, os.path.join(tmp, "link.puf"))
    expect_eq(k.run(["link.puf"], tmp, env={"TMP": os.path.join(tmp, "t")})[0], 0)
    expect_eq(os.readlink(os.path.join(tmp, "link.puf")), target, "still the same link")
    expect(mask_ids(read(target)) == expected_insertion(SAMPLE)[0], "the buffer holds the result")
    st = os.stat(target)
    expect_eq((st.st_uid, st.st_gid, st.st_mode & 0o777), owner + (0o640,), "owner and mode")
    expect_eq(os.listdir(os.path.join(tmp, "t")) + os.listdir(os.path.join(tmp, "mail")),
              ["post.puf"], "nothing left over")


@case
@posix_only
def read_only_directories(k, tmp):
    os.chmod(tmp, 0o755)
    as_user = None
    if os.geteuid() == 0:  # root writes everywhere: run a copy as nobody
        def as_user():
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)
        k = k.runnable_copy(tmp)
    ro, t = os.path.join(tmp, "ro"), os.path.join(tmp, "t")
    os.mkdir(ro)
    os.mkdir(t, 0o777)
    os.chmod(t, 0o777)
    write(os.path.join(ro, "in.puf"), SAMPLE)
    os.mkdir(os.path.join(ro, "faces"), 0o555)
    os.chmod(ro, 0o555)
    rc, out, err = k.run(["in.puf"], ro, env={"TMP": t}, preexec=as_user)
    temp = os.path.join(t, "~KIVTAAA.TMP")
    expect_eq((rc, out), (1, ""))
    expect(err.endswith("Fehler beim Verschieben des temporaeren Puffers: %s nach in.puf\n"
                        "Fehler: Permission denied\n"
                        "Der gefilterte temporaere Puffer hat den Namen: %s\n" % (temp, temp)), err)
    expect(read(os.path.join(ro, "in.puf")) == SAMPLE, "input byte-identical")
    expect(mask_ids(read(temp)) == expected_insertion(SAMPLE)[0], "result kept")
    rc, out, err = k.run(["-xfaces", "in.puf"], ro, preexec=as_user)
    expect((rc, out) == (1, "") and err.endswith(
        "Datei faces/KIVO0000.BMP konnte nicht geoeffnet werden\nPermission denied (13)\n"), err)
    rc, out, err = k.run(["in.puf"], ro, preexec=as_user)  # TMP unset: "." is read-only
    expect((rc, out) == (1, "") and err.endswith(
        "Fehler beim Oeffnen der Datei ./~KIVTAAA.TMP\n"), err)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kivex", required=True)
    ap.add_argument("--wine", action="store_true")
    ap.add_argument("-k", dest="only", help="run only tests whose name has this")
    args = ap.parse_args()
    k = Kivex(args.kivex, args.wine)
    passed = failed = skipped = 0
    for test in TESTS:
        if args.only and args.only not in test.__name__:
            continue
        tmp = tempfile.mkdtemp(prefix="kivex-e2e-")
        try:
            test(k, tmp)
            passed += 1
            print("ok      %s" % test.__name__)
        except Skip as why:
            skipped += 1
            print("skipped %s (%s)" % (test.__name__, why))
        except Exception:  # one failing case must not hide the others
            failed += 1
            print("FAILED  %s" % test.__name__)
            traceback.print_exc(file=sys.stdout)
        finally:
            for root, dirs, _ in os.walk(tmp):
                for d in dirs:
                    os.chmod(os.path.join(root, d), 0o755)
            shutil.rmtree(tmp, ignore_errors=True)
    if args.wine:
        k.set_wine_env({})  # leave no test directory behind as Wine's TMP
        subprocess.run([WINESERVER, "-k"], capture_output=True)
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
