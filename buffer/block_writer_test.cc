#include <gtest/gtest.h>

#include <string>

#include "buffer/block_reader.h"
#include "buffer/block_writer.h"
#include "tests/test_util.h"

// Copies and bytes borrowed from a read block, more pieces than one write
// takes, then cut back inside what is held and behind what was written.
TEST(BlockWriter, KeepsOrderAndCutsBack) {
  std::string input;
  for (int i = 0; i < 600; ++i) input += static_cast<char>('A' + i % 26);
  FILE* in = test::StreamOf(input);
  cBlockReader reader;
  reader.Bind(in);
  const char* block = nullptr;
  ASSERT_EQ(reader.Peek(&block), input.size());
  FILE* out = test::TempStream();
  cBlockWriter writer;
  writer.Bind(out);
  std::string expected;
  for (int i = 0; i < 150; ++i) {  // every byte a piece of its own
    std::string copy = std::to_string(i);
    ASSERT_TRUE(writer.Put(copy.data(), copy.size()));
    ASSERT_TRUE(writer.PutBorrowed(block + 2 * i, 1, &reader));
    expected += copy + block[2 * i];
  }
  for (int i = 0; i < 150; ++i) {
    ASSERT_TRUE(writer.PutBorrowed(block + 2 * i + 1, 1, &reader));
    expected += block[2 * i + 1];
  }
  ASSERT_TRUE(writer.Put("x", 1));
  expected += "x";
  int64_t mark = writer.Position();
  ASSERT_TRUE(writer.Put("dropped", 7));  // joined to the "x" before it
  ASSERT_EQ(writer.CutBack(mark), 0);
  ASSERT_TRUE(writer.Flush());
  EXPECT_EQ(test::Contents(out), expected);
  ASSERT_TRUE(writer.Put("gone", 4));
  ASSERT_TRUE(writer.Flush());
  ASSERT_EQ(writer.CutBack(mark), 0);
  ASSERT_TRUE(writer.Put("!", 1));
  ASSERT_TRUE(writer.Flush());
  EXPECT_EQ(test::Contents(out), expected + "!");
  EXPECT_EQ(writer.Position(), static_cast<int64_t>(expected.size()) + 1);
  fclose(in);
  fclose(out);
}
