// The platform's TLS layer against scripted servers that never finish a
// handshake: what goes out first, and how each failure is named. Complete
// handshakes and certificate checks run end to end against real servers.
#include "smtp/tls_layer.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/scripted_net.h"
#include "testing/test_support.h"

namespace tarvelo {
namespace {

struct attempt {
  net_ops* secured;
  tls_outcome outcome;
};

attempt try_handshake(scripted_net* net, const char* host,
                      const char* ca_file = nullptr) {
  attempt a;
  a.secured = platform_tls()->secure(net, 7, host, ca_file, 99999999,
                                     &a.outcome);
  return a;
}

bool has_tls() {
  scripted_net net;
  return try_handshake(&net, "x.example").outcome.failure != TLS_UNAVAILABLE;
}

TEST(TlsLayer, ClientHelloNamesTheHostButNeverAnAddress) {
  if (!has_tls()) GTEST_SKIP() << "a build without TLS";
  struct {
    const char* host;
    bool named;
  } cases[] = {{"mail.example.org", true}, {"127.0.0.1", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    scoped_test_log log;
    scripted_net net;
    attempt a = try_handshake(&net, c.host);
    EXPECT_EQ(nullptr, a.secured);
    // A TLS handshake record came first (RFC 8446 5.1), then the closed
    // connection ended it.
    ASSERT_GT(net.sent.size(), 5u);
    EXPECT_EQ('\x16', net.sent[0]);
    EXPECT_EQ('\x03', net.sent[1]);
    // RFC 6066 3: the server name travels as SNI for a name only.
    EXPECT_EQ(c.named, net.sent.find(c.host) != std::string::npos);
    EXPECT_EQ(TLS_HANDSHAKE_FAILED, a.outcome.failure);
    EXPECT_STREQ("the server closed the connection", a.outcome.detail);
  }
}

TEST(TlsLayer, HandshakeFailuresInWords) {
  if (!has_tls()) GTEST_SKIP() << "a build without TLS";
  struct {
    const char* what;
    scripted_net::chunk reply;
    const char* detail;  // a part of it
  } cases[] = {
      {"a plain SMTP greeting", {"220 mx.example ESMTP ready\r\n", 0},
       "SSL routines"},
      {"no answer in time", {"", WSA_ETIMEDOUT},
       "no answer within the time limit (smtp_timeout)"},
      {"reset", {"", 10054}, "socket error 10054 The virtual circuit was "
                             "reset by the remote side."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scoped_test_log log;
    scripted_net net;
    net.incoming.push_back(c.reply);
    attempt a = try_handshake(&net, "mx.example");
    EXPECT_EQ(nullptr, a.secured);
    EXPECT_EQ(TLS_HANDSHAKE_FAILED, a.outcome.failure);
    EXPECT_NE(nullptr, strstr(a.outcome.detail, c.detail)) << a.outcome.detail;
    EXPECT_EQ(nullptr, strchr(a.outcome.detail, '\n'));
  }
}

TEST(TlsLayer, UnusableCaFileStopsBeforeAnyByte) {
  if (!has_tls()) GTEST_SKIP() << "a build without TLS";
  std::string folder = fresh_temp_dir();
  std::string not_pem = folder + "/ca.pem";
  write_file(not_pem, "this is not a certificate\n");
  const std::string paths[] = {folder, not_pem, folder + "/missing.pem",
                               not_pem + "/below_a_file.pem"};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    scripted_net net;
    attempt a = try_handshake(&net, "mx.example", path.c_str());
    EXPECT_EQ(nullptr, a.secured);
    EXPECT_EQ(TLS_CA_UNREADABLE, a.outcome.failure);
    EXPECT_EQ("", net.sent);
  }
}

}  // namespace
}  // namespace tarvelo
