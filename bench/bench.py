#!/usr/bin/env python3
"""Measures Kivex against its two floors, copying the bytes and decoding
with the bare compface library, and prints one table.

    bench.py --kivex PATH --tools DIR [--exe KIVEX.EXE] [--work DIR] [--runs N] [--plain-mib N]
             [--inplace-mib N] [--only hostile|inplace]

Inputs are generated from fixed seeds into the work directory (kept there
for the next run). Every ratio compares runs made side by side, alternating,
and takes the median of N runs (at least 5)."""
import argparse
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import time


def timed(cmd, cwd, env=None, stdout=None, clean=True, rc=0, stderr=None):
    """Runs cmd, which must end with status rc; returns (seconds, peak
    resident KiB). Output files of earlier runs are removed first, untimed,
    so that no run pays for truncating another's file."""
    for name in ("out.puf", "cat.out") if clean else ():
        if os.path.exists(os.path.join(cwd, name)):
            os.remove(os.path.join(cwd, name))
    if clean:  # nor for writing back what an earlier run left dirty
        os.sync()
    out = open(stdout, "wb") if stdout else subprocess.DEVNULL
    # GNU time reports the peak of the program alone; a child of this
    # Python process would count the interpreter's pages from before exec.
    rss = os.path.join(cwd, "rss.txt")
    start = time.perf_counter()
    err = open(stderr, "wb") if stderr else subprocess.DEVNULL
    p = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss] + cmd, cwd=cwd, env=env,
                       stdout=out, stderr=err)
    seconds = time.perf_counter() - start
    if stdout:
        out.close()
    if stderr:
        err.close()
    if p.returncode != rc:
        raise SystemExit("failed: %s" % " ".join(cmd))
    return seconds, int(open(rss).read().split()[-1])


def median_pair(runs, first, second):
    """Alternates first() and second() `runs` times; medians of both."""
    a, b = [], []
    for _ in range(runs):
        a.append(first())
        b.append(second())
    return statistics.median(x[0] for x in a), statistics.median(x[0] for x in b), \
        max(x[1] for x in a)


def faces_buffer(path, size, seed, faces, serial):
    """Writes mail-like messages of about 3 KB, one in ten with an X-Face
    drawn from `faces` by popularity (Zipf 1.1), numbered from `serial`,
    in the form Kivex writes back: only face messages are new to it."""
    rnd = random.Random(seed)
    weights = [1.0 / (i + 1) ** 1.1 for i in range(len(faces))]
    chars = b"abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789.,-"
    text = bytes(chars[i % len(chars)] for i in range(256))
    binary = text[:253] + b"\r\n\0"  # some bodies carry CR, LF and NUL, as attachments do
    written, out = 0, []
    with open(path, "wb") as f:
        while written < size:
            n = min(65536, int(100 + rnd.expovariate(1.0 / 2900)))
            msg = b"EMP: /brett/test\r\nMID: %d@inplace.example\r\n" % serial
            for name in (b"ABS", b"BET", b"EDA", b"ROT", b"KOP", b"X-XP-NTP", b"U-X-Mailer"):
                msg += name + b": " + rnd.randbytes(rnd.randint(2, 60)).translate(text) + b"\r\n"
            if rnd.random() < 0.1:
                msg += b"X-Face: " + rnd.choices(faces, weights)[0] + b"\r\n"
            body = rnd.randbytes(n).translate(binary if rnd.random() < 0.25 else text)
            out.append(msg + b"LEN: %d\r\n\r\n" % n + body)
            written += len(out[-1])
            serial += 1
            if len(out) == 1000 or written >= size:
                f.write(b"".join(out))
                out = []


