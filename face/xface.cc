#include "face/xface.h"

#include <cstdlib>
#include <cstring>

#include "face/bmp.h"
#include "run/log.h"

extern "C" {
#include <compface.h>
}

namespace {

// uncompface writes its 1,057-byte result over its input.
const size_t kMinWorkBuffer = 2056;
const int kMaxWords = 144;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsDelimiter(char c) { return c == ',' || c == '\n' || c == '\r'; }

}  // namespace

void FindFaceHeader(const cXPMsg& msg, cString& value) {
  for (int32_t i = 0; i < msg.Headers.Count(); ++i) {
    const cHeaderLine* line = msg.Headers.At(i);
    if (!EqualsIgnoreCase(line->Name.Text(), "X-FACE")) continue;
    // Out of memory the message counts as one without a face.
    if (line->Value.Data != nullptr && value.Assign(line->Value.Text())) return;
    break;
  }
  if (value.Data != nullptr) value.Data[0] = '\0';
}

bool ScanHexWord(const char* p, uint32_t* word) {
  while (*p == ' ' || *p == '\t' || *p == '\v' || *p == '\f') ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  bool digits = false;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    p += 2;
    digits = true;  // "0x" alone reads as 0
  }
  uint64_t value = 0;
  bool overflow = false;
  for (int d; (d = HexDigit(*p)) >= 0; ++p) {
    digits = true;
    if (value > (UINT64_MAX >> 4)) overflow = true;
    value = (value << 4) | static_cast<uint64_t>(d);
  }
  if (!digits) return false;
  if (overflow) value = UINT64_MAX;
  else if (negative) value = 0 - value;
  *word = static_cast<uint32_t>(value);
  return true;
}

bool ParseFaceHex(char* text, FaceBitmap& bitmap) {
  int k = 0;
  char* p = text;
  while (true) {
    while (IsDelimiter(*p)) ++p;
    if (*p == '\0') return true;
    char* token = p;
    while (*p != '\0' && !IsDelimiter(*p)) ++p;
    if (*p != '\0') *p++ = '\0';
    uint32_t word;
    if (!ScanHexWord(token, &word)) {
      LogMsg(stderr, "%s", "Invalid X-Face Header\n");
      return false;
    }
    if (k >= kMaxWords) {
      LogMsg(stderr, "%s", "Invalid X-Face Header(i > 48*6 - 2)\n");
      return false;
    }
    bitmap.bytes[2 * k] = static_cast<uint8_t>(word >> 8);
    bitmap.bytes[2 * k + 1] = static_cast<uint8_t>(word);
    ++k;
  }
}

bool DecodeFace(const cString& value, cString& oBMP) {
  FaceBitmap bitmap;
  memset(bitmap.bytes, 0, sizeof bitmap.bytes);
  size_t size = strlen(value.Text()) + 1;
  size_t bufferSize = size > kMinWorkBuffer ? size : kMinWorkBuffer;
  char* work = static_cast<char*>(malloc(bufferSize));
  if (work == nullptr) {
    LogMsg(stderr, "%s", "new chr[] failed\n");
    return false;
  }
  memcpy(work, value.Text(), size);
  int rc = uncompface(work);
  bool ok = false;
  if (rc != 0) {
    LogMsg(stderr, "Invalid X-Face Header, uncompface() rc: %d\n", rc);
  } else if (ParseFaceHex(work, bitmap)) {
    if (!oBMP.Resize(kBmpFileSize + 1)) {
      LogMsg(stderr, "%s", "oBMP.Resize() failed\n");
    } else {
      FillBmp(bitmap, oBMP);
      ok = true;
    }
  }
  free(work);
  return ok;
}
