// One message of a buffer, and its reading from and writing to buffer files.
//
// Buffer format: header lines "Name: value" CR LF, an empty line, then
// exactly LEN body bytes; the next message follows directly.
//
// Results: 0 success, 1 failure, and for ReadMsg 2 at the end of the buffer.
// Each operation writes its own error lines to the error or log stream it is
// given; a null log stream drops the lines meant for it.
#ifndef KIVEX_BUFFER_XP_MSG_H_
#define KIVEX_BUFFER_XP_MSG_H_

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "buffer/block_reader.h"
#include "buffer/block_writer.h"
#include "buffer/cstring.h"
#include "buffer/header_list.h"

// Bodies up to this size are held in `Body`; a longer one stays in the
// input until the message is written (or skipped), so memory stays flat.
const uint64_t kHeldBody = 1 << 16;

// A header line (its line end counted), the header lines of one message
// (the empty line behind them not counted) and their number stay within
// these: no real mail comes near them, and whatever a file holds, reading it
// takes bounded memory. A message beyond them is a damaged buffer. They hold
// for the lines as read and as they would be written back, so that every
// buffer Kivex writes is one it reads.
const uint64_t kMaxHeaderLine = 1 << 20;
const uint64_t kMaxHeaderBlock = 4 << 20;
const int32_t kMaxHeaderLines = 20000;

class cXPMsg {
 public:
  cXPMsg() : OfsStart(-1), OfsEnde(-1), HeaderCursor(0) {}
  ~cXPMsg();
  cXPMsg(const cXPMsg&) = delete;
  cXPMsg& operator=(const cXPMsg&) = delete;

  // Reads the next message of `in` (opened "rb", positioned at a message).
  // 0 = a message was read; 1 = error (reported to `log`); 2 = end of buffer,
  // also where a changed input ended it (InputChanged).
  // A body longer than kHeldBody is not read but left pending (BodyPending);
  // a regular file's size tells at once whether all of it is there.
  // REQUIRES: between two calls with the same stream nothing else reads it.
  int ReadMsg(FILE* in, FILE* log);
  // 0 = header block and a length read; 1 = read error, or the end of the
  // file after a header line (a cut-off message); 2 = end of file before
  // any header line; -3 = header block without a length. *length is -1 until a LEN line.
  int ReadHeaders(FILE* in, FILE* log, int64_t* length);
  // Takes `length` body bytes (a negative length is taken as an unsigned
  // 32-bit number): held up to kHeldBody, else pending. 0, or 1 after a
  // report to `log` when the input is shorter.
  int ReadBody(FILE* in, FILE* log, int64_t length);

  // Writes the message at the output's position: header lines, CR LF, body.
  // A pending body is copied from the input; should the input end inside it
  // (input that cannot tell its size), the output is cut back to where the
  // message began, the reader's report goes to the log stream of ReadMsg,
  // BodyShort is set and the result is 1.
  int WriteRawMsg(cBlockWriter& out, FILE* err);
  int WriteRawBody(cBlockWriter& out, FILE* err);
  // Makes the header records of a message read without them (one without
  // an X-Face line whose every line goes out as read), while its lines are
  // still in the read block. False when they no longer are, or after a
  // report to the log stream of ReadMsg when memory ran out.
  bool LoadHeaders();
  // Takes a pending body into Body, so that it can be looked at. False
  // after the report (to the log stream of ReadMsg) that memory ran out or
  // that the input ended inside it.
  // REQUIRES: BodyPending <= kHeldBody.
  bool HoldBody();
  // Appends a header line. 1 when memory runs out (nothing appended).
  int AddHeader(const char* name, const char* value);
  // Appends LEN with the body's length. 1 when memory runs out.
  int AddLenHeader();
  // Replaces the body by `size` - 1 bytes (`size` bytes are read). 1 when
  // memory runs out.
  int SetMsgBodyRaw(const char* bytes, int32_t size);
  void MsgDump(FILE* stream);

