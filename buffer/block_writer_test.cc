#include <gtest/gtest.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <string>
#include <thread>

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
  // Every byte a piece of its own: the even ones each behind a copy, then the odd ones.
  for (int i = 0; i < 300; ++i) {
    std::string copy = i < 150 ? std::to_string(i) : "";
    int at = i < 150 ? 2 * i : 2 * i - 299;
    ASSERT_TRUE(writer.Put(copy.data(), copy.size()));
    ASSERT_TRUE(writer.PutBorrowed(block + at, 1, &reader));
    expected += copy + block[at];
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
  for (FILE* stream : {in, out}) fclose(stream);
}

// A slow output changes nothing: while the write of the first block waits
// for a pipe that is read late, the second block is copied, not borrowed,
// and the reader goes on into the memory of the block being written.
TEST(BlockWriter, SlowOutputChangesNothing) {
  std::string input(3 * kReadBlock, 'x');
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>('a' + i % 23);
  int ends[2];
#ifdef _WIN32
  ASSERT_EQ(_pipe(ends, 1 << 16, _O_BINARY), 0);
#else
  ASSERT_EQ(pipe(ends), 0);
#endif
  FILE* out = fdopen(ends[1], "wb");
  ASSERT_NE(out, nullptr);
  std::string written;
  std::thread drain([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    static char chunk[1 << 16];
    for (int n; (n = static_cast<int>(read(ends[0], chunk, sizeof chunk))) > 0;)
      written.append(chunk, static_cast<size_t>(n));
  });
  FILE* in = test::StreamOf(input);
  {
    cBlockReader reader;
    reader.Bind(in);
    cBlockWriter writer;
    writer.Bind(out);
    const char* bytes;
    size_t n = reader.Take(&bytes, kReadBlock);
    EXPECT_TRUE(writer.PutBorrowed(bytes, n, &reader));
    while ((n = reader.Take(&bytes, kReadBlock)) > 0) EXPECT_TRUE(writer.Put(bytes, n));
    EXPECT_TRUE(writer.Flush());
  }
  fclose(out);
  drain.join();
  close(ends[0]);
  fclose(in);
  EXPECT_TRUE(written == input) << written.size() << " bytes";
}
