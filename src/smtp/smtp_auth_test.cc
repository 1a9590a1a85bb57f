#include "smtp/smtp_auth.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace tarvelo {
namespace {

std::string capabilities_of(const std::string& reply) {
  ehlo_capabilities caps = parse_ehlo_reply(reply.data(), reply.size());
  std::string out;
  if (caps.starttls) out += "STARTTLS ";
  if (caps.auth_plain) out += "PLAIN ";
  if (caps.auth_login) out += "LOGIN ";
  return out;
}

TEST(EhloCapabilities, Table) {
  struct {
    const char* reply;
    const char* found;
  } cases[] = {
      {"250-mx.example\r\n250-STARTTLS\r\n250 AUTH PLAIN LOGIN\r\n",
       "STARTTLS PLAIN LOGIN "},
      // Any case, the last line as well as the others.
      {"250-mx\r\n250-8BITMIME\r\n250 starttls\r\n", "STARTTLS "},
      {"250-mx\r\n250-auth login\r\n250 SIZE 100\r\n", "LOGIN "},
      {"250-mx\r\n250-Auth Login Plain\r\n250 OK\r\n", "PLAIN LOGIN "},
      // The older "AUTH=" form, and more mechanisms than used.
      {"250-mx\r\n250-AUTH=LOGIN\r\n250 HELP\r\n", "LOGIN "},
      {"250-mx\r\n250-AUTH CRAM-MD5 DIGEST-MD5\r\n250 HELP\r\n", ""},
      {"250-mx\r\n250-AUTH  XOAUTH2\tPLAIN\r\n250 HELP\r\n", "PLAIN "},
      // The first line is the server's name, never an extension.
      {"250 STARTTLS\r\n", ""},
      {"250-STARTTLS\r\n250 AUTH PLAIN\r\n", "PLAIN "},
      // Keywords match whole: no prefix, no longer word.
      {"250-mx\r\n250-STARTTLSX\r\n250-STARTTL\r\n250 AUTHX PLAIN\r\n", ""},
      {"250-mx\r\n250-AUTH\r\n250 X-AUTH PLAIN\r\n", ""},
      {"250-mx\r\n250-AUTH PLAINX LOGIN2\r\n250 OK\r\n", ""},
      // Only 250 lines with a proper separator count.
      {"250-mx\r\n251-STARTTLS\r\n250STARTTLS\r\n250 OK\r\n", ""},
      {"250-mx\r\n550 STARTTLS\r\n", ""},
      // Bare line feeds and a last line without one.
      {"250-mx\n250-STARTTLS\n250 AUTH LOGIN", "STARTTLS LOGIN "},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    EXPECT_EQ(c.found, capabilities_of(c.reply));
  }
}

TEST(EhloCapabilities, LineByLineAsTheReaderFeedsThem) {
  ehlo_capabilities caps;
  note_ehlo_line("250-smtp.example.com at your service\r", 37, &caps);
  note_ehlo_line("250-AUTH LOGIN\r", 15, &caps);
  EXPECT_FALSE(caps.starttls);
  note_ehlo_line("250 STARTTLS\r", 13, &caps);
  EXPECT_TRUE(caps.starttls);
  EXPECT_TRUE(caps.auth_login);
  EXPECT_FALSE(caps.auth_plain);
  EXPECT_EQ(3, caps.lines);
}

// The heap form of support/base64's encoding, sized by the text's length.
TEST(Base64Text, EncodesTheWholeText) {
  char* text = base64_text("foobar");
  EXPECT_STREQ("Zm9vYmFy", text);
  free(text);
}

TEST(AuthPlain, ArgumentIsNulUserNulPassword) {
  // RFC 4616 4's example, without the authorization identity.
  char* argument = auth_plain_argument("tim", "tanstaaftanstaaf");
  EXPECT_STREQ("AHRpbQB0YW5zdGFhZnRhbnN0YWFm", argument);
  free(argument);
  // A password holding blanks and non-ASCII bytes is taken as it is.
  argument = auth_plain_argument("u@x.y", "p w\xe9");
  EXPECT_STREQ("AHVAeC55AHAgd+k=", argument);
  free(argument);
}

TEST(MaskSecrets, Table) {
  const char* secrets[] = {"AHVzZXIAc2VjcmV0", "", "c2VjcmV0"};
  struct {
    const char* line;
    const char* shown;
    bool masked;
  } cases[] = {
      {"535 5.7.8 bad credentials", "535 5.7.8 bad credentials", false},
      {"501 cannot decode AHVzZXIAc2VjcmV0\r",
       "501 cannot decode ********\r", true},
      {"c2VjcmV0c2VjcmV0 and c2VjcmV", "**************** and c2VjcmV", true},
      {"AUTH PLAIN AHVzZXIAc2VjcmV0", "AUTH PLAIN ********", true},
      {"", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    char out[200];
    EXPECT_EQ(c.masked, mask_secrets(c.line, secrets, 3, out, sizeof out));
    EXPECT_STREQ(c.shown, out);
  }
}

TEST(MaskSecrets, FullBufferShowsNoPartOfASecret) {
  const char* secrets[] = {"c2VjcmV0"};
  char out[14];
  EXPECT_TRUE(mask_secrets("501 x c2VjcmV0 y", secrets, 1, out, sizeof out));
  EXPECT_STREQ("501 x ", out);
  char tiny[1];
  EXPECT_TRUE(mask_secrets("c2VjcmV0", secrets, 1, tiny, sizeof tiny));
  EXPECT_STREQ("", tiny);
}

}  // namespace
}  // namespace tarvelo
