// The program's growable byte string: names, header texts, message bodies
// and the face image. Plain fields, read directly by the owners.
#ifndef KIVEX_BUFFER_CSTRING_H_
#define KIVEX_BUFFER_CSTRING_H_

#include <cstdint>
#include <cstring>

class cString {
 public:
  // The empty text in a 1-byte block, capacity 0.
  cString();
  // The empty text in a `reserve`-byte block, capacity reserve - 1.
  explicit cString(int reserve);
  ~cString();
  cString(const cString&) = delete;
  cString& operator=(const cString&) = delete;

  // Copies a NUL-terminated text in. A block too small is replaced by one of
  // exactly the text's size; blocks never shrink. False when memory runs out
  // (the string is then unchanged).
  bool Assign(const char* text);
  // The same for `count` bytes that may hold NULs; a NUL is put behind them.
  bool AssignBytes(const char* bytes, int32_t count);
  // Makes the block exactly `n` bytes when the capacity is smaller (contents
  // not kept) and sets the length to n. On failure the string has no block.
  bool Resize(int32_t n);
  // Appends bytes, growing the block geometrically: for working buffers that
  // are filled piece by piece. False when memory runs out.
  bool Append(const char* bytes, int32_t count) {
    if (Data == nullptr || count > Capacity - Length) return AppendGrowing(bytes, count);
    memcpy(Data + Length - 1, bytes, static_cast<size_t>(count));
    Length += count;
    Data[Length - 1] = '\0';
    return true;
  }
  // Makes the text empty without releasing the block.
  void Clear();
  // Empties the text and gives a block of more than `size` bytes back down
  // to `size` (capacity size - 1): for records that keep their blocks.
  void ShrinkTo(int32_t size);

  bool AppendGrowing(const char* bytes, int32_t count);

  const char* Text() const { return Data != nullptr ? Data : ""; }
  // Bytes held, without the terminating NUL.
  int32_t Size() const { return Length > 0 ? Length - 1 : 0; }
  bool Empty() const { return Data == nullptr || Data[0] == '\0'; }

  char* Data;        // the bytes and a terminating NUL; null after a failed Resize
  int32_t Length;    // bytes + 1
  int32_t Capacity;  // largest length the block holds without reallocation
};

// Compares two texts, ASCII letters without regard to case.
bool EqualsIgnoreCase(const char* a, const char* b);

#endif  // KIVEX_BUFFER_CSTRING_H_
