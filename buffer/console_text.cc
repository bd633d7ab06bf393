#include "buffer/console_text.h"

#include <string>

#include "platform/env.h"

bool IsConsole(FILE* stream) { return stream == stdout || stream == stderr; }

void WriteSafeText(FILE* stream, const char* bytes, size_t count, bool oneLine) {
  static const char kHex[] = "0123456789ABCDEF";
  char out[1024];
  size_t used = 0;
  for (size_t i = 0; i < count; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if ((c < 0x20 && (oneLine || (c != '\t' && c != '\r' && c != '\n'))) || c == 0x7F) {
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

bool PrintTextV(FILE* stream, const char* format, va_list args) {
  char text[512];
  va_list copy;
  va_copy(copy, args);
  int size = vsnprintf(text, sizeof text, format, copy);
  va_end(copy);
  if (size < 0) return false;
  if (static_cast<size_t>(size) < sizeof text)
    return platform::WriteText(stream, text, static_cast<size_t>(size));
  // A long name: the text is made once more in a block of its size.
  std::string whole(static_cast<size_t>(size) + 1, '\0');
  vsnprintf(&whole[0], whole.size(), format, args);
  return platform::WriteText(stream, whole.data(), static_cast<size_t>(size));
}

bool PrintText(FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool ok = PrintTextV(stream, format, args);
  va_end(args);
  return ok;
}