  cHeaders Headers;
  cString Body;       // body bytes + NUL; empty while the body is pending
  int64_t OfsStart;   // input offset of the last message read, -1 unknown
  int64_t OfsEnde;    // just behind its body
  int32_t HeaderCursor;
  uint64_t BodyPending = 0;  // body bytes still in the input
  bool BodyShort = false;    // the input ended inside a pending body (reported)
  // The input turned out to change while it was read: reading ended as at
  // the end of the buffer, without a report, and nothing of the message
  // being read went out. The caller has the change reported.
  bool InputChanged() const { return reader_ != nullptr && reader_->Changed(); }
  bool NoMemory = false;     // LoadHeaders failed for want of memory (reported)
  // The last read found the buffer damaged at OfsStart (reported): no
  // length, limits passed, a body or a message cut short.
  bool Damaged = false;

 private:
  // What TakeLine made of a line.
  enum { kLineAsWritten, kLineChanged, kLineNoMemory, kLineBad };
  // Takes a whole header line lying in the read block (LF included, no
  // NUL): records it, or notes its length. kLineBad (nothing taken) when it
  // holds no name; kLineNoMemory when no record could be made;
  // kLineAsWritten when the writer would give back its very bytes.
  int TakeLine(const char* line, size_t size, int64_t* length, bool* lengthSeen);
  // The header block is refused: reports `text` (one number and an offset
  // in it) to `log` and returns 1.
  int Refuse(FILE* log, const char* text, unsigned long long limit, int64_t at);
  // Takes a header block that lies whole in the read block, with a length,
  // no X-Face line and every line as the writer would write it, without
  // making records. False, nothing consumed, for any other block.
  bool PassHeaders(int64_t* length);
  // Consumes a body nobody wrote. False after the report of a short body.
  bool SkipPendingBody();
  // Reads `n` body bytes into Body. 0, or 1 after the report.
  int TakeBody(FILE* log, uint64_t n);
  void ReportShortBody(uint64_t length, uint64_t got, const char* bytes, size_t held);

  cBlockReader* reader_ = nullptr;  // made at the first read
  FILE* log_ = nullptr;             // the log stream of the last ReadMsg
  uint64_t bodyLength_ = 0;         // LEN of the message read last
  int64_t messageStart_ = -1;       // output offset of the message being written
  // The header lines as read (the blank line not), while they still lie in
  // the read block and every one would be written back unchanged;
  // rawLines_ is the header count it stands for (-1: none).
  const char* rawHead_ = nullptr;
  size_t rawSize_ = 0;
  uint64_t rawGeneration_ = 0;
  int32_t rawLines_ = -1;
  bool recordsDeferred_ = false;  // Headers left empty for rawHead_'s lines
};

// Splits a header line at its first colon. False when there is none or it
// is the line's first byte. The value starts behind the colon and one blank
// or tab there, and loses every CR and LF at its end.
bool SplitHeaderLine(const char* line, cString* name, cString* value);

// Writes one header line into the message's header block; "X_C" and
// "X-XP-ARC" take no blank after the colon unless their value begins with a
// blank or tab (which would then be read as the separator), and neither
// does a "LEN:" line read without one. False when memory runs out.
bool WriteHeaderLine(cString& block, const cHeaderLine& record);
// True when WriteHeaderLine puts no blank after the record's colon.
bool HeaderTight(const cHeaderLine& record);
// The bytes WriteHeaderLine makes of the record, its CR LF counted.
uint64_t WrittenLineSize(const cHeaderLine& record);
// True when the lines, as written, stay within the header limits above.
bool WithinHeaderLimits(const cHeaders& headers);
// The same for a line's name, the first byte of its value ('\0' when
// empty) and whether it is a "LEN:" line read without a blank.
inline bool TightLine(const char* name, size_t size, char valueStart, bool lengthLine) {
  return lengthLine || (((size == 3 && memcmp(name, "X_C", 3) == 0) ||
                         (size == 8 && memcmp(name, "X-XP-ARC", 8) == 0)) &&
                        valueStart != ' ' && valueStart != '\t');
}

#endif  // KIVEX_BUFFER_XP_MSG_H_
