#include "buffer/block_writer.h"

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "buffer/block_reader.h"

cBlockWriter::cBlockWriter(size_t capacity)
    : out_(nullptr), buffer_(nullptr), capacity_(capacity), used_(0), count_(0), held_(0),
      lender_(nullptr), written_(0), failed_(false), error_(0) {}

cBlockWriter::~cBlockWriter() {
  Release();
  free(buffer_);
}

void cBlockWriter::Bind(FILE* out) {
  Release();
  out_ = out;
  failed_ = false;
  error_ = 0;
  int64_t at = out != nullptr ? platform::Tell(out) : -1;
  written_ = at < 0 ? 0 : at;
}

void cBlockWriter::Release() {
  if (lender_ != nullptr) lender_->Lend(nullptr);
  lender_ = nullptr;
  count_ = 0;
  held_ = 0;
  used_ = 0;
}

bool cBlockWriter::Flush() {
  if (count_ > 0 && !failed_) {
    size_t done = platform::WriteDirect(pieces_, count_, out_);
    written_ += static_cast<int64_t>(done);
    if (done != held_) {
      failed_ = true;
      error_ = errno != 0 ? errno : EIO;
    }
  }
  Release();
  return !failed_;
}

void cBlockWriter::Append(const char* bytes, size_t count) {
  if (count_ > 0 && pieces_[count_ - 1].bytes + pieces_[count_ - 1].size == bytes) {
    pieces_[count_ - 1].size += count;
  } else {
    assert(count_ < platform::kMaxPieces);
    pieces_[count_++] = {bytes, count};
  }
  held_ += count;
}

bool cBlockWriter::Put(const void* bytes, size_t count) {
  if (failed_) return false;
  const char* from = static_cast<const char*>(bytes);
  if (buffer_ == nullptr && capacity_ > 0) buffer_ = static_cast<char*>(malloc(capacity_));
  if (buffer_ == nullptr) {
    // No room for copies: what is held goes first, then these bytes.
    if (!Flush() || count == 0) return !failed_;
    platform::IoPiece piece = {from, count};
    size_t done = platform::WriteDirect(&piece, 1, out_);
    written_ += static_cast<int64_t>(done);
    if (done == count) return true;
    failed_ = true;
    error_ = errno != 0 ? errno : EIO;
    return false;
  }
  while (count > 0) {
    if ((used_ == capacity_ || count_ == platform::kMaxPieces) && !Flush()) return false;
    size_t take = capacity_ - used_ < count ? capacity_ - used_ : count;
    memcpy(buffer_ + used_, from, take);
    Append(buffer_ + used_, take);
    used_ += take;
    from += take;
    count -= take;
  }
  return true;
}

bool cBlockWriter::PutBorrowed(const char* bytes, size_t count, cBlockReader* lender) {
  if (failed_) return false;
  if (count == 0) return true;
  if (((lender_ != nullptr && lender != lender_) || count_ == platform::kMaxPieces) && !Flush())
    return false;
  Append(bytes, count);
  lender_ = lender;
  lender->Lend(this);
  return true;
}

int cBlockWriter::CutBack(int64_t position) {
  if (position >= written_) {
    size_t keep = static_cast<size_t>(position - written_);
    for (int i = 0; i < count_; ++i) {
      if (keep <= pieces_[i].size) {
        pieces_[i].size = keep;
        count_ = i + 1;
        break;
      }
      keep -= pieces_[i].size;
    }
    held_ = static_cast<size_t>(position - written_);
    return 0;
  }
  Release();
  int err = platform::TruncateTo(out_, position);
  if (err == 0) written_ = position;
  return err;
}
