#include "buffer/line_scanner.h"

#include <cstddef>
#include <cstring>

// SSE2 is sure on x86-64. The 32-bit build may run where it is missing
// (Windows XP ran on processors without it): there its code is compiled
// for it and taken when the processor has it.
#if defined(__SSE2__)
#define KIVEX_SSE2 1
#define KIVEX_SSE2_CODE
#elif defined(__i386__) && defined(__GNUC__)
#define KIVEX_SSE2 1
#define KIVEX_SSE2_CODE __attribute__((target("sse2")))
#endif
#ifdef KIVEX_SSE2
#include <emmintrin.h>
#endif

namespace {

// The index of the lowest bit set; in 32-bit halves where counting 64
// bits is a library call.
inline int LowestBit(uint64_t mask) {
#if UINTPTR_MAX > 0xffffffffu
  return __builtin_ctzll(mask);
#else
  uint32_t low = static_cast<uint32_t>(mask);
  return low != 0 ? __builtin_ctz(low) : 32 + __builtin_ctz(static_cast<uint32_t>(mask >> 32));
#endif
}

// The rest of a line byte by byte, *colon kept when found before.
const char* ScanBytes(const char* p, const char* end, const char** colon) {
  for (; p < end && *p != '\n' && *p != '\0'; ++p)
    if (*p == ':' && *colon == nullptr) *colon = p;
  return p;
}

#ifdef KIVEX_SSE2
#ifdef __SSE2__
const bool kHaveSse2 = true;
#else
bool DetectSse2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse2");
}
const bool kHaveSse2 = DetectSse2();
#endif

KIVEX_SSE2_CODE const char* ScanLineSse2(const char* p, const char* end, const char** colon) {
  *colon = nullptr;
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
  return ScanBytes(p, end, colon);
}

// Bit i of *stops and *colons for byte i of the 64 from `base`.
KIVEX_SSE2_CODE void LoadSse2(const char* base, uint64_t* stops, uint64_t* colons) {
  const __m128i lf = _mm_set1_epi8('\n'), zero = _mm_setzero_si128(), colon = _mm_set1_epi8(':');
  *stops = *colons = 0;
  for (int i = 0; i < 4; ++i) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + 16 * i));
    __m128i stop = _mm_or_si128(_mm_cmpeq_epi8(bytes, lf), _mm_cmpeq_epi8(bytes, zero));
    *stops |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(stop))) << (16 * i);
    unsigned found = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, colon)));
    *colons |= static_cast<uint64_t>(found) << (16 * i);
  }
}
#endif

}  // namespace

const char* ScanLineByWords(const char* p, const char* end, const char** colon) {
  *colon = nullptr;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  // The lowest bit set in such a mask marks the first matching byte exactly.
  typedef uintptr_t Word;
  const Word ones = ~Word(0) / 255, high = ones << 7, lf = ones * '\n', co = ones * ':';
  for (Word word; end - p >= static_cast<ptrdiff_t>(sizeof word); p += sizeof word) {
    memcpy(&word, p, sizeof word);
    Word x = word ^ lf, y = word ^ co;
    Word stop = ((word - ones) & ~word & high) | ((x - ones) & ~x & high);
    Word colons = (y - ones) & ~y & high;
    if (stop != 0) colons &= (stop & (Word(0) - stop)) - 1;
    if (*colon == nullptr && colons != 0) *colon = p + (LowestBit(colons) >> 3);
    if (stop != 0) return p + (LowestBit(stop) >> 3);
  }
#endif
  return ScanBytes(p, end, colon);
}

const char* ScanLine(const char* p, const char* end, const char** colon) {
#ifdef KIVEX_SSE2
  if (kHaveSse2) return ScanLineSse2(p, end, colon);
#endif
  return ScanLineByWords(p, end, colon);
}

bool cLineScanner::Load(const char* base) {
#ifdef KIVEX_SSE2
  if (!kHaveSse2 || end_ - base < 64) return false;
  LoadSse2(base, &stops_, &colons_);
  base_ = base;
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
      if (*colon == nullptr && colons != 0) *colon = at + LowestBit(colons);
      const char* end = at + LowestBit(stops);
      return end < limit ? end : limit;
    }
    if (*colon == nullptr && colons != 0) *colon = at + LowestBit(colons);
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
