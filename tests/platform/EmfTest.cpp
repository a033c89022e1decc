// Fax page files: what the fax printer writes, the console tool reads back.
#include <gtest/gtest.h>

#include "platform/emf/Emf.h"
#include "tests/support/TestWorld.h"

using namespace brevant;

TEST(Emf, PageRoundTripsAndTheFileIsAWellFormedMetafile) {
  test::TestWorld w;
  emf::Page page;
  page.Resize(1728, 2200);
  for (int x = 100; x < 1628; ++x) page.SetBlack(x, 50);   // a rule near the top
  for (int y = 0; y < 2200; ++y) page.SetBlack(1727, y);  // the last column
  std::string path = w.Root() + "/00000001.emf";
  std::string error;
  ASSERT_TRUE(emf::WriteFile(path, page, &error)) << error;
  std::string bytes = test::TestWorld::ReadFile(path);
  // Header, one bitmap record, end record; nBytes and nRecords agree with the file.
  ASSERT_GT(bytes.size(), 108u);
  auto u32 = [&](std::size_t off) { return std::uint32_t(uint8_t(bytes[off]) | uint8_t(bytes[off + 1]) << 8 | uint8_t(bytes[off + 2]) << 16 | uint32_t(uint8_t(bytes[off + 3])) << 24); };
  EXPECT_EQ(u32(0), 1u);
  EXPECT_EQ(u32(40), 0x464D4520u);
  EXPECT_EQ(u32(48), bytes.size());
  EXPECT_EQ(u32(52), 3u);
  EXPECT_EQ(u32(108), 81u);
  EXPECT_EQ(u32(bytes.size() - 20), 14u);

  emf::Page back;
  ASSERT_TRUE(emf::ReadFile(path, &back, &error)) << error;
  EXPECT_EQ(back.width, 1728);
  EXPECT_EQ(back.height, 2200);
  EXPECT_EQ(back.xdpi, 204);
  EXPECT_EQ(back.ydpi, 196);
  EXPECT_EQ(back.bits, page.bits);

  EXPECT_FALSE(emf::Decode("not a metafile at all, not even close to one", &back, &error));
  EXPECT_FALSE(emf::Decode(bytes.substr(0, bytes.size() / 2), &back, &error));
  EXPECT_FALSE(emf::ReadFile(w.Root() + "/missing.emf", &back, &error));
}
