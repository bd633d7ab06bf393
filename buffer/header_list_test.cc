#include "buffer/header_list.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_util.h"

namespace {

void AddLines(cHeaders& headers, int count) {
  for (int i = 0; i < count; ++i) ASSERT_TRUE(headers.Add("N", std::to_string(i).c_str()));
}

std::string DumpOf(const cHeaders& headers) {
  FILE* stream = tmpfile();
  headers.Dump(stream);
  std::string text = test::Contents(stream);
  fclose(stream);
  return text;
}

}  // namespace

TEST(cHeaders, NewListHasFiftyFreeRecordsAndDumpsEmpty) {
  cHeaders headers;
  EXPECT_EQ(headers.Count(), 0);
  EXPECT_EQ(headers.pool.SlotCount(), 50);
  EXPECT_EQ(headers.list.Capacity(), 100);
  EXPECT_EQ(DumpOf(headers),
            "---- Dump Anfang cHeaders ----\nAnzahl Elemente: 0\n---- Dump Ende cHeaders ----\n");
}

TEST(cHeaders, PoolGrowsByTwentyWhenDry) {
  cHeaders headers;
  AddLines(headers, 51);
  EXPECT_EQ(headers.pool.SlotCount(), 70);
  AddLines(headers, 20);
  EXPECT_EQ(headers.pool.SlotCount(), 90);
  EXPECT_EQ(headers.Count(), 71);
}

TEST(cHeaders, DuplicateNamesStayInOrder) {
  cHeaders headers;
  ASSERT_TRUE(headers.Add("EMP", "a"));
  ASSERT_TRUE(headers.Add("EMP", "b"));
  EXPECT_EQ(DumpOf(headers),
            "---- Dump Anfang cHeaders ----\nAnzahl Elemente: 2\n<EMP> <a>\n<EMP> <b>\n"
            "---- Dump Ende cHeaders ----\n");
}

TEST(cHeaders, ClearRecyclesRecordsAndKeepsSearchPosition) {
  cHeaders headers;
  AddLines(headers, 10);
  cHeaderLine* first = headers.At(0);
  headers.Clear();
  EXPECT_EQ(headers.Count(), 0);
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(headers.pool.SlotFree(i));
  EXPECT_EQ(headers.pool.searchPos, 10);
  // The next message goes on at slot 10, without scanning.
  AddLines(headers, 1);
  EXPECT_EQ(headers.At(0), headers.pool.slots[10]->record);
  EXPECT_NE(headers.At(0), first);
  // Walking the whole pool wraps around to the first free slot.
  headers.Clear();
  AddLines(headers, 45);
  EXPECT_EQ(headers.pool.SlotCount(), 50);
}

TEST(cHeaders, RecordKeepsItsGrownValueBuffer) {
  cHeaders headers;
  std::string fits(254, 'v');
  std::string grows(255, 'v');
  ASSERT_TRUE(headers.Add("A", fits.c_str()));
  EXPECT_EQ(headers.At(0)->Value.Capacity, 255);
  ASSERT_TRUE(headers.Add("B", grows.c_str()));
  EXPECT_EQ(headers.At(1)->Value.Capacity, 256);
  cHeaderLine* grown = headers.At(1);
  headers.Clear();
  headers.pool.searchPos = 1;
  ASSERT_TRUE(headers.Add("C", "short"));
  EXPECT_EQ(headers.At(0), grown);
  EXPECT_EQ(grown->Value.Capacity, 256);
}
