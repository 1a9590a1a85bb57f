#include "support/alloc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "testing/test_support.h"

namespace tarvelo {
namespace {

TEST(CopyOrFail, CopiesSizeBytesAndEndsThem) {
  char* copy = copy_or_fail("ab\0cd-not-this", 5, kNoMemory);
  EXPECT_EQ(std::string("ab\0cd", 5), std::string(copy, 5));
  EXPECT_EQ('\0', copy[5]);
  free(copy);
  copy = copy_text_or_fail("", kNoMemory);
  EXPECT_STREQ("", copy);
  free(copy);
}

TEST(ReallocOrFail, KeepsTheBytes) {
  char* block = static_cast<char*>(malloc_or_fail(4, kNoMemory));
  memcpy(block, "wxyz", 4);
  block = static_cast<char*>(realloc_or_fail(block, 1 << 20, kNoMemory));
  EXPECT_EQ("wxyz", std::string(block, 4));
  free(block);
}

// The message reaches the log byte for byte: the texts differ only in the
// full stop, and a site's text is what its owners search their logs for.
TEST(AllocOrFailDeathTest, EndsTheRunWithTheCallersMessage) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer aborts an impossible allocation itself";
#endif
  const char* const messages[] = {kNoMemory, kNoMemoryStop, kOutOfMemory};
  for (const char* message : messages) {
    SCOPED_TRACE(message);
    scoped_test_log log;
    EXPECT_EXIT(malloc_or_fail(SIZE_MAX, message), testing::ExitedWithCode(1),
                "");
    EXPECT_EQ(std::string(message) + "\nended\n", log.messages());
  }
  scoped_test_log log;
  EXPECT_EXIT(copy_or_fail("x", SIZE_MAX - 1, kNoMemoryStop),
              testing::ExitedWithCode(1), "");
  EXPECT_EQ("Unable to malloc memory.\nended\n", log.messages());
}

}  // namespace
}  // namespace tarvelo
