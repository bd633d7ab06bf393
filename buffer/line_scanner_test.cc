#include "buffer/line_scanner.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>

// Line after line over random bytes (short and long lines, colons, NULs),
// every scan finds what a byte-by-byte look finds, also where a limit cuts
// a line and across the scanner's 64-byte steps.
TEST(LineScanner, FindsLineEndsAndColons) {
  std::mt19937 random(11);
  for (int round = 0; round < 300; ++round) {
    std::string bytes(1 + random() % 700, 'a');
    int spread = 2 + round % 90;  // bytes per line end, on average
    for (char& c : bytes) {
      unsigned pick = random() % (4 * spread);
      c = pick < 4 ? '\n' : pick < 5 ? '\0' : pick < 9 ? ':' : pick < 11 ? '\r' : 'x';
    }
    const char* end = bytes.data() + bytes.size();
    cLineScanner scanner(end);
    for (const char* line = bytes.data(); line < end;) {
      const char* limit = end - line < 100 ? end : line + 100;
      const char* expectedEnd = line;
      const char* expectedColon = nullptr;
      for (; expectedEnd < limit && *expectedEnd != '\n' && *expectedEnd != '\0'; ++expectedEnd)
        if (*expectedEnd == ':' && expectedColon == nullptr) expectedColon = expectedEnd;
      const char *colon, *wordColon, *blockColon;
      const char* lineEnd = ScanLine(line, limit, &colon);
      const char* wordEnd = ScanLineByWords(line, limit, &wordColon);
      const char* blockEnd = scanner.Scan(line, limit, &blockColon);
      size_t at = static_cast<size_t>(line - bytes.data());
      // The colons count only where a line end was found before the limit.
      if (expectedEnd == limit) colon = wordColon = blockColon = expectedColon;
      ASSERT_EQ(std::make_tuple(lineEnd, wordEnd, blockEnd, colon, wordColon, blockColon),
                std::make_tuple(expectedEnd, expectedEnd, expectedEnd, expectedColon, expectedColon,
                                expectedColon))
          << round << " at " << at;
      line = expectedEnd + 1;
    }
  }
}
