#include "smtp/smtp_dialogue.h"
#include "smtp/smtp_dialogue_internal.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/scripted_net.h"
#include "testing/test_support.h"

namespace tarvelo {
namespace {

const char* const kHeader =
    "To: t@x.y \r\nSubject: Hi \r\nX-TARVELO: sent by web form submition "
    "activated CGI program.\r\n";
const char* const kBody = " Note: hello\r\n";

smtp_job test_job() {
  smtp_job job;
  job.server = "127.0.0.1";
  job.from = "f@x.y";
  job.to = "t@x.y";
  job.header_text = kHeader;
  job.body_text = kBody;
  return job;
}

// The replies of a server that accepts everything, up to QUIT, for a job
// with `recipients` RCPT TO commands.
void accept_all(scripted_net* net, int recipients) {
  net->replies({"220 ready\r\n", "250 hello\r\n", "250 sender ok\r\n"});
  for (int i = 0; i < recipients; ++i) net->replies({"250 rcpt ok\r\n"});
  net->replies({"354 go ahead\r\n", "250 queued\r\n", "221 bye\r\n"});
}

int deliver(const smtp_job& job, scripted_net* net) {
  bool started = false;
  return deliver_mail(job, net, &started);
}

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) out += part + "|";
  return out;
}

TEST(DeliverMail, HeloDialogueIsLockStepWithExactBytes) {
  scoped_test_log log;
  scripted_net net;
  accept_all(&net, 1);
  EXPECT_EQ(1, deliver(test_job(), &net));
  std::string message = std::string(kHeader) + "\r\n" + kBody + "\r\n.\r\n";
  EXPECT_EQ(
      "S:220 ready\r\n|C:HELO TARVELO|C:\r\n|S:250 hello\r\n|"
      "C:MAIL FROM:<f@x.y>|C:\r\n|S:250 sender ok\r\n|"
      "C:RCPT TO:<t@x.y>|C:\r\n|S:250 rcpt ok\r\n|"
      "C:DATA|C:\r\n|S:354 go ahead\r\n|"
      "C:" + std::string(kHeader) + "|C:\r\n|C:" + kBody + "|C:\r\n.\r\n|"
      "S:250 queued\r\n|C:QUIT|C:\r\n|S:221 bye\r\n|",
      joined(net.transcript));
  EXPECT_EQ(1, net.start_calls);
  EXPECT_EQ(std::vector<int>{7}, net.closed);  // the connection, once
  EXPECT_NE(std::string::npos,
            log.messages().find("RECV(7): {220 ready\\r}\n\n"
                                "SEND(7): {HELO TARVELO\n}\n\n"
                                "SENT(7): (12/12 bytes) {HELO TARVELO}\n"
                                "SENT(7): (2/2 bytes) {\r\n}\n"
                                "RECV(7):[10] {250 hello\\r}\n"));
}

TEST(DeliverMail, EhloModeWaitsLikeHeloMode) {
  scoped_test_log log;
  scripted_net net;
  net.replies({"220 ready\r\n", "250-mx.example\r\n250-PIPELINING\r\n",
               "250 8BITMIME\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n",
               "250 ok\r\n", "221 bye\r\n"});
  smtp_job job = test_job();
  job.hello_method = HELLO_EHLO;
  EXPECT_EQ(1, deliver(job, &net));
  std::string t = joined(net.transcript);
  EXPECT_EQ(0u, t.find("S:220 ready\r\n|C:EHLO TARVELO|C:\r\n|"
                       "S:250-mx.example\r\n250-PIPELINING\r\n|"
                       "S:250 8BITMIME\r\n|C:MAIL FROM:<f@x.y>|"));
  EXPECT_NE(std::string::npos, t.find("|C:QUIT|C:\r\n|S:221 bye\r\n|"));
}

TEST(DeliverMail, RefusedEhloFallsBackToHelo) {
  scoped_test_log log;
  scripted_net net;
  net.replies({"220 ready\r\n", "502 unknown command\r\n", "250 hello\r\n",
               "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250 ok\r\n",
               "221 bye\r\n"});
  smtp_job job = test_job();
  job.hello_method = HELLO_EHLO;
  EXPECT_EQ(1, deliver(job, &net));
  EXPECT_EQ(0u, net.sent.find("EHLO TARVELO\r\nHELO TARVELO\r\nMAIL FROM:"));
}

