#include "buffer/cstring.h"

#include <cstdlib>
#include <cstring>

#include "platform/env.h"

cString::cString() : Data(static_cast<char*>(platform::Allocate(1))), Length(1), Capacity(0) {
  if (Data != nullptr) Data[0] = '\0';
}

cString::cString(int reserve)
    : Data(static_cast<char*>(platform::Allocate(reserve > 0 ? reserve : 1))),
      Length(1),
      Capacity(reserve > 0 ? reserve - 1 : 0) {
  if (Data != nullptr) Data[0] = '\0';
}

cString::~cString() { free(Data); }

bool cString::Assign(const char* text) {
  size_t size = strlen(text);
  if (size > INT32_MAX - 2) return false;
  return AssignBytes(text, static_cast<int32_t>(size));
}

bool cString::AssignBytes(const char* bytes, int32_t count) {
  int32_t need = count + 1;
  if (Data == nullptr || Capacity < need) {
    // Allocate before releasing, so that a failure leaves the old text.
    char* block = static_cast<char*>(platform::Allocate(need));
    if (block == nullptr) return false;
    if (count > 0) memcpy(block, bytes, count);
    free(Data);
    Data = block;
    Capacity = need;
  } else if (count > 0) {
    memmove(Data, bytes, count);
  }
  Data[count] = '\0';
  Length = need;
  return true;
}

bool cString::Resize(int32_t n) {
  if (Data == nullptr || Capacity < n) {
    free(Data);
    Data = static_cast<char*>(platform::Allocate(n > 0 ? n : 1));
    if (Data == nullptr) return false;
    Capacity = n;
  }
  Length = n;
  return true;
}

bool cString::AppendGrowing(const char* bytes, int32_t count) {
  int32_t size = Size();
  if (count > INT32_MAX - 2 - size) return false;
  int32_t need = size + count + 1;
  if (Data == nullptr || Capacity < need) {
    int64_t grown = static_cast<int64_t>(Capacity) * 2;
    if (grown < need) grown = need;
    if (grown > INT32_MAX) grown = INT32_MAX;
    char* block = static_cast<char*>(platform::Reallocate(Data, static_cast<size_t>(grown)));
    if (block == nullptr) return false;
    if (Data == nullptr) size = 0;
    Data = block;
    Capacity = static_cast<int32_t>(grown);
  }
  memcpy(Data + size, bytes, count);
  Data[size + count] = '\0';
  Length = size + count + 1;
  return true;
}

void cString::ShrinkTo(int32_t size) {
  if (Data == nullptr || Capacity <= size || size < 1) return;
  // Not through the test seam: a smaller block never fails in practice, and
  // where it does the larger one simply stays.
  char* block = static_cast<char*>(realloc(Data, static_cast<size_t>(size)));
  if (block == nullptr) return;
  Data = block;
  Data[0] = '\0';
  Length = 1;
  Capacity = size - 1;
}

void cString::Clear() {
  if (Data != nullptr) Data[0] = '\0';
  Length = 1;
}

bool EqualsIgnoreCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    char ca = (*a >= 'a' && *a <= 'z') ? static_cast<char>(*a - 32) : *a;
    char cb = (*b >= 'a' && *b <= 'z') ? static_cast<char>(*b - 32) : *b;
    if (ca != cb) return false;
  }
  return *a == *b;
}
