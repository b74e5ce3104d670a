// Conversion between seconds since 1970 (UTC) and the MS-DOS date and time.
//
// The calendar arithmetic is done here rather than with the C library's
// gmtime/timegm so that it is the same on every platform and never depends
// on the time zone: days are counted from 1970-01-01 with the proleptic
// Gregorian calendar (the civil-from-days method: shift the year to start in
// March so that the leap day is the last day of the year).
#include "platform/dos_time.h"

namespace tarn::platform {

namespace {

constexpr int64_t SECONDS_PER_DAY = 86400;

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

constexpr DosDateTime EARLIEST{0x0021, 0x0000};  // 1980-01-01 00:00:00
constexpr DosDateTime LATEST{(127 << 9) | (12 << 5) | 31, (23 << 11) | (59 << 5) | 29};

}  // namespace

DosDateTime unix_to_dos(int64_t seconds) {
  int64_t days = seconds / SECONDS_PER_DAY;
  int64_t rest = seconds % SECONDS_PER_DAY;
  if (rest < 0) {
    rest += SECONDS_PER_DAY;
    days -= 1;
  }
  int64_t year;
  unsigned month, day;
  civil_from_days(days, year, month, day);
  if (year < 1980) return EARLIEST;
  if (year > 2107) return LATEST;
  const auto hours = static_cast<unsigned>(rest / 3600);
  const auto minutes = static_cast<unsigned>(rest / 60 % 60);
  const auto secs = static_cast<unsigned>(rest % 60);
  DosDateTime result;
  result.date = static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
  result.time = static_cast<uint16_t>((hours << 11) | (minutes << 5) | (secs / 2));
  return result;
}

int64_t dos_to_unix(uint16_t date, uint16_t time) {
  const int64_t year = 1980 + (date >> 9);
  unsigned month = (date >> 5) & 15;
  unsigned day = date & 31;
  // Fields a damaged record may hold out of range are brought into range,
  // so the result is always some valid time.
  if (month < 1) month = 1;
  if (month > 12) month = 12;
  if (day < 1) day = 1;
  const int64_t hours = time >> 11;
  const int64_t minutes = (time >> 5) & 63;
  const int64_t secs = (time & 31) * 2;
  return days_from_civil(year, month, day) * SECONDS_PER_DAY + hours * 3600 + minutes * 60 + secs;
}

}  // namespace tarn::platform
