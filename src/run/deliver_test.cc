#include "run/deliver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "compose/captcha_check.h"
#include "compose/message.h"
#include "spool/spool.h"
#include "support/dyn_text.h"
#include "support/log.h"
#include "support/os.h"
#include "testing/scripted_net.h"
#include "testing/test_support.h"

namespace tarvelo {
namespace {

// Records the one call of a stand-in for smtp_send_mail.
struct sent_mail {
  int calls = 0;
  int result = 1;
  std::string server, from, to, bcc, header_text, body_text, line_end;
  int timeout_seconds = 0;
  size_t body_ready_from = kNoReadyPart;
  std::vector<smtp_attachment> attachments;
};
sent_mail recorded;

int record_send(const smtp_job& job) {
  ++recorded.calls;
  recorded.server = job.server ? job.server : "(absent)";
  recorded.from = job.from;
  recorded.to = job.to;
  recorded.bcc = job.bcc ? job.bcc : "(absent)";
  recorded.header_text = job.header_text;
  recorded.body_text = job.body_text;
  recorded.line_end = job.line_end;
  recorded.timeout_seconds = job.timeout_seconds;
  recorded.body_ready_from = job.body_ready_from;
  recorded.attachments.assign(job.attachments,
                              job.attachments + job.attachment_count);
  return recorded.result;
}

class SendDecisionTest : public testing::Test {
 protected:
  SendDecisionTest() {
    recorded = sent_mail();
    env_.from_address = from_;
    env_.to_address = to_;
    env_.subject_found = 1;
  }

