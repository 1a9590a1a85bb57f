// The server probe against a scripted server: the steps it takes, what it
// sends (never DATA), and that the password shows nowhere.
#include "smtp/smtp_probe.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/scripted_net.h"
#include "testing/test_support.h"

namespace tarvelo {
namespace {

// A handshake that always succeeds (or always fails) and leaves the
// connection as it is, so the scripted server goes on answering.
class pass_tls final : public tls_layer {
 public:
  net_ops* secure(net_ops* net, int, const char*, const char*, long long,
                  tls_outcome* outcome) override {
    ++calls;
    outcome->failure = failure;
    snprintf(outcome->detail, sizeof outcome->detail, "%s", "bad cert");
    return failure == TLS_DONE ? net : nullptr;
  }
  tls_failure failure = TLS_DONE;
  int calls = 0;
};

// The steps in one line: each name with + (ok) or - (failed).
std::string summary(const std::vector<probe_step>& steps) {
  std::string out;
  for (const probe_step& s : steps) {
    out += s.step + (s.ok ? "+ " : "- ");
  }
  return out;
}

smtp_job probe_job() {
  smtp_job job;
  job.server = "mx.example:2525";
  job.from = "f@x.y";
  job.to = "never@x.y";  // the probe asks for the recipients it is given
  job.timeout_seconds = 5;
  return job;
}

struct probe_run {
  bool ok;
  std::vector<probe_step> steps;
  std::string log;
};

probe_run run_probe(const smtp_job& job, scripted_net* net, pass_tls* tls,
                    const std::vector<std::string>& recipients) {
  scoped_test_log log;
  bool started = false;
  probe_run r;
  r.ok = probe_mail_server(job, recipients, net, tls, &started, &r.steps);
  r.log = log.messages();
  return r;
}

TEST(Probe, StepsAndWhatIsSent) {
  const char kEhloTls[] = "250-mx\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n";
  struct {
    const char* what;
    tls_mode tls;
    bool user;
    bool two_recipients;
    std::vector<const char*> replies;
    bool ok;
    const char* steps;
    const char* sent;
  } cases[] = {
      {"plain, both recipients taken",
       TLS_NONE,
       false,
       true,
       {"220 hi\r\n", "250 mx\r\n", "250 ok\r\n", "250 a ok\r\n",
        "250 b ok\r\n", "250 reset\r\n", "221 bye\r\n"},
       true,
       "connect+ greeting+ hello+ mail from+ rcpt to <a@x.y>+ "
       "rcpt to <b@x.y>+ rset+ quit+ ",
       "HELO TARVELO\r\nMAIL FROM:<f@x.y>\r\nRCPT TO:<a@x.y>\r\n"
       "RCPT TO:<b@x.y>\r\nRSET\r\nQUIT\r\n"},
      {"a refused recipient, the next still asked",
       TLS_NONE,
       false,
       true,
       {"220 hi\r\n", "250 mx\r\n", "250 ok\r\n", "550 no such user\r\n",
        "250 b ok\r\n", "250 reset\r\n", "221 bye\r\n"},
       false,
       "connect+ greeting+ hello+ mail from+ rcpt to <a@x.y>- "
       "rcpt to <b@x.y>+ rset+ quit+ ",
       "HELO TARVELO\r\nMAIL FROM:<f@x.y>\r\nRCPT TO:<a@x.y>\r\n"
       "RCPT TO:<b@x.y>\r\nRSET\r\nQUIT\r\n"},
      {"STARTTLS not offered",
       TLS_STARTTLS,
       false,
       false,
       {"220 hi\r\n", "250-mx\r\n250 8BITMIME\r\n", "221 bye\r\n"},
       false,
       "connect+ greeting+ hello+ starttls- ",
       "EHLO TARVELO\r\nQUIT\r\n"},
      {"STARTTLS and AUTH",
       TLS_STARTTLS,
       true,
       false,
       {"220 hi\r\n", kEhloTls, "220 go\r\n", kEhloTls, "235 welcome\r\n",
        "250 ok\r\n", "250 a ok\r\n", "250 reset\r\n", "221 bye\r\n"},
       true,
       "connect+ greeting+ hello+ starttls+ hello+ auth+ mail from+ "
       "rcpt to <a@x.y>+ rset+ quit+ ",
       "EHLO TARVELO\r\nSTARTTLS\r\nEHLO TARVELO\r\n"
       "AUTH PLAIN AHVzZXIAc2VjcmV0\r\nMAIL FROM:<f@x.y>\r\n"
       "RCPT TO:<a@x.y>\r\nRSET\r\nQUIT\r\n"},
      {"greeting refused",
       TLS_NONE,
       false,
       false,
       {"554 go away\r\n", "221 bye\r\n"},
       false,
       "connect+ greeting- ",
       "QUIT\r\n"},
      {"MAIL FROM refused: no recipient asked",
       TLS_NONE,
       false,
       false,
       {"220 hi\r\n", "250 mx\r\n", "553 sender refused\r\n", "221 bye\r\n"},
       false,
       "connect+ greeting+ hello+ mail from- ",
       "HELO TARVELO\r\nMAIL FROM:<f@x.y>\r\nQUIT\r\n"},
      {"server gone before RSET",
       TLS_NONE,
       false,
       false,
       {"220 hi\r\n", "250 mx\r\n", "250 ok\r\n", "250 a ok\r\n"},
       false,
       "connect+ greeting+ hello+ mail from+ rcpt to <a@x.y>+ rset- ",
       "HELO TARVELO\r\nMAIL FROM:<f@x.y>\r\nRCPT TO:<a@x.y>\r\nRSET\r\n"
       "QUIT\r\n"},
      {"user without TLS: nothing attempted",
       TLS_NONE,
       true,
       false,
       {},
       false,
       "connect- ",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scripted_net net;
    for (const char* reply : c.replies) net.incoming.push_back({reply, 0});
    pass_tls tls;
    smtp_job job = probe_job();
    job.tls = c.tls;
    if (c.user) {
      job.user = "user";
      job.password = "secret";
    }
    std::vector<std::string> recipients = {"a@x.y"};
    if (c.two_recipients) recipients.push_back("b@x.y");
    probe_run r = run_probe(job, &net, &tls, recipients);
    EXPECT_EQ(c.ok, r.ok);
    EXPECT_EQ(c.steps, summary(r.steps));
    EXPECT_EQ(c.sent, net.sent);
    EXPECT_EQ(std::string::npos, net.sent.find("DATA"));
  }
}

TEST(Probe, DetailsCarryTheRepliesAndTheReasons) {
  scripted_net net;
  net.replies({"220 hi\r\n", "250 mx\r\n", "250 ok\r\n",
               "550 5.1.1 no such user\r\n", "250 reset\r\n", "221 bye\r\n"});
  pass_tls tls;
  probe_run r = run_probe(probe_job(), &net, &tls, {"a@x.y"});
  ASSERT_EQ(7u, r.steps.size());
  EXPECT_EQ("connected to mx.example:2525", r.steps[0].detail);
  EXPECT_EQ("220 hi", r.steps[1].detail);
  EXPECT_EQ("550 5.1.1 no such user", r.steps[4].detail);
  EXPECT_EQ("221 bye", r.steps[6].detail);

  scripted_net down;
  down.connect_socket = -1;
  probe_run gone = run_probe(probe_job(), &down, &tls, {"a@x.y"});
  ASSERT_EQ(1u, gone.steps.size());
  EXPECT_EQ("the SMTP email server (mx.example) did not respond",
            gone.steps[0].detail);
}

TEST(Probe, PasswordShowsInNoStepAndNoLogLine) {
  const char kEhlo[] = "250-mx\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n";
  struct {
    const char* what;
    std::vector<const char*> auth_replies;
  } cases[] = {
      {"accepted, the reply echoing the password",
       {"334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n",
        "235 welcome s3cr3t-pw\r\n", "250 ok\r\n", "250 a ok\r\n",
        "250 reset\r\n", "221 bye\r\n"}},
      {"refused, the reply quoting its base64",
       {"334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n",
        "535 bad czNjcjN0LXB3\r\n", "221 bye\r\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scripted_net net;
    net.replies({"220 hi\r\n", kEhlo, "220 go\r\n", kEhlo});
    for (const char* reply : c.auth_replies) {
      net.incoming.push_back({reply, 0});
    }
    pass_tls tls;
    smtp_job job = probe_job();
    job.tls = TLS_STARTTLS;
    job.user = "user";
    job.password = "s3cr3t-pw";
    probe_run r = run_probe(job, &net, &tls, {"a@x.y"});
    bool saw_auth = false;
    for (const probe_step& s : r.steps) {
      saw_auth = saw_auth || s.step == "auth";
      EXPECT_EQ(std::string::npos, s.detail.find("s3cr3t")) << s.detail;
      EXPECT_EQ(std::string::npos, s.detail.find("czNjcjN0")) << s.detail;
    }
    EXPECT_TRUE(saw_auth);
    EXPECT_EQ(std::string::npos, r.log.find("s3cr3t"));
    EXPECT_EQ(std::string::npos, r.log.find("czNjcjN0"));
    EXPECT_NE(std::string::npos, r.log.find("SEND"));  // the trace was on
  }
}

}  // namespace
}  // namespace tarvelo
