// The dialogue with smtp_tls and smtp_user: the order of STARTTLS, the
// handshake, EHLO and AUTH, what is never sent, and what the log shows.
// The TLS layer is a stand-in that marks the handshake in the transcript;
// the real one is tested end to end.
#include <gtest/gtest.h>

#include <string>

#include "smtp/smtp_dialogue.h"
#include "testing/scripted_net.h"
#include "testing/test_support.h"

namespace tarvelo {
namespace {

// Forwards to the scripted server and keeps what went through it: the
// clear text of the "secured" connection.
class secured_net final : public net_ops {
 public:
  scripted_net* inner = nullptr;
  std::string sent;

  int start(int version, int* granted) override {
    return inner->start(version, granted);
  }
  long long now_ms() override { return inner->now_ms(); }
  int connect_to(const char* host, bool dotted, int port, long long deadline,
                 connect_failure* failure) override {
    return inner->connect_to(host, dotted, port, deadline, failure);
  }
  int send(int socket, const char* data, int size, long long d) override {
    int n = inner->send(socket, data, size, d);
    if (n > 0) sent.append(data, n);
    return n;
  }
  int recv(int socket, char* area, int room, long long d) override {
    return inner->recv(socket, area, room, d);
  }
  int last_error() override { return inner->last_error(); }
  void pause_ms(int ms) override { inner->pause_ms(ms); }
  void close_socket(int socket) override { inner->close_socket(socket); }
};

class fake_tls final : public tls_layer {
 public:
  explicit fake_tls(scripted_net* net) { secured.inner = net; }

  net_ops* secure(net_ops* net, int on_socket, const char* for_host,
                  const char* ca_file, long long deadline_ms,
                  tls_outcome* outcome) override {
    ++calls;
    EXPECT_EQ(static_cast<net_ops*>(secured.inner), net);
    socket = on_socket;
    host = for_host;
    ca = ca_file ? ca_file : "(system)";
    deadline = deadline_ms;
    secured.inner->transcript.push_back("TLS");
    outcome->failure = failure;
    snprintf(outcome->detail, sizeof outcome->detail, "%s", detail);
    return failure == TLS_DONE ? &secured : nullptr;
  }

  tls_failure failure = TLS_DONE;
  const char* detail = "";
  secured_net secured;
  int calls = 0;
  int socket = -1;
  std::string host, ca;
  long long deadline = 0;
};

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) out += part + "|";
  return out;
}

smtp_job tls_job(tls_mode mode) {
  smtp_job job;
  job.server = "MX.Example:587";
  job.from = "f@x.y";
  job.to = "t@x.y";
  job.header_text = "Subject: s\r\n";
  job.body_text = "b\r\n";
  job.tls = mode;
  job.timeout_seconds = 20;
  return job;
}

smtp_job auth_job(tls_mode mode) {
  smtp_job job = tls_job(mode);
  job.user = "user";
  job.password = "secret";
  return job;
}

// After a successful hello: MAIL FROM to QUIT for one recipient.
void accept_transaction(scripted_net* net) {
  net->replies({"250 sender ok\r\n", "250 rcpt ok\r\n", "354 go\r\n",
                "250 queued\r\n", "221 bye\r\n"});
}

struct run_result {
  int delivered;
  std::string log;
};

run_result run(const smtp_job& job, scripted_net* net, fake_tls* tls,
               smtp_report* report = nullptr) {
  scoped_test_log log;
  bool started = false;
  smtp_job with_report = job;
  with_report.report = report;
  int delivered = deliver_mail(with_report, net, tls, &started);
  return {delivered, log.messages()};
}

const char kStarttlsEhlo[] =
    "250-mx.example\r\n250-PIPELINING\r\n250-starttls\r\n250 8BITMIME\r\n";