  scoped_test_log log_;
  mail_settings settings_;
  envelope env_;
  char from_[8] = "joe@x.y";
  char to_[6] = "a@b.c";
};

TEST_F(SendDecisionTest, CompleteEnvelopeIsHandedOver) {
  settings_.smtp = const_cast<char*>("mail.x.y:2525");
  EXPECT_EQ(1, send_composed(settings_, env_, "H\r\n", "B\r\n", record_send));
  EXPECT_EQ(1, recorded.calls);
  EXPECT_EQ("mail.x.y:2525", recorded.server);
  EXPECT_EQ("joe@x.y", recorded.from);
  EXPECT_EQ("a@b.c", recorded.to);
  EXPECT_EQ("H\r\n", recorded.header_text);
  EXPECT_EQ("B\r\n", recorded.body_text);
  EXPECT_EQ("(absent)", recorded.bcc);
  EXPECT_EQ(
      "about to send email to smtp server (mail.x.y:2525) from: (joe@x.y) "
      "to: (a@b.c)\n"
      "email sent! (1)\n",
      log_.messages());
}

// The job carries the connection settings and the blind copy of the
// envelope, not only the addresses the decision logs.
TEST_F(SendDecisionTest, JobCarriesSettingsAndBlindCopy) {
  settings_.line_end = "\n";
  settings_.smtp_timeout = 7;
  char bcc[] = "hidden@x.y";
  env_.bcc_address = bcc;
  EXPECT_EQ(1, send_composed(settings_, env_, "H", "B", record_send));
  EXPECT_EQ("hidden@x.y", recorded.bcc);
  EXPECT_EQ("\n", recorded.line_end);
  EXPECT_EQ(7, recorded.timeout_seconds);
}

TEST_F(SendDecisionTest, RefusedDeliveryIsAFailure) {
  recorded.result = 0;
  // Without an smtp line the dialogue is still asked, and says no.
  EXPECT_EQ(0, send_composed(settings_, env_, "H", "B", record_send));
  EXPECT_EQ(1, recorded.calls);
  EXPECT_EQ("(absent)", recorded.server);
  EXPECT_EQ(
      "about to send email to smtp server ((null)) from: (joe@x.y) to: "
      "(a@b.c)\n"
      "Email not sent.\n",
      log_.messages());
}

TEST_F(SendDecisionTest, IncompleteEnvelopeSendsNothing) {
  const struct {
    bool from, to;
    int subject;
  } cases[] = {{false, true, 1}, {true, false, 1}, {true, true, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.from << c.to << c.subject);
    env_.from_address = c.from ? from_ : nullptr;
    env_.to_address = c.to ? to_ : nullptr;
    env_.subject_found = c.subject;
    EXPECT_EQ(0, send_composed(settings_, env_, "H", "B", record_send));
  }
  EXPECT_EQ(0, recorded.calls);
}

TEST_F(SendDecisionTest, IncompleteEnvelopeLogsTheWholeMessage) {
  // A Subject but no To, composed with bare line feeds: the fixed "\r\n" of
  // the error line stay as they are.
  settings_.line_end = "\n";
  entry_list headers;
  headers.names[0] = const_cast<char*>("Subject: Hello");
  headers.values[0] = const_cast<char*>("");
  headers.names[1] = const_cast<char*>("From:");
  headers.values[1] = const_cast<char*>("joe@x.y");
  headers.count = 2;
  entry_list body;
  body.names[0] = const_cast<char*>("Name:");
  body.values[0] = const_cast<char*>("Joe");
  body.count = 1;
  form_table form;
  envelope env;
  dyn_text* header_text = dyn_text_new("");
  dyn_text* body_text = dyn_text_new("");
  compose_message(settings_, headers, body, form, message_stamp(), &env,
                  header_text, body_text);
  EXPECT_EQ(0, send_composed(settings_, env, header_text->data, body_text->data,
                             record_send));
  dyn_text_free(header_text);
  dyn_text_free(body_text);
  free(env.from_address);
  EXPECT_EQ(0, recorded.calls);

  std::string expected =
      "email not sent due to From, or To, or Subject headers not being "
      "present or valid. From={joe@x.y} To={(null)} Subject_found=TRUE\r\n"
      " HEADERS = \r\n"
      "Subject: Hello \n"
      "From: joe@x.y\n"
      "X-TARVELO: sent by web form submition activated CGI program.\n"
      "\r\n = HEADERS\r\n"
      "BODY = \r\n"
      " Name: Joe\n"
      "\r\n = BODY.\n";
  // The last line of the log: "<stamp> - pid(<n>) - <message>\n".
  std::string raw = read_file(log_.path());
  std::string tail = " - pid(" + std::to_string(getpid()) + ") - " + expected;
  ASSERT_GT(raw.size(), tail.size());
  EXPECT_EQ(tail, raw.substr(raw.size() - tail.size()));
  std::string before = raw.substr(0, raw.size() - tail.size());
  std::string stamp = before.substr(before.rfind('\n') + 1);
  EXPECT_FALSE(stamp.empty());
  EXPECT_EQ(std::string::npos, stamp.find(" - "));
}

// One run's composition and delivery over explicit tables: which outcome,
// whether the sender was asked, and what the spool folder holds afterwards.
struct run_tables {
  run_tables() {
    recorded = sent_mail();
    add(&headers_, "To: owner@b.c", "");
    add(&headers_, "Subject: Form", "");
    add(&headers_, "From:", "visitor@x.y");
    add(&body_, "Name:", "Joe");
    settings_.smtp = const_cast<char*>("mail.b.c");
    folder_ = fresh_temp_dir();
  }
  ~run_tables() {
    free(env_.from_address);
    free(env_.to_address);
  }

  static void add(entry_list* list, const char* name, const char* value) {
    list->names[list->count] = const_cast<char*>(name);
    list->values[list->count] = const_cast<char*>(value);
    ++list->count;
  }
  static void add_form(form_table* form, const char* name, const char* value) {
    form->names[form->form_count] = const_cast<char*>(name);
    form->values[form->form_count] = const_cast<char*>(value);
    ++form->form_count;
  }

  delivery_outcome run(const run_moment& moment) {
    return compose_and_send(settings_, headers_, body_, &form_, moment, &env_,
                            &problems_, record_send);
  }

  // A moment of one client, its rate-limit state in this test's folder.
  run_moment client_moment() const {
    run_moment moment;
    moment.unix_microseconds = 1700000001000000LL;
    moment.client = "10.0.0.1";
    moment.rate_state.beside = folder_ + "/form.rate";
    moment.rate_state.private_folder = folder_ + "/private";
    moment.rate_state.fallback = folder_ + "/private/f.rate";
    return moment;
  }

  // The refused fields as "name: reason, ...".
  std::string problems() const {
    std::string all;
    for (int i = 0; i < problems_.count; ++i) {
      all += std::string(i > 0 ? ", " : "") + problems_.items[i].name + ": " +
             problems_.items[i].reason;
    }
    return all;
  }

