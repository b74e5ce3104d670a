#include <gtest/gtest.h>

#include <cstring>

#include "archive/crc32.h"

namespace tarn {
namespace {

TEST(Crc32, CheckValueOverDigits) {
  const char* digits = "123456789";
  EXPECT_EQ(crc32_of(reinterpret_cast<const uint8_t*>(digits), 9), 0xCBF43926u);
}

TEST(Crc32, EmptyInputGivesZeroAndUpdatesChain) {
  EXPECT_EQ(crc32_of(nullptr, 0), 0u);
  const char* digits = "123456789";
  Crc32 crc;
  crc.begin();
  crc.update(reinterpret_cast<const uint8_t*>(digits), 4);
  crc.update(reinterpret_cast<const uint8_t*>(digits) + 4, 5);
  EXPECT_EQ(crc.value(), 0xCBF43926u);
  crc.begin();
  EXPECT_EQ(crc.value(), 0u);
}

}  // namespace
}  // namespace tarn
