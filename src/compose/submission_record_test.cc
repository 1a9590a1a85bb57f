#include "compose/submission_record.h"

#include <gtest/gtest.h>

#include <string>

#include "support/log.h"

namespace tarvelo {
namespace {

TEST(SubmissionRecordTest, Rfc3339AcrossDayAndLeapBoundaries) {
  struct {
    long long seconds;
    const char* text;
  } cases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {951782399, "2000-02-28T23:59:59Z"},
      {951868800, "2000-03-01T00:00:00Z"},
      {1796754605, "2026-12-08T18:30:05Z"},
      {-1, "1969-12-31T23:59:59Z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(c.text, rfc3339_utc(c.seconds));
  }
}

TEST(SubmissionRecordTest, FieldsInFormOrderEscapedWithFilesAndHiddenField) {
  form_table form;
  log_set_path(nullptr);
  char body[] = "Name=Ann+%22A%22&token=xyz&Note=a%0Ab%FF&cv=x";
  parse_form_body(body, &form);
  // The last pair stands for a file field.
  form.files[0].pair = 3;
  char file_name[] = "cv.pdf";
  form.files[0].file_name = file_name;
  form.files[0].size = 1234;
  form.file_count = 1;
  submission_head head;
  head.form = form_name_of("/srv/cgi-bin/contact.cgi");
  head.outcome = "queued";
  head.unix_seconds = 86400;
  head.hidden_field = "token";
  EXPECT_EQ(
      "{\"form\":\"contact.cgi\",\"outcome\":\"queued\","
      "\"time\":\"1970-01-02T00:00:00Z\",\"fields\":[[\"Name\",\"Ann "
      "\\\"A\\\"\"],[\"Note\",\"a\\u000ab\xef\xbf\xbd\"],"
      "[\"cv\",{\"file\":\"cv.pdf\",\"size\":1234}]]}",
      submission_json(head, form));
  head.client = "192.0.2.7";
  head.hidden_field = nullptr;
  std::string with_client = submission_json(head, form);
  EXPECT_NE(std::string::npos,
            with_client.find(",\"client\":\"192.0.2.7\",\"fields\":[[\"Name\""));
  EXPECT_NE(std::string::npos, with_client.find("[\"token\",\"xyz\"]"));
  form.file_count = 0;
  form.files[0].file_name = nullptr;
  EXPECT_EQ("tarvelo.exe", form_name_of("C:\\inetpub\\tarvelo.exe"));
}

}  // namespace
}  // namespace tarvelo
