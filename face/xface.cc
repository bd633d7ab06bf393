#include "face/xface.h"

#include <cstdlib>
#include <cstring>

#include "face/bmp.h"
#include "buffer/log.h"
#include "platform/env.h"

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

bool FindFaceHeader(const cXPMsg& msg, cString& value) {
  value.Clear();
  for (int32_t i = 0; i < msg.Headers.Count(); ++i) {
    const cHeaderLine* line = msg.Headers.At(i);
    if (line->Name.Size() != 6 || !EqualsIgnoreCase(line->Name.Text(), "X-FACE")) continue;
    if (value.Assign(line->Value.Text())) return true;
    // A face passed over would be a face message missing without a word.
    LogMsg(stderr, "%s", "Kein Speicher fuer den X-Face-Header\n");
    return false;
  }
  return true;
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

FaceFailure ParseFaceHex(char* text, FaceBitmap& bitmap) {
  int k = 0;
  char* p = text;
  while (true) {
    while (IsDelimiter(*p)) ++p;
    if (*p == '\0') return kFaceDecoded;
    char* token = p;
    while (*p != '\0' && !IsDelimiter(*p)) ++p;
    if (*p != '\0') *p++ = '\0';
    uint32_t word;
    if (!ScanHexWord(token, &word)) return kFaceBadWord;
    if (k >= kMaxWords) return kFaceTooManyWords;
    bitmap.bytes[2 * k] = static_cast<uint8_t>(word >> 8);
    bitmap.bytes[2 * k + 1] = static_cast<uint8_t>(word);
    ++k;
  }
}

FaceFailure DecompressFace(const char* value, FaceBitmap& bitmap, int* rc) {
  memset(bitmap.bytes, 0, sizeof bitmap.bytes);
  *rc = 0;
  size_t size = strlen(value) + 1;
  size_t bufferSize = size > kMinWorkBuffer ? size : kMinWorkBuffer;
  char* work = static_cast<char*>(platform::Allocate(bufferSize));
  if (work == nullptr) return kFaceNoMemory;
  memcpy(work, value, size);
  *rc = uncompface(work);
  FaceFailure failure = *rc != 0 ? kFaceUncompress : ParseFaceHex(work, bitmap);
  free(work);
  return failure;
}

void ReportFaceFailure(FaceFailure failure, int rc) {
  switch (failure) {
    case kFaceDecoded:
      break;
    case kFaceNoMemory:
      LogMsg(stderr, "%s", "Kein Speicher zum Dekodieren des Faces\n");
      break;
    case kFaceUncompress:
      LogMsg(stderr, "Invalid X-Face Header, uncompface() rc: %d\n", rc);
      break;
    case kFaceBadWord:
      LogMsg(stderr, "%s", "Invalid X-Face Header\n");
      break;
    case kFaceTooManyWords:
      LogMsg(stderr, "%s", "Invalid X-Face Header(i > 48*6 - 2)\n");
      break;
  }
}

bool MakeFaceImage(const FaceBitmap& bitmap, cString& oBMP) {
  if (!oBMP.Resize(kBmpFileSize + 1)) {
    LogMsg(stderr, "%s", "Kein Speicher fuer das Face-Bild\n");
    return false;
  }
  FillBmp(bitmap, oBMP);
  return true;
}

bool DecodeFace(const cString& value, cString& oBMP) {
  FaceBitmap bitmap;
  int rc;
  FaceFailure failure = DecompressFace(value.Text(), bitmap, &rc);
  if (failure != kFaceDecoded) {
    ReportFaceFailure(failure, rc);
    return false;
  }
  return MakeFaceImage(bitmap, oBMP);
}
