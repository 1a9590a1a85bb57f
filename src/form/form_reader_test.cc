#include "form/form_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
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

namespace tarvelo {
namespace {

// Every way a body other than a URL-encoded one is refused: the outcome the
// run answers by, the error line that says why, an empty table, and whether
// the body was read at all.
TEST(FormIntakeTest, RefusedBodies) {
  struct {
    const char* type;
    const char* content_length;
    std::string sent;
    bool held_open;
    long long max_attachment_bytes;
    form_outcome outcome;
    std::string line;
    bool read;  // false: refused before a byte was read
  } cases[] = {
      {"text/csv", "5", "a,b\r\n", false, kDefaultMaxAttachmentBytes,
       FORM_UNSUPPORTED, "request body of type text/csv is not a form", false},
      {"Application/JSON; charset=utf-8", "13", "{\"a\":{\"b\":1}}", false,
       kDefaultMaxAttachmentBytes, FORM_MALFORMED,
       "request body of type Application/JSON could not be read: nested "
       "object or array", true},
      {"application/json", "17", "{\"a\":[\"x\",[\"y\"]]}", false,
       kDefaultMaxAttachmentBytes, FORM_MALFORMED,
       "request body of type application/json could not be read: nested "
       "object or array", true},
      {"application/json", "14", "{\"a\":\"\\u0000\"}", false,
       kDefaultMaxAttachmentBytes, FORM_MALFORMED,
       "request body of type application/json could not be read: \\u0000 in "
       "a string", true},
      {"application/json", "14", "{\"a\":\"\\udc00\"}", false,
       kDefaultMaxAttachmentBytes, FORM_MALFORMED,
       "request body of type application/json could not be read: lone "
       "surrogate in a \\u escape", true},
      {"application/json", "9", "{\"a\":\"\xc3\x28\"}", false,
       kDefaultMaxAttachmentBytes, FORM_MALFORMED,
       "request body of type application/json could not be read: invalid "
       "UTF-8", true},
      {"application/json", "8", std::string("{\"a\":1}\0", 8), false,
       kDefaultMaxAttachmentBytes, FORM_MALFORMED,
       "request body of type application/json could not be read: invalid "
       "JSON", true},
      {"application/json", "3", "[1]", false, kDefaultMaxAttachmentBytes,
       FORM_MALFORMED,
       "request body of type application/json could not be read: not a JSON "
       "object", true},
      {"application/json", "100008", "{}", false,
       kDefaultMaxAttachmentBytes, FORM_TOO_LARGE,
       "request body of 100008 bytes is over the limit of 99999", false},
      {"text/plain", "100000", "a=b", false, kDefaultMaxAttachmentBytes,
       FORM_TOO_LARGE,
       "request body of 100000 bytes is over the limit of 99999", false},
      {"multipart/form-data; boundary=B", "100010", "--B--", false, 10,
       FORM_TOO_LARGE,
       "request body of 100010 bytes is over the limit of 100009", false},
      {"multipart/form-data; boundary=B", "100009", std::string(50, 'x'), false,
       10, FORM_MALFORMED, "request body cut short: 50 of 100009 bytes arrived",
       true},
      {"multipart/form-data; boundary=B", "150000", std::string(120000, 'x'),
       true, kDefaultMaxAttachmentBytes, FORM_MALFORMED,
       "request body cut short: 120000 of 150000 bytes arrived", true},
      {"text/plain", "20", "a=b\r\n", true, kDefaultMaxAttachmentBytes,
       FORM_MALFORMED, "request body cut short: 5 of 20 bytes arrived", true},
      {"multipart/form-data", "5", "--B--", false, kDefaultMaxAttachmentBytes,
       FORM_MALFORMED,
       "request body of type multipart/form-data could not be read: no "
       "boundary", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + c.content_length);
    scoped_test_log log;
    piped_stdin input;
    std::thread client([&] {
      size_t at = 0;
      while (at < c.sent.size()) {
        ssize_t n = write(input.write_end(), c.sent.data() + at,
                          c.sent.size() - at);
        if (n <= 0) break;
        at += n;
      }
      if (!c.held_open) input.close_writer();
    });
    static form_table table;
    table = form_table();
    form_request request;
    request.content_type = c.type;
    request.content_length = c.content_length;
    request.max_attachment_bytes = c.max_attachment_bytes;
    long long start = os_monotonic_ms();
    request.deadline_ms = start + 300;
    request.idle_limit_ms = 300;
    EXPECT_EQ(c.outcome, read_form(request, &table));
    client.join();
    if (!c.read) {
      EXPECT_EQ(c.sent.size(), input.left_unread());
    }
    EXPECT_LT(os_monotonic_ms() - start, 2000);
    EXPECT_EQ(0, table.form_count);
    EXPECT_EQ(nullptr, table.file_block);
    EXPECT_NE(std::string::npos, log.messages().find(c.line + "\n"))
        << log.messages();
  }
}

// The time limit of a large body counts time without progress: a client
// that keeps sending, slowly, is read to the end.
TEST(FormIntakeTest, SlowLargeBodyIsReadWhileItProgresses) {
  scoped_test_log log;
  piped_stdin input;
  std::string body = "--B\r\nContent-Disposition: form-data; name=\"f\"; "
                     "filename=\"a.txt\"\r\n\r\n" +
                     std::string(100000, 'x') + "\r\n--B--\r\n";
  std::thread client([&] {
    // Four pieces 120 ms apart: 360 ms in all, over the 200 ms limit, but
    // never 200 ms without a byte.
    size_t piece = body.size() / 4 + 1;
    for (size_t at = 0; at < body.size(); at += piece) {
      if (at > 0) std::this_thread::sleep_for(std::chrono::milliseconds(120));
      size_t left = std::min(piece, body.size() - at);
      size_t done = 0;
      while (done < left) {
        ssize_t n = write(input.write_end(), body.data() + at + done,
                          left - done);
        if (n <= 0) return;
        done += n;
      }
    }
  });
  static form_table table;
  table = form_table();
  form_request request;
  request.content_type = "multipart/form-data; boundary=B";
  std::string length = std::to_string(body.size());
  request.content_length = length.c_str();
  request.deadline_ms = os_monotonic_ms() + 200;
  request.idle_limit_ms = 200;
  EXPECT_EQ(FORM_READ, read_form(request, &table));
  client.join();
  ASSERT_EQ(1, table.file_count);
  EXPECT_EQ(100000, table.files[0].size);
  EXPECT_EQ(table.file_block + body.find("xxx"), table.files[0].data);
  EXPECT_STREQ("a.txt (100000 bytes)", table.values[0]);
  free(table.file_block);
  table.file_block = nullptr;
}

}  // namespace
}  // namespace tarvelo
