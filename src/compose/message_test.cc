#include "compose/message.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/log.h"
#include "testing/test_support.h"

namespace tarvelo {
namespace {

const char kXTarvelo[] =
    "X-TARVELO: sent by web form submition activated CGI program.";

std::string blanks(size_t n) { return std::string(n, ' '); }

class ComposeTest : public testing::Test {
 protected:
  ~ComposeTest() override {
    free(env_.from_address);
    free(env_.to_address);
    free(env_.cc_address);
    free(env_.bcc_address);
  }

  // The lists only ever read their texts.
  static void add(entry_list* list, const char* name, const char* value) {
    list->names[list->count] = const_cast<char*>(name);
    list->values[list->count] = const_cast<char*>(value);
    ++list->count;
  }
  void header(const char* name, const char* value = "") {
    add(&headers_, name, value);
  }
  void body(const char* name, const char* value = "") {
    add(&body_, name, value);
  }
  void form(const char* name, const char* value) {
    form_.names[form_.form_count] = const_cast<char*>(name);
    form_.values[form_.form_count] = const_cast<char*>(value);
    ++form_.form_count;
  }

  void compose() {
    dyn_text* header_text = dyn_text_new("");
    dyn_text* body_text = dyn_text_new("");
    compose_message(settings_, headers_, body_, form_, &env_, header_text,
                    body_text);
    header_text_.assign(header_text->data, header_text->length);
    body_text_.assign(body_text->data, body_text->length);
    dyn_text_free(header_text);
    dyn_text_free(body_text);
  }

  void worked_example() {
    header("To: a@b.c");
    header("Subject: Form data");
    header("From:", "joe@x.y");
    header("Status:", "new");
    body("Here are the details:");
    body("Name:", "Joe");
    body("Comments:", "line one\nline two");
  }

