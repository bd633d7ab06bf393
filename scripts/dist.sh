#!/bin/sh
# Packs the Windows download: build/dist/kivex-win32.zip with kivex.exe
# (32-bit, Windows XP and later, stripped) and LIESMICH.TXT (CR LF line ends, as
# Windows editors expect).
set -eu
cd "$(dirname "$0")/.."
sh scripts/build-windows.sh --exe-only >/dev/null
mkdir -p build/dist
# Shipped without its debug sections (less than half the size).
i686-w64-mingw32-strip -o build/dist/kivex.exe build/windows/kivex.exe
if i686-w64-mingw32-objdump -h build/dist/kivex.exe | grep -q '\.debug_'; then
  echo "build/dist/kivex.exe still has debug sections" >&2
  exit 1
fi
python3 - <<'PY'
import zipfile
text = open("dist/LIESMICH.TXT", encoding="utf-8").read().replace("\r\n", "\n").replace("\n", "\r\n")
with zipfile.ZipFile("build/dist/kivex-win32.zip", "w", zipfile.ZIP_DEFLATED) as z:
    z.write("build/dist/kivex.exe", "kivex.exe")
    z.writestr("LIESMICH.TXT", text.encode("cp1252"))
PY
echo "build/dist/kivex-win32.zip"
