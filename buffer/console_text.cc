#include "buffer/console_text.h"

bool IsConsole(FILE* stream) { return stream == stdout || stream == stderr; }

void WriteSafeText(FILE* stream, const char* bytes, size_t count) {
  static const char kHex[] = "0123456789ABCDEF";
  char out[1024];
  size_t used = 0;
  for (size_t i = 0; i < count; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F) {
      out[used++] = '\\';
      out[used++] = 'x';
      out[used++] = kHex[c >> 4];
      out[used++] = kHex[c & 15];
    } else {
      out[used++] = static_cast<char>(c);
    }
    if (used > sizeof out - 4) {
      fwrite(out, 1, used, stream);
      used = 0;
    }
  }
  fwrite(out, 1, used, stream);
}
