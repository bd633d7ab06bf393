#include <cstdlib>
#include <cstring>

#include "buffer/console_text.h"
#include "buffer/xp_msg.h"
#include "platform/env.h"

namespace {

// A line is read in pieces of at most this many bytes.
const int kPieceSize = 511;
// Bodies up to this size get their exact buffer at once; larger claims grow
// the buffer only as the bytes really arrive.
const int64_t kDirectBody = 1 << 20;
const int64_t kMaxBody = INT32_MAX - 1;

// Working storage shared by all messages (one thread).
char gPiece[kPieceSize + 1];
cString gName(512);
cString gValue(1024);

// Reads a piece of at most kPieceSize bytes, up to and including the next
// LF, with fgets, and tells how many bytes came: a NUL inside the piece
// must not hide its LF. `position` (the stream position before the piece,
// -1 when unknown) is moved on. 0 when nothing could be read.
int ReadPiece(FILE* in, int64_t* position) {
  if (fgets(gPiece, sizeof gPiece, in) == nullptr) return 0;
  int count = static_cast<int>(strlen(gPiece));
  if (count == 0 || (count < kPieceSize && gPiece[count - 1] != '\n')) {
    // A NUL in the piece or the end of the file: only the position tells.
    int64_t now = platform::Tell(in);
    if (now >= 0 && *position >= 0 && now - *position <= kPieceSize)
      count = static_cast<int>(now - *position);
  }
  if (*position >= 0) *position += count;
  return count;
}

// The number behind "LEN: " as atol reads it; saturates instead of wrapping.
int64_t ParseLength(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    int digit = *text - '0';
    if (value > (INT64_MAX - digit) / 10) {
      value = INT64_MAX;
      break;
    }
    value = value * 10 + digit;
  }
  return negative ? -value : value;
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
  // One blank or tab after the colon separates; a value written tight
  // ("X_C:12") keeps its first byte, so a rewritten buffer reads back the same.
  const char* rest = colon[1] == ' ' || colon[1] == '\t' ? colon + 2 : colon + 1;
  size_t size = strlen(rest);
  while (size > 0 && (rest[size - 1] == '\r' || rest[size - 1] == '\n')) --size;
  if (!value->AssignBytes(rest, static_cast<int32_t>(size))) return false;
  return name->AssignBytes(line, static_cast<int32_t>(colon - line));
}

int cXPMsg::ReadMsg(FILE* in, FILE* log) {
  Headers.Clear();
  if (in != readStream_ || readPos_ < 0) {
    readStream_ = in;
    readPos_ = platform::Tell(in);
  }
  OfsStart = OfsEnde = readPos_;
  if (OfsStart == -1) ToLog(log, "ReadMsg. ftell failed\n");
  int64_t length = -1;
  int result = ReadHeaders(in, log, &length);
  if (result == 0) result = ReadBody(in, log, length);
  if (result != 0) {
    readPos_ = -1;  // ask again should the caller go on
    return result == 2 ? 2 : 1;
  }
  OfsEnde = readPos_;
  if (OfsEnde == -1) ToLog(log, "ReadMsg. ftell failed\n");
  return 0;
}

int cXPMsg::ReadHeaders(FILE* in, FILE* log, int64_t* length) {
  *length = -1;
  bool lengthSeen = false;
  int64_t& position = readPos_;
  for (int count = ReadPiece(in, &position); count > 0; count = ReadPiece(in, &position)) {
    if (gPiece[0] == '\r' || gPiece[0] == '\n') break;
    if (strncmp(gPiece, "LEN:", 4) == 0 && (gPiece[4] == ' ' || gPiece[4] == '\t')) {
      *length = ParseLength(gPiece + 5);
      lengthSeen = true;
    }
    if (!SplitHeaderLine(gPiece, &gName, &gValue)) {
      unsigned long long at = static_cast<unsigned long long>(OfsStart);
      if (log != nullptr && !IsConsole(log))
        fprintf(log, "fehlerhafte Headerzeile: <%s> at %llX\n", gPiece, at);
      fputs("fehlerhafte Headerzeile: <", stderr);
      WriteSafeText(stderr, gPiece, strlen(gPiece));
      fprintf(stderr, "> at %llX\n", at);
      continue;
    }
    if (gPiece[count - 1] != '\n') {
      // The physical line goes on beyond the piece. Where a piece ends must
      // not change the value (a rewritten line breaks elsewhere): the CRs
      // taken from the piece's end come back, and only the line's end loses
      // its CRs.
      const char* valueStart = gPiece + gName.Size() + 1;
      if (*valueStart == ' ' || *valueStart == '\t') ++valueStart;
      int32_t full = static_cast<int32_t>(strlen(valueStart));
      if (full > gValue.Size()) gValue.Append(valueStart + gValue.Size(), full - gValue.Size());
      // A colon that ends the piece leaves its separator to the rest.
      bool separatorNext = gName.Size() + 1 == count;
      int c;
      while ((c = getc(in)) != EOF && c != '\n') {
        char byte = static_cast<char>(c);
        if (separatorNext) {
          separatorNext = false;
          if (byte == ' ' || byte == '\t') {
            if (position >= 0) ++position;
            continue;
          }
        }
        if (byte != '\0' && !gValue.Append(&byte, 1)) break;
        if (position >= 0) ++position;
      }
      if (c == '\n' && position >= 0) ++position;
      while (c == '\n' && gValue.Size() > 0 && gValue.Data[gValue.Size() - 1] == '\r') {
        gValue.Data[gValue.Size() - 1] = '\0';
        --gValue.Length;
      }
    }
    if (ferror(in)) break;
    cHeaderLine* record = Headers.pool.NewHeaderLine();
    if (record == nullptr) continue;
    if (!record->Name.AssignBytes(gName.Text(), gName.Size()) ||
        !record->Value.AssignBytes(gValue.Text(), gValue.Size()) ||
        !Headers.Append(record)) {
      Headers.pool.Release(record);
    }
  }
  if (ferror(in)) {
    ToLog(log, "Fehler beim Einlesen eines Headers\n");
    return 1;
  }
  if (feof(in)) {
    // A message cut off inside its header block would vanish from the
    // filtered buffer without a word; stray bytes that hold no header line
    // (a DOS end-of-file mark) have been reported and end the buffer.
    if (Headers.Count() == 0) return 2;
    ToLog(log, "Unvollstaendige Nachricht am Ende des Puffers\n");
    return 1;
  }
  if (lengthSeen) return 0;
  ToLog(log, "Keine Laengenangabe im Header\n");
  return -3;
}

