#include "buffer/block_writer.h"

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "buffer/block_reader.h"

namespace {

void RunWriteJob(void* state) {
  cWriteJob* job = static_cast<cWriteJob*>(state);
  errno = 0;
  job->done = platform::WriteDirect(job->pieces, job->count, job->out);
  job->err = job->done == job->size ? 0 : errno != 0 ? errno : EIO;
  if (job->push) platform::StartWriteback(job->out, job->at, static_cast<int64_t>(job->done));
}

}  // namespace

cBlockWriter::cBlockWriter(size_t capacity)
    : out_(nullptr), same_(nullptr), skew_(0), firstChange_(-1), buffers_{nullptr, nullptr},
      current_(0), capacity_(capacity), used_(0),
      count_(0), held_(0), lender_(nullptr), lastLender_(nullptr), job_(), inHand_(false),
      handed_(0), failed_(false), error_(0) {}

cBlockWriter::~cBlockWriter() {
  Collect();
  Release();
  if (lastLender_ != nullptr) lastLender_->Forget(this);
  platform::FreeBlock(buffers_[0]);
  platform::FreeBlock(buffers_[1]);
}

void cBlockWriter::Bind(FILE* out) {
  Collect();
  Release();
  if (lastLender_ != nullptr) lastLender_->Forget(this);
  lastLender_ = nullptr;
  out_ = out;
  same_ = nullptr;
  skew_ = 0;
  firstChange_ = -1;
  failed_ = false;
  error_ = 0;
  int64_t at = out != nullptr ? platform::Tell(out) : -1;
  handed_ = at < 0 ? 0 : at;
}

void cBlockWriter::Release() {
  lender_ = nullptr;
  count_ = 0;
  held_ = 0;
  used_ = 0;
}

void cBlockWriter::Collect() {
  if (!inHand_) return;
  if (capacity_ > 0) worker_.Wait();
  inHand_ = false;
  if (job_.done != job_.size && !failed_) {
    failed_ = true;
    error_ = job_.err;
  }
}

void cBlockWriter::HandOver() {
  if (count_ > 0) {
    Collect();  // and with it the block and the copies that write read
    if (!failed_) {
      job_.out = out_;
      memcpy(job_.pieces, pieces_, sizeof pieces_[0] * static_cast<size_t>(count_));
      job_.count = count_;
      job_.size = held_;
      job_.at = handed_;
      // A journal must reach the disk before the buffer is touched: its
      // blocks go there while the rest is read, so that its sync is short.
      job_.push = firstChange_ >= 0;
      handed_ += static_cast<int64_t>(held_);
      inHand_ = true;
      if (capacity_ > 0) worker_.Post(RunWriteJob, &job_);
      else RunWriteJob(&job_);
      current_ ^= 1;  // the copies in hand stay untouched
    }
  }
  Release();
  if (capacity_ == 0) Collect();
}

void cBlockWriter::Leave(const cBlockReader* lender) {
  if (lender_ == lender) HandOver();  // after the write before it, which read the other block
  else Collect();
}

void cBlockWriter::Drop(const cBlockReader* lender) {
  if (lender_ == lender) HandOver();
  Collect();
  if (lastLender_ == lender) lastLender_ = nullptr;
}

bool cBlockWriter::Flush() {
  HandOver();
  Collect();
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

void cBlockWriter::SkipSame(FILE* input) {
  same_ = input;
  skew_ = -Position();
  firstChange_ = -1;
}

size_t cBlockWriter::SkipEqual(const char* bytes, size_t count) {
  // Large pieces: each read is a system call (under Wine a slow one).
  static char theirs[1 << 16];
  size_t skipped = 0;
  while (same_ != nullptr && skipped < count) {
    size_t want = count - skipped < sizeof theirs ? count - skipped : sizeof theirs;
    int64_t got = platform::ReadAt(same_, Position(), theirs, want);
    size_t equal = 0;
    while (got > 0 && equal < static_cast<size_t>(got) && theirs[equal] == bytes[skipped + equal])
      ++equal;
    skipped += equal;
    skew_ += static_cast<int64_t>(equal);
    if (equal < want) {
      // The first change: from here on everything is written.
      same_ = nullptr;
      firstChange_ = Position();
    }
  }
  return skipped;
}

bool cBlockWriter::Put(const void* bytes, size_t count) {
  const char* from = static_cast<const char*>(bytes);
  if (same_ != nullptr) {
    size_t skipped = SkipEqual(from, count);
    from += skipped;
    count -= skipped;
  }
  while (count > 0 && !failed_) {
    if (used_ == capacity_ || count_ == platform::kMaxPieces) HandOver();
    char*& buffer = buffers_[current_];
    if (buffer == nullptr && capacity_ > 0)
      buffer = static_cast<char*>(platform::AllocBlock(capacity_));
    if (buffer == nullptr) {
      // No room for copies: what is held goes first, then these bytes, at once.
      if (!Flush()) break;
      pieces_[0] = {from, count};
      count_ = 1;
      held_ = count;
      Flush();
      break;
    }
    size_t take = capacity_ - used_ < count ? capacity_ - used_ : count;
    memcpy(buffer + used_, from, take);
    Append(buffer + used_, take);
    used_ += take;
    from += take;
    count -= take;
  }
  return !failed_;
}

bool cBlockWriter::PutBorrowed(const char* bytes, size_t count, cBlockReader* lender) {
  if (failed_) return false;
  if (count == 0) return true;
  if (same_ != nullptr) {
    // Bytes of the input at their own place need no comparison.
    if (lender->OffsetOf(bytes) == Position()) {
      skew_ += static_cast<int64_t>(count);
      return true;
    }
    size_t skipped = SkipEqual(bytes, count);
    bytes += skipped;
    count -= skipped;
    if (count == 0) return true;
  }
  if ((lender_ != nullptr && lender != lender_) || count_ == platform::kMaxPieces) HandOver();
  if (lastLender_ != nullptr && lastLender_ != lender) {
    Collect();
    lastLender_->Forget(this);
  }
  if (failed_) return false;
  Append(bytes, count);
  lender_ = lastLender_ = lender;
  lender->Lend(this);
  return true;
}

int cBlockWriter::CutBack(int64_t position) {
  if (firstChange_ < 0 && same_ != nullptr) {
    skew_ -= Position() - position;
    return 0;
  }
  position -= skew_;
  if (position >= handed_) {
    size_t keep = static_cast<size_t>(position - handed_);
    for (int i = 0; i < count_; ++i) {
      if (keep <= pieces_[i].size) {
        pieces_[i].size = keep;
        count_ = i + 1;
        break;
      }
      keep -= pieces_[i].size;
    }
    held_ = static_cast<size_t>(position - handed_);
    return 0;
  }
  Collect();
  Release();
  int err = platform::TruncateTo(out_, position);
  if (err == 0) handed_ = position;
  return err;
}
