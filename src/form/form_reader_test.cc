#include "form/form_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/os.h"
#include "testing/test_support.h"

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
  EXPECT_STREQ("y", form_value(&table, "Email"));
  EXPECT_STREQ("x", form_value(&table, "email"));
  EXPECT_STREQ("", form_value(&table, "EMAIL"));
  EXPECT_STREQ("", form_value(&table, ""));
  EXPECT_EQ(before +
                "Form stuff 3\nForm stuff (email) (x)\nForm stuff (Email) (y)\n"
                "Form stuff (Email) (z)\n",
            log.messages());
}

// Standard input as a pipe that the test writes, as a web server does.
class piped_stdin {
 public:
  piped_stdin() {
    int fds[2];
    if (pipe(fds) != 0) return;
    saved_ = dup(STDIN_FILENO);
    dup2(fds[0], STDIN_FILENO);
    close(fds[0]);
    write_end_ = fds[1];
  }
  ~piped_stdin() {
    close_writer();
    dup2(saved_, STDIN_FILENO);
    close(saved_);
  }
  int write_end() const { return write_end_; }
  void close_writer() {
    if (write_end_ >= 0) close(write_end_);
    write_end_ = -1;
  }
  // Bytes still waiting in the pipe, read without waiting.
  size_t left_unread() {
    fcntl(STDIN_FILENO, F_SETFL, O_NONBLOCK);
    size_t left = 0;
    char buffer[4096];
    ssize_t n;
    while ((n = read(STDIN_FILENO, buffer, sizeof buffer)) > 0) left += n;
    return left;
  }

 private:
  int saved_ = -1;
  int write_end_ = -1;
};

TEST(FormBodyTest, ReadsTheWholeBodyWithinTheTimeLimit) {
  struct {
    size_t sent;
    bool held_open;  // the client sends no more and keeps the connection
    int content_length;
    int kept;
    long long limit_ms;
  } cases[] = {
      {5, true, 10, 5, 200},
      {3, false, 10, 3, 10000},
      {300000, false, 300000, kMaxFormBody, 10000},  // the rest is dropped
      {120000, true, 300000, kMaxFormBody, 300},
      {20, false, 10, 10, 10000},  // never read past CONTENT_LENGTH
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.sent) + " of " +
                 std::to_string(c.content_length));
    piped_stdin input;
    std::string sent(c.sent, 'x');
    std::thread client([&] {
      size_t at = 0;
      while (at < sent.size()) {
        ssize_t n =
            write(input.write_end(), sent.data() + at, sent.size() - at);
        if (n <= 0) break;
        at += n;
      }
      if (!c.held_open) input.close_writer();
    });
    static char body[kMaxFormBody + 1];
    long long start = os_monotonic_ms();
    int kept = read_form_body(c.content_length, start + c.limit_ms, body);
    long long took = os_monotonic_ms() - start;
    if (c.held_open) {
      EXPECT_GE(took, c.limit_ms - 10);
      EXPECT_LT(took, c.limit_ms + 2000);
    }
    client.join();
    EXPECT_EQ(c.kept, kept);
    EXPECT_EQ(std::string(kept, 'x'), std::string(body, kept));
    size_t read_in_all = c.sent - input.left_unread();
    EXPECT_EQ(std::min(c.sent, static_cast<size_t>(c.content_length)),
              read_in_all);
  }
}

}  // namespace
}  // namespace tarvelo
