#include "compose/captcha_check.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvelo {
namespace {

TEST(CaptchaRequestTest, BodyIsPercentEncoded) {
  const struct {
    const char* secret;
    const char* token;
    const char* ip;
    const char* body;
  } cases[] = {
      {"s3cr3t", "tok-EN_1.2~", "203.0.113.9",
       "secret=s3cr3t&response=tok-EN_1.2~&remoteip=203.0.113.9"},
      // Everything but the unreserved characters, with capital hex digits.
      {"a+b/c=", "x&y z%\xC3\xA9", "::1",
       "secret=a%2Bb%2Fc%3D&response=x%26y%20z%25%C3%A9&remoteip=%3A%3A1"},
      {"s", "t", "", "secret=s&response=t"},
      {nullptr, nullptr, nullptr, "secret=&response="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(c.body, captcha_request_body(c.secret, c.token, c.ip));
  }
}

TEST(CaptchaAnswerTest, VerdictAndWords) {
  const struct {
    http_failure failure;
    int status;
    const char* body;
    captcha_verdict verdict;
    const char* words;
  } cases[] = {
      {HTTP_DONE, 200, R"({"success":true})", CAPTCHA_PASSED, ""},
      {HTTP_DONE, 200, R"( {"challenge_ts":"x", "success" : true} )",
       CAPTCHA_PASSED, ""},
      {HTTP_DONE, 204, R"({"success":true})", CAPTCHA_PASSED, ""},
      {HTTP_DONE, 200, R"({"success":false})", CAPTCHA_REFUSED, ""},
      {HTTP_DONE, 200,
       R"({"success":false,"error-codes":["invalid-input-response","timeout-or-duplicate"]})",
       CAPTCHA_REFUSED, "invalid-input-response, timeout-or-duplicate"},
      // The provider's words cannot break or fake a log line.
      {HTTP_DONE, 200, R"({"success":false,"error-codes":["a\nb\\c",7]})",
       CAPTCHA_REFUSED, "a\\x0Ab\\x5Cc"},
      {HTTP_DONE, 500, R"({"success":true})", CAPTCHA_UNCHECKED, "status 500"},
      {HTTP_DONE, 302, R"({"success":true})", CAPTCHA_UNCHECKED, "status 302"},
      {HTTP_DONE, 200, "<html>busy</html>", CAPTCHA_UNCHECKED,
       "the answer is not JSON"},
      {HTTP_DONE, 200, "", CAPTCHA_UNCHECKED, "the answer is not JSON"},
      {HTTP_DONE, 200, R"({"success":true} x)", CAPTCHA_UNCHECKED,
       "the answer is not JSON"},
      {HTTP_DONE, 200, "[true]", CAPTCHA_UNCHECKED, "the answer is not JSON"},
      {HTTP_DONE, 200, R"({"success":"true"})", CAPTCHA_UNCHECKED,
       "no boolean success in the answer"},
      {HTTP_DONE, 200, R"({"ok":true})", CAPTCHA_UNCHECKED,
       "no boolean success in the answer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    http_response response;
    response.failure = c.failure;
    response.status = c.status;
    response.body = c.body;
    std::string words = "stale";
    EXPECT_EQ(c.verdict, captcha_answer_verdict(response, &words));
    EXPECT_EQ(c.words, words);
  }
}

TEST(CaptchaAnswerTest, FailureNamesItsCause) {
  http_response response;
  response.failure = HTTP_NO_CONNECTION;
  response.detail = "Connection refused";
  response.body = R"({"success":true})";
  std::string words;
  EXPECT_EQ(CAPTCHA_UNCHECKED, captcha_answer_verdict(response, &words));
  EXPECT_EQ(std::string(http_failure_name(HTTP_NO_CONNECTION)) +
                ": Connection refused",
            words);
}

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

}  // namespace
}  // namespace tarvelo
