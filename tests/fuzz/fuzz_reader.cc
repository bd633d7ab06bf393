// Fuzz target: arbitrary bytes as a buffer, read message by message and
// written back with a face message behind each message with a face, as an
// insertion run does. What is written must read back, as far and to the
// same messages.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "buffer/xp_msg.h"
#include "face/bmp.h"
#include "face/face_message.h"
#include "face/xface.h"
#include "platform/env.h"

namespace {

// The message as the writer must write it: the header lines rebuilt, the
// empty line, the body when it is held.
std::string Digest(const cXPMsg& msg) {
  cString block;
  for (int32_t i = 0; i < msg.Headers.Count(); ++i) WriteHeaderLine(block, *msg.Headers.At(i));
  return std::string(block.Text(), block.Size()) + "\r\n" + std::string(msg.Body.Data, msg.Body.Size());
}

// Reads every message of `bytes`; writes them, and a face message behind
// each one with a face, to *written when given. *clean: reading ended at
// the buffer's end, not at a fault.
std::vector<std::string> ReadAll(const char* bytes, size_t size, std::string* written, bool* clean) {
  std::vector<std::string> messages;
  *clean = true;
  if (size == 0) return messages;
  FILE* in = fmemopen(const_cast<char*>(bytes), size, "rb");
  char* out = nullptr;
  size_t outSize = 0;
  FILE* stream = written != nullptr ? open_memstream(&out, &outSize) : nullptr;
  cBlockWriter writer(0);  // each part straight into the memory stream
  writer.Bind(stream);
  if (in == nullptr || (written != nullptr && stream == nullptr)) abort();
  cXPMsg msg, face;
  cString bmp, value;
  bmp.AssignBytes(std::string(kBmpFileSize, 'B').data(), kBmpFileSize);
  size_t complete = 0;  // the output up to the last whole message
  int read;
  while ((read = msg.ReadMsg(in, nullptr)) == 0) {
    if (msg.Body.Data[msg.Body.Size()] != '\0' || !msg.LoadHeaders()) abort();
    std::string digest = Digest(msg);
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
      // Header lines passed through as read must be what the writer builds.
      if (outSize - start < digest.size() || memcmp(out + start, digest.data(), digest.size()) != 0)
        __builtin_trap();
      messages.push_back(digest);
      if (!FindFaceHeader(msg, value)) abort();
      if (!value.Empty() && BuildFaceMsg(bmp, msg, face) == kFaceMsgBuilt) {
        if (face.WriteRawMsg(writer, nullptr) != 0) abort();
        writer.Flush();
        fflush(stream);
        messages.push_back(Digest(face));
      }
      complete = outSize;
    } else {
      messages.push_back(digest);
    }
  }
  *clean = read == 2 && !msg.BodyShort && !msg.InputChanged();
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
  std::string written;
  bool clean, again;
  std::vector<std::string> first = ReadAll(reinterpret_cast<const char*>(data), size, &written, &clean);
  if (ReadAll(written.data(), written.size(), nullptr, &again) != first || (clean && !again))
    __builtin_trap();
  return 0;
}
