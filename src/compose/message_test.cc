#include "compose/message.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

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
    compose_message(settings_, headers_, body_, form_, message_stamp(), &env_,
                    header_text, body_text);
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

}  // namespace
}  // namespace tarvelo

namespace tarvelo {
namespace {

struct extras_result {
  std::string headers;
  std::string to;
  std::string log;
};

// Composes the headers (name, value pairs) with extras and returns the
// header text without the X-TARVELO line, the envelope's To and the log.
extras_result compose_with(const std::vector<const char*>& pairs,
                           const compose_extras& extras,
                           bool add_headerline_colon, bool client_ip_header) {
  scoped_test_log log;
  mail_settings settings;
  settings.add_headerline_colon = add_headerline_colon;
  settings.client_ip_header = client_ip_header;
  entry_list headers;
  for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
    headers.names[headers.count] = const_cast<char*>(pairs[i]);
    headers.values[headers.count] = const_cast<char*>(pairs[i + 1]);
    ++headers.count;
  }
  entry_list body;
  form_table form;
  envelope env;
  dyn_text* header_text = dyn_text_new("");
  dyn_text* body_text = dyn_text_new("");
  compose_message(settings, headers, body, form, message_stamp(), extras,
                  &env, header_text, body_text, nullptr);
  extras_result out;
  out.headers = header_text->data;
  out.headers.resize(out.headers.find("X-TARVELO:"));
  out.to = env.to_address != nullptr ? env.to_address : "(null)";
  std::string all = log.messages();
  size_t generated = all.find("generated headers {");
  out.log = all.substr(0, generated) +
            all.substr(all.find("}\n", generated) + 2);
  dyn_text_free(header_text);
  dyn_text_free(body_text);
  free(env.from_address);
  free(env.to_address);
  return out;
}

TEST(ComposeExtrasTest, AliasTakesThePlaceOfTheFirstToEntryOnly) {
  const struct {
    const char* what;
    std::vector<const char*> headers;
    bool colon;
    const char* expected;
  } cases[] = {
      {"fixed To", {"From: f@x.y", "", "To: a@b.c", "", "Subject: s", ""},
       false, "From: f@x.y \r\nTo: s@shop.org\r\nSubject: s \r\n"},
      {"submitted To without address, then fixed",
       {"To:", "", "Subject: s", "", "TO: a@b.c", ""}, false,
       "To: s@shop.org\r\nSubject: s \r\n"},
      {"no To entry: first", {"Subject: s", "", "CC:", "c@d.e"}, false,
       "To: s@shop.org\r\nSubject: s \r\nCC: c@d.e\r\n"},
      {"bare To word with colon setting", {"Subject", "s", "To", "a@b.c"},
       true, "Subject: s\r\nTo: s@shop.org\r\n"},
      {"bare To is no To entry without it", {"Subject: s", "", "To", "a@b.c"},
       false, "To: s@shop.org\r\nSubject: s \r\n"},
      {"Topic is no To entry", {"Topic", "x", "Subject: s", ""}, true,
       "To: s@shop.org\r\nSubject: s: \r\n"},
  };
  compose_extras extras;
  extras.alias_to = "s@shop.org";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    extras_result r = compose_with(c.headers, extras, c.colon, false);
    EXPECT_EQ(c.expected, r.headers);
    EXPECT_EQ("s@shop.org", r.to);
  }
  // Without an alias the first To entry with an address is the recipient.
  extras_result plain = compose_with({"To:", "", "To: a@b.c", ""},
                                     compose_extras(), false, false);
  EXPECT_EQ("To: a@b.c \r\n", plain.headers);
  EXPECT_EQ("a@b.c", plain.to);
}

TEST(ComposeExtrasTest, OriginatingIpOnlyForPlainAddresses) {
  const struct {
    const char* client;
    bool flag;
    const char* expected;
    const char* log;
  } cases[] = {
      {"192.0.2.7", true, "X-Originating-IP: [192.0.2.7]\r\n", ""},
      {"2001:DB8::a:1", true, "X-Originating-IP: [2001:DB8::a:1]\r\n", ""},
      {"::ffff:192.0.2.7", true, "X-Originating-IP: [::ffff:192.0.2.7]\r\n",
       ""},
      {"192.0.2.7", false, "", ""},
      {"fe80::1%eth0", true, "",
       "client_ip_header: client address (fe80::1%eth0) is not an IP "
       "address: no X-Originating-IP line\n"},
      {"1.2.3.4\r\nBcc: x@y.z", true, "",
       "client_ip_header: client address (1.2.3.4\r\nBcc: x@y.z) is not "
       "an IP address: no X-Originating-IP line\n"},
      {"", true, "",
       "client_ip_header: client address () is not an IP address: no "
       "X-Originating-IP line\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.client);
    compose_extras extras;
    extras.client = c.client;
    extras_result r = compose_with({"To: a@b.c", ""}, extras, false, c.flag);
    // After the list's lines (and Reply-To), before X-TARVELO.
    EXPECT_EQ(std::string("To: a@b.c \r\n") + c.expected, r.headers);
    EXPECT_EQ(c.log, r.log);
  }
}

}  // namespace
}  // namespace tarvelo
