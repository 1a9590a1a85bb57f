#include "pages/reply_page.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "support/log.h"
#include "support/test_support.h"

namespace tarvelo {
namespace {

const std::string kHead = "Pragma: no-cache\nContent-type: text/html\n\n";
const std::string kFooter =
    std::string("<br><center><font size=-2><A HREF=\"") + kProductUrl + "\">" +
    kProductCredit + "</A><font size=+2></center>";

using field_list = std::vector<std::pair<std::string, std::string>>;

// Collects what a render prints, like a web server reading the CGI output.
class captured_output {
 public:
  captured_output() : file_(open_memstream(&data_, &size_)) {}
  ~captured_output() {
    if (file_ != nullptr) fclose(file_);
    free(data_);
  }
  FILE* file() { return file_; }
  std::string text() {
    fflush(file_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  FILE* file_;
};

class ReplyPageTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = testing::TempDir() + "reply_page_" + std::to_string(getpid()) +
              "_" +
              testing::UnitTest::GetInstance()->current_test_info()->name();
    mkdir(folder_.c_str(), 0700);
    log_file_ = folder_ + "/test.log";
    fclose(fopen(log_file_.c_str(), "w"));  // empty the log, same file
    log_set_path(log_file_.c_str());
    log_set_logging("errors");
  }
  void TearDown() override {
    log_set_path("");
    log_set_logging(nullptr);
    for (int i = 0; i < form_.form_count; ++i) {
      free(form_.names[i]);
      free(form_.values[i]);
    }
  }

  void set_fields(const field_list& fields) {
    for (const auto& [name, value] : fields) {
      form_.names[form_.form_count] = strdup(name.c_str());
      form_.values[form_.form_count] = strdup(value.c_str());
      ++form_.form_count;
    }
  }

  std::string write_page(const std::string& text) {
    std::string path = folder_ + "/page.html";
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    return path;
  }

  // Renders the page of the kind with the given page setting (null for no
  // setting) and returns everything printed.
  std::string render(page_kind kind, const char* setting, bool footer = true) {
    mail_settings settings;
    settings.add_kolvex_link = footer;
    if (kind == PAGE_SUCCESS) {
      settings.success_html_page = const_cast<char*>(setting);
    } else {
      settings.failure_html_page = const_cast<char*>(setting);
    }
    captured_output out;
    render_reply_page(kind, settings, &form_, out.file());
    return out.text();
  }

  // The page body printed for a success page file holding text.
  std::string render_text(const std::string& text, bool footer = true) {
    std::string path = write_page(text);
    std::string all = render(PAGE_SUCCESS, path.c_str(), footer);
    EXPECT_EQ(kHead, all.substr(0, kHead.size()));
    return all.substr(kHead.size());
  }

  std::string log_text() { return read_file(log_file_); }

