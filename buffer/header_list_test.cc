#include "buffer/header_list.h"

#include <gtest/gtest.h>

#include <string>

// Taking and giving back records costs the same however many the pool
// holds: a block of hundreds of thousands of lines looks at each record a
// bounded number of times, not at all records for every twentieth line.
TEST(HeaderPool, RecordsComeAndGoInConstantTime) {
  cHeaders headers;
  const int kLines = 300000;
  int32_t made = 0;
  for (int round = 0; round < 2; ++round) {
    uint64_t before = headers.pool.Visits();
    for (int i = 0; i < kLines; ++i) ASSERT_TRUE(headers.Add("A", "b"));
    headers.Clear();
    EXPECT_LE(headers.pool.Visits() - before, 2u * kLines) << "round " << round;
    if (round == 0) made = headers.pool.SlotCount();
  }
  EXPECT_EQ(headers.pool.SlotCount(), made);  // the second round made none
  for (int i = 0; i < headers.pool.SlotCount(); ++i) EXPECT_TRUE(headers.pool.SlotFree(i));
}

// Within a message a record keeps the block its value needed; the free
// records together keep at most kKeptGrowth beyond their first blocks, so
// that message after message of long lines cannot pile up memory.
TEST(HeaderPool, FreeRecordsKeepBoundedBlocks) {
  cHeaders headers;
  std::string value(100000, 'v');
  for (int message = 0; message < 3; ++message) {
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(headers.Add("Name", value.c_str()));
    for (int i = 0; i < headers.Count(); ++i) EXPECT_EQ(headers.At(i)->Value.Size(), 100000);
    headers.Clear();
    size_t kept = 0;
    for (int i = 0; i < headers.pool.SlotCount(); ++i) kept += headers.pool.slots[i]->Value.Capacity;
    EXPECT_LE(kept, cHeaderPool::kKeptGrowth + 256u * headers.pool.SlotCount());
    EXPECT_GE(kept, cHeaderPool::kKeptGrowth / 2);  // not given back needlessly
  }
}
