#include "smtp/tls_names.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tarvelo {
namespace {

TEST(TlsNames, DnsNameTable) {
  struct row {
    const char* pattern;
    const char* host;
    bool matches;
  };
  const row rows[] = {
      {"mail.example.com", "mail.example.com", true},
      {"MAIL.Example.COM", "mail.example.com", true},
      {"mail.example.com", "mail.example.co", false},
      {"mail.example.co", "mail.example.com", false},
      {"example.com", "mail.example.com", false},
      {"*.example.com", "mail.example.com", true},
      {"*.EXAMPLE.com", "Mail.example.COM", true},
      {"*.example.com", "example.com", false},          // one label, not none
      {"*.example.com", "a.mail.example.com", false},   // not two labels
      {"*.example.com", ".example.com", false},         // empty label
      {"*.com", "example.com", false},                  // too wide
      {"m*.example.com", "mail.example.com", false},    // partial wildcard
      {"*ail.example.com", "mail.example.com", false},
      {"mail.*.com", "mail.example.com", false},        // not left-most
      {"*.*.com", "a.b.com", false},
      {"*", "localhost", false},
      {"", "", false},
      {"mail..com", "mail..com", false},
      {"*.example.com", "mail.example.org", false},
      {"localhost", "localhost", true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.pattern) + " vs " + r.host);
    EXPECT_EQ(dns_name_matches(r.pattern, int(strlen(r.pattern)), r.host),
              r.matches);
  }
}

TEST(TlsNames, NulInsideACertificateNameNeverMatches) {
  // "good.example.com\0.evil.test": a name cut short by C string handling.
  const char pattern[] = "mail.example.com\0.evil.test";
  EXPECT_FALSE(dns_name_matches(pattern, int(sizeof pattern - 1),
                                "mail.example.com"));
  EXPECT_TRUE(dns_name_matches(pattern, 16, "mail.example.com"));
}

TEST(TlsNames, Ipv4HostTable) {
  struct row {
    const char* host;
    bool address;
    unsigned char bytes[4];
  };
  const row rows[] = {
      {"127.0.0.1", true, {127, 0, 0, 1}},
      {"10.200.3.255", true, {10, 200, 3, 255}},
      {"256.0.0.1", false, {}},
      {"1.2.3", false, {}},
      {"1.2.3.4.5", false, {}},
      {"1.2.3.", false, {}},
      {"1..3.4", false, {}},
      {"0001.2.3.4", false, {}},
      {"mail.example.com", false, {}},
      {"1.2.3.4x", false, {}},
      {"", false, {}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.host);
    unsigned char got[4] = {9, 9, 9, 9};
    ASSERT_EQ(parse_ipv4_host(r.host, got), r.address);
    if (r.address) {
      EXPECT_EQ(memcmp(got, r.bytes, 4), 0);
    }
  }
}

TEST(TlsNames, IpEntryTable) {
  const unsigned char local[4] = {127, 0, 0, 1};
  struct row {
    unsigned char entry[16];
    int size;
    bool matches;
  };
  const row rows[] = {
      {{127, 0, 0, 1}, 4, true},
      {{127, 0, 0, 2}, 4, false},
      {{1, 0, 0, 127}, 4, false},
      {{127, 0, 0}, 3, false},
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1}, 16, false},
  };
  int line = 0;
  for (const row& r : rows) {
    SCOPED_TRACE(line++);
    EXPECT_EQ(ip_entry_matches(r.entry, r.size, local), r.matches);
  }
}

}  // namespace
}  // namespace tarvelo
