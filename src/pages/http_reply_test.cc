#include "pages/http_reply.h"
#include "support/json_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "testing/test_support.h"

namespace tarvelo {
namespace {

// Collects what a reply prints, as the web server reads it.
struct captured {
  char* data = nullptr;
  size_t size = 0;
  FILE* file = open_memstream(&data, &size);
  std::string text() {
    fclose(file);
    std::string all(data, size);
    free(data);
    return all;
  }
};

constexpr const char* kSite = "https://Www.Example.com";

struct reply_case {
  const char* what;
  reply_outcome outcome;
  bool json_replies;
  const char* accept;
  const char* origin;
  const char* success_redirect;
  const char* failure_redirect;
  const char* invalid_redirect;
  bool invalid_page;
  const char* expected;
};

class HttpReplyTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string folder = fresh_temp_dir();
    success_page_ = folder + "/ok.html";
    failure_page_ = folder + "/failed.html";
    invalid_page_ = folder + "/invalid.html";
    write_file(success_page_, "ok ||Name||\n");
    write_file(failure_page_, "failed [||_invalid_fields||]\n");
    write_file(invalid_page_,
               "<p title=\"||_invalid_fields||\">||_invalid_fields||: "
               "||Name||</p>\n");
    add_field("Name", "<b>Joe</b>");
    add_field("_invalid_fields", "forged");
    problems_.items[0] = {"Email", kFieldNotAnAddress};
    problems_.items[1] = {"Na\"me\\\x01\xff<", kFieldRequired};
    problems_.count = 2;
  }
  void TearDown() override {
    for (int i = 0; i < form_.form_count; ++i) {
      free(form_.names[i]);
      free(form_.values[i]);
    }
  }
  void add_field(const char* name, const char* value) {
    form_.names[form_.form_count] = strdup(name);
    form_.values[form_.form_count] = strdup(value);
    ++form_.form_count;
  }

  mail_settings settings_for(const reply_case& c) {
    mail_settings s;
    s.success_html_page = success_page_.data();
    s.failure_html_page = failure_page_.data();
    s.json_replies = c.json_replies;
    s.cors_origins[0] = const_cast<char*>(kSite);
    s.cors_origin_count = 1;
    s.success_redirect = const_cast<char*>(c.success_redirect);
    s.failure_redirect = const_cast<char*>(c.failure_redirect);
    s.invalid_redirect = const_cast<char*>(c.invalid_redirect);
    if (c.invalid_page) s.invalid_html_page = invalid_page_.data();
    return s;
  }

  std::string reply(reply_outcome outcome, const reply_request& request,
                    const mail_settings& settings) {
    captured out;
    send_reply(outcome, request, settings, &form_, problems_, out.file);
    return out.text();
  }

  std::string success_page_;
  std::string failure_page_;
  std::string invalid_page_;
  form_table form_;
  field_problems problems_;
};

constexpr const char* kJson = "application/json";
constexpr const char* kListed = "https://www.example.COM";
constexpr const char* kOtherPort = "https://www.example.com:8443";

