#include <gtest/gtest.h>

#include <string>

#include "smtp/smtp_dialogue.h"
#include "testing/scripted_net.h"
#include "testing/test_support.h"

namespace tarvelo {
namespace {

const char kHeader[] = "To: t@x.y \r\nSubject: Hi \r\n";
// Base64 lines of a file, as the composer lays them out.
const char kFileLines[] =
    "JVBERi0xLjQKJcfsj6IKNSAwIG9iago8PC9MZW5ndGggNiAwIFIvRmlsdGVyIC9GbGF0ZUR"
    "l\r\nY29kZT4+CnN0cmVhbQp4nCtUMFAwAEIAAAD//w==\r\n";

// A multipart body: a text part with a line the wire must stuff, then one
// attachment from ready_from on.
struct attachment_message {
  std::string body;
  smtp_attachment file;
  size_t ready_from = 0;
};

attachment_message make_message() {
  attachment_message m;
  m.body =
      "--=_b\r\nContent-Type: text/plain; charset=UTF-8\r\n\r\n"
      " Note: hi\r\n.dot line\r\n";
  m.ready_from = m.body.size();
  m.body +=
      "\r\n--=_b\r\nContent-Type: application/pdf\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n";
  m.file.start = m.body.size();
  m.file.size = sizeof kFileLines - 1;
  m.file.name = "report.pdf";
  m.file.bytes = 48213;
  m.body += kFileLines;
  m.body += "--=_b--\r\n";
  return m;
}

smtp_job attachment_job(const attachment_message& m) {
  smtp_job job;
  job.server = "127.0.0.1";
  job.from = "f@x.y";
  job.to = "t@x.y";
  job.header_text = kHeader;
  job.body_text = m.body.c_str();
  job.body_ready_from = m.ready_from;
  job.attachments = &m.file;
  job.attachment_count = 1;
  return job;
}

void greet(scripted_net* net, const char* ehlo_reply) {
  net->replies({"220 ready\r\n", ehlo_reply});
}

void accept_rest(scripted_net* net) {
  net->replies({"250 sender ok\r\n", "250 rcpt ok\r\n", "354 go ahead\r\n",
                "250 queued\r\n", "221 bye\r\n"});
}

int deliver(const smtp_job& job, scripted_net* net) {
  bool started = false;
  return deliver_mail(job, net, &started);
}

// The bytes between DATA's command and the end-of-data marker.
std::string data_sent(const std::string& sent) {
  size_t start = sent.find("DATA\r\n") + 6;
  size_t end = sent.rfind("\r\n.\r\n");
  return sent.substr(start, end - start);
}

TEST(DeliverAttachments, WireBytesTraceAndNoPause) {
  scoped_test_log log;
  attachment_message m = make_message();
  scripted_net net;
  greet(&net, "250 hello\r\n");
  accept_rest(&net);
  // The file's lines taken in pieces of 17 bytes.
  net.send_caps.assign(40, 1 << 20);
  for (int i = 0; i < 12; ++i) net.send_caps.push_back(17);
  EXPECT_EQ(1, deliver(attachment_job(m), &net));
  // The text part's dot is stuffed; nothing after ready_from changes.
  std::string body = m.body;
  body.replace(body.find("\r\n.dot"), 6, "\r\n..dot");
  EXPECT_EQ(std::string(kHeader) + "\r\n" + body, data_sent(net.sent));
  EXPECT_TRUE(net.pauses.empty());
  std::string messages = log.messages();
  EXPECT_NE(std::string::npos,
            messages.find("[attachment report.pdf, 48213 bytes]"));
  EXPECT_EQ(std::string::npos, messages.find("JVBERi0")) << messages;
  EXPECT_EQ(std::string::npos, messages.find("nCtUMFA")) << messages;
}

TEST(DeliverAttachments, TimeLimitCountsTimeWithoutProgress) {
  scoped_test_log log;
  attachment_message m = make_message();
  struct {
    bool attachments;
    int delivered;
  } cases[] = {{true, 1}, {false, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.attachments);
    scripted_net net;
    greet(&net, "250 hello\r\n");
    accept_rest(&net);
    // Every write takes a second, about seventy in all: far over the limit
    // of 10 seconds in total, never 10 seconds without progress.
    net.send_advance_ms = 1000;
    net.send_caps.assign(10, 1 << 20);
    for (int i = 0; i < 60; ++i) net.send_caps.push_back(5);
    smtp_job job = attachment_job(m);
    job.timeout_seconds = 10;
    if (!c.attachments) {
      job.body_ready_from = kNoReadyPart;
      job.attachments = nullptr;
      job.attachment_count = 0;
    }
    EXPECT_EQ(c.delivered, deliver(job, &net));
  }
}

std::string mail_from_of(const std::string& sent) {
  size_t start = sent.find("MAIL FROM:");
  if (start == std::string::npos) return "";
  return sent.substr(start, sent.find("\r\n", start) - start);
}

TEST(DeliverAttachments, SizeFromEhloReply) {
  attachment_message m = make_message();
  // What goes between DATA and the marker: the header, the empty line, the
  // body with one dot stuffed.
  std::string size = std::to_string(strlen(kHeader) + 2 + m.body.size() + 1);
  struct {
    const char* ehlo_reply;
    hello_kind hello;
    std::string mail_from;
  } cases[] = {
      {"250-hello\r\n250-SIZE\r\n250 HELP\r\n", HELLO_EHLO,
       "MAIL FROM:<f@x.y> SIZE=" + size},
      {"250-hello\r\n250 size 0\r\n", HELLO_EHLO,
       "MAIL FROM:<f@x.y> SIZE=" + size},
      {"250-hello\r\n250-SIZE 10240000\r\n250 8BITMIME\r\n", HELLO_EHLO,
       "MAIL FROM:<f@x.y> SIZE=" + size},
      {"250-hello\r\n250-SIZEX 10\r\n250 HELP\r\n", HELLO_EHLO,
       "MAIL FROM:<f@x.y>"},
      {"250-SIZE 10\r\n250 HELP\r\n", HELLO_EHLO, "MAIL FROM:<f@x.y>"},
      {"250 hello\r\n", HELLO_HELO, "MAIL FROM:<f@x.y>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ehlo_reply);
    scoped_test_log log;
    scripted_net net;
    greet(&net, c.ehlo_reply);
    accept_rest(&net);
    smtp_job job = attachment_job(m);
    job.hello_method = c.hello;
    EXPECT_EQ(1, deliver(job, &net));
    EXPECT_EQ(c.mail_from, mail_from_of(net.sent));
    EXPECT_EQ(size, std::to_string(data_sent(net.sent).size()));
  }
}

TEST(DeliverAttachments, MessageOverServerLimitRefusedBeforeMailFrom) {
  scoped_test_log log;
  std::string body(2000, 'a');
  body += "\r\n";
  scripted_net net;
  greet(&net, "250-hello\r\n250-SIZE 1000\r\n250 HELP\r\n");
  net.replies({"221 bye\r\n"});
  smtp_job job;
  job.server = "127.0.0.1";
  job.from = "f@x.y";
  job.to = "t@x.y";
  job.header_text = kHeader;
  job.body_text = body.c_str();
  job.hello_method = HELLO_EHLO;
  smtp_report report;
  job.report = &report;
  EXPECT_EQ(0, deliver(job, &net));
  EXPECT_EQ("EHLO TARVELO\r\nQUIT\r\n", net.sent);
  EXPECT_EQ(SMTP_END_MESSAGE_REFUSED, report.end);
  EXPECT_EQ(552, report.reply_code);
  EXPECT_NE(std::string::npos,
            log.messages().find("Email not sent: the message is 2030 bytes, "
                                "over the server's limit of 1000 bytes "
                                "(SIZE)."))
      << log.messages();
}

}  // namespace
}  // namespace tarvelo
