#include "buffer/header_list.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_util.h"

TEST(cHeaders, PoolGrowsByTwentyAndDumpShowsEveryLine) {
  cHeaders headers;
  EXPECT_EQ(headers.pool.SlotCount(), 50);
  for (int i = 0; i < 51; ++i) ASSERT_TRUE(headers.Add("EMP", std::to_string(i).c_str()));
  EXPECT_EQ(headers.pool.SlotCount(), 70);
  FILE* stream = test::TempStream();
  headers.Dump(stream);
  std::string dump = test::Contents(stream);
  fclose(stream);
  EXPECT_EQ(dump.find("---- Dump Anfang cHeaders ----\nAnzahl Elemente: 51\n<EMP> <0>\n<EMP> <1>\n"), 0u);
  EXPECT_EQ(dump.find("<EMP> <50>\n---- Dump Ende cHeaders ----\n"), dump.size() - 40);
}

TEST(cHeaders, NextMessageTakesTheFollowingSlotsAndGrownBuffers) {
  cHeaders headers;
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(headers.Add("N", std::string(300, 'v').c_str()));
  cHeaderLine* grown = headers.At(0);
  headers.Clear();
  EXPECT_EQ(headers.Count(), 0);
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(headers.pool.SlotFree(i));
  ASSERT_TRUE(headers.Add("N", "v"));
  EXPECT_EQ(headers.At(0), headers.pool.slots[10]->record);  // no scan from the start
  // Once the walk reaches the end it starts over and meets the grown records.
  headers.Clear();
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(headers.Add("N", "v"));
  EXPECT_EQ(headers.pool.SlotCount(), 50);
  EXPECT_EQ(grown->Value.Capacity, 301);
}
