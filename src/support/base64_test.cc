#include "support/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvelo {
namespace {

std::string encode(const std::string& in) {
  // A guard byte after the room the contract names shows an overrun.
  std::string out(base64_size(in.size()) + 2, '#');
  base64_encode(in.data(), in.size(), out.data());
  EXPECT_EQ('\0', out[base64_size(in.size())]) << "no NUL at the end";
  EXPECT_EQ('#', out[base64_size(in.size()) + 1]) << "wrote past the room";
  return out.substr(0, out.find('\0'));
}

// RFC 4648 10, then the groups of 0, 1, 2 and 3 bytes with high bits, NULs
// and every alphabet end.
TEST(Base64, EncodesWholeAndPartialGroups) {
  struct {
    std::string in;
    const char* out;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\0", 1), "AA=="},
      {std::string("\0\0", 2), "AAA="},
      {std::string("\0\0\0", 3), "AAAA"},
      {"\xff", "/w=="},
      {"\xff\xfe", "//4="},
      {std::string("\xff\xfe\xfd\x00", 4), "//79AA=="},
      {"\xfb\xef\xbe", "++++"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    EXPECT_EQ(c.out, encode(c.in));
  }
}

TEST(Base64, SizeCountsPadding) {
  const size_t cases[][2] = {{0, 0}, {1, 4}, {2, 4}, {3, 4}, {4, 8}, {57, 76}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    EXPECT_EQ(c[1], base64_size(c[0]));
  }
}

}  // namespace
}  // namespace tarvelo