int cXPMsg::ReadBody(FILE* in, FILE* log, int64_t length) {
  uint64_t n = length < 0 ? static_cast<uint32_t>(length) : static_cast<uint64_t>(length);
  if (n == 0) {
    Body.Clear();
    return 0;
  }
  uint64_t want = n < static_cast<uint64_t>(kMaxBody) ? n : static_cast<uint64_t>(kMaxBody);
  uint64_t got = 0;
  if (Body.Data != nullptr && static_cast<uint64_t>(Body.Capacity) >= want + 1) {
    got = fread(Body.Data, 1, want, in);
  } else {
    // A claimed length alone never decides how much memory is taken: large
    // bodies grow their buffer as their bytes are read.
    int64_t size = want < static_cast<uint64_t>(kDirectBody) ? static_cast<int64_t>(want) + 1
                                                             : kDirectBody;
    free(Body.Data);
    Body.Data = nullptr;
    Body.Capacity = 0;
    Body.Length = 1;
    while (true) {
      char* block = static_cast<char*>(realloc(Body.Data, static_cast<size_t>(size)));
      if (block == nullptr) {
        if (log != nullptr)
          fprintf(log, "Kein Speicher fuer einen Nachrichtenkoerper von %llu Bytes\n",
                  static_cast<unsigned long long>(n));
        if (Body.Data == nullptr) Body.Data = static_cast<char*>(calloc(1, 1));
        Body.Length = 1;
        return 1;
      }
      Body.Data = block;
      Body.Capacity = static_cast<int32_t>(size);
      uint64_t room = static_cast<uint64_t>(size) - 1;
      if (room > want) room = want;
      size_t read = fread(Body.Data + got, 1, room - got, in);
      got += read;
      if (got < room || got == want) break;
      size = size * 2;
      if (static_cast<uint64_t>(size) > want + 1) size = static_cast<int64_t>(want) + 1;
    }
  }
  Body.Data[got] = '\0';
  Body.Length = static_cast<int32_t>(got + 1);
  if (readPos_ >= 0) readPos_ += static_cast<int64_t>(got);
  if (got == n) return 0;
  if (got == want && !feof(in) && getc(in) != EOF) {
    if (log != nullptr)
      fprintf(log, "Nachrichtenkoerper zu gross: %llu Bytes\n",
              static_cast<unsigned long long>(n));
    return 1;
  }
  if (log != nullptr) {
    fputs("Nachrichtenkoerper konnte nicht komplett gelesen werden\n", log);
    fprintf(log, "Laenge soll sein %llu, gelesen wurden %llu Bytes\n",
            static_cast<unsigned long long>(n), static_cast<unsigned long long>(got));
    if (!IsConsole(log)) {
      fprintf(log, "gelesen wurde|%s|\n", Body.Data);
    } else {
      size_t text = strlen(Body.Data);
      fputs("gelesen wurde|", log);
      WriteSafeText(log, Body.Data, text < kConsoleBytes ? text : kConsoleBytes);
      if (text > kConsoleBytes) fprintf(log, "... (%llu Bytes)", static_cast<unsigned long long>(got));
      fputs("|\n", log);
    }
  }
  return 1;
}
