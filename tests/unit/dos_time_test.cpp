#include <gtest/gtest.h>

#include "platform/dos_time.h"

namespace tarn::platform {
namespace {

constexpr int64_t NOV_1_2003_NOON = 1067688000;
constexpr uint16_t LAST_TIME = (23 << 11) | (59 << 5) | 29;

TEST(DosTime, ConvertsUtcBothWays) {
  EXPECT_EQ(unix_to_dos(NOV_1_2003_NOON).date, 0x2F61);
  EXPECT_EQ(unix_to_dos(NOV_1_2003_NOON).time, 0x6000);
  EXPECT_EQ(dos_to_unix(0x2F61, 0x6000), NOV_1_2003_NOON);
  // 13:45:58 and 13:45:59 both store 29 two-second steps.
  const DosDateTime odd = unix_to_dos(NOV_1_2003_NOON + 3600 + 45 * 60 + 59);
  EXPECT_EQ(odd.time, (13 << 11) | (45 << 5) | 29);
  EXPECT_EQ(dos_to_unix(0x2F61, odd.time), NOV_1_2003_NOON + 3600 + 45 * 60 + 58);
  EXPECT_EQ(unix_to_dos(951782400).date, (20 << 9) | (2 << 5) | 29);  // 2000-02-29, a leap day
}

TEST(DosTime, ClampsTimesTheFormatCannotHold) {
  for (int64_t early : {int64_t{0}, int64_t{-86400 * 400}, int64_t{315532800}}) {  // the last: 1980-01-01
    EXPECT_EQ(unix_to_dos(early).date, 0x0021) << early;
    EXPECT_EQ(unix_to_dos(early).time, 0x0000) << early;
  }
  const int64_t year_2108 = 4354819200;  // 2108-01-01 00:00:00
  EXPECT_EQ(unix_to_dos(year_2108).date, (127 << 9) | (12 << 5) | 31);
  EXPECT_EQ(unix_to_dos(year_2108).time, LAST_TIME);
  EXPECT_EQ(unix_to_dos(year_2108 - 2).time, LAST_TIME);
}

}  // namespace
}  // namespace tarn::platform
