#include "pages/html_context.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvelo {
namespace {

html_tokenizer read_all(const std::string& text) {
  html_tokenizer t;
  for (unsigned char c : text) {
    if (html_unquoted_value_begins(t, c)) t.state = HTML_ATTR_VALUE_UNQUOTED;
    html_step(&t, c);
  }
  return t;
}

TEST(HtmlTokenizerTest, EndsWhereTheParserEnds) {
  const struct {
    const char* html;
    html_state state;
    int foreign_depth;
    bool lost;
  } cases[] = {
      {"a < b <3 </>", HTML_DATA, 0, false},
      {"<script>", HTML_SCRIPT, 0, false},
      {"<SCRIPT/>x</Script\t>", HTML_DATA, 0, false},
      {"<script>'</scripts>'", HTML_SCRIPT, 0, false},
      // "<!--<script>" hides the next "</script>".
      {"<script><!--<script></script>", HTML_SCRIPT_ESCAPED, 0, false},
      {"<script><!--<script></script>--></script>", HTML_DATA, 0, false},
      {"<script><!-- </script>", HTML_DATA, 0, false},
      {"<!-->", HTML_DATA, 0, false},
      {"<!--->", HTML_DATA, 0, false},
      {"<!-- a --!>", HTML_DATA, 0, false},
      {"<!-- a -- >", HTML_COMMENT, 0, false},
      {"<!DOCTYPE html>", HTML_DATA, 0, false},
      {"<![CDATA[ </p> ]]>", HTML_DATA, 0, false},
      {"<?php x ?>", HTML_DATA, 0, false},
      {"<title><b></title>", HTML_DATA, 0, false},
      {"<textarea></textareax>", HTML_RCDATA, 0, false},
      {"<style></styl>", HTML_RAWTEXT, 0, false},
      {"<noscript><p></noscript >", HTML_DATA, 0, false},
      {"<plaintext></plaintext>", HTML_PLAINTEXT, 0, false},
      {"<a b='>'>", HTML_DATA, 0, false},
      {"<a b='>", HTML_ATTR_VALUE_SINGLE, 0, false},
      {"<a b=c d", HTML_ATTR_NAME, 0, false},
      {"<a b=>", HTML_DATA, 0, false},
      {"</a title='>'>", HTML_DATA, 0, false},
      // svg and math: no raw text inside; CDATA is a section there.
      {"<svg><style>", HTML_DATA, 1, true},
      {"<svg><![CDATA[</svg>]]>", HTML_DATA, 1, false},
      {"<svg><svg></svg>", HTML_DATA, 1, false},
      {"<math></math><style>", HTML_RAWTEXT, 0, false},
      {"<svg/><style>", HTML_RAWTEXT, 0, false},
      {"<svg><p>", HTML_DATA, 1, true},
      {"<svg></p>", HTML_DATA, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    html_tokenizer t = read_all(c.html);
    EXPECT_EQ(c.state, t.state);
    EXPECT_EQ(c.foreign_depth, t.foreign_depth);
    EXPECT_EQ(c.lost, t.lost);
  }
}

TEST(HtmlUrlTest, OnlyWebAndMailSchemesAreAllowed) {
  const struct {
    const char* value;
    bool allowed;
  } cases[] = {
      {"", true},
      {"thanks.html", true},
      {"http://example.com/", true},
      {"HTTPS://example.com/", true},
      {"mailto:ann@example.com", true},
      {"/a:b", true},
      {"?a:b", true},
      {"#a:b", true},
      {"a b:c", true},
      {":x", true},
      {"javascript:x", false},
      {"JaVaScRiPt:x", false},
      {"data:text/html,x", false},
      {"vbscript:x", false},
      {"1abc:x", false},
      {"java\tscript:x", false},
      {"java\nscr\ript:x", false},
      {" \x01\x1f javascript:x", false},
      // As the browser decodes the attribute before it parses the address.
      {"java&#x09;script:x", false},
      {"javascript&colon;x", false},
      {"&#106;avascript:x", false},
      {"&#106avascript:x", false},
      {"&#X6A;avascript:x", false},
      {"java&Tab;script&NewLine;:x", false},
      {"javascript&amp;colon;x", true},
      {"&#0;javascript:x", true},
      {"&#1114112;javascript:x", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(c.allowed, html_url_is_allowed(c.value));
  }
}

TEST(HtmlUrlTest, RefreshAddressIsCheckedAfterUrl) {
  const struct {
    const char* value;
    bool allowed;
  } cases[] = {
      {"5", true},
      {"0; url=thanks.html", true},
      {"0;URL=https://example.com/", true},
      {"0; url=javascript:x", false},
      {"0;URL='javascript:x'", false},
      {" 1.5 , url = data:x", false},
      {"0;url=java&#9;script:x", false},
      {"javascript:x", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(c.allowed, html_refresh_is_allowed(c.value));
  }
}

}  // namespace
}  // namespace tarvelo
