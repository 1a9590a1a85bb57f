#include "support/calendar.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvelo {
namespace {

// Day numbers from the Unix epoch, around the leap days and the century
// rules (2000 leaps, 2100 does not) and the 32-bit time limit of 2038.
TEST(Calendar, KnownDaysBothWays) {
  struct {
    long long days;
    int year, month, day, weekday;
  } cases[] = {
      {0, 1970, 1, 1, 4},         {-1, 1969, 12, 31, 3},
      {59, 1970, 3, 1, 0},        {11016, 2000, 2, 29, 2},
      {11017, 2000, 3, 1, 3},     {19782, 2024, 2, 29, 4},
      {24855, 2038, 1, 19, 2},    {47540, 2100, 2, 28, 0},
      {47541, 2100, 3, 1, 1},     {-135081, 1600, 2, 29, 2},
      {-719468, 0, 3, 1, 3},      {2932896, 9999, 12, 31, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.days);
    int year = 0, month = 0, day = 0;
    civil_from_days(c.days, &year, &month, &day);
    EXPECT_EQ(c.year, year);
    EXPECT_EQ(c.month, month);
    EXPECT_EQ(c.day, day);
    EXPECT_EQ(c.days, days_from_civil(c.year, c.month, c.day));
    EXPECT_EQ(c.weekday, day_of_week(c.year, c.month, c.day));
  }
}

// Every day of several centuries follows the day before it: a wrong era or
// leap rule shows as a skipped or repeated date.
TEST(Calendar, ConsecutiveDaysAreConsecutiveDates) {
  int year = 0, month = 0, day = 0;
  civil_from_days(-150000, &year, &month, &day);
  for (long long days = -149999; days < 150000; ++days) {
    int y = 0, m = 0, d = 0;
    civil_from_days(days, &y, &m, &d);
    bool next_day = y == year && m == month && d == day + 1;
    bool next_month = y == year && m == month + 1 && d == 1;
    bool next_year = y == year + 1 && m == 1 && d == 1 && month == 12;
    ASSERT_TRUE(next_day || next_month || next_year)
        << days << ": " << y << "-" << m << "-" << d;
    ASSERT_EQ(days, days_from_civil(y, m, d));
    year = y, month = m, day = d;
  }
}

// struct tm may carry a day outside its month; it counts on.
TEST(Calendar, DayOutsideTheMonthCountsOn) {
  EXPECT_EQ(days_from_civil(2024, 3, 1), days_from_civil(2024, 2, 30));
  EXPECT_EQ(days_from_civil(2023, 12, 31), days_from_civil(2024, 1, 0));
}

TEST(Calendar, Names) {
  EXPECT_STREQ("Sun", short_day_name(0));
  EXPECT_STREQ("Sat", short_day_name(6));
  EXPECT_STREQ("Jan", short_month_name(0));
  EXPECT_STREQ("Dec", short_month_name(11));
  EXPECT_STREQ("January", month_name(0));
  EXPECT_STREQ("September", month_name(8));
  EXPECT_STREQ("December", month_name(11));
}

}  // namespace
}  // namespace tarvelo
