#include "tools/faq.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace tarvelo {
namespace {

using rule_table = std::array<faq_rule, kFaqRuleEntries>;

// A copy of a rule table with its counters at 0, as at process start.
rule_table fresh(const faq_rule* rules) {
  rule_table copy;
  std::copy(rules, rules + kFaqRuleEntries, copy.begin());
  for (faq_rule& rule : copy) rule.count = 0;
  return copy;
}

template <typename Print>
std::string captured(Print print) {
  char* data = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  print(out);
  fclose(out);
  std::string text(data, size);
  free(data);
  return text;
}

std::string page(std::vector<const char*> lines) {
  lines.push_back(nullptr);
  rule_table toc = fresh(toc_rules);
  rule_table body = fresh(body_rules);
  return captured([&](FILE* out) {
    print_faq_page_to(lines.data(), toc.data(), body.data(), out);
  });
}

std::string section(std::vector<const char*> lines, faq_rule* rules) {
  lines.push_back(nullptr);
  return captured(
      [&](FILE* out) { print_faq_section(lines.data(), rules, out); });
}

const char kHead[] =
    "<HTML>\n<HEAD></HEAD>\n<BODY>\n<H2>TARVELO FAQ</H2><BR><UL>";
const char kTail[] = "</BODY>\n</HTML>\n";

TEST(FaqPageTest, EightLineListPrintsContentsThenEscapedAnswers) {
  EXPECT_EQ(std::string(kHead) +
                "<li><A HREF=\"#Q1\">Q 1 </A>\n"
                "Is <i>this</i> raw?\n"
                "</li>\n\n"
                "</UL><BR>"
                "<BR><H3><a name=\"Q1\">Q 1 </a>\n"
                "Is <i>this</i> raw?\n"
                "</H3><B>A 1 - </B>\n"
                "Use &lt;, &gt;, &amp; and &quot; freely, it's fine\n"
                "<pre>\n"
                "a < b\n"
                "</pre>\n"
                "Done &amp; dusted\n" +
                kTail,
            page({"[q]", "Is <i>this</i> raw?", "[a]",
                  "Use <, >, & and \" freely, it's fine", "[pre]", "a < b",
                  "[/pre]", "Done & dusted"}));
}

TEST(FaqPageTest, SecondQuestionIsNumberedTwoInBothPasses) {
  EXPECT_EQ(
      std::string(kHead) +
          "<li><A HREF=\"#Q1\">Q 1 </A>\n"
          "One?\n"
          "</li>\n\n"
          "<li><A HREF=\"#Q2\">Q 2 </A>\n"
          "Two?\n"
          "</li>\n\n"
          "</UL><BR>"
          "<BR><H3><a name=\"Q1\">Q 1 </a>\n"
          "One?\n"
          "</H3><B>A 1 - </B>\n"
          "a &lt; 1\n"
          "\n"
          "<BR><H3><a name=\"Q2\">Q 2 </a>\n"
          "Two?\n"
          "</H3><B>A 2 - </B>\n"
          "b &gt; 2\n" +
          kTail,
      page({"[q]", "One?", "[a]", "a < 1", "", "[q]", "Two?", "[a]", "b > 2"}));
}

TEST(FaqPageTest, LinesBeforeTheFirstQuestionGoOutRawInBothPasses) {
  EXPECT_EQ(
      std::string(kHead) + "<p>intro</p>\n</UL><BR><p>intro</p>\n" + kTail,
      page({"<p>intro</p>"}));
}

TEST(FaqSectionTest, MarkersInsideLines) {
  struct {
    const char* line;
    const char* printed;
  } cases[] = {
      // Replaced where it stands; the rest of the line stays.
      {"see [pre] here", "see <pre> here"},
      // Only the first of two equal markers is replaced.
      {"[pre] and [pre]", "<pre> and [pre]"},
      // Two different markers are both replaced, each once.
      {"[pre]x[/pre]", "<pre>x</pre>"},
      {"[/pre][pre]", "</pre><pre>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    rule_table body = fresh(body_rules);
    EXPECT_EQ(std::string(c.printed) + "\n", section({c.line}, body.data()));
  }
}

TEST(FaqSectionTest, LastMatchingRuleSetsTheModes) {
  // "[/pre]" comes after "[pre]" in the table: escaping starts on the next
  // line, which shows the modes of "[/pre]" won.
  rule_table body = fresh(body_rules);
  EXPECT_EQ("<pre>x</pre>\n&lt;b&gt;\n",
            section({"[pre]x[/pre]", "<b>"}, body.data()));
  // Alone, "[pre]" keeps printing raw.
  body = fresh(body_rules);
  EXPECT_EQ("<pre>\n<b>\n", section({"[pre]", "<b>"}, body.data()));
}

TEST(FaqSectionTest, ContentsPassHidesAnswersAndEmptyLines) {
  rule_table toc = fresh(toc_rules);
  EXPECT_EQ("<li><A HREF=\"#Q1\">Q 1 </A>\nWhy?\n</li>\n\n",
            section({"[q]", "Why?", "[a]", "", "answer", "[pre]", "code",
                     "[/pre]", ""},
                    toc.data()));
}

TEST(FaqSectionTest, CountersAreNeverReset) {
  rule_table body = fresh(body_rules);
  section({"[q]", "First"}, body.data());
  EXPECT_EQ("<BR><H3><a name=\"Q2\">Q 2 </a>\nAgain\n",
            section({"[q]", "Again"}, body.data()));
}

TEST(FaqSectionTest, LongLinesAreCutTo1998Characters) {
  std::string long_line(2500, 'x');
  rule_table body = fresh(body_rules);
  EXPECT_EQ(std::string(kFaqLineMax, 'x') + "\n",
            section({long_line.c_str()}, body.data()));
  // The replacement may push the line over the limit; it is cut again.
  std::string near_full = "[pre]" + std::string(kFaqLineMax - 5, 'y');
  body = fresh(body_rules);
  EXPECT_EQ("<pre>" + std::string(kFaqLineMax - 5, 'y') + "\n",
            section({near_full.c_str()}, body.data()));
}

// Each mode of each kind, in rules the shipped tables do not combine.
TEST(FaqSectionTest, EveryModeTakesEffectWhenItSays) {
  faq_rule rules[] = {
      {"[e]", "E", 0, FAQ_SHOW_UNCHANGED, FAQ_ESCAPE_NOW},
      {"[r]", "R", 0, FAQ_SHOW_UNCHANGED, FAQ_RAW_NEXT},
      {"[n]", "N", 0, FAQ_SHOW_UNCHANGED, FAQ_ESCAPE_NEXT},
      {"[w]", "W", 0, FAQ_SHOW_UNCHANGED, FAQ_RAW_NOW},
      {"[h]", "H", 0, FAQ_HIDE_NEXT, FAQ_RAW_NOW},
      {"[s]", "S", 0, FAQ_SHOW_NOW, FAQ_RAW_NOW},
      {"[x]", "X", 0, FAQ_SHOW_NEXT, FAQ_RAW_NOW},
      {nullptr, nullptr, 0, FAQ_SHOW_NEXT, FAQ_RAW_NOW},
  };
  EXPECT_EQ(
      "<a>\n"
      "E&lt;b&gt;\n"
      "&lt;c&gt;\n"
      "R&lt;d&gt;\n"
      "<e>\n"
      "N<f>\n"
      "&lt;g&gt;\n"
      "W<h>\n"
      "H<i>\n"
      "S<k>\n"
      "<l>\n",
      section({"<a>", "[e]<b>", "<c>", "[r]<d>", "<e>", "[n]<f>", "<g>",
               "[w]<h>", "[h]<i>", "<j>", "[s]<k>", "<l>"},
              rules));
  faq_rule hidden[] = {
      {"[h]", "H", 0, FAQ_HIDE_NEXT, FAQ_RAW_NOW},
      {"[x]", "X", 0, FAQ_SHOW_NEXT, FAQ_RAW_NOW},
      {nullptr, nullptr, 0, FAQ_SHOW_NEXT, FAQ_RAW_NOW},
  };
  // A hidden line that shows from the next line on is not printed itself.
  EXPECT_EQ("H1\n2\n",
            section({"[h]1", "[x]hidden", "2"}, hidden));
}

std::string escaped(const std::string& text) {
  return captured(
      [&](FILE* out) { html_escape_print(out, "[%s]", text.c_str()); });
}

TEST(HtmlEscapeTest, EscapesFourCharactersOnly) {
  EXPECT_EQ("[&lt;a href=&quot;x&quot;&gt;Tom &amp; Jerry's&lt;/a&gt;]",
            escaped("<a href=\"x\">Tom & Jerry's</a>"));
  EXPECT_EQ("[]", escaped(""));
}

TEST(HtmlEscapeTest, EntityThatDoesNotFitEndsTheText) {
  struct {
    int prefix;
    const char* tail;
    std::string expected_tail;
  } cases[] = {
      {kFaqLineMax - 5, "&z", "&amp;"},  // fits exactly; the walk ends
      {kFaqLineMax - 4, "&z", ""},       // one short: nothing of it
      {kFaqLineMax - 1, "<z", ""},        {kFaqLineMax - 1, "zz", "z"},
      {kFaqLineMax - 6, "\"z", "&quot;"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prefix);
    std::string prefix(c.prefix, 'a');
    EXPECT_EQ("[" + prefix + c.expected_tail + "]", escaped(prefix + c.tail));
  }
}

TEST(FaqLinesTest, ListKeepsItsShape) {
  int questions = 0;
  bool in_answer = false;
  bool in_pre = false;
  int index = 0;
  for (const char* const* line = faq_lines; *line != nullptr; ++line, ++index) {
    SCOPED_TRACE(index);
    std::string text = *line;
    EXPECT_EQ(std::string::npos, text.find("||")) << text;
    EXPECT_EQ(std::string::npos, text.find('%')) << text;
    EXPECT_EQ(std::string::npos, text.find('\n')) << text;
    EXPECT_LE(text.size(), static_cast<size_t>(kFaqLineMax));
    if (index == 0) {
      EXPECT_EQ("[q]", text);
    }
    if (text == "[q]") {
      EXPECT_FALSE(in_pre) << "question inside a pre block";
      ++questions;
      ASSERT_NE(nullptr, line[1]);
      ASSERT_NE(nullptr, line[2]);
      EXPECT_EQ(nullptr, strchr(line[1], '[')) << "question line expected";
      EXPECT_STREQ("[a]", line[2]);
      in_answer = false;
    } else if (text == "[a]") {
      in_answer = true;
    } else if (text == "[pre]") {
      EXPECT_TRUE(in_answer);
      EXPECT_FALSE(in_pre);
      in_pre = true;
    } else if (text == "[/pre]") {
      EXPECT_TRUE(in_pre);
      in_pre = false;
    } else {
      // Markers stand alone on their lines.
      for (const char* marker : {"[q]", "[a]", "[pre]", "[/pre]"}) {
        EXPECT_EQ(std::string::npos, text.find(marker)) << text;
      }
    }
  }
  EXPECT_FALSE(in_pre);
  EXPECT_EQ(37, questions);
}

TEST(FaqLinesTest, RealPageLinksEveryQuestionToItsAnchor) {
  rule_table toc = fresh(toc_rules);
  rule_table body = fresh(body_rules);
  std::string text = captured([&](FILE* out) {
    print_faq_page_to(faq_lines, toc.data(), body.data(), out);
  });
  size_t contents_end = text.find("</UL><BR>");
  ASSERT_NE(std::string::npos, contents_end);
  std::string contents = text.substr(0, contents_end);
  std::string answers = text.substr(contents_end);
  size_t links = 0;
  for (size_t at = contents.find("<li>"); at != std::string::npos;
       at = contents.find("<li>", at + 1)) {
    ++links;
  }
  EXPECT_EQ(37u, links);
  size_t last_link = 0;
  size_t last_anchor = 0;
  for (int n = 1; n <= 37; ++n) {
    SCOPED_TRACE(n);
    std::string number = std::to_string(n);
    size_t link = contents.find("<li><A HREF=\"#Q" + number + "\">Q " + number +
                                " </A>\n");
    ASSERT_NE(std::string::npos, link);
    EXPECT_GE(link, last_link);
    last_link = link;
    size_t anchor =
        answers.find("<a name=\"Q" + number + "\">Q " + number + " </a>\n");
    ASSERT_NE(std::string::npos, anchor);
    EXPECT_GE(anchor, last_anchor);
    last_anchor = anchor;
    EXPECT_NE(std::string::npos, answers.find("<B>A " + number + " - </B>"));
  }
  EXPECT_EQ(std::string::npos, answers.find("Q 38 "));
  EXPECT_EQ(kTail, text.substr(text.size() - strlen(kTail)));
}

}  // namespace
}  // namespace tarvelo
