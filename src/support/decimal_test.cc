#include "support/decimal.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace tarvelo {
namespace {

TEST(ReadDecimal, ValueDigitsAndLimit) {
  struct {
    const char* text;
    unsigned long long limit;
    unsigned long long value;
    size_t digits;
    bool over;
  } cases[] = {
      {"", 10, 0, 0, false},
      {"x1", 10, 0, 0, false},
      {"-1", 10, 0, 0, false},
      {"0", 0, 0, 1, false},
      {"007", 7, 7, 3, false},
      {"10", 10, 10, 2, false},
      {"11", 10, 11, 2, true},
      {"19", 10, 19, 2, true},
      {"100", 10, 100, 3, true},
      {"86400 ", 86400, 86400, 5, false},
      {"86401", 86400, 86401, 5, true},
      {"2147483648", 2147483648ULL, 2147483648ULL, 10, false},
      {"2147483649", 2147483648ULL, 2147483649ULL, 10, true},
      {"18446744073709551615", ULLONG_MAX, ULLONG_MAX, 20, false},
      // One past 2^64 - 1: over, and the value wraps to 0.
      {"18446744073709551616", ULLONG_MAX, 0, 20, true},
      // 2^64 + 25: the low 16 bits still say 25.
      {"18446744073709551641x", ULLONG_MAX, 25, 20, true},
      {"12:", 100, 12, 2, false},
      {"9\n", 8, 9, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    decimal_run run = read_decimal(c.text, c.limit);
    EXPECT_EQ(c.value, run.value);
    EXPECT_EQ(c.digits, run.digits);
    EXPECT_EQ(c.over, run.over);
  }
}

// A text without its NUL ends where its size says, even inside the digits.
TEST(ReadDecimal, StopsAtTheSize) {
  const std::string text = "12345";
  decimal_run run = read_decimal(text.data(), 3, 1000);
  EXPECT_EQ(123u, run.value);
  EXPECT_EQ(3u, run.digits);
  EXPECT_FALSE(run.over);
  EXPECT_EQ(0u, read_decimal(text.data(), 0, 1000).digits);
}

}  // namespace
}  // namespace tarvelo
