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
    T** grown = static_cast<T**>(realloc(items_, sizeof(T*) * static_cast<size_t>(n)));
    if (grown == nullptr) return false;
    items_ = grown;
    capacity_ = n;
    return true;
  }
  bool Append(T* item) {
    if (count_ == capacity_ && !Reserve(capacity_ == 0 ? 1 : capacity_ * 2)) return false;
    items_[count_++] = item;
    return true;
  }
  void RemoveAll() { count_ = 0; }
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
      : Name(nameSize), Value(valueSize), slot(-1), tight(false) {}
  cString Name;   // the bytes before the line's first colon
  cString Value;  // the rest of the line behind the separator, line end removed
  int32_t slot;   // index of its slot in the owning pool, so release needs no search
  // Written back without a blank after the colon: a "LEN:" line that gave no
  // length would give one with it.
  bool tight;
};

struct HeaderSlot {
  uint8_t free;  // 1 = may be handed out
  cHeaderLine* record;
};

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
  // A free record, now marked in use; null (after a line on standard output)
  // when none is free and the pool cannot grow.
  cHeaderLine* NewHeaderLine();
  // Marks the record free again; a record of another pool is ignored.
  void Release(cHeaderLine* record);

  int32_t SlotCount() const { return slots.Count(); }
  bool SlotFree(int32_t i) const { return slots[i]->free != 0; }

  cPtrArray<HeaderSlot> slots;
  int32_t searchPos;

 private:
  cHeaderLine* TakeFirstFree();
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
