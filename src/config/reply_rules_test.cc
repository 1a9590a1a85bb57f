#include "config/reply_rules.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace tarvelo {
namespace {

TEST(ReplyRulesTest, CorsOriginsAcceptedAndRefused) {
  struct {
    const char* text;
    bool usable;
  } cases[] = {
      {"https://a.example", true},
      {"HTTPS://A.Example:8443", true},
      {"http://127.0.0.1:8080", true},
      {"http://[::1]:8080", true},
      {"*", false},
      {"null", false},
      {"", false},
      {"https://a.example/", false},
      {"https://a.example/x", false},
      {"ftp://a", false},
      {"https://", false},
      {"https://a.example:", false},
      {"https://a.example:123456", false},
      {"https://a.example:80x", false},
      {"https://a b", false},
      {"https://a_b.example", false},
      {"https://[]", false},
      {"https://[::1", false},
      {"//a.example", false},
      {"https://a.example\x01", false},
      {"https://\xc3\xa9.example", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.usable, cors_origin_usable(c.text));
  }
}

TEST(ReplyRulesTest, RequestOriginMatchesFoldingSchemeAndHostOnly) {
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
      {"https://www.example.com", 0},
      {"HTTPS://WWW.EXAMPLE.COM", 0},
      {"http://localhost:8080", 1},
      {"HTTP://LOCALHOST:8080", 1},
      {"http://localhost", -1},
      {"http://localhost:80", -1},
      {"http://localhost:8080/", -1},
      {"https://www.example.com:443", -1},
      {"https://www.example.co", -1},
      {"https://www.example.com.evil", -1},
      {"http://www.example.com", -1},
      {"null", -1},
      {"", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.origin);
    EXPECT_EQ(c.index, cors_origin_index(*settings, c.origin));
  }
  EXPECT_EQ(-1, cors_origin_index(*settings, nullptr));
}

TEST(ReplyRulesTest, RedirectUrlsAcceptedAndRefused) {
  struct {
    const char* text;
    bool usable;
  } cases[] = {
      {"https://a.example/", true},
      {"https://a.example/x", true},
      {"HTTPS://A.Example:8443", true},
      {"http://a.example/thanks.html?from=form#top", true},
      {"/ok", true},
      {"/", true},
      {"/thanks/", true},
      {"", false},
      {"*", false},
      {"null", false},
      {"ok.html", false},
      {"ftp://a", false},
      {"javascript:alert(1)", false},
      {"//evil.example", false},
      {"/\\evil", false},
      {"http://", false},
      {"https:///x", false},
      {"https://\\evil.example", false},
      {"https://:80/", false},
      {"https://a b", false},
      {"/a b", false},
      {"/ok\t", false},
      {"/ok\x7f", false},
      {"/ok\r", false},
      {"/caf\xc3\xa9", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.usable, redirect_url_usable(c.text));
  }
}

TEST(ReplyRulesTest, OneAddressAcceptedAndRefused) {
  std::string local64(64, 'l');
  std::string domain_for_254 = std::string(254 - 65 - 4, 'd') + ".com";
  struct {
    std::string text;
    bool usable;
  } cases[] = {
      {"joe+news@mail.example.com", true},
      {"a@b.c", true},
      {local64 + "@b.c", true},
      {local64 + "l@b.c", false},
      {local64 + "@" + domain_for_254, true},
      {local64 + "@d" + domain_for_254, false},
      {"", false},
      {"a@b", false},
      {"a@b..c", false},
      {"a@.b.c", false},
      {"a@b.c.", false},
      {"a@@b.c", false},
      {"@b.c", false},
      {"a@b.c d@e.f", false},
      {"a@b.c,d@e.f", false},
      {" a@b.c", false},
      {"<a@b.c>", false},
      {"a@b.c\n", false},
      {"j\xc3\xb6@b.c", false},
      {std::string("a@b.c\0x", 7), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.usable, is_one_address(c.text.data(), c.text.size()));
  }
  ASSERT_EQ(254u, (local64 + "@" + domain_for_254).size());
  // Only the given bytes count: what follows them is not part of it.
  EXPECT_TRUE(is_one_address("a@b.c d@e.f", 5));
}

TEST(ReplyRulesTest, AliasAddressNeedsTheExactToken) {
  auto settings = std::make_unique<mail_settings>();
  char sales[] = "sales";
  char support[] = "support";
  char sales_address[] = "sales@example.com";
  char support_address[] = "help@example.com";
  settings->alias_tokens[0] = sales;
  settings->alias_addresses[0] = sales_address;
  settings->alias_tokens[1] = support;
  settings->alias_addresses[1] = support_address;
  settings->recipient_alias_count = 2;
  struct {
    const char* token;
    const char* address;
  } cases[] = {
      {"sales", "sales@example.com"},
      {"support", "help@example.com"},
      {"Sales", nullptr},
      {"sale", nullptr},
      {"sales ", nullptr},
      {"", nullptr},
      {"sales@example.com", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.token);
    const char* got = alias_address_for(*settings, c.token);
    if (c.address == nullptr) {
      EXPECT_EQ(nullptr, got);
    } else {
      ASSERT_NE(nullptr, got);
      EXPECT_STREQ(c.address, got);
    }
  }
  EXPECT_EQ(nullptr, alias_address_for(*settings, nullptr));
}

}  // namespace
}  // namespace tarvelo
