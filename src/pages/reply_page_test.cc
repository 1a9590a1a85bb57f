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
#include "testing/test_support.h"

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
    folder_ = fresh_temp_dir();
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
    send_reply_page(kind, settings, &form_, out.file());
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

TEST_F(ReplyPageTest, TokensAreFilledOnlyWhereTheHtmlMakesItSafe) {
  set_fields({{"n", "Ann"},
              {" !b ", "alert(1)//"},
              {"v", "a\"b<c>'&"},
              {"sp", "x y"},
              {"js", "javascript:alert(1)"},
              {"data", "data:text/html,<script>"},
              {"tab", "java\tscript:alert(1)"},
              {"lead", " \x01javascript:alert(1)"},
              {"ref", "javascript&colon;x"},
              {"path", "thanks.html"},
              {"mail", "mailto:a@b.example"}});
  const page_case cases[] = {
      // Nothing in script, style, comments, tags and handler values.
      {"<script>if (!a || !b || c) go('||n||');</script>\n",
       "<script>if (!a || !b || c) go('||n||');</script>\n"},
      {"<SCRIPT type=module>\nx = '||n||'\n</script >||n||\n",
       "<SCRIPT type=module>\nx = '||n||'\n</script >Ann\n"},
      {"<style>p{content:\"||n||\"}</style>||n||\n",
       "<style>p{content:\"||n||\"}</style>Ann\n"},
      {"<!-- ||n|| -->||n||\n", "<!-- ||n|| -->Ann\n"},
      {"<!-->||n||<!--->||n||\n", "<!-->Ann<!--->Ann\n"},
      {"<input ||n|| x=1>\n", "<input ||n|| x=1>\n"},
      {"<a onclick=\"go('||n||')\" onMouseOver=||n||>\n",
       "<a onclick=\"go('||n||')\" onMouseOver=||n||>\n"},
      {"<p style=\"color:||n||\">\n", "<p style=\"color:||n||\">\n"},
      {"<iframe srcdoc=\"||n||\"></iframe>||n||\n",
       "<iframe srcdoc=\"||n||\"></iframe>Ann\n"},
      {"<script src=\"||n||\"></script>\n",
       "<script src=\"||n||\"></script>\n"},
      // A "</script>" inside "<!--<script>" does not end the script.
      {"<script><!--<script></script>||n||</script>||n||\n",
       "<script><!--<script></script>||n||</script>Ann\n"},
      {"<svg><text>||n||</text></svg><p>||n||</p>\n",
       "<svg><text>||n||</text></svg><p>Ann</p>\n"},
      {"<svg><p>||n||</p></svg><p>||n||</p>\n",
       "<svg><p>||n||</p></svg><p>||n||</p>\n"},
      // Text, quoted and unquoted values.
      {"<p>||v||</p>\n", "<p>a&quot;b&lt;c&gt;&#39;&amp;</p>\n"},
      {"<title>||n||</title><textarea>||v||</textarea>\n",
       "<title>Ann</title><textarea>a&quot;b&lt;c&gt;&#39;&amp;</textarea>\n"},
      {"<input value=\"||v||\" title='||v||'>\n",
       "<input value=\"a&quot;b&lt;c&gt;&#39;&amp;\" "
       "title='a&quot;b&lt;c&gt;&#39;&amp;'>\n"},
      {"<input value=||v|| name=x>\n",
       "<input value=a&#34;b&#60;c&#62;&#39;&#38; name=x>\n"},
      {"<input value=||sp||>\n", "<input value=x&#32;y>\n"},
      {"<input value=a||n||b>\n", "<input value=aAnnb>\n"},
      // URL attributes: another scheme from a token gives "#".
      {"<a href=\"||js||\">\n", "<a href=\"#\">\n"},
      {"<a href=\"JaVaScRiPt:||n||\">\n", "<a href=\"#\">\n"},
      {"<img src=\"||data||\">\n", "<img src=\"#\">\n"},
      {"<a href=\"||tab||\">\n", "<a href=\"#\">\n"},
      {"<a href=\"||lead||\">\n", "<a href=\"#\">\n"},
      {"<a href=\"java&#x09;script&colon;||n||\">\n", "<a href=\"#\">\n"},
      {"<a href=\"||ref||\">\n", "<a href=\"javascript&amp;colon;x\">\n"},
      {"<a href=||js|| id=x>\n", "<a href=# id=x>\n"},
      // An empty value does not begin an unquoted one: the quote after it
      // opens the value the browser reads.
      {"<a href=||none||\"||js||\">\n", "<a href=\"#\">\n"},
      {"<form action='||js||'><button formaction=\"||js||\">\n",
       "<form action='#'><button formaction=\"#\">\n"},
      {"<svg><a xlink:href=\"||js||\"></a></svg>\n",
       "<svg><a xlink:href=\"||js||\"></a></svg>\n"},
      {"<a href=\"||path||\">\n", "<a href=\"thanks.html\">\n"},
      {"<a href=\"https://||n||.example/\">\n",
       "<a href=\"https://Ann.example/\">\n"},
      {"<a href=\"||mail||\">\n", "<a href=\"mailto:a@b.example\">\n"},
      {"<a href=\"javascript:go(||none||)\">\n",
       "<a href=\"javascript:go()\">\n"},
      {"<meta http-equiv=\"refresh\" content=\"0; url=||js||\">\n",
       "<meta http-equiv=\"refresh\" content=\"#\">\n"},
      {"<meta content='5;URL=||js||' http-equiv=Refresh>\n",
       "<meta content='#' http-equiv=Refresh>\n"},
      {"<meta http-equiv=\"refresh\" content=\"0; url=||path||\">\n",
       "<meta http-equiv=\"refresh\" content=\"0; url=thanks.html\">\n"},
      {"<meta name=\"description\" content=\"||js||\">\n",
       "<meta name=\"description\" content=\"javascript:alert(1)\">\n"},
      // Where both markers do not stand in one run or value.
      {"<p>a||b</p>\n", "<p>token not terminated {a||b}</p>\n"},
      {"<input title=\"a||b\">\n", "<input title=\"a||b\">\n"},
      {"||n<b>||\n", "token not terminated {||n}<b>token not terminated "
                     "{||\n}"},
      {"1 < 2 ||n|| 3\n", "1 < 2 Ann 3\n"},
      // The context carries over lines.
      {"<script>\nvar a = '||n||';\n</script>\n<p>||n||</p>\n",
       "<script>\nvar a = '||n||';\n</script>\n<p>Ann</p>\n"},
      {"<a title=\"x\n||n||\" href=\n\"||js||\">||n||</a>\n",
       "<a title=\"x\nAnn\" href=\n\"#\">Ann</a>\n"},
      {"<meta content=\"0;url=||js||\"\nhttp-equiv=\"refresh\">\n",
       "<meta content=\"#\"\nhttp-equiv=\"refresh\">\n"},
  };
  for (const page_case& c : cases) {
    SCOPED_TRACE(c.page);
    EXPECT_EQ(c.expected, render_text(c.page, /*footer=*/false));
  }
}

