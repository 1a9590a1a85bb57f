#include "config/reply_rules.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace tarvelo {
namespace {

TEST(ReplyRulesTest, OriginsAndRedirectsAcceptedAndRefused) {
  struct {
    const char* text;
    bool origin;
    bool redirect;
  } cases[] = {
      {"https://a.example", true, true},
      {"HTTPS://A.Example:8443", true, true},
      {"http://[::1]:8080", true, true},
      {"https://a.example/", false, true},
      {"https://a.example/x?y#z", false, true},
      {"/ok", false, true},
      {"/", false, true},
      {"*", false, false},
      {"null", false, false},
      {"", false, false},
      {"ok.html", false, false},
      {"ftp://a", false, false},
      {"//evil.example", false, false},
      {"/\\evil", false, false},
      {"http://", false, false},
      {"https:///x", false, false},
      {"https://\\evil.example", false, false},
      {"https://a b", false, false},
      {"https://a_b.example", false, true},
      {"https://a.example:123456", false, true},
      {"/ok\t", false, false},
      {"/ok\x7f", false, false},
      {"https://\xc3\xa9.example", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.origin, cors_origin_usable(c.text));
    EXPECT_EQ(c.redirect, redirect_url_usable(c.text));
  }
}

TEST(ReplyRulesTest, RequestOriginFoldsSchemeAndHostOnly) {
  auto settings = std::make_unique<mail_settings>();
  char first[] = "https://www.Example.com";
  char second[] = "http://localhost:8080";
  settings->cors_origins[0] = first;
  settings->cors_origins[1] = second;
  settings->cors_origin_count = 2;
  struct {
    const char* origin;
    int index;
  } cases[] = {
      {"https://www.example.com", 0}, {"HTTPS://WWW.EXAMPLE.COM", 0},
      {"HTTP://LOCALHOST:8080", 1},   {"http://localhost", -1},
      {"http://localhost:80", -1},    {"http://localhost:8080/", -1},
      {"https://www.example.co", -1}, {"https://www.example.com.evil", -1},
      {"http://www.example.com", -1}, {"", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.origin);
    EXPECT_EQ(c.index, cors_origin_index(*settings, c.origin));
  }
}

TEST(ReplyRulesTest, OneAddressAcceptedAndRefused) {
  std::string local64(64, 'l');
  std::string domain189 = std::string(185, 'd') + ".com";  // 64+1+189 = 254
  struct {
    std::string text;
    bool usable;
  } cases[] = {
      {"joe+news@mail.example.com", true},
      {local64 + "@b.c", true},
      {local64 + "l@b.c", false},
      {local64 + "@" + domain189, true},
      {local64 + "@d" + domain189, false},
      {"", false},          {"a@b", false},          {"a@b..c", false},
      {"a@.b.c", false},    {"a@b.c.", false},       {"a@@b.c", false},
      {"@b.c", false},      {"a@b.c d@e.f", false},  {"<a@b.c>", false},
      {"j\xc3\xb6@b.c", false}, {std::string("a@b.c\0x", 7), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.usable, is_one_address(c.text.data(), c.text.size()));
  }
}

TEST(ReplyRulesTest, AliasAddressNeedsTheExactToken) {
  auto settings = std::make_unique<mail_settings>();
  char token[] = "sales";
  char address[] = "sales@example.com";
  settings->alias_tokens[0] = token;
  settings->alias_addresses[0] = address;
  settings->recipient_alias_count = 1;
  EXPECT_STREQ("sales@example.com", alias_address_for(*settings, "sales"));
  for (const char* other : {"Sales", "sale", "sales ", ""}) {
    SCOPED_TRACE(other);
    EXPECT_EQ(nullptr, alias_address_for(*settings, other));
  }
  EXPECT_EQ(nullptr, alias_address_for(*settings, nullptr));
}

}  // namespace
}  // namespace tarvelo
