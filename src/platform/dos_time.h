// MS-DOS date and time, as the archive records last-write times.
//
// date: bits 15..9 years since 1980, 8..5 month, 4..0 day.
// time: bits 15..11 hours, 10..5 minutes, 4..0 seconds divided by 2.
// Times are read as UTC both ways, so a file's time comes back unchanged
// whatever the time zone. Times the format cannot hold are clamped: before
// 1980 to 1980-01-01 00:00:00, after 2107 to 2107-12-31 23:59:58.
#pragma once

#include <cstdint>

namespace tarn::platform {

struct DosDateTime {
  uint16_t date;
  uint16_t time;
};

DosDateTime unix_to_dos(int64_t seconds);
int64_t dos_to_unix(uint16_t date, uint16_t time);

}  // namespace tarn::platform