// The plain rows of the JSON table (200, 405, 503 ...) are held byte for
// byte by the end-to-end table in tests/test_exe_replies.py; these rows are
// what that table does not reach: escaping, origins, redirect fallbacks.
TEST_F(HttpReplyTest, WholeReplyPerOutcomeAndKind) {
  const reply_case cases[] = {
      {"json queued wins over a redirect", REPLY_QUEUED, true, kJson, "",
       nullptr, "/sorry", nullptr, false,
       "Status: 202 Accepted\nContent-Type: application/json; charset=utf-8\n"
       "Cache-Control: no-store\nVary: Accept\n\n"
       "{\"ok\":true,\"outcome\":\"queued\"}\n"},
      {"json 429 for a listed origin", REPLY_RATE_LIMITED, true, kJson, kListed,
       nullptr, nullptr, nullptr, false,
       "Status: 429 Too Many Requests\n"
       "Content-Type: application/json; charset=utf-8\n"
       "Cache-Control: no-store\nVary: Accept, Origin\n"
       "Access-Control-Allow-Origin: https://www.example.COM\n"
       "Retry-After: 3600\n\n"
       "{\"ok\":false,\"outcome\":\"rate_limited\",\"error\":\"Too many forms "
       "came from your address; please try again in an hour.\"}\n"},
      {"json 422 escapes the names", REPLY_INVALID, true, kJson, kOtherPort,
       nullptr, nullptr, "/fix", true,
       "Status: 422 Unprocessable Content\n"
       "Content-Type: application/json; charset=utf-8\n"
       "Cache-Control: no-store\nVary: Accept\n\n"
       "{\"ok\":false,\"outcome\":\"invalid\",\"error\":\"Some fields are "
       "missing or not filled in as asked.\",\"fields\":{\"Email\":\"not an "
       "e-mail address\",\"Na\\\"me\\\\\\u0001\xEF\xBF\xBD<\":\"required\"}}"
       "\n"},
      {"redirect with CORS, no json_replies", REPLY_SENT, false, kJson, kListed,
       "https://www.example.com/thanks", nullptr, nullptr, false,
       "Status: 303 See Other\nLocation: https://www.example.com/thanks\n"
       "Vary: Origin\nAccess-Control-Allow-Origin: https://www.example.COM\n"
       "\n"},
      {"html asked for: the redirect, with the cache lines", REPLY_TOO_LARGE,
       true, "text/html, */*", kOtherPort, "/thanks", "/sorry", nullptr, false,
       "Status: 303 See Other\nLocation: /sorry\n"
       "Cache-Control: no-store\nVary: Accept\n\n"},
      {"queued without its page or redirect goes as a failure", REPLY_QUEUED,
       false, "", "", "/thanks", "/sorry", nullptr, false,
       "Status: 303 See Other\nLocation: /sorry\n\n"},
      {"invalid page wins over failure_redirect", REPLY_INVALID, false, "", "",
       nullptr, "/sorry", nullptr, true,
       "Status: 422 Unprocessable Content\nPragma: no-cache\n"
       "Content-type: text/html\n\n"
       "<p title=\"Email, Na&quot;me\\\x01\xff&lt;\">Email, "
       "Na&quot;me\\\x01\xff&lt;: &lt;b&gt;Joe&lt;/b&gt;</p>\n"},
      {"invalid without its page: failure_redirect", REPLY_INVALID, false, "",
       "", nullptr, "/sorry", nullptr, false,
       "Status: 303 See Other\nLocation: /sorry\n\n"},
      {"invalid without page or redirect: failure page, 422", REPLY_INVALID,
       true, "*/*", kListed, nullptr, nullptr, nullptr, false,
       "Status: 422 Unprocessable Content\nPragma: no-cache\n"
       "Cache-Control: no-store\nVary: Accept, Origin\n"
       "Access-Control-Allow-Origin: https://www.example.COM\n"
       "Content-type: text/html\n\n"
       "failed [Email, Na&quot;me\\\x01\xff&lt;]\n"},
      {"html sent page under json_replies: no Status, token empty", REPLY_SENT,
       true, "text/html;q=0.9, application/json;q=0.8", "", nullptr, nullptr,
       nullptr, false,
       "Pragma: no-cache\nCache-Control: no-store\nVary: Accept\n"
       "Content-type: text/html\n\nok &lt;b&gt;Joe&lt;/b&gt;\n"},
      {"failure page with a reply keyword: the form cannot fill the token",
       REPLY_FAILED, false, kJson, "", "/thanks", nullptr, nullptr, false,
       "Pragma: no-cache\nContent-type: text/html\n\nfailed [Email, "
       "Na&quot;me\\\x01\xff&lt;]\n"},
  };
  for (const reply_case& c : cases) {
    SCOPED_TRACE(c.what);
    mail_settings settings = settings_for(c);
    EXPECT_EQ(c.expected, reply(c.outcome, {c.accept, c.origin}, settings));
  }
}

// A site without any of the reply keywords gets today's bytes, the form's
// _invalid_fields field included.
TEST_F(HttpReplyTest, WithoutReplyKeywordsThePageIsAsBefore) {
  mail_settings settings;
  settings.failure_html_page = failure_page_.data();
  problems_.count = 0;
  for (reply_outcome outcome : {REPLY_FAILED, REPLY_METHOD, REPLY_QUEUED}) {
    SCOPED_TRACE(outcome);
    EXPECT_EQ("Pragma: no-cache\nContent-type: text/html\n\nfailed [forged]\n",
              reply(outcome, {kJson, kListed}, settings));
  }
}

