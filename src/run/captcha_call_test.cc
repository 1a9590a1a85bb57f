#include "run/captcha_call.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvelo {
namespace {

// What the stand-in poster saw, and what it answers.
http_request seen;
int calls = 0;
http_response answer;
bool answer_result = true;

bool stand_in_post(const http_request& request, http_response* response) {
  ++calls;
  seen = request;
  *response = answer;
  return answer_result;
}

TEST(CheckCaptchaTest, PostsTheFormToTheProvider) {
  char secret[] = "top&secret";
  char url[] = "https://verify.example:8443/siteverify?v=1";
  char ca[] = "/etc/ca.pem";
  mail_settings settings;
  settings.captcha_provider = CAPTCHA_HCAPTCHA;
  settings.captcha_secret = secret;
  settings.captcha_verify_url = url;
  settings.captcha_tls_ca = ca;
  calls = 0;
  answer = http_response();
  answer.status = 200;
  answer.body = R"({"success":false,"error-codes":["bad"]})";
  answer_result = true;
  std::string words;
  EXPECT_EQ(CAPTCHA_REFUSED, check_captcha(settings, "tok", "10.0.0.1", 12345,
                                           stand_in_post, &words));
  EXPECT_EQ(1, calls);
  EXPECT_TRUE(seen.url.tls);
  EXPECT_EQ("verify.example", seen.url.host);
  EXPECT_EQ(8443, seen.url.port);
  EXPECT_EQ("/siteverify?v=1", seen.url.target);
  EXPECT_STREQ("application/x-www-form-urlencoded", seen.content_type);
  EXPECT_EQ("secret=top%26secret&response=tok&remoteip=10.0.0.1", seen.body);
  EXPECT_STREQ("/etc/ca.pem", seen.ca_file);
  EXPECT_EQ(12345, seen.deadline_ms);
  EXPECT_EQ("bad", words);

  // Without an override, the provider's own URL.
  settings.captcha_verify_url = nullptr;
  settings.captcha_provider = CAPTCHA_TURNSTILE;
  answer.body = R"({"success":true})";
  EXPECT_EQ(CAPTCHA_PASSED, check_captcha(settings, "tok", "", 1,
                                          stand_in_post, &words));
  EXPECT_EQ("challenges.cloudflare.com", seen.url.host);
  EXPECT_EQ("secret=top%26secret&response=tok", seen.body);
}

// A poster that fails without saying why leaves the post unchecked, never
// passed on an empty default response.
TEST(CheckCaptchaTest, SilentFailureIsUnchecked) {
  char secret[] = "s";
  mail_settings settings;
  settings.captcha_provider = CAPTCHA_RECAPTCHA;
  settings.captcha_secret = secret;
  answer = http_response();
  answer.status = 200;
  answer.body = R"({"success":true})";
  answer_result = false;
  std::string words;
  EXPECT_EQ(CAPTCHA_UNCHECKED,
            check_captcha(settings, "t", "", 1, stand_in_post, &words));
  EXPECT_EQ(CAPTCHA_UNCHECKED,
            check_captcha(settings, "t", "", 1, nullptr, &words));
  EXPECT_EQ("no HTTP client", words);
}

// A failed call is unchecked whatever the response holds, and names its
// cause.
TEST(CheckCaptchaTest, FailureNamesItsCause) {
  char secret[] = "s";
  mail_settings settings;
  settings.captcha_provider = CAPTCHA_TURNSTILE;
  settings.captcha_secret = secret;
  answer = http_response();
  answer.failure = HTTP_NO_CONNECTION;
  answer.detail = "Connection\nrefused";
  answer.status = 200;
  answer.body = R"({"success":true})";
  answer_result = false;
  std::string words;
  EXPECT_EQ(CAPTCHA_UNCHECKED,
            check_captcha(settings, "t", "", 1, stand_in_post, &words));
  EXPECT_EQ(std::string(http_failure_name(HTTP_NO_CONNECTION)) +
                ": Connection\\x0Arefused",
            words);
}

}  // namespace
}  // namespace tarvelo
