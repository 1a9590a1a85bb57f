#include "support/decimal.h"

#include <cstdint>

namespace tarvelo {

decimal_run read_decimal(const char* text, size_t size,
                         unsigned long long limit) {
  decimal_run run;
  while (run.digits < size && text[run.digits] >= '0' &&
         text[run.digits] <= '9') {
    unsigned digit = static_cast<unsigned>(text[run.digits] - '0');
    // value * 10 + digit > limit, asked without overflowing.
    if (!run.over && (run.value > limit / 10 ||
                      (run.value == limit / 10 && digit > limit % 10))) {
      run.over = true;
    }
    run.value = run.value * 10 + digit;  // unsigned: wraps modulo 2^64
    ++run.digits;
  }
  return run;
}

decimal_run read_decimal(const char* text, unsigned long long limit) {
  return read_decimal(text, SIZE_MAX, limit);
}

}  // namespace tarvelo
