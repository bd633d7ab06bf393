#include "buffer/line_scanner.h"

#include <cstddef>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

const char* ScanLine(const char* p, const char* end, const char** colon) {
  *colon = nullptr;
#ifdef __SSE2__
  // Sixteen bytes a step where the processor has it for sure (x86-64).
  const __m128i lf16 = _mm_set1_epi8('\n'), zero16 = _mm_setzero_si128();
  const __m128i colon16 = _mm_set1_epi8(':');
  for (; end - p >= 16; p += 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i stops = _mm_or_si128(_mm_cmpeq_epi8(bytes, lf16), _mm_cmpeq_epi8(bytes, zero16));
    unsigned stop = static_cast<unsigned>(_mm_movemask_epi8(stops));
    unsigned colons = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, colon16)));
    if (stop != 0) colons &= (stop & (0u - stop)) - 1;  // only those before the end
    if (*colon == nullptr && colons != 0) *colon = p + __builtin_ctz(colons);
    if (stop != 0) return p + __builtin_ctz(stop);
  }
#elif defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  // A word a step (the 32-bit build may run where SSE2 is missing): the
  // lowest bit set in such a mask marks the first matching byte exactly.
  typedef uintptr_t Word;
  const Word ones = ~Word(0) / 255, high = ones << 7, lf = ones * '\n', co = ones * ':';
  // The byte of the lowest bit set; in 32 bits where words have 32, since
  // counting 64 there is a library call.
  auto lowestByte = [](Word mask) {
    if (sizeof mask > sizeof(unsigned)) return __builtin_ctzll(mask) >> 3;
    return __builtin_ctz(static_cast<unsigned>(mask)) >> 3;
  };
  for (Word word; end - p >= static_cast<ptrdiff_t>(sizeof word); p += sizeof word) {
    memcpy(&word, p, sizeof word);
    Word x = word ^ lf, y = word ^ co;
    Word stop = ((word - ones) & ~word & high) | ((x - ones) & ~x & high);
    Word colons = (y - ones) & ~y & high;
    if (stop != 0) colons &= (stop & (Word(0) - stop)) - 1;
    if (*colon == nullptr && colons != 0) *colon = p + lowestByte(colons);
    if (stop != 0) return p + lowestByte(stop);
  }
#endif
  for (; p < end && *p != '\n' && *p != '\0'; ++p)
    if (*p == ':' && *colon == nullptr) *colon = p;
  return p;
}

bool cLineScanner::Load(const char* base) {
#ifdef __SSE2__
  if (end_ - base < 64) return false;
  const __m128i lf = _mm_set1_epi8('\n'), zero = _mm_setzero_si128(), colon = _mm_set1_epi8(':');
  uint64_t stops = 0, colons = 0;
  for (int i = 0; i < 4; ++i) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + 16 * i));
    __m128i stop = _mm_or_si128(_mm_cmpeq_epi8(bytes, lf), _mm_cmpeq_epi8(bytes, zero));
    stops |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(stop))) << (16 * i);
    colons |= static_cast<uint64_t>(
                  static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, colon))))
              << (16 * i);
  }
  base_ = base;
  stops_ = stops;
  colons_ = colons;
  return true;
#else
  (void)base;
  return false;
#endif
}

const char* cLineScanner::Scan(const char* line, const char* limit, const char** colon) {
  if ((base_ == nullptr || line < base_ || line - base_ >= 64) && !Load(line))
    return ScanLine(line, limit, colon);
  *colon = nullptr;
  const char* at = line;  // the byte that bit 0 of stops and colons stands for
  uint64_t stops = stops_ >> (line - base_), colons = colons_ >> (line - base_);
  for (;;) {
    if (stops != 0) {
      colons &= (stops & (0 - stops)) - 1;  // only those before the end
      if (*colon == nullptr && colons != 0) *colon = at + __builtin_ctzll(colons);
      const char* end = at + __builtin_ctzll(stops);
      return end < limit ? end : limit;
    }
    if (*colon == nullptr && colons != 0) *colon = at + __builtin_ctzll(colons);
    at = base_ + 64;
    if (at >= limit) return limit;
    if (!Load(at)) {
      const char* later;
      const char* end = ScanLine(at, limit, &later);
      if (*colon == nullptr) *colon = later;
      return end;
    }
    stops = stops_;
    colons = colons_;
  }
}
