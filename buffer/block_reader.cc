#include "buffer/block_reader.h"

#include <cstdlib>
#include <cstring>

#include "buffer/block_writer.h"
#include "platform/env.h"
#include "platform/fault.h"

cBlockReader::cBlockReader()
    : in_(nullptr), blocks_{nullptr, nullptr}, block_(nullptr), begin_(0), end_(0), position_(0),
      size_(-1), fills_(0), writer_(nullptr), atEnd_(false), failed_(false),
      changed_(false) {}

cBlockReader::~cBlockReader() {
  if (writer_ != nullptr) writer_->Drop(this);
  platform::FreeBlock(blocks_[0]);
  platform::FreeBlock(blocks_[1]);
}

void cBlockReader::Bind(FILE* in) {
  in_ = in;
  begin_ = end_ = 0;
  position_ = 0;
  atEnd_ = failed_ = changed_ = false;
  size_ = platform::RegularFileSize(in);
  if (size_ >= 0) {
    // A file may be handed over anywhere; asked once, then counted.
    position_ = platform::Tell(in);
    if (position_ < 0) {
      position_ = 0;
      size_ = -1;
    }
  }
}

bool cBlockReader::Fill() {
  if (begin_ < end_) return true;
  if (atEnd_ || failed_ || in_ == nullptr) return false;
  platform::AtStep("read");
  // What was appended since is not read: the run's result is exactly the
  // file it found, which the check before the rewrite compares.
  size_t want = kReadBlock;
  if (size_ >= 0 && size_ - position_ < static_cast<int64_t>(want)) {
    want = size_ > position_ ? static_cast<size_t>(size_ - position_) : 0;
    if (want == 0) {
      atEnd_ = true;
      return false;
    }
  }
  if (writer_ != nullptr) writer_->Leave(this);
  // The other block: the write of this one may still be running.
  char*& next = blocks_[block_ == blocks_[0] ? 1 : 0];
  // Both at the first fill: memory that runs out later would pass for a
  // file that ends early.
  for (char*& block : blocks_)
    if (block == nullptr) block = static_cast<char*>(platform::AllocBlock(kReadBlock));
  if (blocks_[0] == nullptr || blocks_[1] == nullptr) {
    failed_ = noMemory_ = true;
    return false;
  }
  block_ = next;
  begin_ = 0;
  ++fills_;
  end_ = fread(block_, 1, want, in_);
  // A file that ends before its size at the start has been cut meanwhile.
  if (end_ < want && size_ >= 0 && !ferror(in_)) atEnd_ = changed_ = true;
  if (end_ > 0) return true;
  if (ferror(in_)) failed_ = true;
  else atEnd_ = true;
  return false;
}

bool cBlockReader::EndedByChange() {
  if (!changed_ && size_ >= 0 && platform::RegularFileSize(in_) != size_) changed_ = true;
  return changed_;
}

int cBlockReader::ReadPiece(char* out, int max) {
  int count = 0;
  while (count < max && Fill()) {
    size_t want = static_cast<size_t>(max - count);
    size_t have = end_ - begin_;
    if (have > want) have = want;
    const char* start = block_ + begin_;
    const char* lf = static_cast<const char*>(memchr(start, '\n', have));
    size_t take = lf != nullptr ? static_cast<size_t>(lf - start) + 1 : have;
    memcpy(out + count, start, take);
    count += static_cast<int>(take);
    begin_ += take;
    position_ += static_cast<int64_t>(take);
    if (lf != nullptr) break;
  }
  out[count] = '\0';
  return count;
}

int cBlockReader::RestOfLine(cString* value, uint64_t max) {
  while (Fill()) {
    const char* start = block_ + begin_;
    size_t have = end_ - begin_;
    if (max == 0) return kRestLong;  // a byte beyond the limit
    if (have > max) have = static_cast<size_t>(max);
    const char* lf = static_cast<const char*>(memchr(start, '\n', have));
    size_t take = lf != nullptr ? static_cast<size_t>(lf - start) : have;
    // NUL bytes are left out: append the runs between them.
    for (size_t i = 0; value != nullptr && i < take;) {
      const char* nul = static_cast<const char*>(memchr(start + i, '\0', take - i));
      size_t run = (nul != nullptr ? static_cast<size_t>(nul - start) : take) - i;
      if (run > 0 && !value->Append(start + i, static_cast<int32_t>(run))) return kRestNoMemory;
      i += run + 1;
    }
    size_t used = lf != nullptr ? take + 1 : take;
    begin_ += used;
    position_ += static_cast<int64_t>(used);
    max -= used;
    if (lf != nullptr) return kRestEnded;
  }
  return kRestOpen;
}

size_t cBlockReader::PeekLine(const char** line, size_t max) {
  if (!Fill()) return 0;
  size_t have = end_ - begin_;
  const char* start = block_ + begin_;
  const char* lf = static_cast<const char*>(memchr(start, '\n', have < max ? have : max));
  if (lf == nullptr) return 0;
  *line = start;
  return static_cast<size_t>(lf - start) + 1;
}

size_t cBlockReader::Take(const char** bytes, uint64_t max) {
  if (!Fill()) return 0;
  size_t have = end_ - begin_;
  if (have > max) have = static_cast<size_t>(max);
  *bytes = block_ + begin_;
  begin_ += have;
  position_ += static_cast<int64_t>(have);
  return have;
}