TEST(StartTls, EhloStarttlsHandshakeEhloThenTheMessage) {
  scripted_net net;
  net.clock_ms = 1000;
  fake_tls tls(&net);
  net.replies({"220 ready\r\n", kStarttlsEhlo, "220 go ahead\r\n",
               "250-mx.example\r\n250 8BITMIME\r\n"});
  accept_transaction(&net);
  smtp_job job = tls_job(TLS_STARTTLS);
  job.tls_ca = "/site/ca.pem";
  run_result r = run(job, &net, &tls);
  EXPECT_EQ(1, r.delivered);
  EXPECT_EQ(0u, joined(net.transcript)
                    .find("S:220 ready\r\n|C:EHLO TARVELO|C:\r\n|S:" +
                          std::string(kStarttlsEhlo) +
                          "|C:STARTTLS|C:\r\n|S:220 go ahead\r\n|TLS|"
                          "C:EHLO TARVELO|C:\r\n|"));
  // Everything after the handshake went through the secured connection.
  EXPECT_EQ("EHLO TARVELO\r\nMAIL FROM:<f@x.y>\r\nRCPT TO:<t@x.y>\r\nDATA\r\n"
            "Subject: s\r\n\r\nb\r\n\r\n.\r\nQUIT\r\n",
            tls.secured.sent);
  EXPECT_EQ(1, tls.calls);
  EXPECT_EQ("mx.example", tls.host);  // the host as connected, port apart
  EXPECT_EQ("/site/ca.pem", tls.ca);
  EXPECT_EQ(7, tls.socket);
  EXPECT_EQ(1000 + 20000, tls.deadline);  // the delivery's own time limit
}

TEST(StartTls, SaysEhloWhateverHelloMethodSays) {
  scripted_net net;
  fake_tls tls(&net);
  net.replies({"220 ready\r\n", kStarttlsEhlo, "220 go\r\n", "250 mx\r\n"});
  accept_transaction(&net);
  smtp_job job = tls_job(TLS_STARTTLS);
  job.hello_method = HELLO_HELO;
  EXPECT_EQ(1, run(job, &net, &tls).delivered);
  EXPECT_EQ(std::string::npos, net.sent.find("HELO"));
}

TEST(StartTls, CapabilitiesSpreadOverManyReads) {
  scripted_net net;
  fake_tls tls(&net);
  // STARTTLS far down a long reply that arrives in pieces.
  std::string ehlo = "250-mx.example\r\n";
  for (int i = 0; i < 60; ++i) ehlo += "250-X-EXTENSION-NUMBER-" +
                                       std::to_string(i) + "\r\n";
  ehlo += "250 STARTTLS\r\n";
  net.replies({"220 ready\r\n"});
  for (size_t at = 0; at < ehlo.size(); at += 300) {
    net.incoming.push_back({ehlo.substr(at, 300), 0});
  }
  net.replies({"220 go\r\n", "250 mx\r\n"});
  accept_transaction(&net);
  EXPECT_EQ(1, run(tls_job(TLS_STARTTLS), &net, &tls).delivered);
  EXPECT_EQ(1, tls.calls);
}

TEST(StartTls, ServerWithoutStarttlsGetsOnlyQuit) {
  scripted_net net;
  fake_tls tls(&net);
  net.replies({"220 ready\r\n", "250-mx.example\r\n250 AUTH PLAIN\r\n",
               "221 bye\r\n"});
  smtp_report report;
  run_result r = run(auth_job(TLS_STARTTLS), &net, &tls, &report);
  EXPECT_EQ(0, r.delivered);
  EXPECT_EQ("EHLO TARVELO\r\nQUIT\r\n", net.sent);
  EXPECT_EQ(0, tls.calls);
  EXPECT_NE(std::string::npos,
            r.log.find("STARTTLS not offered by the SMTP server "
                       "(mx.example): the mail is not sent"));
  EXPECT_EQ(SMTP_END_SESSION_REFUSED, report.end);
}

