#include "compose/webhook_body.h"

#include <gtest/gtest.h>

#include <string>

#include "support/log.h"

namespace tarvelo {
namespace {

TEST(WebhookBodyTest, SlackTextEscapesMarkupThenJson) {
  log_set_path(nullptr);
  struct {
    const char* body;  // URL-encoded form
    const char* outcome;
    const char* text;  // the JSON string's inside
  } cases[] = {
      {"Name=Ann&Note=hi", "sent",
       "New post to contact.cgi (sent)\\u000aName: Ann\\u000aNote: hi"},
      // A visitor must not mention the channel nor hide a link.
      {"Note=%3C%21channel%3E+%26+%3Chttps%3A%2F%2Fx.example%7Cbank%3E",
       "queued",
       "New post to contact.cgi (queued)\\u000aNote: &lt;!channel&gt; &amp; "
       "&lt;https://x.example|bank&gt;"},
      // Already-escaped markup is escaped again, not passed through.
      {"a%26b=%26lt%3B", "sent",
       "New post to contact.cgi (sent)\\u000aa&amp;b: &amp;lt;"},
      {"Note=say+%22hi%22%5C%0Aok%FF", "sent",
       "New post to contact.cgi (sent)\\u000aNote: say \\\"hi\\\"\\\\"
       "\\u000aok\xef\xbf\xbd"},
      {"Empty=", "sent", "New post to contact.cgi (sent)\\u000aEmpty: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    form_table form;
    std::string body = c.body;
    parse_form_body(body.data(), &form);
    submission_head head;
    head.form = "contact.cgi";
    head.outcome = c.outcome;
    EXPECT_EQ(std::string("{\"text\":\"") + c.text + "\"}",
              webhook_body(WEBHOOK_SLACK, head, form));
  }
}

TEST(WebhookBodyTest, FilesAndHiddenFieldInBothFormats) {
  log_set_path(nullptr);
  form_table form;
  char body[] = "Name=Ann&cf-turnstile-response=tok&cv=x";
  parse_form_body(body, &form);
  char file_name[] = "cv<1>.pdf";
  form.files[0].pair = 2;
  form.files[0].file_name = file_name;
  form.files[0].size = 1234;
  form.file_count = 1;
  submission_head head;
  head.form = "contact.cgi";
  head.unix_seconds = 86400;
  head.hidden_field = "cf-turnstile-response";
  EXPECT_EQ(
      "{\"text\":\"New post to contact.cgi (sent)\\u000aName: Ann\\u000a"
      "cv: cv&lt;1&gt;.pdf (1234 bytes)\"}",
      webhook_body(WEBHOOK_SLACK, head, form));
  EXPECT_EQ(submission_json(head, form),
            webhook_body(WEBHOOK_JSON, head, form));
  form.file_count = 0;
  form.files[0].file_name = nullptr;
}

TEST(WebhookBodyTest, SignatureIsHmacOfTheExactBody) {
  // The value GitHub's documentation shows for its X-Hub-Signature-256.
  EXPECT_EQ(
      "sha256=757107ea0eb2509fc211221cce984b8a37570b6d7586c22c46f4379c8b043e17",
      webhook_signature("It's a Secret to Everybody", "Hello, World!"));
  EXPECT_NE(webhook_signature("s", "{\"a\":1}"),
            webhook_signature("s", "{\"a\":1} "));
}

}  // namespace
}  // namespace tarvelo
