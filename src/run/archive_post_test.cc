#include "run/archive_post.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvelo {
namespace {

TEST(ArchivePostTest, HeadFollowsTheIni) {
  struct row {
    const char* name;
    bool client_ip_header;
    captcha_kind provider;
    const char* client;  // in the head
    const char* hidden;
  };
  const row rows[] = {
      {"client unasked, token left out", false, CAPTCHA_TURNSTILE, "",
       "cf-turnstile-response"},
      {"client asked, no provider", true, CAPTCHA_NONE, "192.0.2.1", nullptr},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    mail_settings settings;
    settings.client_ip_header = r.client_ip_header;
    settings.captcha_provider = r.provider;
    submission_head head = submission_head_for(
        settings, "/srv/cgi-bin/c.cgi", true, 1796754605999999LL, "192.0.2.1");
    EXPECT_EQ("c.cgi", head.form);
    EXPECT_STREQ("queued", head.outcome);
    EXPECT_EQ(1796754605LL, head.unix_seconds);
    EXPECT_EQ(r.client, head.client);
    EXPECT_STREQ(r.hidden, head.hidden_field);
  }
}

}  // namespace
}  // namespace tarvelo