struct preflight_case {
  const char* origin;
  const char* expected;
};

TEST(PreflightTest, OnlyAListedOriginIsAllowed) {
  const preflight_case cases[] = {
      {"HTTPS://www.example.com",
       "Status: 204 No Content\n"
       "Access-Control-Allow-Origin: HTTPS://www.example.com\n"
       "Access-Control-Allow-Methods: POST\n"
       "Access-Control-Allow-Headers: Content-Type\n"
       "Access-Control-Max-Age: 86400\nVary: Origin\n\n"},
      {"https://www.example.com.evil.test", "Status: 204 No Content\n\n"},
      {"http://www.example.com", "Status: 204 No Content\n\n"},
      {"", "Status: 204 No Content\n\n"},
  };
  mail_settings settings;
  settings.cors_origins[0] = const_cast<char*>("https://other.test");
  settings.cors_origins[1] = const_cast<char*>(kSite);
  settings.cors_origin_count = 2;
  for (const preflight_case& c : cases) {
    SCOPED_TRACE(c.origin);
    captured out;
    send_preflight({"", c.origin}, settings, out.file);
    EXPECT_EQ(c.expected, out.text());
  }
}

struct accept_case {
  const char* accept;
  bool json;
};

TEST(PrefersJsonTest, WeighsTheMediaRanges) {
  const accept_case cases[] = {
      {"", false},
      {"*/*", false},
      {"application/json", true},
      {"application/json, text/html", false},
      {"text/html, application/json", false},
      {"application/json, */*", true},
      {"application/json, text/*", false},
      {"application/json;q=0", false},
      {"application/json;q=0.5, */*", true},  // HTML only under */*
      {"text/html;q=0.9, application/json", true},
      {"text/html;q=0.9, application/json;q=0.9", false},
      {"text/*;q=0.5, application/*", true},
      {"application/*", true},
      {"text/html;q=0, */*", true},
      {"text/html, application/json;q=1.0, text/html;q=0.5", false},
      {"application/json;q=0.5, application/json", true},
      {"  application/json ; charset=utf-8 ;Q=0.8 , text/html;q=0.7 ", true},
      {",,application/json,", true},
      {"application/json;;q=1", true},
      {"application/json;level=\"1,text/html\"", true},
      {"text/html;x=\"a\\\"b,\";q=0.1, application/json", true},
      // A malformed range counts for nothing.
      {"application/json;q=2", false},
      {"application/json;q=0.0001", false},
      {"application/json;q=\"1\"", false},
      {"application/json;q", false},
      {"application/json; q = 1", false},
      {"application/json x", false},
      {"application/json;x=\"open", false},
      {"application/json, text/html;q=", true},
      {"application/json, /html", true},
      {"application/json, */json", true},
      {"application", false},
  };
  for (const accept_case& c : cases) {
    SCOPED_TRACE(c.accept);
    EXPECT_EQ(c.json, prefers_json(c.accept));
  }
}

struct escape_case {
  const char* text;
  const char* expected;
};

TEST(JsonEscapeTest, EscapesAndReplacesBrokenUtf8) {
  const escape_case cases[] = {
      {"a\"b\\c/", "a\\\"b\\\\c/"},
      {"\x01\t\n\x1f\x7f", "\\u0001\\u0009\\u000a\\u001f\x7f"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"\xC3", "\xEF\xBF\xBD"},                  // cut short
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong lead
      {"\xED\xA0\x80x", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx"},  // surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xF0\x9F\x98x", "\xEF\xBF\xBDx"},  // one maximal part, one U+FFFD
      {"\xE2\x82\"", "\xEF\xBF\xBD\\\""},
  };
  for (const escape_case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string out = "[";
    json_escape_append(&out, c.text);
    EXPECT_EQ(std::string("[") + c.expected, out);
  }
}

}  // namespace
}  // namespace tarvelo
