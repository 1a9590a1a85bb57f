#include "run/webhook_call.h"

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace tarvelo {
namespace {

int calls = 0;

bool count_post(const http_request&, http_response* response) {
  ++calls;
  response->status = 204;
  return true;
}

// The delivery may use up the run's time limit; the end-to-end tests
// cannot stop the clock there, so the edge is pinned here.
TEST(WebhookCallTest, NoCallOnceTheDeadlineIsReached) {
  mail_settings settings;
  char url[] = "http://127.0.0.1:8/hook";
  settings.webhook_url = url;
  form_table form;
  submission_head head;
  struct {
    long long now_ms;
    int calls;
    const char* log;
  } cases[] = {
      {4999, 1, "webhook http://127.0.0.1:8/******** answered status 204\n"},
      {5000, 0,
       "webhook http://127.0.0.1:8/******** not called: the run's time limit "
       "(smtp_timeout) has passed\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.now_ms);
    scoped_test_log log;
    calls = 0;
    EXPECT_EQ(c.calls == 1, post_webhook(settings, head, form, c.now_ms,
                                         5000, count_post));
    EXPECT_EQ(c.calls, calls);
    EXPECT_EQ(c.log, log.messages());
  }
  settings.webhook_url = nullptr;
  calls = 0;
  EXPECT_FALSE(post_webhook(settings, head, form, 0, 5000, count_post));
  EXPECT_EQ(0, calls);
}

}  // namespace
}  // namespace tarvelo
