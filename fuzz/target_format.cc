// The formatter that stands in for snprintf: for any format the fuzzer
// builds, with any room, format_text writes what snprintf writes and
// returns what it returns.
//
// The arguments are fixed in type and order: int, int, string, long long,
// int, then a precision and a string for "%.*s", then int. The input picks
// each conversion's flags, width and kind within what the next argument's
// type allows, the literal text between conversions, the argument values
// and the room; so every format is a valid one and the comparison is fair.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_check.h"
#include "support/dyn_text.h"

using namespace tarvelo;

namespace {

class input {
 public:
  input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  int integer() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | byte();
    // Now and then the extremes, which a byte stream rarely hits.
    switch (value % 17) {
      case 0: return INT_MIN;
      case 1: return INT_MAX;
      default: return static_cast<int>(value);
    }
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

enum slot { INT_SLOT, STRING_SLOT, LONG_SLOT, PRECISION_STRING_SLOT };
constexpr slot kSlots[] = {INT_SLOT,  INT_SLOT, STRING_SLOT,
                           LONG_SLOT, INT_SLOT, PRECISION_STRING_SLOT,
                           INT_SLOT};

// A conversion with flags and a width that both formatters must agree on,
// or some that only vsnprintf takes (the formatter must then hand over).
void append_conversion(input* in, std::string* format, const char* kind) {
  static const char* const kFlags[] = {"", "", "0", " ", "0 ", " 0", "-", "+"};
  format->push_back('%');
  format->append(kFlags[in->byte() % 8]);
  int width = in->byte() % 30;
  if (width > 0 && width < 26) format->append(std::to_string(width));
  format->append(kind);
}

std::string build_format(input* in) {
  static const char kLiteral[] = "ab %-.\r\n\t:<>@|0123456789";
  std::string format;
  size_t next_slot = 0;
  while (!in->empty() && format.size() < 200) {
    uint8_t choice = in->byte();
    if (choice % 3 != 0 || next_slot >= sizeof kSlots / sizeof kSlots[0]) {
      char c = kLiteral[choice % (sizeof kLiteral - 1)];
      // A lone "%" would be a conversion of its own; write it as "%%".
      if (c == '%') format.push_back('%');
      format.push_back(c);
      continue;
    }
    switch (kSlots[next_slot++]) {
      case INT_SLOT:
        append_conversion(in, &format, in->byte() % 4 == 0 ? "c" : "d");
        break;
      case LONG_SLOT:
        append_conversion(in, &format, "lld");
        break;
      case STRING_SLOT:
        if (in->byte() % 2) {
          format.append("%s");
        } else {
          append_conversion(in, &format, "s");
        }
        break;
      case PRECISION_STRING_SLOT:
        format.append("%.*s");
        break;
    }
  }
  return format;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  input in(data, size);
  int room = in.byte() % 64 + (in.byte() % 2 ? 1 : 300);
  int a = in.integer();
  int b = in.integer();
  int c = in.integer() & 0x7f;  // also printed as a character
  long long wide = static_cast<long long>(in.integer()) * in.integer();
  int precision = static_cast<int>(in.byte()) - 40;
  std::string text(in.byte() % 20, 'x');
  for (char& ch : text) ch = static_cast<char>('a' + in.byte() % 26);
  std::string format = build_format(&in);

  std::string expected(room + 1, '\x7f');
  std::string got(room + 1, '\x7f');
  const char* words = text.c_str();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int want = snprintf(expected.data(), room, format.c_str(), c, a, words, wide,
                      b, precision, words, a);
  int n = format_text(got.data(), room, format.c_str(), c, a, words, wide, b,
                      precision, words, a);
#pragma GCC diagnostic pop
  FUZZ_CHECK(n == want);
  FUZZ_CHECK(got == expected);
  return 0;
}