TEST(StartTls, RefusalsGetQuitAndNothingElse) {
  struct {
    const char* what;
    std::vector<const char*> replies;
    const char* sent;
    const char* logged;
  } cases[] = {
      {"STARTTLS refused",
       {"220 ready\r\n", kStarttlsEhlo, "454 TLS not available\r\n",
        "221 bye\r\n"},
       "EHLO TARVELO\r\nSTARTTLS\r\nQUIT\r\n",
       "SMTP server refused STARTTLS: {454 TLS not available}"},
      // No HELO fallback: a server without EHLO cannot offer STARTTLS.
      {"EHLO refused",
       {"220 ready\r\n", "502 what?\r\n", "221 bye\r\n"},
       "EHLO TARVELO\r\nQUIT\r\n",
       "SMTP server refused EHLO TARVELO: {502 what?}"},
      {"EHLO over TLS refused",
       {"220 ready\r\n", kStarttlsEhlo, "220 go\r\n", "554 no\r\n",
        "221 bye\r\n"},
       "EHLO TARVELO\r\nSTARTTLS\r\nEHLO TARVELO\r\nQUIT\r\n",
       "SMTP server refused EHLO TARVELO: {554 no}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scripted_net net;
    fake_tls tls(&net);
    for (const char* reply : c.replies) net.replies({reply});
    run_result r = run(tls_job(TLS_STARTTLS), &net, &tls);
    EXPECT_EQ(0, r.delivered);
    EXPECT_EQ(c.sent, net.sent);
    EXPECT_NE(std::string::npos, r.log.find(c.logged)) << r.log;
  }
}

TEST(StartTls, FailedHandshakeDropsTheConnection) {
  struct {
    tls_failure failure;
    const char* logged;
  } cases[] = {
      {TLS_NOT_TRUSTED,
       "TLS certificate not trusted: the certificate of the SMTP server "
       "(mx.example) does not lead to a CA in /site/ca.pem: why"},
      {TLS_NAME_MISMATCH,
       "TLS host name mismatch: the certificate of the SMTP server is not "
       "made out for mx.example, the host of the smtp line: why"},
      {TLS_HANDSHAKE_FAILED,
       "TLS handshake failed with the SMTP server (mx.example): why"},
      {TLS_CA_UNREADABLE,
       "TLS CA file unreadable: smtp_tls_ca (/site/ca.pem) could not be read "
       "as a file of CA certificates: why"},
      {TLS_UNAVAILABLE, "TLS not available: this build of the program has no "
                        "TLS, so smtp_tls cannot be used"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logged);
    scripted_net net;
    fake_tls tls(&net);
    tls.failure = c.failure;
    tls.detail = "why";
    net.replies({"220 ready\r\n", kStarttlsEhlo, "220 go\r\n", "250 x\r\n"});
    smtp_job job = auth_job(TLS_STARTTLS);
    job.tls_ca = "/site/ca.pem";
    smtp_report report;
    run_result r = run(job, &net, &tls, &report);
    EXPECT_EQ(0, r.delivered);
    // Not even QUIT: the server now expects TLS records.
    EXPECT_EQ("EHLO TARVELO\r\nSTARTTLS\r\n", net.sent);
    EXPECT_NE(std::string::npos, r.log.find(c.logged)) << r.log;
    EXPECT_EQ(SMTP_END_SESSION_REFUSED, report.end);
  }
}

TEST(ImplicitTls, HandshakeBeforeTheGreeting) {
  scripted_net net;
  fake_tls tls(&net);
  net.replies({"220 ready\r\n", "250 mx\r\n"});
  accept_transaction(&net);
  smtp_job job = tls_job(TLS_IMPLICIT);
  job.server = "smtp.example";
  EXPECT_EQ(1, run(job, &net, &tls).delivered);
  EXPECT_EQ(0u, joined(net.transcript)
                    .find("TLS|S:220 ready\r\n|C:EHLO TARVELO|C:\r\n|"));
  EXPECT_EQ(net.sent, tls.secured.sent);
  EXPECT_EQ(25, net.connected_port);  // no port given: still 25
  EXPECT_EQ("(system)", tls.ca);
}

TEST(ImplicitTls, RefusedEhloFallsBackToHeloWithoutAuth) {
  scripted_net net;
  fake_tls tls(&net);
  net.replies({"220 ready\r\n", "502 no\r\n", "250 hi\r\n"});
  accept_transaction(&net);
  EXPECT_EQ(1, run(tls_job(TLS_IMPLICIT), &net, &tls).delivered);
  EXPECT_EQ(0u, net.sent.find("EHLO TARVELO\r\nHELO TARVELO\r\nMAIL FROM"));
}

TEST(ImplicitTls, FailedHandshakeSendsNothing) {
  scripted_net net;
  fake_tls tls(&net);
  tls.failure = TLS_HANDSHAKE_FAILED;
  net.replies({"220 plain text\r\n"});
  EXPECT_EQ(0, run(auth_job(TLS_IMPLICIT), &net, &tls).delivered);
  EXPECT_EQ("", net.sent);
  EXPECT_EQ(0, net.recv_calls);
}

const char kAuthEhlo[] = "250-mx.example\r\n250-AUTH LOGIN PLAIN\r\n250 OK\r\n";

TEST(Auth, PlainAfterTlsWithMaskedTrace) {
  scripted_net net;
  fake_tls tls(&net);
  net.replies({"220 ready\r\n", kAuthEhlo, "235 2.7.0 accepted\r\n"});
  accept_transaction(&net);
  run_result r = run(auth_job(TLS_IMPLICIT), &net, &tls);
  EXPECT_EQ(1, r.delivered);
  EXPECT_EQ(0u, tls.secured.sent.find(
                    "EHLO TARVELO\r\nAUTH PLAIN AHVzZXIAc2VjcmV0\r\n"
                    "MAIL FROM:<f@x.y>\r\n"));
  EXPECT_NE(std::string::npos,
            r.log.find("SEND(7): {AUTH PLAIN ********\n}\n\n"
                       "SENT(7): (27/27 bytes) {AUTH PLAIN ********}\n"));
  EXPECT_EQ(std::string::npos, r.log.find("AHVzZXIAc2VjcmV0"));
  EXPECT_EQ(std::string::npos, r.log.find("secret"));
}

TEST(Auth, LoginWhenOnlyLoginIsOfferedAfterTls) {
  scripted_net net;
  fake_tls tls(&net);
  // Before TLS the server claims PLAIN; only what it says inside counts.
  net.replies({"220 ready\r\n",
               "250-mx\r\n250-STARTTLS\r\n250 AUTH PLAIN LOGIN\r\n",
               "220 go\r\n", "250-mx\r\n250 AUTH=LOGIN\r\n",
               "334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n",
               "235 ok\r\n"});
  accept_transaction(&net);
  run_result r = run(auth_job(TLS_STARTTLS), &net, &tls);
  EXPECT_EQ(1, r.delivered);
  EXPECT_EQ(0u, tls.secured.sent.find(
                    "EHLO TARVELO\r\nAUTH LOGIN\r\ndXNlcg==\r\nc2VjcmV0\r\n"
                    "MAIL FROM:"));
  // Both answers masked; the server's challenges shown.
  EXPECT_NE(std::string::npos, r.log.find("{334 VXNlcm5hbWU6\\r}"));
  EXPECT_NE(std::string::npos,
            r.log.find("SEND(7): {********\n}\n\nSENT(7): (8/8 bytes) "
                       "{********}\n"));
  EXPECT_EQ(std::string::npos, r.log.find("dXNlcg=="));
  EXPECT_EQ(std::string::npos, r.log.find("c2VjcmV0"));
}

TEST(Auth, RefusalsEndWithQuitAndTheReplyInTheLog) {
  struct {
    const char* what;
    const char* ehlo;
    std::vector<const char*> replies;
    const char* sent;
    const char* logged;
    int code;
  } cases[] = {
      {"535 to PLAIN", kAuthEhlo, {"535 5.7.8 bad credentials\r\n"},
       "AUTH PLAIN AHVzZXIAc2VjcmV0\r\nQUIT\r\n",
       "SMTP authentication refused for smtp_user user (AUTH PLAIN): "
       "{535 5.7.8 bad credentials}",
       535},
      {"535 to the LOGIN password", "250-mx\r\n250 AUTH LOGIN\r\n",
       {"334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n", "535 no\r\n"},
       "AUTH LOGIN\r\ndXNlcg==\r\nc2VjcmV0\r\nQUIT\r\n",
       "SMTP authentication refused for smtp_user user (AUTH LOGIN): {535 no}",
       535},
      {"AUTH LOGIN itself refused", "250-mx\r\n250 AUTH LOGIN\r\n",
       {"504 unrecognized\r\n"}, "AUTH LOGIN\r\nQUIT\r\n",
       "(AUTH LOGIN): {504 unrecognized}", 504},
      // A server that echoes the data gets it masked in the error line.
      {"echo", kAuthEhlo, {"501 5.5.2 cannot decode AHVzZXIAc2VjcmV0\r\n"},
       "AUTH PLAIN AHVzZXIAc2VjcmV0\r\nQUIT\r\n",
       "(AUTH PLAIN): {501 5.5.2 cannot decode ********}", 501},
      {"no mechanism", "250-mx\r\n250 AUTH CRAM-MD5 XOAUTH2\r\n", {},
       "QUIT\r\n",
       "SMTP authentication not possible: the server offers neither AUTH "
       "PLAIN nor AUTH LOGIN, so smtp_user user cannot log in",
       -1},
      {"no AUTH at all", "250 mx\r\n", {}, "QUIT\r\n",
       "offers neither AUTH PLAIN nor AUTH LOGIN", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scripted_net net;
    fake_tls tls(&net);
    net.replies({"220 ready\r\n", c.ehlo});
    for (const char* reply : c.replies) net.replies({reply});
    net.replies({"221 bye\r\n"});
    smtp_report report;
    run_result r = run(auth_job(TLS_IMPLICIT), &net, &tls, &report);
    EXPECT_EQ(0, r.delivered);
    EXPECT_EQ("EHLO TARVELO\r\n" + std::string(c.sent), net.sent);
    EXPECT_NE(std::string::npos, r.log.find(c.logged)) << r.log;
    EXPECT_EQ(std::string::npos, r.log.find("AHVzZXIAc2VjcmV0"));
    EXPECT_EQ(std::string::npos, r.log.find("c2VjcmV0"));
    EXPECT_EQ(SMTP_END_SESSION_REFUSED, report.end);
    EXPECT_EQ(c.code, report.reply_code);
  }
}

// Every form of the password, anywhere in a reply and as often as it comes,
// is masked in the trace, the error line and the report; the base64 without
// its padding too. "secret!": base64 c2VjcmV0IQ==, PLAIN AHVzZXIAc2VjcmV0IQ==.
TEST(Auth, EveryFormOfThePasswordIsMaskedInReplies) {
  const char* const cases[][2] = {
      {"550 no secret! here, secret!", "550 no ******** here, ********"},
      {"550 a c2VjcmV0IQ== b c2VjcmV0IQx", "550 a ******** b ********x"},
      {"550 AHVzZXIAc2VjcmV0IQ==AHVzZXIAc2VjcmV0IQ", "550 ****************"},
      {"550 dXNlcg== user", "550 dXNlcg== user"},  // the user is no secret
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    scripted_net net;
    fake_tls tls(&net);
    net.replies({"220 ready\r\n", kAuthEhlo, "235 ok\r\n"});
    net.replies({(std::string(c[0]) + "\r\n").c_str(), "221 bye\r\n"});
    smtp_job job = auth_job(TLS_IMPLICIT);
    job.password = "secret!";
    smtp_report report;
    run_result r = run(job, &net, &tls, &report);
    // The log writes a carriage return without its line feed as a backslash
    // and "r".
    EXPECT_NE(std::string::npos,
              r.log.find("] {" + std::string(c[1]) + "\\r}"))
        << r.log;
    EXPECT_NE(std::string::npos,
              r.log.find("refused MAIL FROM:<f@x.y>: {" + std::string(c[1])));
    EXPECT_EQ("MAIL FROM:<f@x.y> refused: " + std::string(c[1]),
              report.reason);
    for (const char* form : {"secret!", "c2VjcmV0IQ", "AHVzZXIAc2VjcmV0IQ"}) {
      EXPECT_EQ(std::string::npos, r.log.find(form)) << form;
    }
  }
}

TEST(Settings, UnusableSecuritySettingsSendNothing) {
  struct {
    const char* what;
    tls_mode tls;
    const char* user;
    const char* password;
    const char* logged;
  } cases[] = {
      {"unknown smtp_tls", TLS_INVALID, nullptr, nullptr,
       "No mail sent: smtp_tls is neither starttls nor implicit"},
      {"user over plain text", TLS_NONE, "user", "secret",
       "No mail sent: smtp_user is set without smtp_tls, and a password is "
       "never sent without TLS"},
      {"user without password", TLS_STARTTLS, "user", nullptr,
       "No mail sent: smtp_user is set without smtp_password."},
      {"user with an empty password", TLS_IMPLICIT, "user", "",
       "No mail sent: smtp_user is set without smtp_password."},
      {"password without user", TLS_STARTTLS, nullptr, "secret",
       "No mail sent: smtp_password is set without smtp_user."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scripted_net net;
    fake_tls tls(&net);
    smtp_job job = tls_job(c.tls);
    job.user = c.user;
    job.password = c.password;
    run_result r = run(job, &net, &tls);
    EXPECT_EQ(0, r.delivered);
    EXPECT_EQ(-1, net.connected_port);  // not even a connection
    EXPECT_EQ(0, tls.calls);
    EXPECT_NE(std::string::npos, r.log.find(c.logged)) << r.log;
    EXPECT_EQ(std::string::npos, r.log.find("secret"));
  }
}

}  // namespace
}  // namespace tarvelo
