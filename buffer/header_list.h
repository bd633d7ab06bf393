// The ordered header lines of a message, and the pool that owns and recycles
// their records so that reading message after message into one cXPMsg
// allocates nothing once the pool and its text buffers have grown.
#ifndef KIVEX_BUFFER_HEADER_LIST_H_
#define KIVEX_BUFFER_HEADER_LIST_H_

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "buffer/cstring.h"
#include "platform/env.h"

// An array of pointers that doubles its capacity when full (from 1 when
// empty) and reports exhausted memory instead of throwing.
template <typename T>
class cPtrArray {
 public:
  cPtrArray() : items_(nullptr), count_(0), capacity_(0) {}
  ~cPtrArray() { free(items_); }
  cPtrArray(const cPtrArray&) = delete;
  cPtrArray& operator=(const cPtrArray&) = delete;

  bool Reserve(int32_t n) {
    if (n <= capacity_) return true;
    T** grown = static_cast<T**>(platform::Reallocate(items_, sizeof(T*) * static_cast<size_t>(n)));
    if (grown == nullptr) return false;
    items_ = grown;
    capacity_ = n;
    return true;
  }
  // Room for `n` items, growing by doubling at least.
  bool Room(int32_t n) { return n <= capacity_ || Reserve(n > 2 * capacity_ ? n : 2 * capacity_); }
  bool Append(T* item) {
    if (count_ == capacity_ && !Reserve(capacity_ == 0 ? 1 : capacity_ * 2)) return false;
    items_[count_++] = item;
    return true;
  }
  void RemoveAll() { count_ = 0; }
  // REQUIRES: Count() > 0.
  T* Pop() { return items_[--count_]; }
  int32_t Count() const { return count_; }
  int32_t Capacity() const { return capacity_; }
  T* operator[](int32_t i) const { return items_[i]; }

 private:
  T** items_;
  int32_t count_;
  int32_t capacity_;
};

class cHeaderLine {
 public:
  cHeaderLine(int nameSize, int valueSize)
      : Name(nameSize), Value(valueSize), slot(-1), free(1), tight(false) {}
  cString Name;   // the bytes before the line's first colon
  cString Value;  // the rest of the line behind the separator, line end removed
  int32_t slot;   // index of its slot in the owning pool, so release needs no search
  uint8_t free;   // 1 = in the pool, may be handed out
  // Written back without a blank after the colon: a "LEN:" line that gave no
  // length would give one with it.
  bool tight;
};

// The records are handed out from a stack of the free ones: taking and
// giving back cost the same however many records the pool holds (a header
// block of many thousand lines made a search through all of them quadratic).
class cHeaderPool {
 public:
  // Creates `count` free records with 50-byte names and 256-byte values.
  explicit cHeaderPool(int count);
  ~cHeaderPool();
  cHeaderPool(const cHeaderPool&) = delete;
  cHeaderPool& operator=(const cHeaderPool&) = delete;

  // Appends `count` free records with text buffers of the given sizes.
  // False when memory ran out (the records made until then stay).
  bool AddRecords(int count, int nameSize, int valueSize);
  // A free record, now marked in use; null when none is free and the pool
  // cannot grow (the caller reports it).
  cHeaderLine* NewHeaderLine();
  // Marks the record free again; a record of another pool is ignored. The
  // free records keep at most kKeptGrowth bytes of text blocks beyond their
  // first sizes; a record released beyond that gets blocks of those sizes.
  void Release(cHeaderLine* record);

  int32_t SlotCount() const { return slots.Count(); }
  bool SlotFree(int32_t i) const { return slots[i]->free != 0; }
  // Records looked at by NewHeaderLine and Release, for tests.
  uint64_t Visits() const { return visits_; }

  static const size_t kKeptGrowth = 4 << 20;

  cPtrArray<cHeaderLine> slots;  // every record, in creation order; owned

 private:
  // Block bytes of a record's texts beyond their first sizes.
  static size_t Growth(const cHeaderLine& record);

  cPtrArray<cHeaderLine> free_;  // room for every record, so Release never allocates
  size_t kept_ = 0;              // Growth of the free records
  uint64_t visits_ = 0;
};

class cHeaders {
 public:
  cHeaders();
  ~cHeaders();
  cHeaders(const cHeaders&) = delete;
  cHeaders& operator=(const cHeaders&) = delete;

  int32_t Count() const { return list.Count(); }
  cHeaderLine* At(int32_t i) const { return list[i]; }
  // REQUIRES: `record` comes from this list's pool.
  bool Append(cHeaderLine* record) { return list.Append(record); }
  // Takes a record from the pool, fills it and appends it. False when no
  // record could be had or a text could not be copied (nothing appended).
  bool Add(const char* name, const char* value);
  // Releases every listed record to the pool and empties the list.
  void Clear();
  void Dump(FILE* stream) const;

  cPtrArray<cHeaderLine> list;
  cHeaderPool pool;
};

#endif  // KIVEX_BUFFER_HEADER_LIST_H_
