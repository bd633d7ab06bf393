#include <cstdlib>
#include <cstring>
#include <new>

#include "buffer/console_text.h"
#include "buffer/line_scanner.h"
#include "buffer/xp_msg.h"
#include "platform/env.h"

namespace {

// A line is read in pieces of at most this many bytes.
const int kPieceSize = 511;

// Working storage shared by all messages (one thread).
char gPiece[kPieceSize + 1];

// The number behind "LEN: " as atol reads it, up to `end`; saturates
// instead of wrapping.
int64_t ParseLength(const char* text, const char* end) {
  while (text < end && (*text == ' ' || (*text >= '\t' && *text <= '\r'))) ++text;
  bool negative = text < end && *text == '-';
  if (text < end && (*text == '-' || *text == '+')) ++text;
  int64_t value = 0;
  for (; text < end && *text >= '0' && *text <= '9'; ++text) {
    int digit = *text - '0';
    if (value > (INT64_MAX - digit) / 10) {
      value = INT64_MAX;
      break;
    }
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

// Where a header value begins: behind the colon and one blank or tab there.
// A value written tight ("X_C:12") keeps its first byte, so a rewritten
// buffer reads back the same.
const char* ValueStart(const char* colon) {
  return colon[1] == ' ' || colon[1] == '\t' ? colon + 2 : colon + 1;
}

// Notes the body's length from a "LEN:" line that has a blank or tab after
// the colon. True for a "LEN:" line without one: it gives no length, and is
// written back tight so that it gives none on the next pass either.
bool TakeLength(const char* line, const char* end, int64_t* length, bool* lengthSeen) {
  if (*line != 'L' || end - line < 4 || memcmp(line, "LEN:", 4) != 0) return false;
  if (end - line == 4 || (line[4] != ' ' && line[4] != '\t')) return true;
  *length = ParseLength(line + 5, end);
  *lengthSeen = true;
  return false;
}

// True when the writer gives a line back byte for byte: one CR before its
// LF (at `end`), and behind the colon the separator the writer puts there.
bool LineAsWritten(const char* line, const char* colon, const char* end, bool lengthLine) {
  const char* value = ValueStart(colon);
  // Every CR before the LF goes, but none of the value's own first byte.
  if (end - 1 < value || end[-1] != '\r' || (end - 2 >= value && end[-2] == '\r')) return false;
  size_t name = static_cast<size_t>(colon - line);
  // Only a length line and names of three or eight bytes may be tight.
  bool tight = (lengthLine || name == 3 || name == 8) &&
               TightLine(line, name, end - 1 > value ? *value : '\0', lengthLine);
  return tight ? value == colon + 1 : colon[1] == ' ';
}

// "X-Face" in any case: the face layer reads such a message's records.
bool IsFaceName(const char* name, ptrdiff_t size) {
  return size == 6 && (name[0] | 0x20) == 'x' && name[1] == '-' && (name[2] | 0x20) == 'f' &&
         (name[3] | 0x20) == 'a' && (name[4] | 0x20) == 'c' && (name[5] | 0x20) == 'e';
}

void ToLog(FILE* log, const char* text) {
  if (log != nullptr) fputs(text, log);
}

}  // namespace

bool SplitHeaderLine(const char* line, cString* name, cString* value) {
  name->Clear();
  value->Clear();
  const char* colon = strchr(line, ':');
  if (colon == nullptr || colon == line) return false;
  const char* rest = ValueStart(colon);
  size_t size = strlen(rest);
  while (size > 0 && (rest[size - 1] == '\r' || rest[size - 1] == '\n')) --size;
  if (!value->AssignBytes(rest, static_cast<int32_t>(size))) return false;
  return name->AssignBytes(line, static_cast<int32_t>(colon - line));
}

cXPMsg::~cXPMsg() { delete reader_; }

int cXPMsg::ReadMsg(FILE* in, FILE* log) {
  Headers.Clear();
  recordsDeferred_ = false;
  BodyShort = NoMemory = Damaged = false;
  messageStart_ = -1;
  log_ = log;
  if (reader_ == nullptr && platform::MayAllocate()) reader_ = new (std::nothrow) cBlockReader;
  if (reader_ == nullptr) {
    ToLog(log, "Kein Speicher fuer den Lesepuffer\n");
    return 1;
  }
  if (reader_->Stream() != in) {
    reader_->Bind(in);
    BodyPending = 0;
  }
  if (BodyPending > 0 && !SkipPendingBody()) return reader_->Changed() ? 2 : 1;
  OfsStart = OfsEnde = reader_->Position();
  int64_t length = -1;
  int result = ReadHeaders(in, log, &length);
  if (result == 0) result = ReadBody(in, log, length);
  if (result != 0) return result == 2 ? 2 : 1;
  // A claimed length may reach past any real offset (input of unknown size).
  uint64_t end = static_cast<uint64_t>(reader_->Position()) + BodyPending;
  OfsEnde = end > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(end);
  return 0;
}

namespace {

const char kLineTooLong[] = "Headerzeile laenger als %llu Bytes at %llX\n";
const char kBlockTooLong[] = "Header laenger als %llu Bytes at %llX\n";
const char kTooManyLines[] = "Header mit mehr als %llu Zeilen at %llX\n";

int NoMemoryForLine(FILE* log, int64_t at) {
  if (log != nullptr)
    fprintf(log, "Kein Speicher fuer eine Headerzeile at %llX\n", static_cast<unsigned long long>(at));
  return 1;
}

}  // namespace

int cXPMsg::Refuse(FILE* log, const char* text, unsigned long long limit, int64_t at) {
  Damaged = true;
  if (log != nullptr) fprintf(log, text, limit, static_cast<unsigned long long>(at));
  return 1;
}

int cXPMsg::ReadHeaders(FILE* in, FILE* log, int64_t* length) {
  *length = -1;
  bool lengthSeen = false;
  (void)in;  // read through the block reader bound to it
  cBlockReader& reader = *reader_;
  rawLines_ = -1;
  if (PassHeaders(length)) return 0;
  const int64_t blockStart = reader.Position();
  uint64_t written = 0;  // the lines as the writer gives them back
  int32_t lines = 0;
  bool eofMark = false;  // the block so far is a DOS end-of-file mark alone
  // Counts the whole line read from `at` up to here, `out` bytes when
  // written back (0: it is not): 0, or 1 after the report of a limit passed.
  auto account = [&](int64_t at, uint64_t out) {
    uint64_t in = static_cast<uint64_t>(reader.Position() - at);
    written += out;
    if (++lines > kMaxHeaderLines) return Refuse(log, kTooManyLines, kMaxHeaderLines, blockStart);
    if (in > kMaxHeaderLine || out > kMaxHeaderLine) return Refuse(log, kLineTooLong, kMaxHeaderLine, at);
    if (static_cast<uint64_t>(reader.Position() - blockStart) > kMaxHeaderBlock || written > kMaxHeaderBlock)
      return Refuse(log, kBlockTooLong, kMaxHeaderBlock, blockStart);
    return 0;
  };
  const char* line;
  size_t size = reader.PeekLine(&line, kPieceSize);
  const char* rawStart = size > 0 ? line : nullptr;
  uint64_t generation = reader.Generation();
  bool raw = rawStart != nullptr;
  for (;; size = reader.PeekLine(&line, kPieceSize)) {
    // A whole line without NULs in the block: taken where it lies.
    if (size > 0 && memchr(line, '\0', size) == nullptr) {
      if (line[0] == '\r' || line[0] == '\n') {
        reader.Skip(size);
        raw = raw && size == 2 && line[0] == '\r';
        break;
      }
      int64_t at = reader.Position();
      int taken = TakeLine(line, size, length, &lengthSeen);
      if (taken == kLineNoMemory) return NoMemoryForLine(log, at);
      if (taken != kLineBad) {
        reader.Skip(size);
        uint64_t out = taken == kLineAsWritten ? size : WrittenLineSize(*Headers.At(Headers.Count() - 1));
        if (account(at, out) != 0) return 1;
        raw = raw && taken == kLineAsWritten;
        continue;
      }
    }
    // A long line, one across the block's end, with NULs or without a name.
    raw = false;
    int64_t at = reader.Position();
    int count = reader.ReadPiece(gPiece, kPieceSize);
    if (count == 0) break;
    // What the line may still hold: the rest of both limits.
    uint64_t used = static_cast<uint64_t>(reader.Position() - blockStart);
    uint64_t lineLeft = kMaxHeaderLine - static_cast<uint64_t>(count);
    uint64_t blockLeft = used < kMaxHeaderBlock ? kMaxHeaderBlock - used : 0;
    uint64_t left = lineLeft < blockLeft ? lineLeft : blockLeft;
    auto refuseLong = [&]() {
      return lineLeft <= blockLeft ? Refuse(log, kLineTooLong, kMaxHeaderLine, at)
                                   : Refuse(log, kBlockTooLong, kMaxHeaderBlock, blockStart);
    };
    // A physical line is one line, wherever a piece ends: the rest of one
    // that ends the header block, or of one without a name, goes with it.
    bool open = gPiece[count - 1] != '\n';
    if (gPiece[0] == '\r' || gPiece[0] == '\n') {
      if (open && reader.RestOfLine(nullptr, left) == cBlockReader::kRestLong) return refuseLong();
      break;
    }
    eofMark = at == blockStart && count == 1 && gPiece[0] == '\x1A';
    const char* colon = strchr(gPiece, ':');
    if (colon == nullptr || colon == gPiece) {
      unsigned long long ofs = static_cast<unsigned long long>(OfsStart);
      if (log != nullptr && !IsConsole(log))
        fprintf(log, "fehlerhafte Headerzeile: <%s> at %llX\n", gPiece, ofs);
      fputs("fehlerhafte Headerzeile: <", stderr);
      WriteSafeText(stderr, gPiece, strlen(gPiece));
      fprintf(stderr, "> at %llX\n", ofs);
      if (open && reader.RestOfLine(nullptr, left) == cBlockReader::kRestLong) return refuseLong();
      if (account(at, 0) != 0) return 1;
      continue;
    }
    bool lengthLine = TakeLength(gPiece, gPiece + count, length, &lengthSeen);
    // Split straight into a record.
    cHeaderLine* record = Headers.pool.NewHeaderLine();
    if (record == nullptr || !SplitHeaderLine(gPiece, &record->Name, &record->Value)) {
      if (record != nullptr) Headers.pool.Release(record);
      return NoMemoryForLine(log, at);
    }
    cString* value = &record->Value;
    bool grown = true;
    if (gPiece[count - 1] != '\n') {
      // The physical line goes on beyond the piece. Where a piece ends must
      // not change the value (a rewritten line breaks elsewhere): the CRs
      // taken from the piece's end come back, and only the line's end loses
      // its CRs.
      const char* valueStart = ValueStart(gPiece + record->Name.Size());
      int32_t full = static_cast<int32_t>(strlen(valueStart));
      if (full > value->Size()) grown = value->Append(valueStart + value->Size(), full - value->Size());
      int rest = cBlockReader::kRestOpen;
      // A colon that ends the piece leaves its separator to the rest.
      const char* next;
      if (grown && record->Name.Size() + 1 == count && left > 0 && reader.Take(&next, 1) == 1) {
        --left;
        if (*next == '\n') rest = cBlockReader::kRestEnded;
        else if (*next != ' ' && *next != '\t' && *next != '\0') grown = value->Append(next, 1);
      }
      if (grown && rest != cBlockReader::kRestEnded) rest = reader.RestOfLine(value, left);
      if (rest == cBlockReader::kRestNoMemory) grown = false;
      if (rest == cBlockReader::kRestLong) {
        Headers.pool.Release(record);
        return refuseLong();
      }
      while (rest == cBlockReader::kRestEnded && value->Size() > 0 &&
             value->Data[value->Size() - 1] == '\r') {
        value->Data[value->Size() - 1] = '\0';
        --value->Length;
      }
    }
    record->tight = lengthLine;  // "LEN:" without a blank: no length, and none on rewrite
    // The length is the number the line gives as it is written back, not
    // as its first piece happened to show it.
    if (grown && !lengthLine && record->Name.Size() == 3 && memcmp(record->Name.Text(), "LEN", 3) == 0)
      *length = ParseLength(value->Text(), value->Text() + value->Size());
    if (!grown || (!reader.Failed() && !Headers.Append(record))) {
      Headers.pool.Release(record);
      return NoMemoryForLine(log, at);
    }
    if (reader.Failed()) {
      Headers.pool.Release(record);
      break;
    }
    if (account(at, WrittenLineSize(*record)) != 0) return 1;
  }
  if (reader.Failed()) {
    ToLog(log, reader.NoMemory() ? "Kein Speicher fuer den Lesepuffer\n"
                                 : "Fehler beim Einlesen eines Headers\n");
    return 1;
  }
  if (reader.AtEnd()) {
    // Bytes at the end that are no whole message (one cut off, or a
    // deliverer's between two of its writes) must not vanish from the
    // rewritten buffer; a lone DOS end-of-file mark has been reported and
    // ends the buffer.
    int64_t stray = reader.Position() - blockStart;
    if (stray == 0 || (stray == 1 && eofMark) || reader.EndedByChange()) return 2;
    ToLog(log, "Unvollstaendige Nachricht am Ende des Puffers\n");
    Damaged = true;
    return 1;
  }
  if (raw && generation == reader.Generation()) {
    // Every line stands as the writer would write it: the block's bytes
    // can go out as they are.
    rawHead_ = rawStart;
    rawSize_ = static_cast<size_t>(line - rawStart);
    rawGeneration_ = generation;
    rawLines_ = Headers.Count();
  }
  if (lengthSeen) return 0;
  ToLog(log, "Keine Laengenangabe im Header\n");
  Damaged = true;
  return -3;
}

int cXPMsg::TakeLine(const char* line, size_t size, int64_t* length, bool* lengthSeen) {
  const char* colon = static_cast<const char*>(memchr(line, ':', size));
  if (colon == nullptr || colon == line) return kLineBad;
  const char* value = ValueStart(colon);
  const char* end = line + size - 1;  // at the LF
  const char* cut = end;
  while (cut > value && cut[-1] == '\r') --cut;
  bool lengthLine = TakeLength(line, end, length, lengthSeen);
  cHeaderLine* record = Headers.pool.NewHeaderLine();
  if (record == nullptr) return kLineNoMemory;
  record->tight = lengthLine;
  if (!record->Name.AssignBytes(line, static_cast<int32_t>(colon - line)) ||
      !record->Value.AssignBytes(value, static_cast<int32_t>(cut - value)) ||
      !Headers.Append(record)) {
    Headers.pool.Release(record);
    return kLineNoMemory;
  }
  return LineAsWritten(line, colon, end, lengthLine) ? kLineAsWritten : kLineChanged;
}

bool cXPMsg::PassHeaders(int64_t* length) {
  const char* start;
  size_t have = reader_->Peek(&start);
  if (have == 0) return false;
  const char* end = start + have;
  int64_t claimed = -1;
  bool lengthSeen = false;
  const char* line = start;
  cLineScanner scanner(end);
  for (int32_t lines = 0;; ++lines) {
    const char* limit = end - line < kPieceSize ? end : line + kPieceSize;
    const char* colon;
    const char* lf = scanner.Scan(line, limit, &colon);
    if (lf == limit || *lf != '\n') return false;
    if (*line == '\r' || *line == '\n') {
      if (lf != line + 1) return false;  // the empty line as the writer writes it: CR LF
      break;
    }
    if (colon == nullptr || colon == line || IsFaceName(line, colon - line)) return false;
    if (lines == kMaxHeaderLines) return false;  // refused on the way with records
    bool lengthLine = TakeLength(line, lf, &claimed, &lengthSeen);
    if (!LineAsWritten(line, colon, lf, lengthLine)) return false;
    line = lf + 1;
  }
  if (!lengthSeen) return false;
  reader_->Skip(static_cast<size_t>(line + 2 - start));
  *length = claimed;
  rawHead_ = start;
  rawSize_ = static_cast<size_t>(line - start);
  rawGeneration_ = reader_->Generation();
  rawLines_ = Headers.Count();
  recordsDeferred_ = true;
  return true;
}

bool cXPMsg::LoadHeaders() {
  if (!recordsDeferred_) return true;
  if (reader_->Generation() != rawGeneration_) return false;
  recordsDeferred_ = false;
  int64_t length;
  bool lengthSeen = false;
  const char* end = rawHead_ + rawSize_;
  for (const char* line = rawHead_; line < end;) {
    const char* lf = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
    if (TakeLine(line, static_cast<size_t>(lf + 1 - line), &length, &lengthSeen) == kLineNoMemory) {
      // The lines as read stay the message; the caller ends the run.
      Headers.Clear();
      recordsDeferred_ = NoMemory = true;
      NoMemoryForLine(log_, OfsStart + (line - rawHead_));
      return false;
    }
    line = lf + 1;
  }
  rawLines_ = Headers.Count();
  return true;
}

int cXPMsg::ReadBody(FILE* in, FILE* log, int64_t length) {
  (void)in;
  uint64_t n = length < 0 ? static_cast<uint32_t>(length) : static_cast<uint64_t>(length);
  bodyLength_ = n;
  BodyPending = 0;
  Body.Clear();
  if (n == 0) return 0;
  // A body known to be complete, or too long to hold, stays in the input
  // until it is written: the bytes are copied once, from the read block to
  // the output.
  int64_t remaining = reader_->Remaining();
  if (remaining >= 0 ? static_cast<uint64_t>(remaining) >= n : n > kHeldBody) {
    BodyPending = n;
    return 0;
  }
  return TakeBody(log, n);
}

bool cXPMsg::HoldBody() {
  if (BodyPending == 0) return true;
  uint64_t n = BodyPending;
  BodyPending = 0;
  return TakeBody(log_, n) == 0;
}

int cXPMsg::TakeBody(FILE* log, uint64_t n) {
  // Held: a short body keeps what came (at most kHeldBody) for the report.
  // Reading it may refill the block that holds the header lines.
  if (recordsDeferred_ && reader_->Buffered() < n && !LoadHeaders()) return 1;
  uint64_t held = n < kHeldBody ? n : kHeldBody;
  if (static_cast<uint64_t>(Body.Capacity) < held + 1 && !Body.Resize(static_cast<int32_t>(held + 1))) {
    if (log != nullptr)
      fprintf(log, "Kein Speicher fuer einen Nachrichtenkoerper von %llu Bytes\n",
              static_cast<unsigned long long>(n));
    Body.Assign("");
    return 1;
  }
  uint64_t got = 0;
  const char* bytes;
  for (size_t take; got < n && (take = reader_->Take(&bytes, n - got)) > 0; got += take) {
    if (got < held) memcpy(Body.Data + got, bytes, static_cast<size_t>(held - got < take ? held - got : take));
  }
  size_t kept = static_cast<size_t>(got < held ? got : held);
  Body.Data[kept] = '\0';
  Body.Length = static_cast<int32_t>(kept + 1);
  if (got == n) return 0;
  // A body is complete only when all of it came; one that reaches into
  // bytes appended since the start is not (they are not read).
  bool changed = reader_->EndedByChange();
  if (!changed) ReportShortBody(n, got, Body.Data, kept);
  Body.Clear();
  return changed ? 2 : 1;
}

bool cXPMsg::SkipPendingBody() {
  uint64_t got = bodyLength_ - BodyPending;
  const char* bytes;
  for (size_t take; BodyPending > 0 && (take = reader_->Take(&bytes, BodyPending)) > 0;) {
    BodyPending -= take;
    got += take;
  }
  if (BodyPending == 0) return true;
  BodyPending = 0;
  if (!reader_->EndedByChange()) ReportShortBody(bodyLength_, got, "", 0);
  return false;
}

void cXPMsg::ReportShortBody(uint64_t length, uint64_t got, const char* bytes, size_t held) {
  Damaged = !reader_->Failed();  // a read error is no fault of the buffer's
  FILE* log = log_;
  if (log == nullptr) return;
  fputs("Nachrichtenkoerper konnte nicht komplett gelesen werden\n", log);
  fprintf(log, "Laenge soll sein %llu, gelesen wurden %llu Bytes\n",
          static_cast<unsigned long long>(length), static_cast<unsigned long long>(got));
  size_t text = strnlen(bytes, held);
  fputs("gelesen wurde|", log);
  if (!IsConsole(log)) {
    fwrite(bytes, 1, text, log);
  } else {
    WriteSafeText(log, bytes, text < kConsoleBytes ? text : kConsoleBytes);
    if (text > kConsoleBytes) fprintf(log, "... (%llu Bytes)", static_cast<unsigned long long>(got));
  }
  fputs("|\n", log);
}
