#!/usr/bin/env python3
"""End-to-end tests: run the built kivex on real files in a scratch
directory and check bytes, exit status and the exact console texts.

    run_e2e.py --kivex PATH [--wine]

With --wine, PATH is kivex.exe and runs under Wine; paths that the program
builds itself then show backslashes."""
import argparse
import os
import random
import resource
import signal
import re
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(os.path.dirname(HERE), "data")

BANNER = ("Kivex v0.90.00 WIN32  Aug  7 2004\n"
          "unter Benutzung der Compface-Routinen von James Ashton (1990)\n")
BANNER_BLOCK = "\n" + BANNER + "\n"
USAGE = ("\n" + BANNER + "\nusage:\n\nKivex {-kAusgangspuffer} Eingangspuffer\n\n"
         "-kAusgangspuffer      optional, wird dieser Parameter angegeben, wird\n"
         "                      der Eingansgspuffer nicht ueberschrieben,\n"
         "                      stattdessen wir ein neuer Puffer angelegt mit\n"
         "                      dem Namen 'Ausgangspuffer'\n"
         "\noder\n\nKivex -xExtractVerzeichnis Eingangspuffer\n"
         "-xExtractVerzeichnis  in diesem Verzeichnis werden alle erkannten\n"
         "                      Faces als Bitmaps abgelegt. Es wird dafuer Sorge\n"
         "                      getragen, dass jedes Face nur einmal dort gespeichert\n"
         "                      wird\n")


WINE_USER_ENV = "HKCU\\Environment"
WINE_SYSTEM_ENV = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment"


