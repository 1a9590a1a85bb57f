#include "support/html_escape.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace tarvelo {
namespace {

std::string written(const char* text, html_escape_set set) {
  FILE* file = tmpfile();
  html_escape_write(file, text, set);
  std::string result(static_cast<size_t>(ftell(file)), '\0');
  rewind(file);
  size_t got = fread(result.data(), 1, result.size(), file);
  fclose(file);
  return result.substr(0, got);
}

// The three ways out give the same text; the sets differ only in the
// apostrophe.
TEST(HtmlEscape, BothSetsEveryWayOut) {
  struct {
    const char* text;
    const char* markup;
    const char* with_apostrophe;
  } cases[] = {
      {"", "", ""},
      {"plain text", "plain text", "plain text"},
      {"&", "&amp;", "&amp;"},
      {"<>\"'", "&lt;&gt;&quot;'", "&lt;&gt;&quot;&#39;"},
      {"a&&b", "a&amp;&amp;b", "a&amp;&amp;b"},
      {"&amp;", "&amp;amp;", "&amp;amp;"},
      {"<script>alert('x')</script>",
       "&lt;script&gt;alert('x')&lt;/script&gt;",
       "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"},
      {"J\xc3\xbcrgen\n2nd line", "J\xc3\xbcrgen\n2nd line",
       "J\xc3\xbcrgen\n2nd line"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const struct {
      html_escape_set set;
      const char* expected;
    } sets[] = {{HTML_ESCAPE_MARKUP, c.markup},
                {HTML_ESCAPE_MARKUP_AND_APOSTROPHE, c.with_apostrophe}};
    for (const auto& s : sets) {
      SCOPED_TRACE(s.set);
      EXPECT_EQ(s.expected, written(c.text, s.set));
      std::string appended = "kept:";
      html_escape_append(&appended, c.text, s.set);
      EXPECT_EQ(std::string("kept:") + s.expected, appended);
      char bounded[64];
      EXPECT_EQ(strlen(s.expected),
                html_escape_bounded(c.text, s.set, bounded, 63));
      EXPECT_STREQ(s.expected, bounded);
    }
  }
}

// An entity goes in whole or not at all, and nothing follows it then.
TEST(HtmlEscape, BoundedStopsBeforeAnEntityThatDoesNotFit) {
  struct {
    const char* text;
    size_t max_length;
    const char* expected;
  } cases[] = {
      {"ab&c", 7, "ab&amp;"}, {"ab&c", 6, "ab"},   {"ab&c", 8, "ab&amp;c"},
      {"abcd", 3, "abc"},     {"'x", 1, ""},       {"\"", 5, ""},
      {"\"", 6, "&quot;"},    {"x", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " " + std::to_string(c.max_length));
    char out[16];
    memset(out, '#', sizeof out);
    size_t length = html_escape_bounded(
        c.text, HTML_ESCAPE_MARKUP_AND_APOSTROPHE, out, c.max_length);
    EXPECT_STREQ(c.expected, out);
    EXPECT_EQ(strlen(c.expected), length);
    EXPECT_EQ('#', out[c.max_length + 1]) << "wrote past max_length + 1";
  }
}

}  // namespace
}  // namespace tarvelo
