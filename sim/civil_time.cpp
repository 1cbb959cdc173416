#include "sim/civil_time.h"

namespace veldix::sim {

namespace {

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

}  // namespace

// Era-based days-from-civil conversion: eras of 400 years (146097 days), each year
// starting on March 1 so that the leap day is the last day of the shifted year.
int64_t days_from_civil(int year, int month, int day) {
  const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
  const int64_t era = floor_div(y, 400);
  const int64_t yoe = y - era * 400;                          // [0, 399]
  const int64_t mp = (month + 9) % 12;                        // March = 0
  const int64_t doy = (153 * mp + 2) / 5 + day - 1;           // [0, 365]
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;  // [0, 146096]
  return era * 146097 + doe - 719468;
}

CivilTime civil_from_seconds(int64_t seconds) {
  const int64_t days = floor_div(seconds, 86400);
  const int64_t sod = seconds - days * 86400;
  const int64_t z = days + 719468;
  const int64_t era = floor_div(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  CivilTime t;
  t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.year = static_cast<int>(yoe + era * 400 + (t.month <= 2 ? 1 : 0));
  t.hour = static_cast<int>(sod / 3600);
  t.minute = static_cast<int>((sod % 3600) / 60);
  t.second = static_cast<int>(sod % 60);
  return t;
}

int64_t seconds_from_civil(const CivilTime& t) {
  return days_from_civil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

int iso_weekday(int64_t seconds) {
  // 1970-01-01 was a Thursday (ISO 4).
  const int64_t days = floor_div(seconds, 86400);
  const int64_t w = ((days + 3) % 7 + 7) % 7;  // 0 = Monday
  return static_cast<int>(w) + 1;
}

bool is_leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  if (month == 2 && is_leap_year(year)) return 29;
  return kDays[month - 1];
}

bool is_valid(const CivilTime& t) {
  return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= days_in_month(t.year, t.month) &&
         t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 &&
         t.second <= 59;
}

uint8_t to_bcd(int v) { return static_cast<uint8_t>(((v / 10) << 4) | (v % 10)); }

std::optional<int> from_bcd(uint8_t b) {
  const int hi = b >> 4;
  const int lo = b & 0x0F;
  if (hi > 9 || lo > 9) return std::nullopt;
  return hi * 10 + lo;
}

}  // namespace veldix::sim
