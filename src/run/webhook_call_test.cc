#include "run/webhook_call.h"

#include <gtest/gtest.h>

#include <string>

#include "compose/webhook_body.h"
#include "testing/test_support.h"

namespace tarvelo {
namespace {

// The stand-in receiver: records the one request, answers as scripted.
struct scripted_answer {
  int calls = 0;
  http_request request;
  http_response response;
};
scripted_answer answer;

bool answer_post(const http_request& request, http_response* response) {
  ++answer.calls;
  answer.request = request;
  *response = answer.response;
  return answer.response.failure == HTTP_DONE;
}

class WebhookCallTest : public testing::Test {
 protected:
  WebhookCallTest() {
    answer = scripted_answer();
    settings_.webhook_url = url_;
    settings_.webhook_secret = secret_;
    char body[] = "Name=Ann";
    parse_form_body(body, &form_);
    head_.form = "contact.cgi";
    write_file(log_.path(), "");  // the form's own debug line
  }

  bool post(long long now_ms) {
    return post_webhook(settings_, head_, form_, now_ms, 5000, answer_post);
  }

  scoped_test_log log_;
  mail_settings settings_;
  form_table form_;
  submission_head head_;
  char url_[40] = "http://127.0.0.1:8/hook?x=1";
  char secret_[16] = "s3cr3t-Kw";
};

TEST_F(WebhookCallTest, SignedJsonPostWithTheRunsDeadline) {
  answer.response.status = 204;
  EXPECT_TRUE(post(1000));
  ASSERT_EQ(1, answer.calls);
  const http_request& sent = answer.request;
  EXPECT_EQ("127.0.0.1", sent.url.host);
  EXPECT_EQ(8, sent.url.port);
  EXPECT_EQ("/hook?x=1", sent.url.target);
  EXPECT_STREQ("application/json", sent.content_type);
  EXPECT_EQ(5000, sent.deadline_ms);
  EXPECT_EQ(submission_json(head_, form_), sent.body);
  ASSERT_EQ(1u, sent.headers.size());
  EXPECT_EQ("X-Tarvelo-Signature", sent.headers[0].first);
  EXPECT_EQ(webhook_signature(secret_, sent.body), sent.headers[0].second);
  EXPECT_EQ("webhook http://127.0.0.1:8/hook?x=1 answered status 204\n",
            log_.messages());
}

TEST_F(WebhookCallTest, EachFailureIsOneErrorsLineWithoutTheSecret) {
  struct {
    http_failure failure;
    int status;
    const char* detail;
    const char* line_end;  // after "webhook URL "
  } cases[] = {
      {HTTP_DONE, 500, "", "failed: status 500"},
      {HTTP_DONE, 302, "", "failed: status 302"},
      {HTTP_DONE, 199, "", "failed: status 199"},
      {HTTP_NO_CONNECTION, 0, "Connection refused", nullptr},
      {HTTP_TIMED_OUT, 0, "", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    scoped_test_log log;
    answer = scripted_answer();
    answer.response.failure = c.failure;
    answer.response.status = c.status;
    answer.response.detail = c.detail;
    EXPECT_FALSE(post(1000));
    std::string words = c.line_end != nullptr
                            ? c.line_end
                            : std::string("failed: ") +
                                  http_failure_name(c.failure);
    if (*c.detail != '\0') words += std::string(" (") + c.detail + ")";
    EXPECT_EQ("webhook http://127.0.0.1:8/hook?x=1 " + words + "\n",
              log.messages());
    EXPECT_EQ(std::string::npos, read_file(log.path()).find(secret_));
  }
}

TEST_F(WebhookCallTest, NoCallPastTheDeadlineOrWithoutUrl) {
  EXPECT_FALSE(post(5000));
  EXPECT_EQ(0, answer.calls);
  EXPECT_EQ(
      "webhook http://127.0.0.1:8/hook?x=1 not called: the run's time limit "
      "(smtp_timeout) has passed\n",
      log_.messages());
  settings_.webhook_url = nullptr;
  EXPECT_FALSE(post(0));
  EXPECT_EQ(0, answer.calls);
}

TEST_F(WebhookCallTest, NoSecretNoSignatureAndSlackFormat) {
  settings_.webhook_secret = nullptr;
  settings_.webhook_format = WEBHOOK_SLACK;
  answer.response.status = 200;
  EXPECT_TRUE(post(0));
  EXPECT_TRUE(answer.request.headers.empty());
  EXPECT_EQ("{\"text\":\"New post to contact.cgi (sent)\\u000aName: Ann\"}",
            answer.request.body);
}

}  // namespace
}  // namespace tarvelo