class Kivex:
    def __init__(self, path, wine):
        self.path = os.path.abspath(path)
        self.wine = wine
        self.sep = "\\" if wine else "/"
        self.wine_env = {}
        if wine:
            # One wine server for the whole suite instead of one per run.
            subprocess.run([os.environ.get("WINESERVER", "/usr/lib/wine/wineserver"), "-p"],
                           env=dict(os.environ, WINEDEBUG="-all"), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # Wine sets TMP and TEMP from its registry, not from the caller:
            # clear them there once; each run then puts its own in.
            for var in ("TMP", "TEMP"):
                for key in (WINE_SYSTEM_ENV, WINE_USER_ENV):
                    self.reg(["delete", key, "/v", var, "/f"])
                self.wine_env[var] = None

    def reg(self, args):
        env = dict(os.environ, WINEDEBUG="-all")
        # Not captured: wine's helper processes started here outlive the call
        # and would hold a pipe open.
        subprocess.run([os.environ.get("WINE", "wine"), "reg"] + args,
                       env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)

    def set_wine_env(self, env):
        for var in ("TMP", "TEMP"):
            value = env.get(var)
            if value is not None and value.startswith("/"):
                value = "Z:" + value.replace("/", "\\")
            if self.wine_env[var] == value:
                continue
            if value is None:
                self.reg(["delete", WINE_USER_ENV, "/v", var, "/f"])
            else:
                self.reg(["add", WINE_USER_ENV, "/v", var, "/t", "REG_SZ", "/d", value, "/f"])
            self.wine_env[var] = value

    def runnable_copy(self, tmp):
        """A copy of the program in `tmp`, for another account that may not
        enter the checkout (a home directory of mode 700)."""
        d = tmp
        while d != os.path.dirname(d):
            if not os.stat(d).st_mode & 0o001:
                raise Skip("%s is closed to other accounts" % d)
            d = os.path.dirname(d)
        copy = Kivex.__new__(Kivex)
        copy.__dict__.update(self.__dict__)
        copy.path = os.path.join(tmp, os.path.basename(self.path))
        shutil.copy(self.path, copy.path)
        os.chmod(copy.path, 0o755)
        return copy

    def run(self, args, cwd, env=None, preexec=None):
        cmd = [self.path] + list(args)
        full_env = dict(os.environ)
        full_env.pop("TMP", None)
        full_env.pop("TEMP", None)
        if self.wine:
            self.set_wine_env(env or {})
            cmd = [os.environ.get("WINE", "wine")] + cmd
            full_env["WINEDEBUG"] = "-all"
        full_env.update(env or {})
        p = subprocess.run(cmd, cwd=cwd, env=full_env, capture_output=True,
                           preexec_fn=preexec, timeout=600)
        out = p.stdout.decode("latin-1")
        err = p.stderr.decode("latin-1")
        if self.wine:  # the Windows console writes CR LF
            out, err = out.replace("\r\n", "\n"), err.replace("\r\n", "\n")
        return p.returncode, out, err


# ---- an independent model of what Kivex must write ------------------------

def parse_buffer(data, spans=None):
    """Splits a buffer into (headers, body) pairs the way the format says;
    each message's (start, end) goes to `spans` when given."""
    msgs, pos = [], 0
    while pos < len(data):
        start, headers, length = pos, [], None
        while True:
            end = data.index(b"\n", pos)
            line = data[pos:end + 1]
            pos = end + 1
            if line[:1] in (b"\r", b"\n"):
                break
            if line.startswith(b"LEN:") and line[4:5] in (b" ", b"\t"):
                length = int(line[5:].strip())
            piece, more = line[:511], line[511:]
            name, colon, rest = piece.partition(b":")
            value = rest[1:] if rest[:1] in (b" ", b"\t") else rest
            if colon and not rest and more[:1] in (b" ", b"\t"):
                more = more[1:]  # the separator behind a colon that ends the piece
            if more:  # NULs beyond the first piece are dropped
                value += more.replace(b"\0", b"")
            value = value.rstrip(b"\n").rstrip(b"\r") if more else value.rstrip(b"\r\n")
            headers.append((name, value))
        msgs.append((headers, data[pos:pos + length]))
        pos += length
        if spans is not None:
            spans.append((start, pos))
    return msgs


def write_message(headers, body):
    out = b""
    for name, value in headers:
        tight = name in (b"X_C", b"X-XP-ARC") and value[:1] not in (b" ", b"\t")
        sep = b":" if tight else b": "
        out += name + sep + value + b"\r\n"
    return out + b"\r\n" + body


FACE_BMPS = {}


def face_bmp(value):
    """The BMP face file for an X-Face value, decoded by the compface tool;
    None when the tool cannot decode it."""
    if value not in FACE_BMPS:
        FACE_BMPS[value] = decode_with_tool(value)
    return FACE_BMPS[value]


def decode_with_tool(value):
    p = subprocess.run(["uncompface"], input=value + b"\n", capture_output=True)
    if p.returncode != 0:
        return None
    words = [int(w, 16) for w in p.stdout.decode().replace("\n", "").split(",") if w]
    rows = [b"".join(w.to_bytes(2, "big") for w in words[3 * r:3 * r + 3]) for r in range(48)]
    head = bytes.fromhex("424D BE010000 0000 0000 3E000000"  # file header
                         "28000000 30000000 30000000 0100 0100 00000000 80010000"
                         "C40E0000 C40E0000 00000000 00000000"  # info header
                         "FFFFFF00 00000000")  # white, black
    return head + b"".join(rows[47 - r] + b"\0\0" for r in range(48))


def face_value(headers):
    for name, value in headers:
        if name.upper() == b"X-FACE":
            return value
    return b""


def expected_insertion(data):
    """What a -k or in-place run writes for `data`, message IDs masked."""
    out, total, written = [], 0, 0
    for headers, body in parse_buffer(data):
        out.append(write_message(headers, body))
        value = face_value(headers)
        if not value:
            continue
        total += 1
        bmp = face_bmp(value)
        if bmp is None:
            continue
        face = []
        for name, v in headers:
            up = name.upper()
            if up in (b"EMP", b"ABS", b"EDA", b"ROT"):
                face.append((name, v))
            elif up == b"BET":
                face.append((name, b"[face]  " + v))
            elif up == b"MID":
                face.append((b"BEZ", v))
        face += [(b"MID", b"<id>"), (b"TYP", b"BIN"), (b"FILE", b"FACE.BMP"), (b"LEN", b"446")]
        out.append(write_message(face, bmp))
        written += 1
    return b"".join(out), total, written


def mask_ids(data):
    """Replaces the face messages' IDs by <id>, checking their form."""
    tail = rb"@kivex\.face\r\nTYP: BIN\r\nFILE: FACE\.BMP\r\nLEN: 446\r\n\r\n"
    ids = re.findall(rb"MID: (\d{14})_(\d+)" + tail, data)
    stamps = {stamp for stamp, _ in ids}
    expect(len(stamps) <= 1, "one timestamp per run: %r" % stamps)
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
BAD_FACE = "Invalid X-Face Header, uncompface() rc: -2\n"


class Skip(Exception):
    pass


def posix_only(fn):
    def wrapped(k, tmp):
        if k.wine:
            raise Skip("POSIX only")
        fn(k, tmp)
    wrapped.__name__ = fn.__name__
    return wrapped


TESTS = []


def case(fn):
    TESTS.append(fn)
    return fn


def expect(cond, what):
    if not cond:
        raise AssertionError(what)


def expect_eq(actual, wanted, what=""):
    if actual != wanted:
        raise AssertionError("%s\n  wanted: %r\n  actual: %r" % (what, wanted, actual))


# ---- command line ---------------------------------------------------------

@case
def usage_without_arguments(k, tmp):
    rc, out, err = k.run([], tmp)
    expect_eq((rc, out, err), (1, USAGE, ""), "usage")


@case
def command_line_errors(k, tmp):
    rows = [
        (["-K", "p"], "Kivex: Ungueltiges flag '-K'\n"),
        (["-", "p"], "Kivex: Ungueltiges flag '-'\n"),
        (["-ka", "-kb", "p"], "Flag -k nur einmal zulaessig\n"),
        (["-k", "neu.puf", "p"], "Flag -k muss im Format -kAusgabepuffer angegeben werden\n"),
        (["-xa", "-xb", "p"], "Flag -x nur einmal zulaessig\n"),
        (["-x", "p"], "Flag -x muss im Format -xExtraktionsverzeichnis angegeben werden\n"),
        (["-xbilder", "-kneu.puf"], "Puffername fehlt\n"),
        (["-xbilder", "-kneu.puf", "p"],
         BANNER_BLOCK + "Von den Flags -x und -k darf nur eines angegeben werden\n"),
    ]
    for args, wanted in rows:
        rc, out, err = k.run(args, tmp)
        expect_eq((rc, out, err), (1, "", wanted), " ".join(args))
    expect_eq(os.listdir(tmp), [], "nothing created")


# ---- the three modes -------------------------------------------------------

@case
def k_run_inserts_face_messages(k, tmp):
    write(os.path.join(tmp, "in.puf"), SAMPLE)
    rc, out, err = k.run(["-kout.puf", "in.puf"], tmp)
    wanted, total, written = expected_insertion(SAMPLE)
    expect_eq((rc, out, err), (0, insertion_stats(total, written), BANNER_BLOCK + BAD_FACE))
    expect_eq((total, written), (5, 4), "sample faces")
    expect(mask_ids(read(os.path.join(tmp, "out.puf"))) == wanted, "output bytes")
    expect(read(os.path.join(tmp, "in.puf")) == SAMPLE, "input untouched")


@case
def in_place_run_replaces_the_input(k, tmp):
    os.mkdir(os.path.join(tmp, "t"))
    write(os.path.join(tmp, "in.puf"), SAMPLE)
    os.chmod(os.path.join(tmp, "in.puf"), 0o640)
    rc, out, err = k.run(["in.puf"], tmp, env={"TMP": os.path.join(tmp, "t")})
    wanted, total, written = expected_insertion(SAMPLE)
    expect_eq((rc, out, err), (0, insertion_stats(total, written), BANNER_BLOCK + BAD_FACE))
    expect(mask_ids(read(os.path.join(tmp, "in.puf"))) == wanted, "replaced bytes")
    expect_eq(os.listdir(os.path.join(tmp, "t")), [], "no temporary buffer left")
    if not k.wine:
        expect_eq(os.stat(os.path.join(tmp, "in.puf")).st_mode & 0o777, 0o640, "permissions kept")


@case
def empty_buffer_and_absolute_names(k, tmp):
    write(os.path.join(tmp, "leer.puf"), b"")
    rc, out, err = k.run(["-kout.puf", "leer.puf"], tmp)
    expect_eq((rc, out, err), (0, insertion_stats(0, 0), BANNER_BLOCK))
    expect_eq(read(os.path.join(tmp, "out.puf")), b"", "empty output")
    if not k.wine:  # where '/' begins a path, it begins no flag
        rc, out, _ = k.run(["-k" + os.path.join(tmp, "o2.puf"), os.path.join(tmp, "leer.puf")], tmp)
        expect_eq((rc, out), (0, insertion_stats(0, 0)))


@case
def buffer_without_faces_comes_out_identical(k, tmp):
    plain = b"".join(write_message(h, b) for h, b in parse_buffer(SAMPLE)
                     if not face_value(h))
    plain += b"EMP: x\r\nX-Face: \r\nLEN: 3\r\n\r\n\0\r\n"
    write(os.path.join(tmp, "in.puf"), plain)
    rc, out, err = k.run(["-kout.puf", "in.puf"], tmp)
    expect_eq((rc, out, err), (0, insertion_stats(0, 0), BANNER_BLOCK))
    expect(read(os.path.join(tmp, "out.puf")) == plain, "-k copy")
    rc, out, err = k.run(["in.puf"], tmp, env={"TEMP": tmp})
    expect_eq((rc, out, err), (0, insertion_stats(0, 0), BANNER_BLOCK))
    expect(read(os.path.join(tmp, "in.puf")) == plain, "in-place copy")
    expect_eq(sorted(os.listdir(tmp)), ["in.puf", "out.puf"], "no temporary buffer left")


@case
def x_run_stores_each_face_once(k, tmp):
    os.mkdir(os.path.join(tmp, "faces"))
    write(os.path.join(tmp, "in.puf"), SAMPLE)
    rc, out, err = k.run(["-xfaces", "in.puf"], tmp)
    expect_eq((rc, out, err), (0, extraction_stats(5, 3, 1), BANNER_BLOCK + BAD_FACE))
    values = [face_value(h) for h, _ in parse_buffer(SAMPLE) if face_value(h)]
    bmps = []
    for v in values:
        bmp = face_bmp(v)
        if bmp is not None and bmp not in bmps:
            bmps.append(bmp)
    names = sorted(os.listdir(os.path.join(tmp, "faces")))
    expect_eq(names, ["KIVO0000.BMP", "KIVO0001.BMP", "KIVO0002.BMP"], "files")
    for name, bmp in zip(names, bmps):
        expect(read(os.path.join(tmp, "faces", name)) == bmp, name + " pixel-exact")
    # A second run finds every face already stored.
    os.rename(os.path.join(tmp, "faces"), os.path.join(tmp, "sub"))
    os.mkdir(os.path.join(tmp, "faces"))
    os.rename(os.path.join(tmp, "sub"), os.path.join(tmp, "faces", "sub"))
    rc, out, err = k.run(["-xfaces" + k.sep + "sub" + k.sep, "in.puf"], tmp)
    expect_eq((rc, out), (0, extraction_stats(5, 0, 4)))
    expect_eq(len(os.listdir(os.path.join(tmp, "faces", "sub"))), 3, "nothing new")
    expect(read(os.path.join(tmp, "in.puf")) == SAMPLE, "input untouched")


def original_messages(data):
    """The raw bytes of every message that is not a face message."""
    spans = []
    msgs = parse_buffer(data, spans)
    return [data[a:b] for (a, b), (h, _) in zip(spans, msgs) if (b"FILE", b"FACE.BMP") not in h]


@case
def later_passes_keep_every_header_byte(k, tmp):
    smiley = face_value(parse_buffer(SAMPLE)[0][0])
    data = (b"EMP: /t\r\nX-XP-ARC: 30\r\nX_C: 12\r\nABC:xyz\r\nTAB:\tv\r\nX_C:  2\r\n"
            b"X-Face: " + smiley + b"\r\nLEN: 3\r\n\r\nabc" + b"EMP: x\r\nLEN: 0\r\n\r\n")
    write(os.path.join(tmp, "in.puf"), data)
    os.mkdir(os.path.join(tmp, "t"))
    runs = []
    for _ in range(3):
        rc, _, _ = k.run(["in.puf"], tmp, env={"TMP": os.path.join(tmp, "t")})
        expect_eq(rc, 0)
        runs.append(read(os.path.join(tmp, "in.puf")))
    expect(mask_ids(runs[0]) == expected_insertion(data)[0], "first pass as the model says")
    for later in runs[1:]:
        expect_eq(original_messages(later), original_messages(runs[0]), "header bytes kept")
    expect_eq(len(parse_buffer(runs[2])), 5, "one face message per pass")


@case
@posix_only
def a_pipe_reads_like_the_file(k, tmp):
    """Input that cannot tell its position: NULs in header lines (at a line's
    start, across the 511-byte piece), long lines, CR CR LF, bodies of any
    size come out as from the file itself."""
    data = foreign_buffer(7, 60) + (
        b"EMP: a\0b\r\n\0X: y\r\nLONG: " + b"n" * 505 + b"\0\0\0" + b"m" * 700 + b"\r\r\n" +
        b"LEN: 100000\r\n\r\n" + bytes(range(256)) * 390 + b"\0" * 160 + b"EMP: z\r\nLEN: 0\r\n\r\n")
    write(os.path.join(tmp, "in.puf"), data)
    rc, out, err = k.run(["-kfile.puf", "in.puf"], tmp)
    expect_eq(rc, 0)
    p = subprocess.run([k.path, "-kpipe.puf", "/dev/stdin"], cwd=tmp, input=data,
                       capture_output=True)
    expect_eq((p.returncode, p.stdout.decode("latin-1")), (rc, out))
    expect("ftell" not in p.stderr.decode("latin-1"), p.stderr)
    expect(mask_ids(read(os.path.join(tmp, "pipe.puf"))) ==
           mask_ids(read(os.path.join(tmp, "file.puf"))), "same bytes")


@case
def console_shows_buffer_bytes_escaped_and_bounded(k, tmp):
    body = (b"\x1b[2J\x1b]0;pwned\x07\x7f\x9b" * 20000)[:200000]
    data = (b"EMP: x\r\nBAD \x1b[31m\x00 line\r\nLEN: 0\r\n\r\n" +
            b"EMP: y\r\nLEN: 300000\r\n\r\n" + body)
    write(os.path.join(tmp, "in.puf"), data)
    rc, out, err = k.run(["-kout.puf", "in.puf"], tmp)
    expect_eq((rc, out), (1, ""))
    expect(len(err) < 4096, "%d bytes on the console" % len(err))
    raw = [c for c in err.encode("latin-1") if (c < 32 and c not in b"\t\r\n") or c == 127]
    expect_eq(raw, [], "raw control bytes")
    expect("fehlerhafte Headerzeile: <BAD \\x1B[31m> at 0\n" in err, err)
    expect(re.search(r"gelesen wurde\|\\x1B\[2J[^|]*\.\.\. \(200000 Bytes\)\|\n", err), err)


@case
@posix_only
def temporary_buffer_is_private(k, tmp):
    t = os.path.join(tmp, "t")
    os.mkdir(t)
    os.chmod(t, 0o1777)
    broken = SAMPLE + b"EMP: ohne LEN\r\n\r\n"
    write(os.path.join(tmp, "in.puf"), broken)
    os.chmod(os.path.join(tmp, "in.puf"), 0o600)
    rc, _, _ = k.run(["in.puf"], tmp, env={"TMP": t}, preexec=lambda: os.umask(0o022))
    expect_eq(rc, 1)
    expect(read(os.path.join(tmp, "in.puf")) == broken, "input byte-identical")
    expect_eq(os.stat(os.path.join(t, "~KIVTAAA.TMP")).st_mode & 0o777, 0o600, "kept private")


@case
@posix_only
def owner_and_group_survive_a_run_as_root(k, tmp):
    if os.geteuid() != 0:
        raise Skip("only root may give a file to another account")
    write(os.path.join(tmp, "in.puf"), SAMPLE)
    os.chown(os.path.join(tmp, "in.puf"), 65534, 65534)
    os.chmod(os.path.join(tmp, "in.puf"), 0o640)
    rc, _, _ = k.run(["in.puf"], tmp, env={"TMP": tmp})
    expect_eq(rc, 0)
    st = os.stat(os.path.join(tmp, "in.puf"))
    expect_eq((st.st_uid, st.st_gid, st.st_mode & 0o777), (65534, 65534, 0o640))


@case
@posix_only
def in_place_through_a_link_filters_the_file_it_names(k, tmp):
    for d in ("mail", "t"):
        os.mkdir(os.path.join(tmp, d))
    target = os.path.join(tmp, "mail", "post.puf")
    write(target, SAMPLE)
    os.symlink(target, os.path.join(tmp, "link.puf"))
    rc, _, _ = k.run(["link.puf"], tmp, env={"TMP": os.path.join(tmp, "t")})
    expect_eq(rc, 0)
    expect_eq(os.readlink(os.path.join(tmp, "link.puf")), target, "still the same link")
    expect(mask_ids(read(target)) == expected_insertion(SAMPLE)[0], "the buffer holds the result")
    expect_eq(os.listdir(os.path.join(tmp, "t")) + os.listdir(os.path.join(tmp, "mail")),
              ["post.puf"], "nothing left over")


@case
def face_files_open_in_an_independent_reader(k, tmp):
    if not shutil.which("identify"):
        raise AssertionError("ImageMagick is missing")
    os.mkdir(os.path.join(tmp, "faces"))
    write(os.path.join(tmp, "in.puf"), SAMPLE)
    k.run(["-xfaces", "in.puf"], tmp)
    path = os.path.join(tmp, "faces", "KIVO0000.BMP")
    info = subprocess.run(["identify", "-format", "%m %w %h %z", path],
                          capture_output=True, check=True).stdout.decode()
    expect(re.match(r"BMP3? 48 48 1$", info), "identify: " + info)
    pixels = subprocess.run(["convert", path, "-depth", "8", "gray:-"], capture_output=True,
                            check=True).stdout
    drawing = read(os.path.join(DATA, "faces", "smiley.txt")).decode().split()
    seen = ["".join("#" if pixels[48 * y + x] < 128 else "." for x in range(48))
            for y in range(48)]
    expect(seen == drawing, "the picture is upright, black on white")


def public_faces():
    path = os.path.join(os.path.dirname(os.path.dirname(DATA)), "..", "shared", "testdata",
                        "xfaces-public.tsv")
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        return [line.rstrip(b"\r\n").split(b"\t", 1)[1] for line in f
                if line.strip() and not line.startswith(b"#")]


def foreign_buffer(seed, count):
    """A buffer as other programs write them: many header forms and line
    ends, Latin-1 text, binary bodies, faces real and drawn."""
    rnd = random.Random(seed)
    faces = [v.encode() for v in re.findall(r"^\w+\t(\S+)\t", read(
        os.path.join(DATA, "faces.tsv")).decode(), re.M)] + public_faces()
    names = [b"EMP", b"ABS", b"BET", b"EDA", b"MID", b"ROT", b"BEZ", b"X-XP-ARC", b"X_C",
             b"X-XP-NTP", b"U-Content-Type", b"emp", b"Bet", b"X-Mailer", b"KOP", b"STAT",
             b" X-Leer"]
    out = b""
    for _ in range(count):
        lines = []
        for _ in range(rnd.randint(1, 14)):
            value = bytes(rnd.choice(b"abcXYZ 019\t.@<>()[]\xe4\xf6\xfc\xdf/:-")
                          for _ in range(rnd.choice([0, 1, 5, 30, 90, 700])))
            sep = rnd.choice([b": ", b": ", b":  ", b":"])
            if sep == b":" and value[:1] in (b"", b" "):
                sep = b": "
            lines.append(rnd.choice(names) + sep + value)
        if rnd.random() < 0.5:
            lines.insert(rnd.randrange(len(lines) + 1),
                         rnd.choice([b"X-Face: ", b"x-face: "]) + rnd.choice(faces))
        body = bytes(rnd.randrange(256) for _ in range(rnd.choice([0, 1, 40, 3000])))
        lines.append(b"LEN: %d" % len(body))
        end = rnd.choice([b"\r\n", b"\r\n", b"\n", b"\r\r\n"])
        out += b"".join(line + end for line in lines) + end + body
    return out


@case
def buffers_written_by_others(k, tmp):
    os.mkdir(os.path.join(tmp, "faces"))
    for seed in range(3):
        data = foreign_buffer(seed, 150)
        write(os.path.join(tmp, "in.puf"), data)
        wanted, total, written = expected_insertion(data)
        rc, out, _ = k.run(["-kout.puf", "in.puf"], tmp)
        expect_eq((rc, out), (0, insertion_stats(total, written)), "seed %d" % seed)
        expect(mask_ids(read(os.path.join(tmp, "out.puf"))) == wanted, "-k bytes, seed %d" % seed)
        rc, out, _ = k.run(["in.puf"], tmp, env={"TMP": tmp})
        expect_eq(rc, 0)
        expect(mask_ids(read(os.path.join(tmp, "in.puf"))) == wanted, "in place, seed %d" % seed)
        write(os.path.join(tmp, "in.puf"), data)
        rc, out, _ = k.run(["-xfaces", "in.puf"], tmp)
        expect_eq(rc, 0)
    stored = {read(os.path.join(tmp, "faces", n)) for n in os.listdir(os.path.join(tmp, "faces"))}
    expect_eq(len(stored), len(os.listdir(os.path.join(tmp, "faces"))), "each face once")


@case
def benchmark_inputs_come_out_as_the_model_says(k, tmp):
    """The benchmark's inputs, small: what the optimised paths write must be
    what the format prescribes, byte for byte."""
    if not k.gen:
        raise Skip("no input generator")
    os.mkdir(os.path.join(tmp, "faces"))
    bmps = set()
    for kind, amount in (("plain", 3 << 20), ("distinct", 150), ("realistic", 3000)):
        buf = os.path.join(tmp, kind + ".puf")
        subprocess.run([k.gen, kind, buf, str(amount), "5"], check=True)
        data = read(buf)
        wanted, total, written = expected_insertion(data)
        bmps |= {face_bmp(face_value(h)) for h, _ in parse_buffer(data) if face_value(h)}
        rc, out, _ = k.run(["-kout.puf", kind + ".puf"], tmp)
        expect_eq((rc, out), (0, insertion_stats(total, written)), kind)
        expect(mask_ids(read(os.path.join(tmp, "out.puf"))) == wanted, kind + " bytes")
        rc, out, _ = k.run(["-xfaces", kind + ".puf"], tmp)
        expect_eq(rc, 0, kind)
    stored = sorted(read(os.path.join(tmp, "faces", n))
                    for n in os.listdir(os.path.join(tmp, "faces")))
    wanted = sorted(b for b in bmps if b is not None)
    expect(stored == wanted, "each distinct face stored once, pixel-exact")


# ---- failures --------------------------------------------------------------

@case
def missing_input_creates_nothing(k, tmp):
    for args in (["fehlt.puf"], ["-kout.puf", "fehlt.puf"]):
        rc, out, err = k.run(args, tmp, env={"TMP": tmp})
        expect_eq((rc, out), (1, ""))
        expect(err.startswith(BANNER_BLOCK + "Fehler: "), err)
        expect(err.endswith("Fehler beim Oeffnen der Datei fehlt.puf\n"), err)
        expect_eq(os.listdir(tmp), [], "nothing created")


@case
def loop_failure_in_place_keeps_the_input(k, tmp):
    broken = SAMPLE + b"EMP: x\r\n\r\nohne LEN"
    write(os.path.join(tmp, "in.puf"), broken)
    os.mkdir(os.path.join(tmp, "t"))
    rc, out, err = k.run(["in.puf"], tmp, env={"TMP": os.path.join(tmp, "t")})
    expect_eq((rc, out), (1, ""), "no statistics")
    expect_eq(err, BANNER_BLOCK + BAD_FACE + "Keine Laengenangabe im Header\n"
              "Es ist ein Fehler aufgetreten, siehe Logdatei\n")
    expect(read(os.path.join(tmp, "in.puf")) == broken, "input byte-identical")
    expect_eq(os.listdir(os.path.join(tmp, "t")), ["~KIVTAAA.TMP"], "temporary buffer stays")


@case
def extraction_directory_errors(k, tmp):
    write(os.path.join(tmp, "in.puf"), SAMPLE)
    write(os.path.join(tmp, "datei"), b"x")
    rc, out, err = k.run(["-xfehlt", "in.puf"], tmp)
    expect_eq((rc, out, err), (1, "", BANNER_BLOCK +
              "Das angegebene Extraktionsverzeichnis fehlt existiert nicht\n"
              "No such file or directory (2)\n"))
    rc, out, err = k.run(["-xdatei", "in.puf"], tmp)
    expect_eq((rc, out, err), (1, "", BANNER_BLOCK +
              "Das angegebene Extraktiosverzeichnis datei ist kein Verzeichnis\n"))


@case
def temporary_names_are_taken_in_order(k, tmp):
    t = os.path.join(tmp, "t")
    os.mkdir(t)
    for c in "ABCDEFGHIJKLMNOPQRSTUVWXYZ":
        write(os.path.join(t, "~KIVTAA%s.TMP" % c), b"")
    write(os.path.join(tmp, "in.puf"), SAMPLE + b"EMP: ohne LEN\r\n\r\n")
    rc, _, _ = k.run(["in.puf"], tmp, env={"TMP": t})
    expect_eq(rc, 1)
    expect(os.path.exists(os.path.join(t, "~KIVTABA.TMP")), "next name after AAZ is ABA")


# ---- the input survives whatever happens (POSIX faults) ---------------------

def big_buffer(messages):
    """Plain messages and faces, a few hundred bytes each."""
    parts = []
    smiley = [(n, v) for n, v in parse_buffer(SAMPLE)[0][0] if n != b"LEN"]
    for i in range(messages):
        if i % 10 == 0:
            body = b"mit Gesicht %d\r\n" % i
            parts.append(write_message(smiley + [(b"LEN", b"%d" % len(body))], body))
        else:
            body = (b"Zeile %d\r\n" % i) * (i % 50)
            parts.append(write_message([(b"EMP", b"/t"), (b"MID", b"%d@x" % i),
                                        (b"LEN", b"%d" % len(body))], body))
    return b"".join(parts)


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


def limit_file_size(size):
    def preexec():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return preexec


@case
@posix_only
def full_disk_while_writing_fails_the_run(k, tmp):
    data = big_buffer(3000)
    write(os.path.join(tmp, "in.puf"), data)
    os.mkdir(os.path.join(tmp, "t"))
    for limit in (100, 5000, len(data)):  # early, mid-way, and at the last flush
        rc, out, err = k.run(["in.puf"], tmp, env={"TMP": os.path.join(tmp, "t")},
                             preexec=limit_file_size(limit))
        expect_eq((rc, out), (1, ""), "in place, limit %d" % limit)
        expect("File too large" in err, err)
        expect(read(os.path.join(tmp, "in.puf")) == data, "input byte-identical")
        rc, out, err = k.run(["-kout.puf", "in.puf"], tmp, preexec=limit_file_size(limit))
        expect_eq((rc, out), (1, ""), "-k, limit %d" % limit)
        expect(read(os.path.join(tmp, "in.puf")) == data, "input byte-identical")
    rc, out, err = k.run(["-k/dev/full", "in.puf"], tmp)
    expect_eq((rc, out), (1, ""), "/dev/full")
    expect("No space left on device" in err, err)


@case
def temporary_directory_on_another_file_system(k, tmp):
    shm = "/dev/shm"
    if not os.path.isdir(shm) or os.stat(shm).st_dev == os.stat(tmp).st_dev:
        raise Skip("no second file system")
    t = tempfile.mkdtemp(dir=shm)
    try:
        write(os.path.join(tmp, "in.puf"), SAMPLE)
        rc, out, _ = k.run(["in.puf"], tmp, env={"TMP": t})
        expect_eq(rc, 0)
        expect(mask_ids(read(os.path.join(tmp, "in.puf"))) == expected_insertion(SAMPLE)[0],
               "replaced across file systems")
        expect_eq(os.listdir(t), [], "temporary buffer gone")
        expect_eq(os.listdir(tmp), ["in.puf"], "no copy left beside the input")
    finally:
        shutil.rmtree(t)


@case
@posix_only
def read_only_directories(k, tmp):
    os.chmod(tmp, 0o755)
    as_user = None
    if os.geteuid() == 0:  # root writes everywhere: run as nobody
        def as_user():
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)
        k = k.runnable_copy(tmp)
    ro = os.path.join(tmp, "ro")
    t = os.path.join(tmp, "t")
    for d in (ro, t):
        os.mkdir(d)
    write(os.path.join(ro, "in.puf"), SAMPLE)
    os.mkdir(os.path.join(ro, "faces"))
    os.chmod(t, 0o777)
    os.chmod(os.path.join(ro, "faces"), 0o555)
    os.chmod(ro, 0o555)
    rc, out, err = k.run(["in.puf"], ro, env={"TMP": t}, preexec=as_user)
    expect_eq((rc, out), (1, ""))
    temp = os.path.join(t, "~KIVTAAA.TMP")
    expect(err.endswith("Fehler beim Verschieben des temporaeren Puffers: %s nach in.puf\n"
                        "Fehler: Permission denied\n"
                        "Der gefilterte temporaere Puffer hat den Namen: %s\n" % (temp, temp)), err)
    expect(read(os.path.join(ro, "in.puf")) == SAMPLE, "input byte-identical")
    expect(mask_ids(read(temp)) == expected_insertion(SAMPLE)[0], "result kept")
    rc, out, err = k.run(["-xfaces", "in.puf"], ro, preexec=as_user)
    expect_eq((rc, out), (1, ""))
    expect(err.endswith("Datei faces/KIVO0000.BMP konnte nicht geoeffnet werden\n"
                        "Permission denied (13)\n"), err)
    rc, out, err = k.run(["in.puf"], ro, preexec=as_user)  # TMP unset: "." is read-only
    expect_eq((rc, out), (1, ""))
    expect(err.endswith("Fehler beim Oeffnen der Datei ./~KIVTAAA.TMP\n"), err)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kivex", required=True)
    ap.add_argument("--wine", action="store_true")
    ap.add_argument("--gen", help="the benchmark's input generator, for its small inputs")
    ap.add_argument("-k", dest="only", help="run only tests whose name has this")
    args = ap.parse_args()
    k = Kivex(args.kivex, args.wine)
    k.gen = args.gen and os.path.abspath(args.gen)
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
        subprocess.run([os.environ.get("WINESERVER", "/usr/lib/wine/wineserver"), "-k"],
                       capture_output=True)
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
