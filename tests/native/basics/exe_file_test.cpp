#include <gtest/gtest.h>

#include "base/exe_file.h"

TEST(MemoryExeFile, ReadsSeeksAndStopsAtTheEnd) {
  MemoryExeFile f({1, 2, 3, 4, 5});
  EXPECT_EQ(f.Length(), 5u);
  uint8_t b[8] = {};
  EXPECT_EQ(f.Read(b, 3), 3u);
  EXPECT_EQ(b[2], 3);
  EXPECT_TRUE(f.Seek(4));
  EXPECT_EQ(f.Read(b, 8), 1u);
  EXPECT_EQ(b[0], 5);
  EXPECT_FALSE(f.Seek(6));
  f.Close();
  EXPECT_EQ(f.Read(b, 1), 0u);
}
