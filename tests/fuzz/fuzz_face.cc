// Fuzz target: arbitrary bytes as an X-Face value for the decoder, and as
// the decompressed text for the hexadecimal parse.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "face/bmp.h"
#include "face/xface.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.c_str();  // a header value ends at its first NUL
  if (!text.empty()) {
    cString value;
    value.Assign(text.c_str());
    cString bmp;
    if (DecodeFace(value, bmp)) {
      if (bmp.Length != kBmpFileSize + 1 || memcmp(bmp.Data, "BM\xBE\x01", 4) != 0)
        __builtin_trap();
    }
  }
  FaceBitmap bitmap;
  memset(bitmap.bytes, 0, sizeof bitmap.bytes);
  (void)ParseFaceHex(&text[0], bitmap);
  return 0;
}
