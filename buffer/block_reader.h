// Reads a buffer file in large blocks and hands out exactly what the
// message reader asks for: line pieces, the rest of a line, body bytes. It
// counts every byte it hands out, so no stream position is ever asked for:
// NUL bytes and input that cannot tell its position (a pipe) are exact.
#ifndef KIVEX_BUFFER_BLOCK_READER_H_
#define KIVEX_BUFFER_BLOCK_READER_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "buffer/cstring.h"

class cBlockWriter;

// One read from the file asks for this many bytes.
const size_t kReadBlock = 1 << 20;

class cBlockReader {
 public:
  cBlockReader();
  ~cBlockReader();
  cBlockReader(const cBlockReader&) = delete;
  cBlockReader& operator=(const cBlockReader&) = delete;

  // Starts reading `in` at its current position: a regular file's offset,
  // else counted from 0.
  void Bind(FILE* in);
  FILE* Stream() const { return in_; }

  // Copies a line piece: at most `max` bytes, up to and including the next
  // LF. Returns how many bytes came (NULs included); 0 at the end of the
  // file or after a read error. A NUL is put behind them.
  int ReadPiece(char* out, int max);
  // What RestOfLine found.
  enum { kRestEnded, kRestOpen, kRestLong, kRestNoMemory };
  // Appends the rest of the current line to `value`, leaving out NUL bytes;
  // its LF is consumed, not appended. Consumes at most `max` bytes, the LF
  // counted: kRestEnded when an LF ended the line within them, kRestOpen
  // when the file ended before, kRestLong when the line goes on beyond them,
  // kRestNoMemory when `value` could not grow. A null `value` skips the rest.
  int RestOfLine(cString* value, uint64_t max);
  // Points *bytes at up to `max` next bytes (at most what one block holds)
  // without copying and consumes them; returns how many (0 at the end of
  // the file or after an error).
  size_t Take(const char** bytes, uint64_t max);
  // Points *line at the next line when it ends, LF included, within `max`
  // bytes of the current block, and returns its size; 0 when it does not
  // (the caller then reads pieces). Consumes nothing.
  size_t PeekLine(const char** line, size_t max);
  // Points *bytes at the unread bytes of the block, refilling an empty
  // one, and returns how many; consumes nothing.
  size_t Peek(const char** bytes) {
    if (!Fill()) return 0;
    *bytes = block_ + begin_;
    return end_ - begin_;
  }
  // The unread bytes of the block, without refilling it.
  size_t Buffered() const { return end_ - begin_; }
  // Consumes `count` bytes that PeekLine or Peek showed.
  void Skip(size_t count) {
    begin_ += count;
    position_ += static_cast<int64_t>(count);
  }
  // Changes whenever the block is refilled: bytes seen earlier stay valid
  // while it is the same.
  uint64_t Generation() const { return fills_; }

  // `writer` has taken bytes of the current block: it is told before the
  // block is left, and before the blocks are read over or freed.
  void Lend(cBlockWriter* writer) { writer_ = writer; }
  // The writer goes away.
  void Forget(const cBlockWriter* writer) {
    if (writer_ == writer) writer_ = nullptr;
  }

  int64_t Position() const { return position_; }
  // The file offset of `bytes`, which lie in the current block.
  int64_t OffsetOf(const char* bytes) const {
    return position_ - static_cast<int64_t>(block_ + begin_ - bytes);
  }
  // Bytes left in a regular file from here on; -1 when the file cannot tell.
  int64_t Remaining() const { return size_ < 0 ? -1 : size_ - position_; }
  bool Failed() const { return failed_; }
  // The failure was that no memory for the blocks could be had.
  bool NoMemory() const { return noMemory_; }
  bool AtEnd() const { return atEnd_; }
  // A regular file is read up to its size at Bind, no further. Call where
  // the reading ended inside a message: true when that is because the file
  // has changed since (it ended early, or has grown), not because its last
  // message was cut off.
  bool EndedByChange();
  // The file was found changed: it ended early, or EndedByChange said so.
  bool Changed() const { return changed_; }

 private:
  // Refills an empty block. False when no byte came.
  bool Fill();

  FILE* in_;
  // Two blocks: the one left last may still be being written from.
  char* blocks_[2];
  char* block_;  // the current one
  size_t begin_, end_;  // the unread bytes of the block
  int64_t position_;    // file offset of block_[begin_]
  int64_t size_;        // the file's size when it is a regular file, else -1
  uint64_t fills_;
  cBlockWriter* writer_;  // may hold or still be writing bytes of either block
  bool atEnd_, failed_;
  bool changed_;  // the file ended before its size at Bind, or grew
  bool noMemory_ = false;
};

#endif  // KIVEX_BUFFER_BLOCK_READER_H_
