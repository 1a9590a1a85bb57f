// Reading a run of ASCII decimal digits, for every number the gateway reads
// from outside: CONTENT_LENGTH, ini values, spool lengths, the SMTP port,
// IPv4 parts. Each caller keeps its own rules (sign, blanks, leading zeros,
// digit count, range); this reads the digits and reports what it saw. No
// state; no locale.
#pragma once

#include <cstddef>

namespace tarvelo {

// A limit no number exceeds: only the digits and the value modulo 2^64
// count.
constexpr unsigned long long kNoDecimalLimit = ~0ULL;

struct decimal_run {
  // The number the digits spell, modulo 2^64 (so its low bits are right
  // however long the run).
  unsigned long long value = 0;
  size_t digits = 0;  // digits read: the run ends before text[digits]
  bool over = false;  // the number exceeds the limit given
};

// Reads the digits "0" to "9" at the start of text, at most size bytes (it
// stops earlier at the first other byte, a NUL included). Returns their
// value, their count (0 when text does not start with a digit) and whether
// the number is greater than limit. Leading zeros count as digits.
decimal_run read_decimal(const char* text, size_t size,
                         unsigned long long limit);

// The same on a NUL-terminated text.
decimal_run read_decimal(const char* text, unsigned long long limit);

}  // namespace tarvelo