  std::string folder_;
  std::string log_file_;
  form_table form_;
};

struct page_case {
  const char* page;
  const char* expected;
};

TEST_F(ReplyPageTest, TokensAreReplacedBySubmittedValues) {
  set_fields({{"Name", "Joe"},
              {"b", "B"},
              {"", "unnamed"},
              {"Name", "second Joe"},
              {"pct", "50%d %s %n"},
              {"bars", "||Name||"}});
  const page_case cases[] = {
      {"Dear ||Name||, thanks\n", "Dear Joe, thanks\n"},
      {"no tokens at all\n", "no tokens at all\n"},
      {"||Name||||b||\n", "JoeB\n"},
      {"||Name||", "Joe"},
      // Names compare exactly, with case; an unknown name gives nothing.
      {"[||name||][||Nobody||]\n", "[][]\n"},
      {"[||||]\n", "[unnamed]\n"},
      // A "%" in the page or in a value is text, never a format.
      {"100%s ||pct|| %d\n", "100%s 50%d %s %n %d\n"},
      // A value is not expanded a second time.
      {"<i>||bars||</i>\n", "<i>||Name||</i>\n"},
      // The rest after the last complete token shows only in the notice.
      {"a||b||c||d\n", "aBtoken not terminated {c||d\n}"},
      {"a||b\n", "token not terminated {a||b\n}"},
      {"x |||\n", "token not terminated {x |||\n}"},
  };
  for (const page_case& c : cases) {
    SCOPED_TRACE(c.page);
    EXPECT_EQ(c.expected, render_text(c.page));
  }
}

TEST_F(ReplyPageTest, FooterGoesBeforeTheFirstClosingHtmlTag) {
  set_fields({{"Name", "Joe"}});
  const std::string f = kFooter;
  const struct {
    std::string page;
    std::string expected;
  } cases[] = {
      {"x</html>\n", "x" + f + "</html>\n"},
      {"x</HTML>\n", "x" + f + "</HTML>\n"},
      {"</html>", f + "</html>"},
      // The lower-case tag wins wherever the upper-case one stands.
      {"a</HTML>b</html>c\n", "a</HTML>b" + f + "</html>c\n"},
      {"a</html>b</HTML>c\n", "a" + f + "</html>b</HTML>c\n"},
      {"a</html>b</html>\n", "a" + f + "</html>b</html>\n"},
      {"</Html>\n", "</Html>\n"},
      {"1</html>\n2</HTML>\n", "1" + f + "</html>\n2" + f + "</HTML>\n"},
      {"||Name||</html>||Name||\n", "Joe" + f + "</html>Joe\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.page);
    EXPECT_EQ(c.expected, render_text(c.page));
  }
}

TEST_F(ReplyPageTest, NoFooterWhenSwitchedOff) {
  EXPECT_EQ("x</html>\ny</HTML>\n",
            render_text("x</html>\ny</HTML>\n", /*footer=*/false));
}

TEST_F(ReplyPageTest, SubmittedValuesAreHtmlEscaped) {
  set_fields({{"Name", "<script>alert('x')</script>"},
              {"Mixed", "Tom & \"Jerry\" <b>"}});
  EXPECT_EQ(
      "<p>&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;</p>\n"
      "<b>Tom &amp; &quot;Jerry&quot; &lt;b&gt;</b>\n",
      render_text("<p>||Name||</p>\n<b>||Mixed||</b>\n"));
}

TEST(PageValueEscapeTest, EscapesTheFiveSpecialCharacters) {
  const page_case cases[] = {
      {"", ""},
      {"plain text", "plain text"},
      {"&", "&amp;"},
      {"<>\"'", "&lt;&gt;&quot;&#39;"},
      {"a&&b", "a&amp;&amp;b"},
      {"&amp;", "&amp;amp;"},
      {"J\xc3\xbcrgen\n2nd line", "J\xc3\xbcrgen\n2nd line"},
  };
  for (const page_case& c : cases) {
    SCOPED_TRACE(c.page);
    captured_output out;
    print_html_escaped(out.file(), c.page);
    EXPECT_EQ(c.expected, out.text());
  }
}

TEST_F(ReplyPageTest, LastLineWithoutLineFeedStaysWithout) {
  EXPECT_EQ("one\ntwo", render_text("one\ntwo"));
}

TEST_F(ReplyPageTest, EmptyPageFilePrintsOnlyTheHeadAndLogsNothing) {
  EXPECT_EQ("", render_text(""));
  EXPECT_EQ("", log_text());
}

TEST_F(ReplyPageTest, LongLinesAreReadInPiecesOf9998) {
  set_fields({{"Name", "Joe"}});
  // The first piece ends in the middle of the opening marker, so the token
  // is not recognised; the second piece holds an unterminated marker.
  std::string filler(9997, 'a');
  EXPECT_EQ(filler + "|token not terminated {|Name||\n}",
            render_text(filler + "||Name||\n"));
  // A token that fits in the first piece is replaced.
  std::string shorter(9990, 'a');
  EXPECT_EQ(shorter + "Joe\n", render_text(shorter + "||Name||\n"));
}

TEST_F(ReplyPageTest, PageLineThatDoesNotFitIsNotPrinted) {
  std::string fits(kPageLineBufferSize - 1, 'x');
  std::string too_long(kPageLineBufferSize, 'x');
  captured_output out;
  print_page_line(out.file(), &form_, "%s", "");
  print_page_line(out.file(), &form_, "%s", too_long.c_str());
  EXPECT_EQ("", out.text());
  print_page_line(out.file(), &form_, "%s", fits.c_str());
  EXPECT_EQ(fits, out.text());
}

TEST_F(ReplyPageTest, MissingSettingGivesTheBuiltInPage) {
  const struct {
    page_kind kind;
    const char* expected;
    const char* message;
  } cases[] = {
      {PAGE_SUCCESS,
       "<HTML><BODY>\nemail sent.\n\"success_html_page\" message file is "
       "not set in tarvelo ini file.</BODY></HTML>\n",
       "\"success_html_page\" message file is not set in tarvelo ini file."},
      {PAGE_FAILURE,
       "<HTML><BODY>\nemail NOT sent.\n\"failure_html_page\" message file "
       "is not set in tarvelo ini file.</BODY></HTML>\n",
       "\"failure_html_page\" message file is not set in tarvelo ini file."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    fclose(fopen(log_file_.c_str(), "w"));  // empty the log, same file
    EXPECT_EQ(kHead + c.expected, render(c.kind, nullptr));
    std::string log = log_text();
    std::string tail = std::string(" - ") + c.message + "\n";
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(tail, log.substr(log.size() - tail.size()));
  }
}

TEST_F(ReplyPageTest, UnreadablePageGivesTheReasonAndTheHttpHint) {
  const std::string hint =
      "The setting is not a web address setting, it is a local file name "
      "setting.\n";
  const std::string missing = folder_ + "/no%s such%d.html";
  const std::string regular = write_page("");
  const struct {
    page_kind kind;
    std::string setting;
    std::string expected;
  } cases[] = {
      {PAGE_FAILURE, missing,
       "<HTML><BODY>\nemail NOT sent.\n\"failure_html_page\" message file (" +
           missing +
           ") is not readable for the reason (2)(No such file or "
           "directory).</BODY></HTML>\n"},
      {PAGE_SUCCESS, "http://example.invalid/ok.html",
       "<HTML><BODY>\nemail sent.\n\"success_html_page\" message file "
       "(http://example.invalid/ok.html) is not readable for the reason "
       "(2)(No such file or directory)." +
           hint + "</BODY></HTML>\n"},
      // Only the lower-case scheme gets the hint.
      {PAGE_SUCCESS, "HTTP://example.invalid/ok.html",
       "<HTML><BODY>\nemail sent.\n\"success_html_page\" message file "
       "(HTTP://example.invalid/ok.html) is not readable for the reason "
       "(2)(No such file or directory).</BODY></HTML>\n"},
      // A path through a regular file.
      {PAGE_SUCCESS, regular + "/x.html",
       "<HTML><BODY>\nemail sent.\n\"success_html_page\" message file (" +
           regular +
           "/x.html) is not readable for the reason (20)(Not a "
           "directory).</BODY></HTML>\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting);
    EXPECT_EQ(kHead + c.expected, render(c.kind, c.setting.c_str()));
  }
  // The log gets the message without the hint, "%" unchanged.
  std::string log = log_text();
  EXPECT_NE(std::string::npos,
            log.find(" - \"failure_html_page\" message file (" + missing +
                     ") is not readable for the reason (2)(No such file or "
                     "directory).\n"));
  EXPECT_EQ(std::string::npos, log.find("web address"));
}

TEST_F(ReplyPageTest, FailurePageFileIsUsedForTheFailureKind) {
  set_fields({{"Name", "Ann"}});
  std::string path = write_page("Sorry ||Name||.\n");
  mail_settings settings;
  settings.failure_html_page = path.data();
  settings.success_html_page = const_cast<char*>("/nonexistent/ok.html");
  captured_output out;
  render_reply_page(PAGE_FAILURE, settings, &form_, out.file());
  EXPECT_EQ(kHead + "Sorry Ann.\n", out.text());
}

}  // namespace
}  // namespace tarvelo
