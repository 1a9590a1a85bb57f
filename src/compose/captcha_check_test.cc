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
    int status;
    const char* body;
    captcha_verdict verdict;
    const char* words;
  } cases[] = {
      {200, R"({"success":true})", CAPTCHA_PASSED, ""},
      {200, R"( {"challenge_ts":"x", "success" : true} )",
       CAPTCHA_PASSED, ""},
      {204, R"({"success":true})", CAPTCHA_PASSED, ""},
      {200, R"({"success":false})", CAPTCHA_REFUSED, ""},
      {200,
       R"({"success":false,"error-codes":["invalid-input-response","timeout-or-duplicate"]})",
       CAPTCHA_REFUSED, "invalid-input-response, timeout-or-duplicate"},
      // The provider's words cannot break or fake a log line.
      {200, R"({"success":false,"error-codes":["a\nb\\c",7]})",
       CAPTCHA_REFUSED, "a\\x0Ab\\x5Cc"},
      {500, R"({"success":true})", CAPTCHA_UNCHECKED, "status 500"},
      {302, R"({"success":true})", CAPTCHA_UNCHECKED, "status 302"},
      {200, "<html>busy</html>", CAPTCHA_UNCHECKED,
       "the answer is not JSON"},
      {200, "", CAPTCHA_UNCHECKED, "the answer is not JSON"},
      {200, R"({"success":true} x)", CAPTCHA_UNCHECKED,
       "the answer is not JSON"},
      {200, "[true]", CAPTCHA_UNCHECKED, "the answer is not JSON"},
      {200, R"({"success":"true"})", CAPTCHA_UNCHECKED,
       "no boolean success in the answer"},
      {200, R"({"ok":true})", CAPTCHA_UNCHECKED,
       "no boolean success in the answer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    std::string words = "stale";
    EXPECT_EQ(c.verdict, captcha_answer_verdict(c.status, c.body, &words));
    EXPECT_EQ(c.words, words);
  }
}

}  // namespace
}  // namespace tarvelo
