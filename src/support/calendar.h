// Date arithmetic on the proleptic Gregorian calendar and the English day
// and month names, for the spool file names, the Date header, the log's
// time stamp and the Windows time zone offset. No state; no clock (the
// callers read it).
#pragma once

namespace tarvelo {

// Stores in *year, *month (1 to 12) and *day (1 to 31) the date that lies
// days days after 1970-01-01 (before it when days is negative).
void civil_from_days(long long days, int* year, int* month, int* day);

// The days from 1970-01-01 to year-month-day (negative before it). month is
// 1 to 12; day counts on past the month's end or back before its start
// (day 0 is the last day of the month before), as the inverse of
// civil_from_days for valid dates.
long long days_from_civil(int year, int month, int day);

// The day of the week of year-month-day, 0 for Sunday to 6 for Saturday;
// month and day as for days_from_civil.
int day_of_week(int year, int month, int day);

// "Sun" to "Sat" for weekday 0 to 6.
const char* short_day_name(int weekday);

// "Jan" to "Dec" for month_index 0 to 11 (struct tm's tm_mon).
const char* short_month_name(int month_index);

// "January" to "December" for month_index 0 to 11.
const char* month_name(int month_index);

}  // namespace tarvelo
