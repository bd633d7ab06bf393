#include "face/face_cache.h"

#include <new>

cFaceCache::cFaceCache(size_t budget) : budget_(budget) {}

bool cFaceCache::Decode(const cString& value, cString& oBMP) {
  std::string_view key(value.Text(), static_cast<size_t>(value.Size()));
  FaceFailure failure;
  int rc;
  FaceBitmap bitmap;
  auto found = index_.find(key);
  if (found != index_.end()) {
    lru_.splice(lru_.begin(), lru_, found->second);
    failure = found->second->failure;
    rc = found->second->rc;
    bitmap = found->second->bitmap;
  } else {
    failure = DecompressFace(value.Text(), bitmap, &rc);
    ++decompressed_;
    // Running out of memory says nothing about the value: try it again later.
    if (failure != kFaceNoMemory) Remember(key, failure, rc, bitmap);
  }
  outOfMemory_ = failure == kFaceNoMemory;
  if (failure != kFaceDecoded) {
    ReportFaceFailure(failure, rc);
    return false;
  }
  outOfMemory_ = !MakeFaceImage(bitmap, oBMP);
  return !outOfMemory_;
}

void cFaceCache::Remember(std::string_view value, FaceFailure failure, int rc,
                          const FaceBitmap& bitmap) {
  try {
    lru_.push_front(Entry{std::string(value), failure, rc, bitmap});
    index_.emplace(lru_.front().value, lru_.begin());
    bytes_ += Cost(lru_.front());
    while (bytes_ > budget_ && lru_.size() > 1) {
      bytes_ -= Cost(lru_.back());
      index_.erase(lru_.back().value);
      lru_.pop_back();
    }
  } catch (const std::bad_alloc&) {
    // Without memory for it the face is simply not remembered.
    if (!lru_.empty() && index_.find(lru_.front().value) == index_.end()) lru_.pop_front();
  }
}
