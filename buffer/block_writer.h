// Writes a buffer file in large blocks of our own. Bytes that still lie in
// a block reader's block are not copied: they are written from there,
// together with the bytes copied in between, in one call, before that
// block is read over.
#ifndef KIVEX_BUFFER_BLOCK_WRITER_H_
#define KIVEX_BUFFER_BLOCK_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/env.h"

class cBlockReader;

// Bytes copied before one write.
const size_t kWriteBlock = 1 << 18;

class cBlockWriter {
 public:
  // A capacity of 0 writes every Put at once (for tests).
  explicit cBlockWriter(size_t capacity = kWriteBlock);
  // Gives back bytes still borrowed, unwritten: call Flush first.
  ~cBlockWriter();
  cBlockWriter(const cBlockWriter&) = delete;
  cBlockWriter& operator=(const cBlockWriter&) = delete;

  // Writes to the file under `out` from its current position on. The
  // stream's own buffer stays unused.
  void Bind(FILE* out);
  FILE* Stream() const { return out_; }

  // Takes a copy of `count` bytes. False when a write failed, now or before.
  bool Put(const void* bytes, size_t count);
  // Takes `count` bytes that lie in `lender`'s block: they are written
  // before the block changes. False when a write failed, now or before.
  bool PutBorrowed(const char* bytes, size_t count, cBlockReader* lender);
  // Writes everything taken, before the lender's block changes.
  void Return() { Flush(); }
  // Writes everything taken. False when a write failed, now or before; the
  // failure then also fails the stream's close.
  bool Flush();
  // The errno of the first failed write; 0 while none failed.
  int Error() const { return error_; }
  // The file offset behind the last byte taken.
  int64_t Position() const { return written_ + static_cast<int64_t>(held_); }
  // Goes back to an earlier Position, dropping or cutting off what lies
  // behind it. 0 or errno.
  int CutBack(int64_t position);

 private:
  // Appends bytes to the pieces, joining them to the last one where they
  // follow it in memory. REQUIRES: a free piece.
  void Append(const char* bytes, size_t count);
  void Release();

  FILE* out_;
  char* buffer_;  // the copies
  size_t capacity_, used_;
  platform::IoPiece pieces_[platform::kMaxPieces];  // taken, in order
  int count_;
  size_t held_;            // bytes in the pieces
  cBlockReader* lender_;   // whose block the borrowed pieces lie in
  int64_t written_;        // file offset of the first byte held
  bool failed_;
  int error_;
};

#endif  // KIVEX_BUFFER_BLOCK_WRITER_H_
