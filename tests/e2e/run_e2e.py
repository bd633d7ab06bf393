#!/usr/bin/env python3
"""End-to-end tests: run the built kivex on real files in a scratch
directory and check bytes, exit status and the exact console texts.

    run_e2e.py --kivex PATH [--wine]

With --wine, PATH is kivex.exe and runs under Wine; paths that the program
builds itself then show backslashes."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
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


class Kivex:
    def __init__(self, path, wine):
        self.path = os.path.abspath(path)
        self.wine = wine
        self.sep = "\\" if wine else "/"

    def run(self, args, cwd, env=None, preexec=None):
        cmd = [self.path] + list(args)
        full_env = dict(os.environ)
        full_env.pop("TMP", None)
        full_env.pop("TEMP", None)
        if self.wine:
            cmd = [os.environ.get("WINE", "/usr/lib/wine/wine64")] + cmd
            full_env["WINEDEBUG"] = "-all"
        full_env.update(env or {})
        p = subprocess.run(cmd, cwd=cwd, env=full_env, capture_output=True,
                           preexec_fn=preexec, timeout=600)
        out = p.stdout.decode("latin-1")
        err = p.stderr.decode("latin-1")
        if self.wine:  # the Windows console writes CR LF
            out, err = out.replace("\r\n", "\n"), err.replace("\r\n", "\n")
        return p.returncode, out, err


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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kivex", required=True)
    ap.add_argument("--wine", action="store_true")
    ap.add_argument("-k", dest="only", help="run only tests whose name has this")
    args = ap.parse_args()
    k = Kivex(args.kivex, args.wine)
    passed = failed = 0
    for test in TESTS:
        if args.only and args.only not in test.__name__:
            continue
        tmp = tempfile.mkdtemp(prefix="kivex-e2e-")
        try:
            test(k, tmp)
            passed += 1
            print("ok      %s" % test.__name__)
        except Exception:  # one failing case must not hide the others
            failed += 1
            print("FAILED  %s" % test.__name__)
            traceback.print_exc(file=sys.stdout)
        finally:
            for root, dirs, _ in os.walk(tmp):
                for d in dirs:
                    os.chmod(os.path.join(root, d), 0o755)
            shutil.rmtree(tmp, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