  // The names in the spool folder, in no particular order.
  std::string spooled() {
    std::vector<std::string> names;
    std::string error;
    if (!os_list_folder(folder_.c_str(), &names, &error)) return "(unread)";
    std::string all;
    for (const std::string& name : names) all += " " + name;
    return all;
  }

  mail_settings settings_;
  entry_list headers_;
  entry_list body_;
  form_table form_;
  envelope env_;
  field_problems problems_;
  std::string folder_;
};

TEST(ComposeAndSendTest, OutcomeBySenderChecksAndSpool) {
  scoped_test_log log;
  char honeypot[] = "website";
  char only_elsewhere[] = "@other.z";
  const struct {
    const char* name;
    bool complete;     // a To header
    bool robot;        // the honeypot field filled
    bool not_allowed;  // the allow-list names another domain
    bool spool;
    int sender_result;
    delivery_outcome outcome;
    int calls;
    bool file_left;
  } cases[] = {
      {"sent", true, false, false, false, 1, DELIVERY_SENT, 1, false},
      {"refused", true, false, false, false, 0, DELIVERY_FAILED, 1, false},
      {"incomplete", false, false, false, true, 1, DELIVERY_FAILED, 0, false},
      {"robot", true, true, false, true, 1, DELIVERY_DROPPED, 0, false},
      {"not allowed", true, false, true, true, 1, DELIVERY_NOT_ALLOWED, 0,
       false},
      {"spooled, sent", true, false, false, true, 1, DELIVERY_SENT, 1, false},
      {"spooled, queued", true, false, false, true, 0, DELIVERY_QUEUED, 1,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    run_tables fresh;
    if (!c.complete) fresh.headers_.names[0] = const_cast<char*>("X: y");
    if (c.robot) {
      fresh.settings_.honeypot_field = honeypot;
      run_tables::add_form(&fresh.form_, "website", "http://spam.example/");
    }
    if (c.not_allowed) {
      fresh.settings_.allowed_recipients[0] = only_elsewhere;
      fresh.settings_.allowed_recipient_count = 1;
    }
    if (c.spool) {
      fresh.settings_.spool_folder = const_cast<char*>(fresh.folder_.c_str());
    }
    recorded = sent_mail();
    recorded.result = c.sender_result;
    run_moment moment;
    moment.unix_microseconds = 1700000000123456LL;
    EXPECT_EQ(c.outcome, fresh.run(moment));
    EXPECT_EQ(c.calls, recorded.calls);
    std::string names = fresh.spooled();
    EXPECT_EQ(c.file_left, names.find(".mail") != std::string::npos) << names;
    if (c.calls > 0) {
      EXPECT_EQ("visitor@x.y", recorded.from);
      EXPECT_NE(std::string::npos, recorded.body_text.find(" Name: Joe\r\n"));
    }
  }
}

// The spool file is named after the moment the run hands in, and the rate
// limit counts the client (blanks and line breaks made "_") at that moment
// in whole seconds.
TEST(ComposeAndSendTest, MomentNamesTheSpoolFileAndCountsTheClient) {
  scoped_test_log log;
  run_tables t;
  t.settings_.spool_folder = const_cast<char*>(t.folder_.c_str());
  t.settings_.rate_limit = 5;
  recorded = sent_mail();
  recorded.result = 0;
  run_moment moment;
  moment.unix_microseconds = 1700000000123456LL;  // 2023-11-14 22:13:20 UTC
  moment.client = "10.0.0.1 \r\nx";
  moment.rate_state.beside = t.folder_ + "/form.rate";
  moment.rate_state.private_folder = t.folder_ + "/private";
  moment.rate_state.fallback = t.folder_ + "/private/f.rate";
  EXPECT_EQ(DELIVERY_QUEUED, t.run(moment));
  EXPECT_NE(std::string::npos, t.spooled().find(" 20231114-221320-123456-"))
      << t.spooled();
  EXPECT_EQ("1700000000 10.0.0.1___x\n", read_file(t.folder_ + "/form.rate"));
}

// A file the ini does not take refuses the post before anything else: no
// message, no spool file, no count toward the rate limit. The same post with
// the type allowed goes out and is counted.
TEST(ComposeAndSendTest, RefusedFileSendsNothingAndCountsNothing) {
  scoped_test_log log;
  char exe[] = "exe";
  char file_name[] = "run.exe";
  for (bool allowed : {false, true}) {
    SCOPED_TRACE(allowed ? "allowed" : "refused");
    run_tables t;
    t.settings_.spool_folder = const_cast<char*>(t.folder_.c_str());
    t.settings_.rate_limit = 5;
    t.settings_.attachment_types[0] = exe;
    t.settings_.attachment_type_count = allowed ? 1 : 0;
    run_tables::add_form(&t.form_, "upload", "run.exe (3 bytes)");
    t.form_.files[0].pair = 0;
    t.form_.files[0].file_name = file_name;
    t.form_.files[0].data = "MZ!";
    t.form_.files[0].size = 3;
    t.form_.file_count = 1;
    recorded = sent_mail();
    recorded.result = 1;
    run_moment moment;
    moment.unix_microseconds = 1700000000123456LL;
    moment.client = "10.0.0.1";
    moment.rate_state.beside = t.folder_ + "/form.rate";
    moment.rate_state.private_folder = t.folder_ + "/private";
    moment.rate_state.fallback = t.folder_ + "/private/f.rate";
    EXPECT_EQ(allowed ? DELIVERY_SENT : DELIVERY_FILES_REFUSED, t.run(moment));
    EXPECT_EQ(allowed ? 1 : 0, recorded.calls);
    EXPECT_EQ(allowed ? " form.rate" : "", t.spooled());
  }
}

// The field rules and the alias between the file check and the abuse
// checks: an invalid post composes, sends and counts nothing; a robot's
// invalid post is dropped as a robot's; the alias is the only recipient and
// still meets the allow-list. (The other outcomes: tests/test_exe_replies.py.)
TEST(ComposeAndSendTest, FieldRulesAliasAndAbuseOutcomes) {
  static char name[] = "Name:";
  static char dept[] = "Dept";
  static char token[] = "sales";
  static char alias[] = "s@shop.org";
  static char other_domain[] = "@b.c";
  static char honeypot[] = "website";
  using setup = void (*)(run_tables*);
  const struct {
    const char* what;
    setup prepare;
    delivery_outcome outcome;
    const char* problems;
    const char* log_line;  // a line the log must hold
    const char* to;        // the job's To, "" when nothing was sent
    bool counted;          // this run added a line to the rate-limit state
  } cases[] = {
      {"required field missing",
       [](run_tables* t) {
         t->settings_.field_rules[0] = {FIELD_REQUIRED, name};
         t->settings_.field_rule_count = 1;
         run_tables::add_form(&t->form_, "Dept", "sales");
       },
       DELIVERY_INVALID, "Name:: required",
       "fields not valid (Name:: required): no mail sent", "", false},
      {"invalid post of a robot",
       [](run_tables* t) {
         t->settings_.field_rules[0] = {FIELD_REQUIRED, name};
         t->settings_.field_rule_count = 1;
         t->settings_.honeypot_field = honeypot;
         run_tables::add_form(&t->form_, "website", "x");
       },
       DELIVERY_DROPPED, "",
       "honeypot field (website) was filled in: no mail sent, success page "
       "shown",
       "", false},
      {"alias chosen",
       [](run_tables* t) { run_tables::add_form(&t->form_, "Dept", "sales"); },
       DELIVERY_SENT, "", "email sent! (1)", "s@shop.org", true},
      {"alias outside the allow-list",
       [](run_tables* t) {
         run_tables::add_form(&t->form_, "Dept", "sales");
         t->settings_.allowed_recipients[0] = other_domain;
         t->settings_.allowed_recipient_count = 1;
       },
       DELIVERY_NOT_ALLOWED, "",
       "recipient (s@shop.org) is not an allowed_recipient: no mail sent", "",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scoped_test_log log;
    run_tables t;
    t.settings_.recipient_field = dept;
    t.settings_.alias_tokens[0] = token;
    t.settings_.alias_addresses[0] = alias;
    t.settings_.recipient_alias_count = 1;
    t.settings_.rate_limit = 1;
    c.prepare(&t);
    recorded = sent_mail();
    t.problems_.count = 3;
    EXPECT_EQ(c.outcome, t.run(t.client_moment()));
    EXPECT_EQ(c.problems, t.problems());
    std::string logged = log.messages();
    EXPECT_NE(std::string::npos, logged.find(std::string(c.log_line) + "\n"))
        << logged;
    EXPECT_EQ(c.outcome == DELIVERY_INVALID || c.outcome == DELIVERY_DROPPED,
              logged.find("generated headers") == std::string::npos);
    EXPECT_EQ(c.to[0] != '\0' ? 1 : 0, recorded.calls);
    if (recorded.calls > 0) {
      EXPECT_EQ(c.to, recorded.to);
      EXPECT_EQ("To: s@shop.org\r\nSubject: Form \r\nFrom: visitor@x.y\r\n",
                recorded.header_text.substr(
                    0, recorded.header_text.find("X-TARVELO")));
    }
    std::string state = read_file(t.folder_ + "/form.rate");
    EXPECT_EQ(c.counted,
              state.find("1700000001 10.0.0.1\n") != std::string::npos)
        << state;
  }
}

// What the stand-in for the CAPTCHA provider's poster saw and answers.
struct captcha_call {
  int calls = 0;
  std::string body;
  long long deadline_ms = 0;
  const char* answer = "";  // the body, or null for no connection
};
captcha_call provider;

bool provider_post(const http_request& request, http_response* response) {
  ++provider.calls;
  provider.body = request.body;
  provider.deadline_ms = request.deadline_ms;
  if (provider.answer == nullptr) {
    response->failure = HTTP_NO_CONNECTION;
    response->detail = "refused";
    return false;
  }
  response->status = 200;
  response->body = provider.answer;
  return true;
}

// The CAPTCHA step comes after the field rules, a robot is dropped before
// its token costs a call, a missing token costs none, and only a verified
// token is composed, sent and counted.
TEST(ComposeAndSendTest, CaptchaOrderAndOutcomes) {
  static char name[] = "Name:";
  static char honeypot[] = "website";
  static char secret[] = "s3cret";
  static char url[] = "https://verify.test/check";
  const struct {
    const char* what;
    const char* token;      // null: no token field in the form
    const char* answer;     // the provider's body, null: no connection
    bool robot;             // the honeypot filled
    bool name_missing;      // a required field missing
    delivery_outcome outcome;
    const char* problems;
    std::string log_line;
    int provider_calls;
  } cases[] = {
      {"verified", "tok+1", R"({"success":true})", false, false,
       DELIVERY_SENT, "", "CAPTCHA verified at https://verify.test/check", 1},
      {"refused", "tok+1", R"({"success":false,"error-codes":["bad"]})",
       false, false, DELIVERY_INVALID, "captcha: not verified",
       "fields not valid (captcha: not verified): no mail sent", 1},
      {"no answer", "tok+1", nullptr, false, false, DELIVERY_UNCHECKED, "",
       "CAPTCHA could not be verified at https://verify.test/check (" +
           std::string(http_failure_name(HTTP_NO_CONNECTION)) +
           ": refused): no mail sent",
       1},
      {"missing token", nullptr, "", false, false, DELIVERY_INVALID,
       "captcha: required", "fields not valid (captcha: required): no mail sent",
       0},
      {"empty token", "", "", false, false, DELIVERY_INVALID,
       "captcha: required", "fields not valid (captcha: required): no mail sent",
       0},
      {"robot with a token", "tok", R"({"success":true})", true, false,
       DELIVERY_DROPPED, "",
       "honeypot field (website) was filled in: no mail sent, success page "
       "shown",
       0},
      {"invalid fields first", "tok", R"({"success":true})", false, true,
       DELIVERY_INVALID, "Name:: required",
       "fields not valid (Name:: required): no mail sent", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scoped_test_log log;
    run_tables t;
    t.settings_.captcha_provider = CAPTCHA_TURNSTILE;
    t.settings_.captcha_secret = secret;
    t.settings_.captcha_verify_url = url;
    t.settings_.rate_limit = 5;
    if (c.token != nullptr) {
      run_tables::add_form(&t.form_, "cf-turnstile-response", c.token);
    }
    if (c.robot) {
      t.settings_.honeypot_field = honeypot;
      run_tables::add_form(&t.form_, "website", "x");
    }
    if (c.name_missing) {
      t.settings_.field_rules[0] = {FIELD_REQUIRED, name};
      t.settings_.field_rule_count = 1;
    } else {
      run_tables::add_form(&t.form_, "Name", "Joe");
    }
    recorded = sent_mail();
    provider = captcha_call();
    provider.answer = c.answer;
    run_moment moment = t.client_moment();
    moment.services_deadline_ms = 4242;
    moment.poster = provider_post;
    EXPECT_EQ(c.outcome, t.run(moment));
    EXPECT_EQ(c.problems, t.problems());
    std::string logged = log.messages();
    EXPECT_NE(std::string::npos, logged.find(c.log_line + "\n")) << logged;
    EXPECT_EQ(std::string::npos, logged.find("s3cret")) << logged;
    EXPECT_EQ(c.provider_calls, provider.calls);
    if (provider.calls > 0) {
      EXPECT_EQ("secret=s3cret&response=tok%2B1&remoteip=10.0.0.1",
                provider.body);
      EXPECT_EQ(4242, provider.deadline_ms);
    }
    bool sent = c.outcome == DELIVERY_SENT;
    EXPECT_EQ(sent ? 1 : 0, recorded.calls);
    EXPECT_EQ(sent, !read_file(t.folder_ + "/form.rate").empty());
  }
}

// A form with a file: the job carries where the file's lines lie, the
// file's bytes are released once encoded, and a queued message keeps the
// attachment: a resend sends the very bytes the run composed.
TEST(ComposeAndSendTest, AttachmentQueuedAndResentWithTheSameBytes) {
  scoped_test_log log;
  run_tables t;
  t.settings_.spool_folder = const_cast<char*>(t.folder_.c_str());
  char pdf_type[] = "pdf";
  t.settings_.attachment_types[0] = pdf_type;
  t.settings_.attachment_type_count = 1;
  std::string pdf = "%PDF-1.4\n" + std::string(300, '\x7f');
  char name[] = "report.pdf";
  char field[] = "upload";
  char value[] = "report.pdf (309 bytes)";
  run_tables::add_form(&t.form_, field, value);
  t.form_.file_block = static_cast<char*>(malloc(pdf.size()));
  memcpy(t.form_.file_block, pdf.data(), pdf.size());
  t.form_.file_count = 1;
  t.form_.files[0].pair = 0;
  t.form_.files[0].file_name = name;
  t.form_.files[0].data = t.form_.file_block;
  t.form_.files[0].size = static_cast<long long>(pdf.size());
  recorded = sent_mail();
  recorded.result = 0;
  run_moment moment;
  moment.unix_microseconds = 1700000000123456LL;
  ASSERT_EQ(DELIVERY_QUEUED, t.run(moment));

  EXPECT_EQ(nullptr, t.form_.file_block);
  EXPECT_EQ(nullptr, t.form_.files[0].data);
  EXPECT_STREQ("report.pdf", t.form_.files[0].file_name);
  ASSERT_EQ(1u, recorded.attachments.size());
  const smtp_attachment& a = recorded.attachments[0];
  EXPECT_STREQ("report.pdf", a.name);
  EXPECT_EQ(309, a.bytes);
  // "%PDF-1.4" in base64, at the start of the lines the job points at.
  EXPECT_EQ("JVBERi0xLjQ", recorded.body_text.substr(a.start, 11));
  EXPECT_LT(recorded.body_ready_from, a.start);
  EXPECT_NE(std::string::npos,
            recorded.header_text.find("Content-Type: multipart/mixed"));

  scripted_net net;
  net.replies({"220 ready\r\n", "250 hello\r\n", "250 ok\r\n",
               "250 ok\r\n", "354 go\r\n", "250 queued\r\n",
               "221 bye\r\n"});
  smtp_job base = smtp_job_for_settings(t.settings_);
  bool started = false;
  int listed = 0;
  FILE* out = fopen("/dev/null", "w");
  ASSERT_NE(nullptr, out);
  resend_counts counts =
      resend_folder(t.folder_.c_str(), base, &net, &started, out, &listed);
  fclose(out);
  EXPECT_EQ(1, counts.sent);
  size_t data = net.sent.find("DATA\r\n") + 6;
  EXPECT_EQ(recorded.header_text + "\r\n" + recorded.body_text + "\r\n.\r\n",
            net.sent.substr(data, net.sent.rfind("QUIT") - data));
}

}  // namespace
}  // namespace tarvelo
