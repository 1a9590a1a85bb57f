#include "run/captcha_call.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvelo {
namespace {

// What the stand-in poster saw, and what it answers.
http_request seen;
http_response answer;
bool answer_result = true;

bool stand_in_post(const http_request& request, http_response* response) {
  seen = request;
  *response = answer;
  return answer_result;
}

// The request goes to the override or the provider's own URL with the CA
// file and the deadline; a call that fails is unchecked whatever the
// response holds (a poster that fails without a reason too), never passed.
TEST(CheckCaptchaTest, RequestAndFailures) {
  static char secret[] = "s";
  static char url[] = "https://verify.example:8443/siteverify?v=1";
  static char ca[] = "/etc/ca.pem";
  const std::string no_connection = http_failure_name(HTTP_NO_CONNECTION);
  const std::string bad_response = http_failure_name(HTTP_BAD_RESPONSE);
  const struct {
    const char* what;
    bool override_url;
    bool result;
    http_failure failure;
    const char* detail;
    captcha_verdict verdict;
    std::string words;
    const char* host;
  } cases[] = {
      {"override", true, true, HTTP_DONE, "", CAPTCHA_PASSED, "",
       "verify.example"},
      {"provider's URL", false, true, HTTP_DONE, "", CAPTCHA_PASSED, "",
       "api.hcaptcha.com"},
      {"no connection", true, false, HTTP_NO_CONNECTION, "Connection\nrefused",
       CAPTCHA_UNCHECKED, no_connection + ": Connection\\x0Arefused",
       "verify.example"},
      {"silent failure", true, false, HTTP_DONE, "", CAPTCHA_UNCHECKED,
       bad_response, "verify.example"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    mail_settings settings;
    settings.captcha_provider = CAPTCHA_HCAPTCHA;
    settings.captcha_secret = secret;
    settings.captcha_verify_url = c.override_url ? url : nullptr;
    settings.captcha_tls_ca = ca;
    answer = http_response();
    answer.failure = c.failure;
    answer.detail = c.detail;
    answer.status = 200;
    answer.body = R"({"success":true})";
    answer_result = c.result;
    seen = http_request();
    std::string words = "stale";
    EXPECT_EQ(c.verdict, check_captcha(settings, "t", "10.0.0.1", 12345,
                                       stand_in_post, &words));
    EXPECT_EQ(c.words, words);
    EXPECT_EQ(c.host, seen.url.host);
    EXPECT_EQ(c.override_url ? 8443 : 443, seen.url.port);
    EXPECT_STREQ("application/x-www-form-urlencoded", seen.content_type);
    EXPECT_STREQ("/etc/ca.pem", seen.ca_file);
    EXPECT_EQ(12345, seen.deadline_ms);
  }
  mail_settings settings;
  settings.captcha_provider = CAPTCHA_TURNSTILE;
  std::string words;
  EXPECT_EQ(CAPTCHA_UNCHECKED,
            check_captcha(settings, "t", "", 1, nullptr, &words));
  EXPECT_EQ("no HTTP client", words);
}

}  // namespace
}  // namespace tarvelo