TEST(DeliverMail, RecipientsGoInOrderToBccCc) {
  struct {
    const char* bcc;
    const char* cc;
    const char* rcpts;
  } cases[] = {
      {"b@x.y", "c@x.y",
       "RCPT TO:<t@x.y>\r\nRCPT TO:<b@x.y>\r\nRCPT TO:<c@x.y>\r\nDATA"},
      {nullptr, "c@x.y", "RCPT TO:<t@x.y>\r\nRCPT TO:<c@x.y>\r\nDATA"},
      {"b@x.y", nullptr, "RCPT TO:<t@x.y>\r\nRCPT TO:<b@x.y>\r\nDATA"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rcpts);
    scoped_test_log log;
    scripted_net net;
    smtp_job job = test_job();
    job.bcc = c.bcc;
    job.cc = c.cc;
    accept_all(&net, 1 + (c.bcc != nullptr) + (c.cc != nullptr));
    EXPECT_EQ(1, deliver(job, &net));
    EXPECT_NE(std::string::npos, net.sent.find(c.rcpts));
  }
}

// Each refusal ends the dialogue with QUIT, nothing after it, and result 0.
TEST(DeliverMail, RefusedStepSendsQuitAndNothingMore) {
  const std::string message =
      std::string(kHeader) + "\r\n" + kBody + "\r\n.\r\n";
  struct {
    const char* step;
    std::vector<const char*> replies;
    std::string sent;
    const char* logged;
  } cases[] = {
      {"greeting", {"554 no service\r\n", "221 bye\r\n"}, "QUIT\r\n",
       "SMTP server refused the connection: {554 no service}\n"},
      {"hello", {"220 hi\r\n", "421 busy\r\n", "221 bye\r\n"},
       "HELO TARVELO\r\nQUIT\r\n",
       "SMTP server refused HELO TARVELO: {421 busy}\n"},
      {"mail", {"220 hi\r\n", "250 ok\r\n", "550 no\r\n", "221 bye\r\n"},
       "HELO TARVELO\r\nMAIL FROM:<f@x.y>\r\nQUIT\r\n",
       "SMTP server refused MAIL FROM:<f@x.y>: {550 no}\n"},
      {"rcpt",
       {"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "550 unknown user\r\n",
        "221 bye\r\n"},
       "HELO TARVELO\r\nMAIL FROM:<f@x.y>\r\nRCPT TO:<t@x.y>\r\nQUIT\r\n",
       "SMTP server refused RCPT TO:<t@x.y>: {550 unknown user}\n"},
      {"data",
       {"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "554 no\r\n",
        "221 bye\r\n"},
       "HELO TARVELO\r\nMAIL FROM:<f@x.y>\r\nRCPT TO:<t@x.y>\r\nDATA\r\n"
       "QUIT\r\n",
       "SMTP server refused DATA: {554 no}\n"},
      {"data answered 250",
       {"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n",
        "221 bye\r\n"},
       "HELO TARVELO\r\nMAIL FROM:<f@x.y>\r\nRCPT TO:<t@x.y>\r\nDATA\r\n"
       "QUIT\r\n",
       "SMTP server refused DATA: {250 ok}\n"},
      {"end of data",
       {"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n",
        "552 too big\r\n", "221 bye\r\n"},
       "HELO TARVELO\r\nMAIL FROM:<f@x.y>\r\nRCPT TO:<t@x.y>\r\nDATA\r\n" +
           message + "QUIT\r\n",
       "SMTP server refused the message: {552 too big}\n"},
      {"code without digits",
       {"220 hi\r\n", "250 ok\r\n", "2x0 ok\r\n", "221 bye\r\n"},
       "HELO TARVELO\r\nMAIL FROM:<f@x.y>\r\nQUIT\r\n",
       "SMTP server refused MAIL FROM:<f@x.y>: {2x0 ok}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.step);
    scoped_test_log log;
    scripted_net net;
    for (const char* reply : c.replies) net.replies({reply});
    EXPECT_EQ(0, deliver(test_job(), &net));
    EXPECT_EQ(c.sent, net.sent);
    EXPECT_TRUE(net.incoming.empty()) << "the reply to QUIT was not read";
    EXPECT_EQ(std::vector<int>{7}, net.closed);
    EXPECT_NE(std::string::npos, log.messages().find(c.logged))
        << log.messages();
  }
}

// RFC 5321 4.2.1: the lines of one reply carry one code. A reply that
// mixes them is malformed whatever its last code says: QUIT, result 0, and a
// temporary failure, so the spool keeps the message (never ".refused").
TEST(DeliverMail, MixedCodesInOneReplyAreATemporaryFailure) {
  struct {
    std::vector<const char*> replies;
    const char* sent;
    const char* logged;
  } cases[] = {
      {{"220-hi\r\n554 no\r\n"}, "QUIT\r\n",
       "SMTP server gave a malformed reply to the connection (its lines "
       "carry different codes): {554 no}\n"},
      {{"220 hi\r\n", "250 ok\r\n", "550-no\r\n250 ok\r\n"},
       "HELO TARVELO\r\nMAIL FROM:<f@x.y>\r\nQUIT\r\n",
       "malformed reply to MAIL FROM:<f@x.y> (its lines carry different "
       "codes): {250 ok}\n"},
      {{"220 hi\r\n", "250 ok\r\n", "250 ok\r\n",
        "250-a\r\n250-b\r\n550 5.1.1 no\r\n"},
       "HELO TARVELO\r\nMAIL FROM:<f@x.y>\r\nRCPT TO:<t@x.y>\r\nQUIT\r\n",
       "malformed reply to RCPT TO:<t@x.y> (its lines carry different "
       "codes): {550 5.1.1 no}\n"},
      {{"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n",
        "354-go\r\n35\r\n"},
       "HELO TARVELO\r\nMAIL FROM:<f@x.y>\r\nRCPT TO:<t@x.y>\r\nDATA\r\n"
       "QUIT\r\n",
       "malformed reply to DATA"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logged);
    scoped_test_log log;
    scripted_net net;
    for (const char* reply : c.replies) net.replies({reply});
    net.replies({"221 bye\r\n"});
    smtp_job job = test_job();
    smtp_report report;
    job.report = &report;
    EXPECT_EQ(0, deliver(job, &net));
    EXPECT_EQ(c.sent, net.sent);
    EXPECT_TRUE(net.incoming.empty()) << "the reply to QUIT was not read";
    EXPECT_NE(std::string::npos, log.messages().find(c.logged))
        << log.messages();
    EXPECT_EQ(-1, report.reply_code);
    EXPECT_EQ(SMTP_END_BROKEN, report.end);
  }
}

// A command that does not fit the buffer is never sent cut (a cut RCPT TO
// names another mailbox): nothing of it goes, QUIT follows, result 0.
// 9998 characters still go whole.
TEST(DeliverMail, CommandTooLongIsNeverSentCut) {
  const std::string fits = std::string(9982, 'a') + "@b.c";  // 9998 as MAIL
  const std::string over = fits + "u";       // one too many for MAIL
  const std::string over_rcpt = over + "uu";  // "RCPT TO:<" is shorter
  struct {
    const char *from, *to, *cc;
    int rcpts;  // RCPT TO commands sent whole
    const char* logged;
  } cases[] = {
      {over.c_str(), "t@x.y", nullptr, -1, "SMTP command MAIL FROM not sent: "
       "it is longer than 9998 characters, and cut it would name another "
       "address. The mail is not sent.\n"},
      {"f@x.y", over_rcpt.c_str(), nullptr, 0,
       "SMTP command RCPT TO not sent"},
      {"f@x.y", "t@x.y", over_rcpt.c_str(), 1,
       "SMTP command RCPT TO not sent"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rcpts);
    scoped_test_log log;
    scripted_net net;
    net.replies({"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n",
                 "221 bye\r\n"});
    smtp_job job = test_job();
    job.from = c.from;
    job.to = c.to;
    job.cc = c.cc;
    EXPECT_EQ(0, deliver(job, &net));
    std::string sent = "HELO TARVELO\r\n";
    if (c.rcpts >= 0) sent += "MAIL FROM:<f@x.y>\r\n";
    if (c.rcpts >= 1) sent += "RCPT TO:<t@x.y>\r\n";
    EXPECT_EQ(sent + "QUIT\r\n", net.sent);
    EXPECT_NE(std::string::npos, log.messages().find(c.logged));
  }
  scoped_test_log log;
  scripted_net net;
  accept_all(&net, 1);
  smtp_job job = test_job();
  job.from = fits.c_str();
  EXPECT_EQ(1, deliver(job, &net));
  EXPECT_NE(std::string::npos, net.sent.find("MAIL FROM:<" + fits + ">\r\n"));
}

TEST(DeliverMail, RefusedCopyRecipientIsLoggedAndMailStillGoes) {
  scoped_test_log log;
  scripted_net net;
  net.replies({"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n",
               "550 no such bcc\r\n", "553 no such cc\r\n", "354 go\r\n",
               "250 queued\r\n", "221 bye\r\n"});
  smtp_job job = test_job();
  job.bcc = "b@x.y";
  job.cc = "c@x.y";
  EXPECT_EQ(1, deliver(job, &net));
  EXPECT_NE(std::string::npos, net.sent.find("DATA\r\n"));
  std::string logged = log.messages();
  EXPECT_NE(std::string::npos,
            logged.find("SMTP server refused the BCC recipient, sending to "
                        "the others: RCPT TO:<b@x.y> {550 no such bcc}\n"));
  EXPECT_NE(std::string::npos,
            logged.find("SMTP server refused the CC recipient, sending to "
                        "the others: RCPT TO:<c@x.y> {553 no such cc}\n"));
}

TEST(DeliverMail, BrokenConnectionEndsTheDialogue) {
  struct {
    const char* name;
    std::vector<scripted_net::chunk> replies;
    std::vector<int> send_caps;
    std::string sent;
    std::string logged;
  } cases[] = {
      {"closed after accept", {}, {}, "QUIT\r\n",
       "SMTP server gave no complete reply to the connection\n"},
      {"time limit on MAIL",
       {{"220 hi\r\n"}, {"250 ok\r\n"}, {"", 10060}}, {},
       "HELO TARVELO\r\nMAIL FROM:<f@x.y>\r\nQUIT\r\n",
       "wsock: (TCPdoread failed) Timedout\n\n"
       "SMTP server gave no complete reply to MAIL FROM:<f@x.y>\n"},
      {"reset while writing HELO",
       {{"220 hi\r\n"}, {"250 ok\r\n"}}, {-1, -1, -1, -1, -1, -1}, "",
       "wsock: (Socket Error, could not write.) The virtual circuit was "
       "reset by the remote side.\n\n"
       "wsock: (TCPwrite failed in sendr(1)) The virtual circuit was reset "
       "by the remote side.\n\n"},
      {"line end of MAIL fails",
       {{"220 hi\r\n"}, {"250 ok\r\n"}}, {100, 100, 100, -1},
       "HELO TARVELO\r\nMAIL FROM:<f@x.y>",
       "wsock: (TCPwrite failed in sendr(2)) The virtual circuit was reset "
       "by the remote side.\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    scoped_test_log log;
    scripted_net net;
    for (const auto& chunk : c.replies) net.incoming.push_back(chunk);
    net.send_caps = c.send_caps;
    EXPECT_EQ(0, deliver(test_job(), &net));
    EXPECT_EQ(c.sent, net.sent);
    EXPECT_NE(std::string::npos, log.messages().find(c.logged))
        << log.messages();
  }
}

TEST(DeliverMail, MessageTextIsDotStuffedAndLineEndsMadeWhole) {
  scoped_test_log log;
  scripted_net net;
  accept_all(&net, 1);
  smtp_job job = test_job();
  job.header_text = "Subject: x \r\n";
  job.body_text = ".\r\n(Comments:)==(a\n.\rb)\r\n..\r\n";
  EXPECT_EQ(1, deliver(job, &net));
  EXPECT_NE(std::string::npos,
            net.sent.find("DATA\r\nSubject: x \r\n\r\n..\r\n"
                          "(Comments:)==(a\r\n..\r\nb)\r\n...\r\n\r\n.\r\n"
                          "QUIT\r\n"));
  // The trace shows the text as composed, a lone carriage return
  // written as \r so that it cannot hide the line before it.
  EXPECT_NE(std::string::npos,
            log.messages().find("SEND(7): {.\r\n(Comments:)==(a\n.\\rb)\r\n"
                                "..\r\n\n}\n"));
}

TEST(DeliverMail, BareLineFeedLineEnd) {
  scoped_test_log log;
  scripted_net net;
  accept_all(&net, 1);
  smtp_job job = test_job();
  job.line_end = "\n";
  job.header_text = "Subject: x \n";
  job.body_text = " a\n.\n";
  EXPECT_EQ(1, deliver(job, &net));
  EXPECT_EQ(
      "HELO TARVELO\nMAIL FROM:<f@x.y>\nRCPT TO:<t@x.y>\nDATA\n"
      "Subject: x \n\n a\n..\n\r\n.\r\nQUIT\n",
      net.sent);
  EXPECT_EQ(std::string::npos, log.messages().find("sendr(2)"));
}

TEST(DeliverMail, ConnectionFailures) {
  struct {
    const char* server;
    connect_failure why;
    const char* host;
    int port;
    const char* logged;
  } cases[] = {
      {"Mail.Example:587", CONNECT_NO_NAME, "mail.example", 587,
       "SMTP email server (mail.example) did not respond.\n\n"},
      {"127.0.0.1", CONNECT_FAILED, "127.0.0.1", 25,
       "wsock: (127.0.0.1) Connection Refused\n\n"
       "SMTP email server (127.0.0.1) did not respond.\n\n"},
      {"127.0.0.1:smtp", CONNECT_FAILED, "127.0.0.1", 0,
       "wsock: (127.0.0.1) Connection Refused\n\n"
       "SMTP email server (127.0.0.1) did not respond.\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.server);
    scoped_test_log log;
    scripted_net net;
    net.connect_socket = -1;
    net.connect_why = c.why;
    smtp_job job = test_job();
    job.server = c.server;
    EXPECT_EQ(0, deliver(job, &net));
    EXPECT_EQ(c.host, net.connected_host);
    EXPECT_EQ(c.port, net.connected_port);
    EXPECT_EQ(0, net.send_calls);
    EXPECT_TRUE(net.closed.empty());  // there was no connection
    EXPECT_EQ(c.logged, log.messages());
  }
}

TEST(DeliverMail, NoServerTextAttemptsNothing) {
  scoped_test_log log;
  scripted_net net;
  smtp_job job = test_job();
  job.server = nullptr;
  EXPECT_EQ(0, deliver(job, &net));
  EXPECT_EQ(0, net.start_calls);
  EXPECT_EQ("", net.connected_host);
  EXPECT_EQ(
      "No smtp setting in the ini file: there is no server to send the "
      "email to.\n",
      log.messages());
}

TEST(DeliverMail, OneDeadlineFromTheTimeLimit) {
  struct {
    int seconds;
    long long deadline;
  } cases[] = {{2, 5002000}, {30, 5030000}, {0, 5030000}, {-5, 5030000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    scoped_test_log log;
    scripted_net net;
    net.connect_socket = -1;
    smtp_job job = test_job();
    job.timeout_seconds = c.seconds;
    deliver(job, &net);
    EXPECT_EQ(c.deadline, net.connect_deadline);
  }
}

TEST(DeliverMail, SocketsStartOncePerProcess) {
  scoped_test_log log;
  scripted_net net;
  net.connect_socket = -1;
  bool started = false;
  deliver_mail(test_job(), &net, &started);
  deliver_mail(test_job(), &net, &started);
  EXPECT_TRUE(started);
  EXPECT_EQ(1, net.start_calls);
}

TEST(SplitServerText, HostAndPort) {
  struct {
    const char* server;
    const char* host;
    int port;
  } cases[] = {
      {"mail.example", "mail.example", 25},
      {"mail.example:587", "mail.example", 587},
      {"mail.example:abc", "mail.example", 0},
      {"mail.example:", "mail.example", 0},
      {"mail.example: \t2525x", "mail.example", 2525},
      {"mail.example:+26", "mail.example", 26},
      {"mail.example:-1", "mail.example", 65535},
      {"mail.example:70000", "mail.example", 4464},
      {"h:1:2", "h", 1},
      {":25", "", 25},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.server);
    int port = -1;
    char* host = split_server_text(c.server, &port);
    EXPECT_STREQ(c.host, host);
    EXPECT_EQ(c.port, port);
    free(host);
  }
}

// A reader over a scripted connection.
struct reader {
  scripted_net net;
  smtp_connection connection;
  reader() {
    connection.net = &net;
    connection.socket = 7;
  }
};

TEST(ReadReply, TwoLineReplySplitAnywhere) {
  const std::string reply = "250-abcde\r\n250 abcd\r\n";
  for (size_t cut = 0; cut <= reply.size(); ++cut) {
    SCOPED_TRACE(cut);
    scoped_test_log log;
    reader r;
    if (cut > 0) r.net.incoming.push_back({reply.substr(0, cut)});
    if (cut < reply.size()) r.net.incoming.push_back({reply.substr(cut)});
    EXPECT_EQ(1, read_reply(&r.connection, FACE_REPLY));
    EXPECT_EQ(
        "RECV(7):[10] {250-abcde\\r}\n\n"
        "RECV(7):[20] {250 abcd\\r}\n\n",
        log.messages());
    EXPECT_STREQ("250 abcd", r.connection.final_line);
    EXPECT_EQ(250, r.connection.reply_code);
  }
}

TEST(ReadReply, GreetingFaceAndShortFinalLine) {
  scoped_test_log log;
  reader r;
  r.net.replies({"220-a\r\n220\r\n"});
  EXPECT_EQ(1, read_reply(&r.connection, FACE_GREETING));
  EXPECT_EQ("RECV(7): {220-a\\r}\n\nRECV(7): {220\\r}\n\n", log.messages());
  EXPECT_EQ(220, r.connection.reply_code);
}

TEST(ReadReply, LongMultiLineReplyIsReadToItsEnd) {
  std::string reply;
  std::string expected_log;
  for (int i = 0; i < 60; ++i) {
    std::string line = "250-EXTENSION-NUMBER-" + std::to_string(100 + i);
    if (i == 59) line[3] = ' ';
    reply += line + "\r\n";
    expected_log += "RECV(7):[" + std::to_string(reply.size() - 1) + "] {" +
                    line + "\\r}\n\n";
  }
  ASSERT_GT(reply.size(), 1000u);
  for (size_t piece : {size_t{7}, size_t{333}, size_t{1000}}) {
    SCOPED_TRACE(piece);
    scoped_test_log log;
    reader r;
    for (size_t at = 0; at < reply.size(); at += piece) {
      r.net.incoming.push_back({reply.substr(at, piece)});
    }
    EXPECT_EQ(1, read_reply(&r.connection, FACE_REPLY));
    EXPECT_EQ(expected_log, log.messages());
    EXPECT_STREQ("250 EXTENSION-NUMBER-159", r.connection.final_line);
  }
}

TEST(ReadReply, SingleLineOverTheAreaFails) {
  scoped_test_log log;
  reader r;
  r.net.incoming.push_back({"220 " + std::string(1200, 'x') + "\r\n"});
  EXPECT_EQ(0, read_reply(&r.connection, FACE_GREETING));
  EXPECT_EQ(1, r.net.recv_calls);  // no receive once the area is full
}

TEST(ReadReply, ClosedOrFailedReceive) {
  struct {
    std::vector<scripted_net::chunk> script;
    const char* logged;
  } cases[] = {
      {{}, ""},
      {{{"250-partial\r\n"}}, "RECV(7):[12] {250-partial\\r}\n\n"},
      {{{"", 10054}},
       "wsock: (TCPdoread failed) The virtual circuit was reset by the "
       "remote side.\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logged);
    scoped_test_log log;
    reader r;
    for (const auto& chunk : c.script) r.net.incoming.push_back(chunk);
    EXPECT_EQ(0, read_reply(&r.connection, FACE_REPLY));
    EXPECT_EQ(c.logged, log.messages());
  }
}

}  // namespace
}  // namespace tarvelo
