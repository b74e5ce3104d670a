#include <gtest/gtest.h>

#include "archive/crc32.h"

namespace tarn {
namespace {

TEST(Crc32, CheckValueInOneCallOrInPiecesAndEmptyInputIsZero) {
  const auto* digits = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(crc32_of(digits, 9), 0xCBF43926u);
  EXPECT_EQ(crc32_of(nullptr, 0), 0u);
  Crc32 crc;
  crc.begin();
  crc.update(digits, 4);
  crc.update(digits + 4, 5);
  EXPECT_EQ(crc.value(), 0xCBF43926u);
  crc.begin();
  EXPECT_EQ(crc.value(), 0u);
}

}  // namespace
}  // namespace tarn
