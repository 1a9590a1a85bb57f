#include "support/http_url.h"

#include <gtest/gtest.h>

namespace tarvelo {
namespace {

TEST(HttpUrlTest, TakesApartOrRefuses) {
  struct {
    const char* text;
    bool ok;
    bool tls = false;
    const char* host = "";
    int port = 0;
    const char* target = "";
  } cases[] = {
      {"https://challenges.example/turnstile/v0/siteverify", true, true,
       "challenges.example", 443, "/turnstile/v0/siteverify"},
      {"HTTP://127.0.0.1:8080", true, false, "127.0.0.1", 8080, "/"},
      {"http://h.example?x=1#frag", true, false, "h.example", 80, "/?x=1"},
      {"https://h.example:65535/a#b", true, true, "h.example", 65535, "/a"},
      {"https://h.example:0/", false},
      {"https://h.example:65536/", false},
      {"https://h.example:/", false},
      {"https://user:pw@h.example/", false},
      {"https://[::1]/", false},
      {"https:///x", false},
      {"https://h.example/a b", false},
      {"https://h.example/\xc3\xa9", false},
      {"https://h.example\\@evil.example/", false},
      {"ftp://h.example/", false},
      {"h.example/x", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    http_url url;
    ASSERT_EQ(c.ok, parse_http_url(c.text, &url));
    if (!c.ok) continue;
    EXPECT_EQ(c.tls, url.tls);
    EXPECT_EQ(c.host, url.host);
    EXPECT_EQ(c.port, url.port);
    EXPECT_EQ(c.target, url.target);
  }
}

TEST(HttpUrlTest, LogShowsNoPathOrQuery) {
  struct {
    const char* text;
    const char* shown;
  } cases[] = {
      {"https://hooks.slack.com/services/T0/B0/XXXX",
       "https://hooks.slack.com/********"},
      {"http://127.0.0.1:9000?key=1", "http://127.0.0.1:9000/********"},
      {"HTTPS://h.example:8443/", "HTTPS://h.example:8443/"},
      {"https://h.example/#frag", "https://h.example/#frag"},
      {"not a url", "not a url"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.shown, url_for_log(c.text));
  }
}

}  // namespace
}  // namespace tarvelo
