#include "form/form_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace tarvelo {
namespace {

using pairs = std::vector<std::pair<std::string, std::string>>;

pairs parse(const std::string& body) {
  std::string copy = body;
  static form_table table;
  table = form_table();
  parse_form_body(copy.data(), &table);
  pairs out;
  for (int i = 0; i < table.form_count; ++i)
    out.emplace_back(table.names[i], table.values[i]);
  return out;
}

TEST(FormReaderTest, DecodingTable) {
  scoped_test_log log;
  struct {
    const char* body;
    pairs expected;
  } cases[] = {
      {"", {}},
      {"name=Joe+Bloggs&city=New%20York",
       {{"name", "Joe Bloggs"}, {"city", "New York"}}},
      {"flag", {{"flag", ""}}},
      {"=x", {{"", "x"}}},
      {"a=1&&b=2", {{"a", "1"}, {"", ""}, {"b", "2"}}},
      {"&a=1", {{"", ""}, {"a", "1"}}},
      {"a=1&", {{"a", "1"}}},
      {"a=1&a=2", {{"a", "1"}, {"a", "2"}}},
      {"a%3Db=c", {{"a", "b=c"}}},
      {"a=x%2By+z", {{"a", "x+y z"}}},
      {"a=%26b", {{"a", "&b"}}},
      {"t=line1%0D%0Aline2", {{"t", "line1\nline2"}}},
      {"t=%0D", {{"t", ""}}},
      {"t=a\rb", {{"t", "ab"}}},
      {"p=100%25", {{"p", "100%"}}},
      // Decoded once: what the visitor typed arrives as typed.
      {"p=100%2541", {{"p", "100%41"}}},
      {"p=50%25off", {{"p", "50%off"}}},
      {"p=%", {{"p", "%"}}},
      {"p=%4", {{"p", "%4"}}},
      {"p=%4a%4A", {{"p", "JJ"}}},
      {"p=%zz", {{"p", "S"}}},
      // Names lose carriage returns as values do.
      {"n%0D=v", {{"n", "v"}}},
      {"a%0D.%0D%0Ab=%0D.", {{"a.\nb", "."}}},
      {"k=%C3%B6", {{"k", "\xc3\xb6"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(c.expected, parse(c.body));
  }
}

TEST(FormReaderTest, MalformedEscapeBytes) {
  // Characters that are no hexadecimal digits decode by the digit formula
  // (x - 48 below "A", else (x & ~0x20) - 55), bytes above 127 taking the
  // first branch; nothing fails.
  scoped_test_log log;
  EXPECT_EQ((pairs{{"p", "\x90"}}), parse("p=%90"));
  EXPECT_EQ((pairs{{"p", "\xf0"}}), parse("p=%\xff" "0"));
  EXPECT_EQ((pairs{{"p", "+"}}), parse("p=%2b"));
}

TEST(FormReaderTest, ThousandPairsAtMost) {
  scoped_test_log log;
  std::string body;
  for (int i = 0; i < 1001; ++i) body.append("k").append(std::to_string(i)).append("=v&");
  pairs got = parse(body);
  ASSERT_EQ(1000u, got.size());
  EXPECT_EQ("k999", got.back().first);
}

TEST(FormReaderTest, PairsAreLoggedUndecoded) {
  scoped_test_log log;
  parse("a=x+y&b=%41");
  EXPECT_EQ("val [0] (a=x+y)\n\nval [1] (b=%41)\n\n", log.messages());
}

TEST(FormReaderTest, SplitToken) {
  struct {
    const char* before;
    const char* piece;
    const char* after;
  } cases[] = {
      {"a=1&b=2", "a=1", "b=2"},
      {"abc", "abc", ""},
      {"&x", "", "x"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    std::string text = c.before;
    char* piece = split_token(text.data(), '&');
    EXPECT_STREQ(c.piece, piece);
    EXPECT_STREQ(c.after, text.c_str());
    free(piece);
  }
}

TEST(FormReaderTest, ContentLengthParsing) {
  struct {
    const char* text;
    int value;
  } cases[] = {
      {"", 0},          {"12", 12},      {"  42abc", 42},  {"+7", 7},
      {"-5", -5},       {"abc", 0},      {"\t10", 10},     {"99999999999", 2147483647},
      {"-99999999999", -2147483647 - 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.value, parse_content_length(c.text));
  }
}

TEST(FormReaderTest, LookupIsExactAndDumpsTableOnce) {
  scoped_test_log log;
  std::string body = "email=x&Email=y&Email=z";
  form_table table;
  parse_form_body(body.data(), &table);
  std::string before = log.messages();
  EXPECT_STREQ("y", form_table_value(&table, "Email"));
  EXPECT_STREQ("x", form_table_value(&table, "email"));
  EXPECT_STREQ("", form_table_value(&table, "EMAIL"));
  EXPECT_STREQ("", form_table_value(&table, ""));
  EXPECT_EQ(before +
                "Form stuff 3\nForm stuff (email) (x)\nForm stuff (Email) (y)\n"
                "Form stuff (Email) (z)\n",
            log.messages());
}

}  // namespace
}  // namespace tarvelo
