#include "support/http_response.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvelo {
namespace {

// What a reader made of bytes fed in the given pieces, then (when closed)
// the end of the connection: "done <status> <type>|<body>", "more",
// "broken" or "too large".
std::string outcome(const std::string& bytes, bool closed, size_t split) {
  http_reader r;
  http_reader_feed(&r, bytes.data(), split);
  // A copy of exactly the rest, so a read past it is a heap overflow.
  std::string rest = bytes.substr(split);
  http_read_verdict v = http_reader_feed(&r, rest.data(), rest.size());
  if (closed) v = http_reader_end(&r);
  switch (v) {
    case HTTP_READ_DONE:
      return "done " + std::to_string(r.status) + " " + r.content_type + "|" +
             r.body;
    case HTTP_READ_MORE:
      return "more";
    case HTTP_READ_BROKEN:
      return "broken";
    case HTTP_READ_TOO_LARGE:
      return "too large";
  }
  return "?";
}

std::string outcome_bytewise(const std::string& bytes, bool closed) {
  http_reader r;
  http_read_verdict v = HTTP_READ_MORE;
  for (char c : bytes) v = http_reader_feed(&r, &c, 1);
  if (closed) v = http_reader_end(&r);
  return v == HTTP_READ_DONE ? "done " + std::to_string(r.status) + " " +
                                   r.content_type + "|" + r.body
         : v == HTTP_READ_MORE ? "more"
         : v == HTTP_READ_BROKEN ? "broken"
                                 : "too large";
}

TEST(HttpResponseTest, ReadsOrRefuses) {
  const std::string big(64 * 1024, 'x');
  const std::string head = "HTTP/1.1 200 OK\r\n";
  struct {
    const char* name;
    std::string bytes;
    bool closed;  // the connection ends after the bytes
    std::string expected;
    bool every_split = false;
  } cases[] = {
      {"length", head + "Content-Type: application/json\r\n"
                        "Content-Length: 16\r\n\r\n{\"success\":true}",
       false, "done 200 application/json|{\"success\":true}", true},
      {"bytes after the body are not read", head +
           "Content-Length: 2\r\n\r\nokEXTRA", false, "done 200 |ok"},
      {"length, closed early", head + "Content-Length: 5\r\n\r\nabc", true,
       "broken"},
      {"length, still coming", head + "Content-Length: 5\r\n\r\nabc", false,
       "more"},
      {"chunked with extension and trailer",
       head + "Transfer-Encoding: chunked\r\n\r\n"
              "4;name=\"v\"\r\nWiki\r\n5 \r\npedia\r\nE\r\n in\r\n\r\nchunks."
              "\r\n0\r\nExpires: never\r\n\r\n",
       false, "done 200 |Wikipedia in\r\n\r\nchunks.", true},
      {"chunked wins over Content-Length",
       head + "Content-Length: 3\r\nTransfer-Encoding: Chunked\r\n\r\n"
              "5\r\nhello\r\n0\r\n\r\n",
       false, "done 200 |hello"},
      {"chunked, no last chunk", head + "Transfer-Encoding: chunked\r\n\r\n"
                                        "2\r\nab\r\n", true, "broken"},
      {"chunk longer than its size", head +
           "Transfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n", false,
       "broken"},
      {"chunk size not hex", head +
           "Transfer-Encoding: chunked\r\n\r\nx\r\n", false, "broken"},
      {"chunk size overflow", head + "Transfer-Encoding: chunked\r\n\r\n"
                                     "10000000000000001\r\n", false,
       "too large"},
      {"chunked twice", head + "Transfer-Encoding: chunked, chunked\r\n\r\n",
       false, "broken"},
      {"gzip", head + "Transfer-Encoding: gzip, chunked\r\n\r\n", false,
       "broken"},
      {"chunked in HTTP/1.0", "HTTP/1.0 200 OK\r\n"
           "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", false, "broken"},
      {"to the end of the connection", "HTTP/1.0 200 OK\r\n\r\nuntil close",
       true, "done 200 |until close", true},
      {"interim responses skipped", "HTTP/1.1 100 Continue\r\n\r\n"
           "HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n"
           "HTTP/1.1 422 Unprocessable\r\nContent-Length: 1\r\n\r\nx",
       false, "done 422 |x", true},
      {"no body for 204", "HTTP/1.1 204 No Content\r\n"
           "Content-Length: 9\r\n\r\n", false, "done 204 |"},
      {"identical lengths", head + "Content-Length: 2, 2\r\n"
           "Content-Length: 02\r\n\r\nok", false, "done 200 |ok"},
      {"conflicting lengths", head + "Content-Length: 2\r\n"
           "Content-Length: 3\r\n\r\nok", false, "broken"},
      {"signed length", head + "Content-Length: +2\r\n\r\nok", false,
       "broken"},
      {"empty length", head + "Content-Length: \r\n\r\n", false, "broken"},
      {"bare LF line ends and no reason", "HTTP/1.1 503\n"
           "Content-Length: 0\n\n", false, "done 503 |"},
      {"obs-fold", head + "X-A: 1\r\n 2\r\n\r\n", false, "broken"},
      {"line without colon", head + "Nonsense\r\n\r\n", false, "broken"},
      {"space before colon", head + "Content-Length : 0\r\n\r\n", false,
       "broken"},
      {"bare CR in a value", head + "X-A: a\rb\r\n\r\n", false, "broken"},
      {"HTTP/2", "HTTP/2 200 OK\r\n\r\n", false, "broken"},
      {"lower-case name", "http/1.1 200 OK\r\n\r\n", false, "broken"},
      {"status 99", "HTTP/1.1 099 Low\r\n\r\n", false, "broken"},
      {"status 600", "HTTP/1.1 600 High\r\n\r\n", false, "broken"},
      {"status two digits", "HTTP/1.1 20 OK\r\n\r\n", false, "broken"},
      {"not HTTP", "220 smtp.example ESMTP\r\n", false, "broken"},
      {"nothing", "", true, "broken"},
      {"head without end", head + "X-A: 1\r\n", true, "broken"},
      {"body of 64 kB", head + "Content-Length: 65536\r\n\r\n" + big, false,
       "done 200 |" + big},
      {"Content-Length over 64 kB", head + "Content-Length: 65537\r\n\r\n",
       false, "too large"},
      {"chunked over 64 kB", head + "Transfer-Encoding: chunked\r\n\r\n"
           "ffff\r\n" + big.substr(1) + "\r\n2\r\n", false, "too large"},
      {"unframed over 64 kB", "HTTP/1.1 200 OK\r\n\r\n" + big + "x", true,
       "too large"},
      {"header section over 16 kB",
       head + "X-A: " + std::string(16 * 1024, 'a'), false, "too large"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.expected, outcome(c.bytes, c.closed, 0));
    EXPECT_EQ(c.expected, outcome_bytewise(c.bytes, c.closed));
    if (!c.every_split) continue;
    for (size_t split = 1; split < c.bytes.size(); ++split) {
      SCOPED_TRACE(split);
      ASSERT_EQ(c.expected, outcome(c.bytes, c.closed, split));
    }
  }
}

TEST(HttpResponseTest, KeepsItsVerdictOnceDecided) {
  http_reader r;
  const std::string done = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
  ASSERT_EQ(HTTP_READ_DONE, http_reader_feed(&r, done.data(), done.size()));
  EXPECT_EQ(HTTP_READ_DONE, http_reader_feed(&r, "garbage", 7));
  EXPECT_EQ(HTTP_READ_DONE, http_reader_end(&r));
  http_reader broken;
  ASSERT_EQ(HTTP_READ_BROKEN, http_reader_feed(&broken, "FTP\r\n", 5));
  EXPECT_STRNE("", broken.why);
  EXPECT_EQ(HTTP_READ_BROKEN, http_reader_end(&broken));
}

}  // namespace
}  // namespace tarvelo
