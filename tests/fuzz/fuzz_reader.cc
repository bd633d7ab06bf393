// Fuzz target: arbitrary bytes as a buffer, read message by message and
// written back, as an insertion run without faces does.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "buffer/xp_msg.h"
#include "platform/env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  char* written = nullptr;
  size_t writtenSize = 0;
  FILE* out = open_memstream(&written, &writtenSize);
  if (in == nullptr || out == nullptr) abort();
  cXPMsg msg;
  while (msg.ReadMsg(in, nullptr) == 0) {
    if (msg.Body.Data[msg.Body.Size()] != '\0') abort();
    if (msg.WriteRawMsg(out, nullptr) != 0) abort();
  }
  fclose(in);
  platform::Close(out);
  free(written);
  return 0;
}
