#include <cstring>

#include "buffer/console_text.h"
#include "buffer/xp_msg.h"
#include "platform/env.h"

namespace {

// The header block of one message is put together here and leaves in one
// write: the stdio call per piece was the writer's main cost.
cString gBlock(4096);

}  // namespace

bool HeaderTight(const cHeaderLine& record) {
  return TightLine(record.Name.Text(), static_cast<size_t>(record.Name.Size()), record.Value.Text()[0],
                   record.tight);
}

uint64_t WrittenLineSize(const cHeaderLine& record) {
  return static_cast<uint64_t>(record.Name.Size()) + (HeaderTight(record) ? 3 : 4) +
         static_cast<uint64_t>(record.Value.Size());
}

bool WithinHeaderLimits(const cHeaders& headers) {
  if (headers.Count() > kMaxHeaderLines) return false;
  uint64_t block = 0;
  for (int32_t i = 0; i < headers.Count(); ++i) {
    uint64_t line = WrittenLineSize(*headers.At(i));
    block += line;
    if (line > kMaxHeaderLine || block > kMaxHeaderBlock) return false;
  }
  return true;
}

bool WriteHeaderLine(cString& block, const cHeaderLine& record) {
  return block.Append(record.Name.Text(), record.Name.Size()) &&
         block.Append(": ", HeaderTight(record) ? 1 : 2) &&
         block.Append(record.Value.Text(), record.Value.Size()) && block.Append("\r\n", 2);
}

int cXPMsg::WriteRawMsg(cBlockWriter& out, FILE* err) {
  if (!platform::CanTell(out.Stream())) {
    fprintf(err, "WriteRawMsg. ftell failed\n");
    return 1;
  }
  // Where the message begins, should a pending body end early: input of
  // unknown size, or a file that changes while it is read.
  messageStart_ = BodyPending > 0 ? out.Position() : -1;
  // A count of -1 never matches; one that matches comes from a read, so reader_ is there.
  if (rawLines_ == Headers.Count() && reader_->Generation() == rawGeneration_) {
    // The lines as read, and the empty line behind them, go out from the read block.
    if (!out.PutBorrowed(rawHead_, rawSize_, reader_)) {
      fprintf(err, "Fehler bei der Header-Ausgabe\n");
      return 1;
    }
    if (!out.PutBorrowed(rawHead_ + rawSize_, 2, reader_)) {
      fprintf(err, "Fehler bei der Ausgabe der Headerende-Zeile\n");
      return 1;
    }
  } else {
    gBlock.Clear();
    bool built = true;
    for (int32_t i = 0; i < Headers.Count() && built; ++i) built = WriteHeaderLine(gBlock, *Headers.At(i));
    if (!built) {
      fprintf(err, "Kein Speicher fuer die Header-Ausgabe\n");
      return 1;
    }
    if (!out.Put(gBlock.Text(), static_cast<size_t>(gBlock.Size()))) {
      fprintf(err, "Fehler bei der Header-Ausgabe\n");
      return 1;
    }
    if (!out.Put("\r\n", 2)) {
      fprintf(err, "Fehler bei der Ausgabe der Headerende-Zeile\n");
      return 1;
    }
  }
  if (WriteRawBody(out, err) != 0) return 1;
  if (!platform::CanTell(out.Stream())) {
    fprintf(err, "WriteRawMsg. ftell failed\n");
    return 1;
  }
  return 0;
}

namespace {

int ReportBodyWrite(FILE* err) {
  static const char kText[] = "cXPMsg::WriteRawBody: Fehler bei der Msg-Ausgabe\n";
  fprintf(stderr, "%s", kText);
  if (err != nullptr) fprintf(err, "%s", kText);
  return 1;
}

}  // namespace

int cXPMsg::WriteRawBody(cBlockWriter& out, FILE* err) {
  if (BodyPending == 0) {
    if (!out.Put(Body.Data, static_cast<size_t>(Body.Size()))) return ReportBodyWrite(err);
    return 0;
  }
  // A pending body goes from the input's blocks straight to the output.
  // Input of unknown size can end inside it, a file only by changing: then
  // the message is taken back, and its first bytes are kept for the report.
  bool mayEndEarly = reader_->Remaining() < 0;
  char first[kConsoleBytes + 1];
  size_t firstSize = 0;
  uint64_t written = 0;
  const char* bytes;
  while (BodyPending > 0) {
    size_t take = reader_->Take(&bytes, BodyPending);
    if (take == 0) break;
    if (mayEndEarly && firstSize < sizeof first) {
      size_t keep = sizeof first - firstSize < take ? sizeof first - firstSize : take;
      memcpy(first + firstSize, bytes, keep);
      firstSize += keep;
    }
    BodyPending -= take;
    written += take;
    if (!out.PutBorrowed(bytes, take, reader_)) return ReportBodyWrite(err);
  }
  if (BodyPending == 0) return 0;
  BodyPending = 0;
  BodyShort = true;
  if (!reader_->EndedByChange()) ReportShortBody(bodyLength_, written, first, firstSize);
  if (messageStart_ >= 0) out.CutBack(messageStart_);
  return 1;
}

int cXPMsg::AddHeader(const char* name, const char* value) {
  rawLines_ = -1;
  return Headers.Add(name, value) ? 0 : 1;
}

int cXPMsg::AddLenHeader() {
  char text[16];
  snprintf(text, sizeof text, "%d", static_cast<int>(Body.Size()));
  return AddHeader("LEN", text);
}

int cXPMsg::SetMsgBodyRaw(const char* bytes, int32_t size) {
  if (size <= 0) {
    Body.Clear();
    return 0;
  }
  if (!Body.AssignBytes(bytes, size - 1)) return 1;
  return 0;
}

void cXPMsg::MsgDump(FILE* stream) {
  LoadHeaders();
  fprintf(stream, "--------- Msg-Dump -------------\n");
  fprintf(stream, "OfsStart: %lld (0x%llX)\n", static_cast<long long>(OfsStart),
          static_cast<unsigned long long>(OfsStart));
  fprintf(stream, "OfsEnde : %lld (0x%llX)\n", static_cast<long long>(OfsEnde),
          static_cast<unsigned long long>(OfsEnde));
  Headers.Dump(stream);
}
