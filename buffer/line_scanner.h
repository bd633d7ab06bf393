// Finds where header lines end and where their names end, in one pass over
// the bytes and several bytes a step: a line's end (its LF, or a NUL, which
// sends the line the slow way), and its first colon.
#ifndef KIVEX_BUFFER_LINE_SCANNER_H_
#define KIVEX_BUFFER_LINE_SCANNER_H_

#include <cstdint>

// The end of the line at p: its first LF or NUL before `end`, else end; and,
// when that lies before `end`, in *colon its first colon before it, else null.
const char* ScanLine(const char* p, const char* end, const char** colon);
// The same a machine word a step: what ScanLine does where SSE2 is missing.
const char* ScanLineByWords(const char* p, const char* end, const char** colon);

// The same for the lines of one block, one after the other: where the
// processor has SSE2 the block is read 64 bytes at a time into bit masks,
// so that finding a line's end costs no branch on its length.
class cLineScanner {
 public:
  // The bytes up to `end` may be read.
  explicit cLineScanner(const char* end) : end_(end), base_(nullptr), stops_(0), colons_(0) {}
  // As ScanLine(line, limit, colon). REQUIRES: limit <= end, and each
  // line behind the one before.
  const char* Scan(const char* line, const char* limit, const char** colon);

 private:
  // Masks of the 64 bytes from `base`; false when fewer are there.
  bool Load(const char* base);

  const char* end_;
  const char* base_;  // the byte that bit 0 of the masks stands for
  uint64_t stops_;    // LF or NUL
  uint64_t colons_;
};

#endif  // KIVEX_BUFFER_LINE_SCANNER_H_
