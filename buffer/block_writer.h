// Writes a buffer file in large blocks of our own. Bytes that still lie in
// a block reader's block are not copied: they are written from there,
// together with the bytes copied in between, in one call. That call runs in
// a second thread while the next block is read and looked at; the reader
// keeps two blocks, so the one being written is never read over.
#ifndef KIVEX_BUFFER_BLOCK_WRITER_H_
#define KIVEX_BUFFER_BLOCK_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/env.h"

class cBlockReader;

// Bytes copied before one write.
const size_t kWriteBlock = 1 << 20;

// One write handed to the second thread, and what came of it.
struct cWriteJob {
  FILE* out;
  platform::IoPiece pieces[platform::kMaxPieces];
  int count;
  size_t size;  // the pieces' bytes
  size_t done;  // of them written
  int err;      // errno when not all were
  int64_t at;   // the file offset of the first byte
  bool push;    // send the bytes on to the disk at once
};

class cBlockWriter {
 public:
  // A capacity of 0 writes every Put at once, in this thread (for tests).
  explicit cBlockWriter(size_t capacity = kWriteBlock);
  // Waits for the write in hand; drops what was never handed over: call
  // Flush first.
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
  // `lender` leaves its current block for its other one: what was taken
  // from the current one goes to the second thread, and a write still
  // reading the other one is waited for.
  void Leave(const cBlockReader* lender);
  // `lender` goes away: what was taken from it is written, and it is
  // forgotten.
  void Drop(const cBlockReader* lender);
  // Writes everything taken and waits for it. False when a write failed,
  // now or before; the failure then also fails the stream's close.
  bool Flush();
  // The errno of the first failed write; 0 while none failed.
  int Error() const { return error_; }
  // From here on, bytes that `input` holds at the same offset (counted from
  // its start) are compared, not written: an in-place run writes the bytes
  // from the first one that differs on, into its journal. Offsets then
  // count in the input.
  void SkipSame(FILE* input);
  // The offset of the first byte taken that differed; -1 while none has.
  int64_t FirstChange() const { return firstChange_; }
  // The file offset behind the last byte taken.
  int64_t Position() const { return handed_ + static_cast<int64_t>(held_) + skew_; }
  // Goes back to an earlier Position, dropping or cutting off what lies
  // behind it. 0 or errno.
  int CutBack(int64_t position);

 private:
  // Appends bytes to the pieces, joining them to the last one where they
  // follow it in memory. REQUIRES: a free piece.
  void Append(const char* bytes, size_t count);
  // Starts the write of the pieces, after the one before has ended.
  void HandOver();
  // Waits for the write in hand and takes its result.
  void Collect();
  void Release();
  // Skips as many of the bytes as `same_` holds at Position(), and stops
  // comparing at the first that differs. Returns how many were skipped.
  size_t SkipEqual(const char* bytes, size_t count);

  FILE* out_;
  FILE* same_;            // compared with until the first change; null after
  int64_t skew_;          // Position() less the output file's offset
  int64_t firstChange_;
  char* buffers_[2];  // the copies; one may be in hand while the other fills
  int current_;
  size_t capacity_, used_;
  platform::IoPiece pieces_[platform::kMaxPieces];  // taken, not handed over
  int count_;
  size_t held_;            // bytes in the pieces
  cBlockReader* lender_;      // whose block the borrowed pieces lie in
  cBlockReader* lastLender_;  // whose blocks a write may read (one reader at a time)
  cWriteJob job_;
  bool inHand_;            // job_ handed over and not collected
  platform::cWorker worker_;
  int64_t handed_;         // file offset behind the bytes handed over
  bool failed_;
  int error_;
};

#endif  // KIVEX_BUFFER_BLOCK_WRITER_H_
