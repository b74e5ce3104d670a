#include <gtest/gtest.h>

#include "platform/dos_time.h"

namespace tarn::platform {
namespace {

constexpr int64_t NOV_1_2003_NOON = 1067688000;

TEST(DosTime, ConvertsUtcBothWays) {
  const DosDateTime t = unix_to_dos(NOV_1_2003_NOON);
  EXPECT_EQ(t.date, 0x2F61);
  EXPECT_EQ(t.time, 0x6000);
  EXPECT_EQ(dos_to_unix(0x2F61, 0x6000), NOV_1_2003_NOON);
  // 13:45:58 and 13:45:59 both store 29 two-second steps.
  const DosDateTime odd = unix_to_dos(NOV_1_2003_NOON + 3600 + 45 * 60 + 59);
  EXPECT_EQ(odd.time, (13 << 11) | (45 << 5) | 29);
  EXPECT_EQ(dos_to_unix(0x2F61, odd.time), NOV_1_2003_NOON + 3600 + 45 * 60 + 58);
  // A leap day.
  const DosDateTime leap = unix_to_dos(951782400);  // 2000-02-29 00:00:00
  EXPECT_EQ(leap.date, (20 << 9) | (2 << 5) | 29);
}

TEST(DosTime, ClampsTimesTheFormatCannotHold) {
  EXPECT_EQ(unix_to_dos(0).date, 0x0021);
  EXPECT_EQ(unix_to_dos(0).time, 0x0000);
  EXPECT_EQ(unix_to_dos(-86400 * 400).date, 0x0021);
  const int64_t year_2108 = 4354819200;  // 2108-01-01 00:00:00
  EXPECT_EQ(unix_to_dos(year_2108).date, (127 << 9) | (12 << 5) | 31);
  EXPECT_EQ(unix_to_dos(year_2108).time, (23 << 11) | (59 << 5) | 29);
  EXPECT_EQ(unix_to_dos(year_2108 - 2).time, (23 << 11) | (59 << 5) | 29);
  EXPECT_EQ(unix_to_dos(315532800).date, 0x0021);  // 1980-01-01 exactly
}

}  // namespace
}  // namespace tarn::platform