def bytes_written(cmd, cwd, log):
    """Bytes that cmd's write calls wrote, as strace saw them returned."""
    subprocess.run(["strace", "-f", "-o", log, "-e", "trace=write,pwrite64,writev"] + cmd, cwd=cwd,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return sum(int(m.group(1)) for m in re.finditer(r"= (\d+)$", open(log).read(), re.M))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kivex", required=True)
    ap.add_argument("--tools", required=True, help="folder with gen_buffers, uncompface_loop")
    ap.add_argument("--work", default=os.path.join(os.path.dirname(__file__), "scratch"))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--plain-mib", type=int, default=1024)
    ap.add_argument("--exe", help="kivex.exe, run under Wine on the 256 MiB buffer "
                    "(its build's bench/block_copy.exe beside it)")
    ap.add_argument("--inplace-mib", type=int, default=1024,
                    help="size of the buffer with faces filtered in place")
    ap.add_argument("--only", choices=["hostile", "inplace"], help="run these rows alone")
    args = ap.parse_args()
    kivex = os.path.abspath(args.kivex)
    gen = os.path.join(os.path.abspath(args.tools), "gen_buffers")
    loop = os.path.join(os.path.abspath(args.tools), "uncompface_loop")
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    runs = max(5, args.runs)

    # Hostile buffers, each beside a plain one of its size: a header block
    # of 200,000 and of 35 million lines without an empty line, one message
    # with a 200 MB header line.
    hostile = [("lines200k.puf", ["lines", "200000", "0"], "Header mit mehr als 20000 Zeilen"),
               ("lines35m.puf", ["lines", "35000000", "0"], "Header mit mehr als 20000 Zeilen"),
               ("line200mb.puf", ["longline", "200000000", "0"], "Headerzeile laenger als")]
    sizes = {"lines200k.puf": 200000 * 6, "lines35m.puf": 35000000 * 6,
             "line200mb.puf": 200000000 + 35}
    inputs = {} if args.only else {
        "plain.puf": ["plain", str(args.plain_mib << 20), "11"],
        "plain100.puf": ["plain", str(100 << 20), "12"],
        "plain256.puf": ["plain", str(256 << 20), "15"],
        "distinct.puf": ["distinct", "20000", "13"],
        "realistic.puf": ["realistic", "200000", "14"],
    }
    if args.only in (None, "hostile"):
        for name, shape, _ in hostile:
            inputs[name] = shape
            inputs["plain-" + name] = ["plain", str(sizes[name]), "16"]
    if args.only in (None, "inplace"):
        inputs["faces2000.puf"] = ["distinct", "2000", "17"]  # for its faces, in .values
    for name, spec in inputs.items():
        stamp = os.path.join(work, name + ".spec")
        if not os.path.exists(stamp) or open(stamp).read() != " ".join(spec):
            print("generating %s ..." % name, flush=True)
            subprocess.run([gen, spec[0], os.path.join(work, name)] + spec[1:], check=True)
            open(stamp, "w").write(" ".join(spec))
    if args.only in (None, "inplace"):
        # Fresh mail with faces throughout, and 1 % more of it (later serials).
        faces = open(os.path.join(work, "faces2000.puf.values"), "rb").read().split()
        full = args.inplace_mib << 20
        for name, size, seed, serial in (("faces.puf", full, 18, 0),
                                         ("faces-new.puf", full // 100, 19, 10**9)):
            stamp = os.path.join(work, name + ".spec")
            spec = "faces_buffer %d %d %d" % (size, seed, serial)
            if not os.path.exists(stamp) or open(stamp).read() != spec:
                print("generating %s ..." % name, flush=True)
                faces_buffer(os.path.join(work, name), size, seed, faces, serial)
                open(stamp, "w").write(spec)

    def path(name):
        return os.path.join(work, name)

    env = dict(os.environ, TMP=work)
    rows = []

    def row(figure, mine, ref, ratio, target, met):
        rows.append((figure, mine, ref, ratio, target, "" if met is None else "yes" if met else "NO"))

    # Hostile buffers: refused at a limit, in at most twice the time of -k on
    # a plain buffer of the same size plus a second, within 64 MiB.
    for name, _, said in hostile if args.only in (None, "hostile") else ():
        err = path("hostile.err")
        h, p, rss_h = median_pair(
            runs, lambda: timed([kivex, "-kout.puf", name], work, rc=1, stderr=err),
            lambda: timed([kivex, "-kout.puf", "plain-" + name], work))
        told = said in open(err, encoding="latin-1").read()
        row("hostile %s, wall / peak RSS" % name, "%.2f s / %.1f MiB" % (h, rss_h / 1024),
            "-k plain same size %.2f s" % p, "%.2f x" % (h / p), "<= 2 x + 1 s, <= 64 MiB, exit 1",
            h <= 2 * p + 1 and rss_h <= 65536 and told)

    # In place on a fresh buffer with faces throughout (rewritten from near
    # its start) against the shell's safe rewrite of the same buffer; then
    # the same buffer filtered once, 1 % new mail appended, filtered again:
    # that run rewrites only the new end. Each run on a fresh copy, untimed.
    def fresh(source):
        shutil.copyfile(path(source), path("faces-work.puf"))

    def faces_in_place(source):
        fresh(source)
        return timed([kivex, "faces-work.puf"], work, env=env)

    def safe_rewrite():
        fresh("faces.puf")
        return timed(["sh", "-c", "cat faces-work.puf > faces-work.tmp && sync && "
                      "mv faces-work.tmp faces-work.puf"], work)

    if args.only in (None, "inplace"):
        label = "%d MiB with faces" % args.inplace_mib
        i, sh, rss_i = median_pair(runs, lambda: faces_in_place("faces.puf"), safe_rewrite)
        row("in place %s, wall" % label, "%.2f s" % i, "cat+sync+mv %.2f s" % sh,
            "%.2f x" % (i / sh), "<= 2 x", i / sh <= 2)
        row("peak RSS, in place with faces", "%.1f MiB" % (rss_i / 1024), "", "", "<= 8 MiB",
            rss_i <= 8192)
        faces_in_place("faces.puf")
        filtered = os.path.getsize(path("faces-work.puf"))
        with open(path("faces-work.puf"), "ab") as grown, open(path("faces-new.puf"), "rb") as new:
            shutil.copyfileobj(new, grown, 1 << 20)
        os.replace(path("faces-work.puf"), path("faces-grown.puf"))
        g, f, _ = median_pair(runs, lambda: faces_in_place("faces-grown.puf"),
                              lambda: faces_in_place("faces.puf"))
        row("in place again after 1 %% new mail, %s, wall" % label, "%.2f s" % g,
            "fresh in place %.2f s" % f, "%.2f x" % (g / f), "<= 0.25 x", g / f <= 0.25)
        fresh("faces-grown.puf")
        wrote = bytes_written([kivex, "faces-work.puf"], work, path("strace.txt"))
        tail = os.path.getsize(path("faces-work.puf")) - filtered
        row("bytes written by that second run", "%.1f MiB" % (wrote / 1048576.0),
            "new tail %.1f MiB" % (tail / 1048576.0), "%.2f x" % (wrote / tail), "<= 3 x",
            wrote <= 3 * tail)
        for name in ("faces-work.puf", "faces-work.tmp", "faces-grown.puf", "strace.txt"):
            if os.path.exists(path(name)):
                os.remove(path(name))
    if args.only:
        return show(rows, runs, args)

    # -k on plain against a user-space block copy and against cat.
    def dd(name):
        return timed(["dd", "if=" + name, "of=cat.out", "bs=256K"], work)

    for name, label in (("plain.puf", "%d MiB" % args.plain_mib), ("plain256.puf", "256 MiB")):
        k, d, rss_plain = median_pair(runs, lambda: timed([kivex, "-kout.puf", name], work),
                                      lambda: dd(name))
        row("-k plain %s, wall" % label, "%.2f s" % k, "dd bs=256K %.2f s" % d, "%.2f x" % (k / d),
            "<= 1.3 x", k / d <= 1.3)
    k, c, rss_plain = median_pair(
        runs, lambda: timed([kivex, "-kout.puf", "plain.puf"], work),
        lambda: timed(["cat", "plain.puf"], work, stdout=path("cat.out")))
    row("-k plain, wall", "%.2f s" % k, "cat %.2f s" % c, "%.2f x" % (k / c), "<= 1.5 x", k / c <= 1.5)

    # In place on plain against cat + sync of the copy.
    def in_place():
        shutil.copyfile(path("plain.puf"), path("inplace.puf"))
        return timed([kivex, "inplace.puf"], work, env=env)

    def cat_sync():
        s1, m = timed(["cat", "plain.puf"], work, stdout=path("cat.out"))
        s2, _ = timed(["sync", "cat.out"], work, clean=False)
        return s1 + s2, m

    i, cs, _ = median_pair(runs, in_place, cat_sync)
    row("in place plain, wall", "%.2f s" % i, "cat+sync %.2f s" % cs, "%.2f x" % (i / cs),
        "<= 1.5 x", i / cs <= 1.5)

    # The Windows build under Wine against the native build, and the write
    # calls both make per GiB.
    def writes(cmd, env=None):
        """Write calls on the output buffer itself (Wine talks to its server
        through writes of its own), per GiB of input."""
        log = path("strace.txt")
        subprocess.run(["strace", "-f", "-y", "-o", log, "-e", "trace=write,pwrite64,writev"] + cmd,
                       cwd=work, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        calls = sum(1 for line in open(log) if "out.puf>" in line)
        return calls * 1024.0 / 256
    native_writes = writes([kivex, "-kout.puf", "plain256.puf"])
    if args.exe:
        wenv = dict(os.environ, WINEDEBUG="-all")
        subprocess.run(["wineserver", "-p"], env=wenv)
        wcmd = ["wine", os.path.abspath(args.exe), "-kout.puf", "plain256.puf"]
        timed(wcmd, work, env=wenv)  # Wine's first start is not the program's cost
        w, n, _ = median_pair(runs, lambda: timed(wcmd, work, env=wenv),
                              lambda: timed([kivex, "-kout.puf", "plain256.puf"], work))
        row("kivex.exe under Wine, -k 256 MiB", "%.2f s" % w, "native %.2f s" % n, "%.2f x" % (w / n),
            "<= 1.5 x", w / n <= 1.5)
        # What any program pays under Wine for the same bytes.
        copy = os.path.join(os.path.dirname(os.path.abspath(args.exe)), "bench", "block_copy.exe")
        w, b, _ = median_pair(runs, lambda: timed(wcmd, work, env=wenv),
                              lambda: timed(["wine", copy, "plain256.puf", "out.puf"], work, env=wenv))
        row("kivex.exe under Wine, -k 256 MiB", "%.2f s" % w, "Wine block copy %.2f s" % b,
            "%.2f x" % (w / b), "", None)
        exe_writes = writes(wcmd, env=wenv)
        subprocess.run(["wineserver", "-k"], env=wenv)
        row("write calls per GiB, kivex.exe", "%.0f" % exe_writes, "", "", "<= 4500", exe_writes <= 4500)
    row("write calls per GiB, native", "%.0f" % native_writes, "", "", "<= 4500", native_writes <= 4500)

    # Faces per second on distinct faces against the bare library loop.
    d, l, _ = median_pair(runs, lambda: timed([kivex, "-kout.puf", "distinct.puf"], work),
                          lambda: timed([loop, "distinct.puf.values"], work))
    row("-k distinct, faces/s", "%.0f" % (20000 / d), "library %.0f" % (20000 / l),
        "%.0f %%" % (100 * l / d), ">= 85 %", l / d >= 0.85)

    # Realistic buffer, -k and -x, against the library over every occurrence.
    faces_dir = path("faces")

    def extract():
        shutil.rmtree(faces_dir, ignore_errors=True)
        os.mkdir(faces_dir)
        return timed([kivex, "-xfaces", "realistic.puf"], work)

    rk, rl, rss_real = median_pair(runs, lambda: timed([kivex, "-kout.puf", "realistic.puf"], work),
                                   lambda: timed([loop, "realistic.puf.values"], work))
    row("-k realistic, wall", "%.2f s" % rk, "library %.2f s" % rl, "%.2f x" % (rk / rl),
        "<= 0.25 x", rk / rl <= 0.25)
    rx, rl2, rss_x = median_pair(runs, extract, lambda: timed([loop, "realistic.puf.values"], work))
    row("-x realistic, wall", "%.2f s" % rx, "library %.2f s" % rl2, "%.2f x" % (rx / rl2),
        "<= 0.25 x", rx / rl2 <= 0.25)

    # Peak memory.
    _, _, rss_100 = median_pair(runs, lambda: timed([kivex, "-kout.puf", "plain100.puf"], work),
                                lambda: (0, 0))
    row("peak RSS, -k plain", "%.1f MiB" % (rss_plain / 1024), "100 MiB: %.1f MiB" % (rss_100 / 1024),
        "%+.0f %%" % (100.0 * (rss_plain - rss_100) / rss_100), "<= 8 MiB, within 10 %",
        rss_plain <= 8192 and abs(rss_plain - rss_100) <= 0.1 * rss_100)
    rss_r = max(rss_real, rss_x)
    row("peak RSS, realistic", "%.1f MiB" % (rss_r / 1024), "", "", "<= 8 MiB", rss_r <= 8192)

    # One message with a 3 GiB body (a sparse file), then a small one.
    huge = path("huge.puf")
    if not os.path.exists(huge):
        with open(huge, "wb") as f:
            f.write(b"EMP: gross\r\nLEN: %d\r\n\r\n" % (3 << 30))
            f.seek(3 << 30, 1)
            f.write(b"EMP: klein\r\nLEN: 2\r\n\r\nok")
    _, rss_huge = timed([kivex, "-kout.puf", "huge.puf"], work)
    row("peak RSS, 3 GiB body (1 run)", "%.1f MiB" % (rss_huge / 1024), "", "", "<= 8 MiB",
        rss_huge <= 8192)

    for name in ("out.puf", "cat.out", "inplace.puf", "strace.txt"):
        if os.path.exists(path(name)):
            os.remove(path(name))
    show(rows, runs, args)


def show(rows, runs, args):
    widths = [max(len(str(r[i])) for r in rows + [HEAD]) for i in range(6)]
    print("machine: %s, %d cores; %d runs each, medians; plain buffer %d MiB, with faces %d MiB"
          % (platform.processor() or platform.machine(), os.cpu_count(), runs, args.plain_mib,
             args.inplace_mib))
    for r in [HEAD] + rows:
        print("  ".join(str(v).ljust(w) for v, w in zip(r, widths)).rstrip())


HEAD = ("figure", "Kivex", "reference", "ratio", "target", "met")

if __name__ == "__main__":
    main()