  scoped_test_log log_;
  mail_settings settings_;
  entry_list headers_;
  entry_list body_;
  form_table form_;
  envelope env_;
  std::string header_text_;
  std::string body_text_;
};

TEST_F(ComposeTest, WorkedExample) {
  worked_example();
  compose();
  EXPECT_EQ(
      "To: a@b.c \r\n"
      "Subject: Form data \r\n"
      "From: joe@x.y\r\n" +
          std::string(kXTarvelo) + "\r\n",
      header_text_);
  EXPECT_EQ(
      " Here are the details: \r\n"
      " Name: Joe\r\n"
      " Comments: line one\r\n" +
          blanks(11) + "line two\r\n",
      body_text_);
  EXPECT_STREQ("a@b.c", env_.to_address);
  EXPECT_STREQ("joe@x.y", env_.from_address);
  EXPECT_EQ(1, env_.subject_found);
  // The generated headers line comes before the X-TARVELO line is added.
  EXPECT_EQ(
      "no email address in this line (From:)\n"
      "generated headers {To: a@b.c \r\n"
      "Subject: Form data \r\n"
      "From: joe@x.y\r\n"
      "}\n",
      log_.messages());
}

TEST_F(ComposeTest, NoPaddingDropsOnlyTheLabelColumn) {
  settings_.no_padding = true;
  worked_example();
  compose();
  EXPECT_EQ("Here are the details: \r\nName: Joe\r\nComments: line one\r\n" +
                blanks(11) + "line two\r\n",
            body_text_);
}

TEST_F(ComposeTest, AddHeaderlineColonAddsMissingColonsOnly) {
  settings_.add_headerline_colon = true;
  header("To: a@b.c");
  header("Subject: Form data");
  header("From", "joe@x.y");
  header("CC:", "c@d.e");
  compose();
  EXPECT_EQ(
      "To: a@b.c: \r\n"
      "Subject: Form data: \r\n"
      "From: joe@x.y\r\n"
      "CC: c@d.e\r\n" +
          std::string(kXTarvelo) + "\r\n",
      header_text_);
  EXPECT_STREQ("joe@x.y", env_.from_address);
  EXPECT_STREQ("c@d.e", env_.cc_address);
}

TEST_F(ComposeTest, BodyNamesUpTo498CharactersAreWritten) {
  std::string name498(498, 'n');
  std::string name499(499, 'm');
  body(name498.c_str(), "v\nw");
  body(name499.c_str(), "dropped");
  body("After:", "x");
  compose();
  // The continuation indent of the longest name is 500 blanks.
  EXPECT_EQ(" " + name498 + " v\r\n" + blanks(500) + "w\r\n" +
                " After: x\r\n",
            body_text_);
  EXPECT_EQ(std::string::npos, log_.messages().find("dropped"));
}

TEST_F(ComposeTest, ValueLinesContinueUnderTheName) {
  const struct {
    const char* value;
    std::string expected;
  } cases[] = {
      {"\n\n", " Note: \r\n" + blanks(7) + "\r\n" + blanks(7) + "\r\n"},
      {"a\r\nb", " Note: a\r\n" + blanks(7) + "b\r\n"},
      // Only a carriage return right before a line feed is dropped.
      {"a\rb\nc\r", " Note: a\rb\r\n" + blanks(7) + "c\r\r\n"},
      {"a\r", " Note: a\r\r\n"},
      {"end\n", " Note: end\r\n" + blanks(7) + "\r\n"},
      // Submitted text is never a format.
      {"100%s %n\n%d", " Note: 100%s %n\r\n" + blanks(7) + "%d\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    body_.count = 0;
    body("Note:", c.value);
    compose();
    EXPECT_EQ(c.expected, body_text_);
  }
}

TEST_F(ComposeTest, SendallBlock) {
  const struct {
    const char* sendall;
    bool remove_empty;
    std::string expected;
  } cases[] = {
      {"true", true,
       " Line: \r\n\r\n\r\nAll variables from the submitted form:\r\n"
       "(a)==(1)\r\n(c)==(x\ny)\r\n"},
      {"true", false,
       " Line: \r\n\r\n\r\nAll variables from the submitted form:\r\n"
       "(a)==(1)\r\n(b)==()\r\n(c)==(x\ny)\r\n"},
      {"TRUE", false, " Line: \r\n"},
      {"true ", false, " Line: \r\n"},
      {"false", false, " Line: \r\n"},
      {nullptr, false, " Line: \r\n"},
  };
  body("Line:");
  form("a", "1");
  form("b", "");
  form("c", "x\ny");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sendall ? c.sendall : "(absent)");
    settings_.sendall = const_cast<char*>(c.sendall);
    settings_.remove_empty_variables = c.remove_empty;
    compose();
    EXPECT_EQ(c.expected, body_text_);
  }
}

TEST_F(ComposeTest, LineEndLineFeedAppliesToEveryComposedLine) {
  settings_.line_end = "\n";
  settings_.sendall = const_cast<char*>("true");
  header("To: a@b.c");
  header("Subject:", "s");
  body("Comments:", "one\r\ntwo");
  form("k", "v");
  compose();
  EXPECT_EQ("To: a@b.c \nSubject: s\n" + std::string(kXTarvelo) + "\n",
            header_text_);
  EXPECT_EQ(" Comments: one\n" + blanks(11) +
                "two\n\n\nAll variables from the submitted form:\n(k)==(v)\n",
            body_text_);
}

TEST_F(ComposeTest, LineBreaksInHeaderValuesBecomeBlanks) {
  header("To:", "a@b.c\r\nBcc: victim@x.y");
  header("Subject:", "hi\nBcc: other@x.y\r");
  header("From:", "joe@x.y");
  body("Text:", "kept\nas lines");
  compose();
  EXPECT_EQ(
      "To: a@b.c  Bcc: victim@x.y\r\n"
      "Subject: hi Bcc: other@x.y \r\n"
      "From: joe@x.y\r\n" +
          std::string(kXTarvelo) + "\r\n",
      header_text_);
  EXPECT_STREQ("a@b.c", env_.to_address);
  EXPECT_EQ(nullptr, env_.bcc_address);
  EXPECT_EQ(" Text: kept\r\n" + blanks(7) + "as lines\r\n", body_text_);
  // The submitted values themselves are untouched.
  EXPECT_STREQ("a@b.c\r\nBcc: victim@x.y", headers_.values[0]);
}

TEST_F(ComposeTest, BccIsARecipientButNotAHeaderLine) {
  header("To: a@b.c");
  header("BCC:", "hidden@x.y");
  header("Subject: s");
  header("Bcc: second@x.y");
  compose();
  EXPECT_STREQ("hidden@x.y", env_.bcc_address);
  EXPECT_EQ("To: a@b.c \r\nSubject: s \r\n" + std::string(kXTarvelo) + "\r\n",
            header_text_);
  EXPECT_EQ(std::string::npos, log_.messages().find("hidden"));
}

// Records the one call of a stand-in for smtp_send_mail.
struct sent_mail {
  int calls = 0;
  int result = 1;
  std::string server, from, to, header_text, body_text;
};
sent_mail recorded;

int record_send(const char* server, const char* from, const char* to,
                const char* header_text, const char* body_text) {
  ++recorded.calls;
  recorded.server = server ? server : "(absent)";
  recorded.from = from;
  recorded.to = to;
  recorded.header_text = header_text;
  recorded.body_text = body_text;
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
  EXPECT_EQ(
      "about to send email to smtp server (mail.x.y:2525) from: (joe@x.y) "
      "to: (a@b.c)\n"
      "email sent! (1)\n",
      log_.messages());
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
  compose_message(settings_, headers, body, form, &env, header_text,
                  body_text);
  EXPECT_EQ(0, send_composed(settings_, env, header_text->data,
                             body_text->data, record_send));
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

}  // namespace
}  // namespace tarvelo
