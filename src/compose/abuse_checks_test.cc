#include "compose/abuse_checks.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "testing/test_support.h"

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

TEST(AbuseChecksTest, ClientKeys) {
  struct {
    const char* client;
    const char* key;
  } cases[] = {
      {"192.0.2.7", "192.0.2.7"},
      // One subscriber's /64 is one client, however the rest changes.
      {"2001:db8:0:1::1", "2001:db8:0:1::/64"},
      {"2001:db8:0:1:ffff:ffff:ffff:ffff", "2001:db8:0:1::/64"},
      {"2001:DB8:0:1:0:0:0:2", "2001:db8:0:1::/64"},
      {"2001:db8:0:2::1", "2001:db8:0:2::/64"},
      {"fe80::1%eth0", "fe80:0:0:0::/64"},
      {"::1", "0:0:0:0::/64"},
      // A dual-stack socket's IPv4 client is that IPv4 client.
      {"::ffff:192.0.2.7", "192.0.2.7"},
      {"::FFFF:c000:207", "192.0.2.7"},
      {"0:0:0:0:0:ffff:192.0.2.7", "192.0.2.7"},
      // Not IPv6 addresses: counted as they stand.
      {"1::2::3", "1::2::3"},
      {"1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7:8:9"},
      {"12345::", "12345::"},
      {"::ffff:192.0.2.256", "::ffff:192.0.2.256"},
      {"1:2:3:4:5:6:7::8", "1:2:3:4:5:6:7::8"},
      {":1::", ":1::"},
      {"unknown", "unknown"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.client);
    EXPECT_EQ(c.key, rate_client_key(c.client));
  }
}

TEST(AbuseChecksTest, EveryHoneypotCopyMustBeEmpty) {
  char field[] = "website";
  char other[] = "Name:";
  char empty[] = "";
  char filled[] = "http://spam.example";
  struct {
    const char* label;
    std::vector<std::pair<char*, char*>> pairs;
    bool filled;
  } cases[] = {
      {"absent", {{other, filled}}, false},
      {"one empty copy", {{field, empty}}, false},
      {"two empty copies", {{field, empty}, {field, empty}}, false},
      {"first filled", {{field, filled}, {field, empty}}, true},
      {"second filled", {{field, empty}, {other, empty}, {field, filled}}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    form_table form;
    for (const auto& pair : c.pairs) {
      form.names[form.form_count] = pair.first;
      form.values[form.form_count++] = pair.second;
    }
    EXPECT_EQ(c.filled, honeypot_filled(form, field));
  }
}

TEST(AbuseChecksTest, FallbackStateNamedAfterTheIni) {
  rate_state_location a = rate_state_location_for(
      "/srv/a/cgi-bin/mailer.log", "/srv/a/cgi-bin/mailer.ini", "/tmp");
  rate_state_location b = rate_state_location_for(
      "/srv/b/cgi-bin/mailer.log", "/srv/b/cgi-bin/mailer.ini", "/tmp");
  EXPECT_EQ("/srv/a/cgi-bin/mailer.rate", a.beside);
  EXPECT_EQ("/tmp/tarvelo", a.private_folder);
  EXPECT_EQ(0u, a.fallback.rfind("/tmp/tarvelo/", 0));
  EXPECT_NE(a.fallback, b.fallback);  // two forms never share counts
  rate_state_location w = rate_state_location_for(
      "C:\\cgi\\mailer.log", "C:\\cgi\\mailer.ini", "C:\\Temp");
  EXPECT_EQ("C:\\Temp\\tarvelo", w.private_folder);
  EXPECT_EQ("/srv/cgi-bin/mailer.ini", ini_path_for_log("/srv/cgi-bin/mailer.log"));
}

}  // namespace
}  // namespace tarvelo
