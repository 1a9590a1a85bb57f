#include "support/dyn_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace tarvelo {
namespace {

const char* format_into(format_scratch* scratch, int* length,
                        const char* format, ...) TARVELO_PRINTF(3, 4);
const char* format_into(format_scratch* scratch, int* length,
                        const char* format, ...) {
  va_list args;
  va_start(args, format);
  const char* out = format_with_scratch(scratch, length, format, args);
  va_end(args);
  return out;
}

// Texts that end just below, at and just past the first block, appended in
// two pieces and assigned whole: every byte kept, the text ended by a NUL
// inside the block, and a shorter assignment afterwards reads right.
TEST(DynTextTest, TextsAroundTheFirstBlockStayWhole) {
  for (int size : {0, 1, kDynTextStartRoom - 2, kDynTextStartRoom - 1,
                   kDynTextStartRoom, kDynTextStartRoom + 1, 100000}) {
    SCOPED_TRACE(size);
    std::string head(size / 2, 'h');
    std::string tail(size - size / 2, 't');
    dyn_text* text = dyn_text_new("");
    dyn_text_append(text, "%s", head.c_str());
    dyn_text_append_bytes(text, tail.data(), static_cast<int>(tail.size()));
    ASSERT_EQ(size, text->length);
    ASSERT_LT(text->length, text->capacity);
    EXPECT_EQ(head + tail, std::string(text->data, text->length));
    EXPECT_EQ('\0', text->data[size]);
    dyn_text_assign(text, "%s", "short");
    EXPECT_EQ(5, text->length);
    EXPECT_STREQ("short", text->data);
    dyn_text_free(text);
  }
  dyn_text* seeded = dyn_text_new("abc");
  EXPECT_EQ(3, seeded->length);
  EXPECT_STREQ("abc", seeded->data);
  dyn_text_free(seeded);
}

TEST(DynTextTest, AppendKeepsEarlierTextAndPercentInArguments) {
  dyn_text* text = dyn_text_new("");
  dyn_text_append(text, "%s=%d;", "a%s", 1);
  dyn_text_append(text, "%s", "50%off");
  EXPECT_STREQ("a%s=1;50%off", text->data);
  dyn_text_free(text);
}

// A 13 MB message built from short lines: growing by a fixed 20000 bytes
// copied the text some 650 times; growing by half the block each time past
// the first block copies it a handful of times, and every byte stays.
TEST(DynTextTest, BigTextsGrowGeometrically) {
  dyn_text* text = dyn_text_new("");
  const std::string line = "           \r\n";  // 13 bytes
  int steps = 0;
  while (text->length < 13000000) {
    int before = text->capacity;
    dyn_text_append_bytes(text, line.data(), 13);
    if (text->capacity == before) continue;
    ++steps;
    if (text->length > kDynTextStartRoom) {
      EXPECT_GE(text->capacity, before + before / 2);
    }
  }
  EXPECT_LE(steps, 20);
  EXPECT_EQ(static_cast<size_t>(text->length), strlen(text->data));
  EXPECT_EQ(0, memcmp(text->data + text->length - 13, line.data(), 13));
  dyn_text_free(text);
}

TEST(DynTextTest, FreeOfNullDoesNothing) { dyn_text_free(nullptr); }

TEST(FormatScratchTest, LongTextsComeWholeAndOverflowDoublingSticks) {
  static format_scratch scratch;
  int n = 0;
  std::string fits(62999, 'f');
  const char* out = format_into(&scratch, &n, "%s", fits.c_str());
  EXPECT_EQ(scratch.fixed, out);
  EXPECT_EQ(nullptr, scratch.overflow);

  std::string medium(63000, 'm');
  out = format_into(&scratch, &n, "%s", medium.c_str());
  EXPECT_EQ(63000, n);
  EXPECT_EQ(medium, std::string(out, n));
  EXPECT_EQ(64000, scratch.overflow_size);

  std::string big(100000, 'b');
  out = format_into(&scratch, &n, "<%s>", big.c_str());
  EXPECT_EQ(100002, n);
  EXPECT_EQ("<" + big + ">", std::string(out));
  EXPECT_EQ(128000, scratch.overflow_size);

  // The doubled size stays in force: the next overflow needs no growth.
  out = format_into(&scratch, &n, "%s", medium.c_str());
  EXPECT_EQ(medium, std::string(out));
  EXPECT_EQ(128000, scratch.overflow_size);

  // At most overflow size - 2 characters fit.
  std::string edge(127999, 'e');
  out = format_into(&scratch, &n, "%s", edge.c_str());
  EXPECT_EQ(127999, n);
  EXPECT_EQ(256000, scratch.overflow_size);
}

// The scratch formatter takes the plain formats itself and leaves the rest
// to vsnprintf; either way the text must be what snprintf gives.
std::string by_snprintf(const char* format, ...) TARVELO_PRINTF(1, 2);
std::string by_snprintf(const char* format, ...) {
  char out[512];
  va_list args;
  va_start(args, format);
  vsnprintf(out, sizeof out, format, args);
  va_end(args);
  return out;
}

TEST(FormatScratchTest, EveryFormatMatchesSnprintf) {
  static format_scratch scratch;
  int n = -1;
  // volatile: the compiler must not see the null and refuse the format.
  static const char* volatile null_text = nullptr;
  std::string long_text(62990, 'x');
#define SAME(...)                                                    \
  do {                                                               \
    SCOPED_TRACE(#__VA_ARGS__);                                      \
    const char* out = format_into(&scratch, &n, __VA_ARGS__);        \
    EXPECT_EQ(by_snprintf(__VA_ARGS__), std::string(out));           \
    EXPECT_EQ(strlen(out), static_cast<size_t>(n));                  \
  } while (0)
  SAME("plain text, no conversion");
  SAME("%s", "");
  SAME("%s%s %s%s", "Subject:", "", "hello", "\r\n");
  SAME("RCPT TO:<%s>", "me+tag@example.com");
  SAME("%d|%d|%d|%d|%d", 0, 7, -7, 2147483647, -2147483647 - 1);
  SAME("100%% sure, %d%%", 50);
  SAME("%.*s%s %.*s%s", 3, "abcdef", ":", 0, "zzz", "!");
  SAME("%.*s|", 10, "short");
  SAME("%.*s|", -1, "negative precision is none");
  SAME("%.*s|", 4, "ab\0cd");
  // The date, the log stamp and the message id.
  SAME("%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d", "Tue", 8, "Dec", 2026, 3,
       7, 0, '+', 1, 30);
  SAME("%d%s %s %04d, % 2d:%02d:%02d %s", 18, "th", "March", 2002, 9, 10, 55,
       "am");
  SAME("[% 2d][% 2d][% 2d][% 2d]", 0, 12, -3, -123);
  SAME("<%lld.%d.%s@%s>", 1765160000123LL, 4242, "abcdef", "host.example");
  SAME("[%05d][%05d][% 05d][%2d][%1d][%3c][%c]", -42, 123456, 42, 7, 99, 'x',
       'y');
  SAME("[%lld][%lld][%020lld]", -9223372036854775807LL - 1,
       9223372036854775807LL, -5LL);
  // Left to vsnprintf: null strings, widths, flags, other conversions.
  SAME("[%s]", null_text);
  SAME("[%.*s]", 3, null_text);
  SAME("% 2d:%02d", 9, 5);
  SAME("%c%lld%u%x", 'q', 1234567890123LL, 42u, 255u);
  SAME("%5s|%-5s|", "ab", "cd");
  SAME("%.3s|%*d|%ld|%x", "abcdef", 4, 7, 123456789L, 255u);
  SAME("%025d", 1);
  SAME("%s and %d then %5d", "mixed", 1, 2);
#undef SAME
  // A text that does not fit the fixed part still comes whole.
  const char* out = format_into(&scratch, &n, "%s%s", long_text.c_str(),
                                "0123456789abcdef");
  EXPECT_EQ(long_text + "0123456789abcdef", std::string(out));
  EXPECT_EQ(63006, n);
}

TEST(FormatTextTest, CutsLikeSnprintf) {
  char out[8];
  EXPECT_EQ(10, format_text(out, sizeof out, "%s", "0123456789"));
  EXPECT_STREQ("0123456", out);
  EXPECT_EQ(7, format_text(out, sizeof out, "%d%s", -123, "abc"));
  EXPECT_STREQ("-123abc", out);
  EXPECT_EQ(8, format_text(out, sizeof out, "%d%s", -123, "abcd"));
  EXPECT_STREQ("-123abc", out);
}

}  // namespace
}  // namespace tarvelo
