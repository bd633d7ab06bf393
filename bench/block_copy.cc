// The floor for kivex.exe under Wine: a bare copy of a file in 1 MiB
// blocks through msvcrt's _read and _write, as Kivex's own reads and writes
// go, into a block that starts on a page. The copy is created new, as
// Kivex creates its output: Wine truncates a file it creates over an old
// one, and ext4 then writes it back at close.
//   block_copy.exe IN OUT
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: block_copy IN OUT\n");
    return 2;
  }
  const unsigned kBlock = 1u << 20;
  int in = _open(argv[1], _O_RDONLY | _O_BINARY);
  int out = _open(argv[2], _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  char* raw = static_cast<char*>(malloc(kBlock + 4096));
  if (in < 0 || out < 0 || raw == nullptr) return 1;
  char* block = raw + 4096 - reinterpret_cast<uintptr_t>(raw) % 4096;
  for (;;) {
    int n = _read(in, block, kBlock);
    if (n < 0) return 1;
    if (n == 0) break;
    if (_write(out, block, static_cast<unsigned>(n)) != n) return 1;
  }
  return _close(out) == 0 ? 0 : 1;
}
