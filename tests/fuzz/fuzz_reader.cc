// Fuzz target: arbitrary bytes as a buffer, read message by message and
// written back, as an insertion run without faces does. What is written
// must read back to the same messages.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "buffer/xp_msg.h"
#include "platform/env.h"

namespace {

// Reads every message of `bytes`; writes them to *written when given.
std::vector<std::string> ReadAll(const char* bytes, size_t size, std::string* written) {
  std::vector<std::string> messages;
  if (size == 0) return messages;
  FILE* in = fmemopen(const_cast<char*>(bytes), size, "rb");
  char* out = nullptr;
  size_t outSize = 0;
  FILE* stream = written != nullptr ? open_memstream(&out, &outSize) : nullptr;
  cBlockWriter writer(0);  // each part straight into the memory stream
  writer.Bind(stream);
  if (in == nullptr || (written != nullptr && stream == nullptr)) abort();
  cXPMsg msg;
  size_t complete = 0;  // the output up to the last whole message
  while (msg.ReadMsg(in, nullptr) == 0) {
    if (msg.Body.Data[msg.Body.Size()] != '\0' || !msg.LoadHeaders()) abort();
    // The message as the writer must write it, and so its digest: the header
    // lines rebuilt, the empty line, the body when it is held.
    cString block;
    for (int32_t i = 0; i < msg.Headers.Count(); ++i) WriteHeaderLine(block, *msg.Headers.At(i));
    std::string digest(block.Text(), block.Size());
    digest += "\r\n" + std::string(msg.Body.Data, msg.Body.Size());
    if (stream != nullptr) {
      // Input of unknown size shows a short long body only while copying; a
      // file would be cut back to the message's start, a memory stream not.
      fflush(stream);
      size_t start = outSize;
      int err = msg.WriteRawMsg(writer, nullptr);
      if (err != 0 && msg.BodyShort) break;
      if (err != 0) abort();
      writer.Flush();
      fflush(stream);
      complete = outSize;
      // Header lines passed through as read must be what the writer builds.
      if (outSize - start < digest.size() || memcmp(out + start, digest.data(), digest.size()) != 0)
        __builtin_trap();
    }
    messages.push_back(digest);
  }
  fclose(in);
  if (stream != nullptr) {
    platform::Close(stream);
    written->assign(out, complete);
    free(out);
  }
  return messages;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  // A length line is read from its first piece up to a NUL, but written
  // whole: such lines may change their meaning in a rewrite, left out here.
  for (size_t at = input.find("LEN:"); at != std::string::npos; at = input.find("LEN:", at + 1)) {
    if (at > 0 && input[at - 1] != '\n') continue;
    size_t end = input.find('\n', at);
    std::string line = input.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (line.size() >= 510 || line.find('\0') != std::string::npos) return 0;
  }
  std::string written;
  std::vector<std::string> first = ReadAll(input.data(), size, &written);
  if (ReadAll(written.data(), written.size(), nullptr) != first) __builtin_trap();
  return 0;
}
