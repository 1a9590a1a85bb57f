#include "support/dyn_text.h"

#include <gtest/gtest.h>

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

TEST(DynTextTest, NewBufferStartsEmptyWithRoom) {
  dyn_text* text = dyn_text_new("");
  EXPECT_EQ(0, text->length);
  EXPECT_EQ(64000, text->capacity);
  EXPECT_STREQ("", text->data);
  dyn_text_free(text);
  dyn_text* seeded = dyn_text_new("abc");
  EXPECT_EQ(3, seeded->length);
  EXPECT_EQ(64003, seeded->capacity);
  dyn_text_free(seeded);
}

TEST(DynTextTest, ExactFitGrowsBecauseTheTestIsStrict) {
  dyn_text* text = dyn_text_new("");
  std::string almost(63998, 'a');
  dyn_text_append(text, "%s", almost.c_str());
  EXPECT_EQ(64000, text->capacity);  // 63998 + 1 < 64000: fits
  dyn_text_append(text, "%s", "b");  // 63999 + 1 is not < 64000
  EXPECT_EQ(63999, text->length);
  EXPECT_EQ(63998 + 1 + 20000, text->capacity);
  EXPECT_EQ('b', text->data[63998]);
  EXPECT_EQ('\0', text->data[63999]);
  dyn_text_free(text);
}

TEST(DynTextTest, AppendKeepsEarlierTextAndPercentInArguments) {
  dyn_text* text = dyn_text_new("");
  dyn_text_append(text, "%s=%d;", "a%s", 1);
  dyn_text_append(text, "%s", "50%off");
  EXPECT_STREQ("a%s=1;50%off", text->data);
  dyn_text_free(text);
}

TEST(DynTextTest, AssignShortTextKeepsLargeBlock) {
  dyn_text* text = dyn_text_new("");
  std::string big(100000, 'x');
  dyn_text_assign(text, "%s", big.c_str());
  EXPECT_EQ(100000, text->length);
  EXPECT_EQ(120000, text->capacity);
  dyn_text_assign(text, "%s", "short");
  EXPECT_STREQ("short", text->data);
  EXPECT_EQ(120000, text->capacity);
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

}  // namespace
}  // namespace tarvelo
