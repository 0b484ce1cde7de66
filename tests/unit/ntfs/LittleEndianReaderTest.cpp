#include "ntfs/LittleEndianReader.h"

#include <gtest/gtest.h>

#include <array>

namespace sondrel {
namespace {

TEST(LittleEndianReader, ReadsLittleEndianAndRefusesPastTheEnd) {
  std::array<std::byte, 8> bytes;
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = std::byte(i + 1);
  LittleEndianReader reader(bytes);
  EXPECT_EQ(reader.U8(0), 0x01);
  EXPECT_EQ(reader.U16(1), 0x0302);
  EXPECT_EQ(reader.U32(4), 0x08070605u);
  EXPECT_EQ(reader.U64(0), 0x0807060504030201ull);
  EXPECT_FALSE(reader.U64(1).has_value());
  EXPECT_FALSE(reader.U16(7).has_value());
  EXPECT_FALSE(reader.U8(8).has_value());
  EXPECT_FALSE(reader.Slice(4, SIZE_MAX).has_value());
  EXPECT_FALSE(reader.Slice(SIZE_MAX, 1).has_value());
  ASSERT_TRUE(reader.Slice(8, 0).has_value());
}

}  // namespace
}  // namespace sondrel
