// The digit reader under every number read from outside: for any bytes and
// any limit, read_decimal counts exactly the leading digits, gives their
// number modulo 2^64, and says "over" exactly when that number (without the
// modulo) exceeds the limit.
//
// The first byte picks the limit (one of a few that callers use, or the
// next eight bytes); the rest is the text, read both with its size and, up
// to a NUL, as a C string.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "support/decimal.h"

using namespace tarvelo;

namespace {

unsigned long long pick_limit(const uint8_t** data, size_t* size) {
  static const unsigned long long kLimits[] = {
      0, 9, 255, 86400, 1000000, 2147483648ULL, kNoDecimalLimit};
  if (*size == 0) return 0;
  uint8_t choice = **data;
  ++*data;
  --*size;
  if (choice % 8 < 7) return kLimits[choice % 8];
  unsigned long long limit = 0;
  for (int i = 0; i < 8 && *size > 0; ++i, ++*data, --*size) {
    limit = limit << 8 | **data;
  }
  return limit;
}

// The reference: digit by digit with 128 bits, saturating far above 2^64.
void check(const char* text, size_t size, unsigned long long limit) {
  decimal_run run = read_decimal(text, size, limit);
  size_t digits = 0;
  unsigned long long wrapped = 0;
  unsigned __int128 exact = 0;
  const unsigned __int128 kCap = static_cast<unsigned __int128>(1) << 100;
  while (digits < size && text[digits] >= '0' && text[digits] <= '9') {
    unsigned digit = static_cast<unsigned>(text[digits] - '0');
    wrapped = wrapped * 10 + digit;
    if (exact < kCap) exact = exact * 10 + digit;
    ++digits;
  }
  FUZZ_CHECK(run.digits == digits);
  FUZZ_CHECK(run.value == wrapped);
  FUZZ_CHECK(run.over == (exact > limit));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  unsigned long long limit = pick_limit(&data, &size);
  std::string text(reinterpret_cast<const char*>(data), size);
  check(text.data(), text.size(), limit);
  // The C-string form stops at the NUL the string ends with.
  decimal_run sized = read_decimal(text.data(), strlen(text.c_str()), limit);
  decimal_run plain = read_decimal(text.c_str(), limit);
  FUZZ_CHECK(sized.digits == plain.digits && sized.value == plain.value &&
             sized.over == plain.over);
  return 0;
}
