// Remembers decoded faces: in real buffers a few senders write most of the
// messages, so the same X-Face value comes again and again.
#ifndef KIVEX_FACE_FACE_CACHE_H_
#define KIVEX_FACE_FACE_CACHE_H_

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "buffer/cstring.h"
#include "face/xface.h"

class cFaceCache {
 public:
  // Keeps the most recently used values within `budget` bytes.
  explicit cFaceCache(size_t budget = 4 << 20);
  cFaceCache(const cFaceCache&) = delete;
  cFaceCache& operator=(const cFaceCache&) = delete;

  // Does what DecodeFace does. A value byte-identical to one decoded before
  // gets the same image, or the same failure report, without decoding it
  // again.
  // False after the report; then OutOfMemory tells whether memory ran out,
  // which ends the run (a face passed over would be lost without a word).
  bool Decode(const cString& value, cString& oBMP);
  bool OutOfMemory() const { return outOfMemory_; }

  size_t Bytes() const { return bytes_; }
  size_t Decompressed() const { return decompressed_; }

 private:
  struct Entry {
    std::string value;
    FaceFailure failure;
    int rc;
    FaceBitmap bitmap;
  };
  static size_t Cost(const Entry& entry) { return entry.value.size() + sizeof(Entry) + 64; }
  void Remember(std::string_view value, FaceFailure failure, int rc, const FaceBitmap& bitmap);

  size_t budget_;
  size_t bytes_ = 0;
  size_t decompressed_ = 0;
  bool outOfMemory_ = false;
  std::list<Entry> lru_;  // most recently used first
  std::unordered_map<std::string_view, std::list<Entry>::iterator> index_;
};

#endif  // KIVEX_FACE_FACE_CACHE_H_
