// The reference: bare uncompface over a list of X-Face values (one a line),
// each copied into a work buffer first, since uncompface decodes in place.
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <compface.h>
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  FILE* in = fopen(argv[1], "rb");
  if (in == nullptr) return 1;
  static char line[1 << 16];
  char buffer[1 << 16];
  long decoded = 0;
  while (fgets(line, sizeof line, in) != nullptr) {
    line[strcspn(line, "\n")] = '\0';
    memcpy(buffer, line, strlen(line) + 1);
    if (uncompface(buffer) == 0) ++decoded;
  }
  fclose(in);
  printf("%ld\n", decoded);
  return 0;
}
