// Calendar arithmetic and packed-BCD bytes for the meter's real-time clock.
//
// The meter keeps local civil time with no notion of time zones or daylight saving, so
// the clock is a plain count of seconds since 1970-01-01 00:00:00 on the proleptic
// Gregorian calendar, converted to and from date fields without any time-zone lookup.
#pragma once

#include <cstdint>
#include <optional>

namespace veldix::sim {

struct CivilTime {
  int year = 2000;  // full year
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int hour = 0;     // 0..23
  int minute = 0;   // 0..59
  int second = 0;   // 0..59
  bool operator==(const CivilTime&) const = default;
};

// Days from 1970-01-01 to the given date (negative before it).
int64_t days_from_civil(int year, int month, int day);

// Fields of a second count since 1970-01-01 00:00:00.
CivilTime civil_from_seconds(int64_t seconds);

// Inverse of civil_from_seconds; the fields must be valid (see is_valid).
int64_t seconds_from_civil(const CivilTime& t);

// ISO weekday of a second count: 1 = Monday ... 7 = Sunday.
int iso_weekday(int64_t seconds);

bool is_leap_year(int year);
int days_in_month(int year, int month);

// True when every field is inside its calendar range (day checked against the month).
bool is_valid(const CivilTime& t);

// Two decimal digits in one byte, tens in the high nibble. v must be 0..99.
uint8_t to_bcd(int v);

// Value of a BCD byte, or nothing when either nibble is above 9.
std::optional<int> from_bcd(uint8_t b);

}  // namespace veldix::sim
