#include "TimeText.h"

#include <cstdint>
#include <cstdio>

#include "core/KitImage.h"

namespace okdpack {

namespace {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kDaysFrom1601To1970 = 134774;

// Days from 1970-01-01 to a civil date, and back (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = unsigned(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + int64_t(dayOfEra) - 719468;
}

void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned dayOfEra = unsigned(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned mp = (5 * dayOfYear + 2) / 153;
  day = dayOfYear - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = int64_t(yearOfEra) + era * 400 + (month <= 2);
}

// Reads `count` digits at `at`.
bool Digits(std::string_view text, size_t at, size_t count, int64_t& value) {
  value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

bool ParseUnixSeconds(std::string_view text, int64_t& seconds) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::string_view digits = text.substr(negative ? 1 : 0);
  // Thirteen digits reach past the year 30000, and the range check below.
  if (digits.empty() || digits.size() > 13) return false;
  int64_t value = 0;
  if (!Digits(digits, 0, digits.size(), value)) return false;
  seconds = negative ? -value : value;
  return true;
}

bool ParseIsoSeconds(std::string_view text, int64_t& seconds) {
  // YYYY-MM-DDThh:mm:ssZ
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return false;
  }
  int64_t year, month, day, hour, minute, second;
  if (!Digits(text, 0, 4, year) || !Digits(text, 5, 2, month) || !Digits(text, 8, 2, day) ||
      !Digits(text, 11, 2, hour) || !Digits(text, 14, 2, minute) || !Digits(text, 17, 2, second)) {
    return false;
  }
  if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) return false;
  // The day must exist: the first of the next month, less one, is the month's last.
  const int64_t days = DaysFromCivil(year, unsigned(month), unsigned(day));
  int64_t checkYear;
  unsigned checkMonth, checkDay;
  CivilFromDays(days, checkYear, checkMonth, checkDay);
  if (checkYear != year || checkMonth != month || checkDay != day) return false;
  seconds = days * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

}  // namespace

std::string FormatTime(setup::FileTime time) {
  const uint64_t seconds = time / kTicksPerSecond;
  const unsigned fraction = unsigned(time % kTicksPerSecond);
  const int64_t days = int64_t(seconds / 86400) - kDaysFrom1601To1970;
  const unsigned secondOfDay = unsigned(seconds % 86400);
  int64_t year;
  unsigned month, day;
  CivilFromDays(days, year, month, day);
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%07uZ", static_cast<long long>(year), month, day,
                secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60, fraction);
  return text;
}

bool ParseTime(std::string_view text, setup::FileTime& time) {
  int64_t seconds = 0;
  if (!ParseUnixSeconds(text, seconds) && !ParseIsoSeconds(text, seconds)) return false;
  // From 1601 to the latest time a kit may carry.
  constexpr int64_t kFirst = -kDaysFrom1601To1970 * 86400;
  constexpr int64_t kLast = int64_t((setup::kKitLatestFileTime - setup::kFileTimeUnixEpoch) / kTicksPerSecond);
  if (seconds < kFirst || seconds > kLast) return false;
  time = setup::FileTimeFromUnix(seconds, 0);
  return true;
}

}  // namespace okdpack
