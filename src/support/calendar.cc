#include "support/calendar.h"

namespace tarvelo {

namespace {

const char* const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

const char* const kMonths[12] = {"January", "February", "March",
                                 "April",   "May",      "June",
                                 "July",    "August",   "September",
                                 "October", "November", "December"};

const char* const kShortMonths[12] = {"Jan", "Feb", "Mar", "Apr",
                                      "May", "Jun", "Jul", "Aug",
                                      "Sep", "Oct", "Nov", "Dec"};

}  // namespace

// Howard Hinnant's algorithms: years run from March, so the leap day is the
// last day of its year, and 400-year eras repeat exactly.
void civil_from_days(long long days, int* year, int* month, int* day) {
  days += 719468;
  long long era = (days >= 0 ? days : days - 146096) / 146097;
  long long doe = days - era * 146097;
  long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long long mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = static_cast<int>(yoe + era * 400 + (*month <= 2 ? 1 : 0));
}

long long days_from_civil(int year, int month, int day) {
  long long y = static_cast<long long>(year) - (month <= 2 ? 1 : 0);
  long long era = (y >= 0 ? y : y - 399) / 400;
  long long yoe = y - era * 400;
  long long mp = month > 2 ? month - 3 : month + 9;
  long long doy = (153 * mp + 2) / 5 + day - 1;
  long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int day_of_week(int year, int month, int day) {
  // 1970-01-01 was a Thursday.
  long long weekday = (days_from_civil(year, month, day) + 4) % 7;
  return static_cast<int>(weekday < 0 ? weekday + 7 : weekday);
}

const char* short_day_name(int weekday) { return kDays[weekday]; }

const char* short_month_name(int month_index) {
  return kShortMonths[month_index];
}

const char* month_name(int month_index) { return kMonths[month_index]; }

}  // namespace tarvelo