TEST_F(ReplyPageTest, ContextCarriesOverPiecesOf9998) {
  set_fields({{"n", "Ann"}, {"js", "javascript:alert(1)"}});
  // The first piece opens a script, a value or a comment; the token stands
  // in the second piece.
  const struct {
    std::string head;
    std::string tail;
    std::string expected_tail;
  } cases[] = {
      {"<script>", "x = '||n||'</script>||n||\n",
       "x = '||n||'</script>Ann\n"},
      {"<a href=\"", "||js||\">||n||\n", "#\">Ann\n"},
      {"<!--", "||n||-->||n||\n", "||n||-->Ann\n"},
      {"<p>", "||n||</p>\n", "Ann</p>\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    std::string filler(9998 - c.head.size(), 'a');
    std::string out = render_text(c.head + filler + c.tail, false);
    if (c.head == "<a href=\"") {
      // The whole value, first piece included, became "#".
      EXPECT_EQ(c.head + c.expected_tail, out);
    } else {
      EXPECT_EQ(c.head + filler + c.expected_tail, out);
    }
  }
  // A "<" that ends a piece is no tag yet; a notice in the next piece must
  // not follow it directly, or its text would make one.
  for (std::string signs : {"<", "<<<"}) {
    SCOPED_TRACE(signs);
    std::string filler(9998 - signs.size(), 'a');
    EXPECT_EQ(filler + "token not terminated {" + signs + " x||y\n}",
              render_text(filler + signs + " x||y\n", false));
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
  page_context context;
  print_page_line(out.file(), &form_, &context, "%s", "");
  print_page_line(out.file(), &form_, &context, "%s", too_long.c_str());
  EXPECT_EQ("", out.text());
  print_page_line(out.file(), &form_, &context, "%s", fits.c_str());
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
  send_reply_page(PAGE_FAILURE, settings, &form_, out.file());
  EXPECT_EQ(kHead + "Sorry Ann.\n", out.text());
}

}  // namespace
}  // namespace tarvelo
