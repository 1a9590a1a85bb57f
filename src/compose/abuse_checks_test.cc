#include "compose/abuse_checks.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace tarvelo {
namespace {

TEST(AbuseChecksTest, RecipientMatching) {
  struct {
    const char* entry;
    const char* address;
    int matches;
  } cases[] = {
      {"sales@example.com", "sales@example.com", 1},
      {"sales@example.com", "SALES@Example.COM", 1},
      {"sales@example.com", "sales@example.co", 0},
      {"sales@example.com", "xsales@example.com", 0},
      {"@example.com", "anyone@example.com", 1},
      {"@example.com", "anyone@EXAMPLE.com", 1},
      {"@example.com", "x@sub.example.com", 0},
      {"@example.com", "x@example.com.evil.net", 0},
      {"@example.com", "x@notexample.com", 0},
      {"@example.com", "example.com", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.entry) + " vs " + c.address);
    EXPECT_EQ(c.matches, recipient_matches(c.entry, c.address));
  }
}

TEST(AbuseChecksTest, EveryRecipientMustBeAllowed) {
  mail_settings settings;
  char a[] = "@example.com";
  char b[] = "boss@elsewhere.org";
  settings.allowed_recipients[0] = a;
  settings.allowed_recipients[1] = b;
  settings.allowed_recipient_count = 2;
  char to[] = "info@example.com";
  char cc[] = "boss@elsewhere.org";
  char bcc[] = "spy@evil.net";
  envelope env;
  env.to_address = to;
  env.cc_address = cc;
  const char* refused = nullptr;
  EXPECT_EQ(1, recipients_allowed(settings, env, &refused));
  env.bcc_address = bcc;
  EXPECT_EQ(0, recipients_allowed(settings, env, &refused));
  EXPECT_STREQ("spy@evil.net", refused);
  settings.allowed_recipient_count = 0;  // no list: anything goes
  EXPECT_EQ(1, recipients_allowed(settings, env, &refused));
}

TEST(AbuseChecksTest, RateLimitCountsPerClientWithinTheHour) {
  std::string state =
      "1000 10.0.0.1\n"     // older than an hour at 5000: pruned
      "2000 10.0.0.1\n"
      "4000 10.0.0.1\n"
      "4500 10.0.0.2\n"
      "garbage line\n";
  std::string updated;
  EXPECT_EQ(1, rate_limit_admit(state, "10.0.0.1", 5000, 3, &updated));
  EXPECT_EQ("2000 10.0.0.1\n4000 10.0.0.1\n4500 10.0.0.2\n5000 10.0.0.1\n",
            updated);
  std::string again;
  EXPECT_EQ(0, rate_limit_admit(updated, "10.0.0.1", 5000, 3, &again));
  // A refused run is not counted.
  EXPECT_EQ(updated, again);
  EXPECT_EQ(1, rate_limit_admit(updated, "10.0.0.2", 5000, 3, &again));
  // A prefix of another client's address is another client.
  EXPECT_EQ(1, rate_limit_admit(updated, "10.0.0.", 5000, 1, &again));
}

TEST(AbuseChecksTest, StatePathBesideTheLog) {
  EXPECT_EQ("/srv/cgi-bin/mailer.rate", rate_state_path("/srv/cgi-bin/mailer.log"));
  EXPECT_EQ("odd.rate", rate_state_path("odd"));
}

TEST(AbuseChecksTest, UnusableStateFileNeverBlocksMail) {
  scoped_test_log log;
  mail_settings settings;
  settings.rate_limit = 1;
  envelope env;
  form_table form;
  std::string dir = fresh_temp_dir();  // a folder where the file should be
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ABUSE_PASS,
              run_abuse_checks(settings, env, form, "10.0.0.9", dir.c_str(), 100));
  }
  EXPECT_NE(std::string::npos,
            log.messages().find("rate_limit state file (" + dir +
                                ") cannot be opened; mail not limited"));
}

}  // namespace
}  // namespace tarvelo
