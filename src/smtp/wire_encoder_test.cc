#include "smtp/wire_encoder.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvelo {
namespace {

std::string encode(const std::string& text, const char* line_end) {
  std::string out(wire_encoded_max(text.size()), '\0');
  out.resize(wire_encode(text.data(), text.size(), line_end, out.data()));
  return out;
}

TEST(WireEncode, CrlfLineEnd) {
  struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"plain\r\n", "plain\r\n"},
      {".", ".."},
      {".\r\n", "..\r\n"},
      {"a\r\n.\r\nb\r\n", "a\r\n..\r\nb\r\n"},
      {"a\r\n..x\r\n", "a\r\n...x\r\n"},
      {"a.b\r\n", "a.b\r\n"},
      {" .x\r\n", " .x\r\n"},
      {"a\nb", "a\r\nb"},
      {"a\rb", "a\r\nb"},
      {"a\n.\nb", "a\r\n..\r\nb"},
      {"a\r.", "a\r\n.."},
      {"\n\n", "\r\n\r\n"},
      {"\r\r", "\r\n\r\n"},
      {"\n\r", "\r\n\r\n"},
      {"\r\n\r", "\r\n\r\n"},
      {"x\r", "x\r\n"},
      {"\r\n.", "\r\n.."},
      {std::string("a\0.b", 4), std::string("a\0.b", 4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(c.out, encode(c.in, "\r\n"));
  }
}

TEST(WireEncode, BareLineFeedLineEndSendsNoBareCarriageReturn) {
  struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {".", ".."},
      {"a\n.\nb\n", "a\n..\nb\n"},
      {"a\r\nb\rc\n", "a\r\nb\nc\n"},
      // A bare carriage return ends a line for some receivers: it goes as a
      // line feed, and the dot after it is doubled.
      {"a\r.b", "a\n..b"},
      {"a\r.\r\n", "a\n..\r\n"},
      {"\r.\r", "\n..\n"},
      {"x\r", "x\n"},
      {"\r\r\n.", "\n\r\n.."},
      {"a\r\n.\r\n", "a\r\n..\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(c.out, encode(c.in, "\n"));
  }
}

TEST(WireEncode, WorstCaseFitsTheBound) {
  std::string in;
  for (int i = 0; i < 50; ++i) in += "\n.\r.";
  std::string out = encode(in, "\r\n");
  EXPECT_EQ(wire_encoded_max(in.size()), out.size());
}

}  // namespace
}  // namespace tarvelo
