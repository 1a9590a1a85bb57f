#include "compose/envelope.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "testing/test_support.h"

namespace tarvelo {
namespace {

// The extracted address, or "(none)"; frees the copy.
std::string extracted(const char* text) {
  char* address = extract_address(text);
  if (address == nullptr) return "(none)";
  std::string out = address;
  free(address);
  return out;
}

TEST(ExtractAddressTest, FirstAddressFromTheLeft) {
  scoped_test_log log;
  const struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {"a@b", "a@b"},
      {"a@", "(none)"},
      {"@b", "(none)"},
      {"", "(none)"},
      {"a@b@c", "a@b"},
      {"x@ y@z", "y@z"},
      {"a@@b@c", "b@c"},
      {".@.", ".@."},
      {"write to a@b.c.", "a@b.c."},
      {"mail a_b-c.d@e-f.x_y now", "a_b-c.d@e-f.x_y"},
      // "+" is part of the mailbox: news@x.y would be someone else.
      {"joe+news@x.y", "joe+news@x.y"},
      {"to <a+b@c+d.e>", "a+b@c+d.e"},
      {"Joe Bloggs <joe@x.y>", "joe@x.y"},
      {"\"Joe@home\" <joe@x.y>", "Joe@home"},
      {"it's o'neil@x.y", "neil@x.y"},
      // A byte above 127 is never an address character, whatever the locale.
      {"a\xE9@x", "(none)"},
      {"caf\xE9 joe@x\xE9y", "joe@x"},
      {"a@b c@d", "a@b"},
      {"a@ b", "(none)"},
      {"a b@", "(none)"},
      {"Z9@0z", "Z9@0z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.expected, extracted(c.text));
  }
}

TEST(ExtractAddressTest, NothingFoundLogsTheWholeText) {
  scoped_test_log log;
  EXPECT_EQ("(none)", extracted("Reply to me, at home@"));
  EXPECT_EQ("a@b", extracted("a@b"));
  EXPECT_EQ("no email address in this line (Reply to me, at home@)\n",
            log.messages());
}

struct entry {
  const char* name;
  const char* value;
  header_kind expected;
};

struct classify_case {
  const char* title;
  bool add_headerline_colon;
  std::vector<entry> entries;
  const char* from;
  const char* to;
  const char* cc;
  const char* bcc;
  int subject_found;
};

std::string or_none(const char* text) { return text ? text : "(none)"; }

// An envelope that releases its copies, so leak checks stay quiet.
struct test_envelope : envelope {
  ~test_envelope() {
    free(from_address);
    free(to_address);
    free(cc_address);
    free(bcc_address);
  }
};

TEST(ClassifyHeaderTest, RecognisedKindsAndEnvelope) {
  scoped_test_log log;
  const classify_case cases[] = {
      {"static To with display name and brackets",
       false,
       {{"To: \"Joe Bloggs\" <joe@x.y>", "", HEADER_TO}},
       nullptr, "joe@x.y", nullptr, nullptr, 0},
      {"dynamic From takes the address from the value",
       false,
       {{"From:", "joe@x.y", HEADER_FROM}},
       "joe@x.y", nullptr, nullptr, nullptr, 0},
      {"dynamic From with nothing submitted",
       false,
       {{"From:", "", HEADER_NONE}},
       nullptr, nullptr, nullptr, nullptr, 0},
      {"value may be absent",
       false,
       {{"From:", nullptr, HEADER_NONE}},
       nullptr, nullptr, nullptr, nullptr, 0},
      {"second To is left out and is no recipient",
       false,
       {{"To: a@b.c", "", HEADER_TO}, {"To: d@e.f", "", HEADER_NONE}},
       nullptr, "a@b.c", nullptr, nullptr, 0},
      {"prefixes ignore case, no blank needed",
       false,
       {{"to:a@b", "", HEADER_TO}, {"FROM:c@d", "", HEADER_FROM}},
       "c@d", "a@b", nullptr, nullptr, 0},
      {"TO: in capitals",
       false,
       {{"TO:a@b", "", HEADER_TO}},
       nullptr, "a@b", nullptr, nullptr, 0},
      {"To without colon needs add_headerline_colon",
       false,
       {{"To", "a@b", HEADER_NONE}},
       nullptr, nullptr, nullptr, nullptr, 0},
      {"To without colon with add_headerline_colon",
       true,
       {{"To", "a@b", HEADER_TO}},
       nullptr, "a@b", nullptr, nullptr, 0},
      {"every Subject is accepted",
       false,
       {{"Subject: one", "", HEADER_SUBJECT},
        {"subject: two a@b", "", HEADER_SUBJECT}},
       nullptr, nullptr, nullptr, nullptr, 1},
      {"Subject without colon needs add_headerline_colon",
       false,
       {{"Subject", "hi", HEADER_NONE}},
       nullptr, nullptr, nullptr, nullptr, 0},
      {"Subject without colon with add_headerline_colon",
       true,
       {{"Subject", "hi", HEADER_SUBJECT}},
       nullptr, nullptr, nullptr, nullptr, 1},
      {"Reply-To is not a recognised header",
       false,
       {{"Reply-To: r@s.t", "", HEADER_NONE}},
       nullptr, nullptr, nullptr, nullptr, 0},
      {"an entry without address does not block a later one",
       false,
       {{"From: nobody", "", HEADER_NONE}, {"From: a@b", "", HEADER_FROM}},
       "a@b", nullptr, nullptr, nullptr, 0},
      {"CC and BCC",
       false,
       {{"BCC:", "hidden@x.y", HEADER_BCC}, {"Cc: <c@x.y>", "", HEADER_CC}},
       nullptr, nullptr, "c@x.y", "hidden@x.y", 0},
      {"colon-less words are no prefixes: Topic is no To",
       true,
       {{"Topic", "a@b", HEADER_NONE},
        {"Ccomments", "c@d", HEADER_NONE},
        {"Subjects", "", HEADER_NONE},
        {"Bccx", "e@f", HEADER_NONE},
        {"Fromage", "g@h", HEADER_NONE},
        {"To\tx", "a@b", HEADER_NONE}},
       nullptr, nullptr, nullptr, nullptr, 0},
      {"colon-less words alone or before a blank, any case",
       true,
       {{"TO", "a@b", HEADER_TO},
        {"cc copy", "c@d", HEADER_CC},
        {"Bcc", "e@f", HEADER_BCC},
        {"from the visitor", "g@h", HEADER_FROM},
        {"SUBJECT line", "", HEADER_SUBJECT}},
       "g@h", "a@b", "c@d", "e@f", 1},
      {"with the colon the prefix test stays",
       true,
       {{"To: \"Me\" <me@example.com>", "", HEADER_TO},
        {"from:a@b", "", HEADER_FROM}},
       "a@b", "me@example.com", nullptr, nullptr, 0},
      {"without the setting the same names are dropped",
       false,
       {{"Topic", "a@b", HEADER_NONE},
        {"Ccomments", "c@d", HEADER_NONE},
        {"Subjects", "", HEADER_NONE}},
       nullptr, nullptr, nullptr, nullptr, 0},
      {"a short name never matches a longer prefix",
       true,
       {{"T", "a@b", HEADER_NONE}, {"", "a@b", HEADER_NONE}},
       nullptr, nullptr, nullptr, nullptr, 0},
  };
  for (const classify_case& c : cases) {
    SCOPED_TRACE(c.title);
    test_envelope env;
    for (const entry& e : c.entries) {
      SCOPED_TRACE(e.name);
      EXPECT_EQ(e.expected, classify_header(e.name, e.value,
                                                 c.add_headerline_colon, &env));
    }
    EXPECT_EQ(or_none(c.from), or_none(env.from_address));
    EXPECT_EQ(or_none(c.to), or_none(env.to_address));
    EXPECT_EQ(or_none(c.cc), or_none(env.cc_address));
    EXPECT_EQ(or_none(c.bcc), or_none(env.bcc_address));
    EXPECT_EQ(c.subject_found, env.subject_found);
  }
}

TEST(ClassifyHeaderTest, EachFruitlessSearchLogsOnce) {
  scoped_test_log log;
  test_envelope env;
  EXPECT_EQ(HEADER_NONE, classify_header("From:", "", false, &env));
  EXPECT_EQ(
      "no email address in this line (From:)\n"
      "no email address in this line ()\n",
      log.messages());

  // "From:" is not the bare word "From", so it is searched once only.
  scoped_test_log colon_log;
  EXPECT_EQ(HEADER_NONE, classify_header("From:", "", true, &env));
  EXPECT_EQ(
      "no email address in this line (From:)\n"
      "no email address in this line ()\n",
      colon_log.messages());
}

TEST(ClassifyHeaderTest, NameIsSearchedBeforeValue) {
  scoped_test_log log;
  test_envelope env;
  EXPECT_EQ(HEADER_TO,
            classify_header("To: name@x.y", "value@x.y", false, &env));
  EXPECT_STREQ("name@x.y", env.to_address);
  EXPECT_EQ("", log.messages());
}

// RFC 5321 4.5.3.1.3: 254 characters fit a path, 255 do not; an overlong
// address in the name leaves the value to be searched.
TEST(ClassifyHeaderTest, OverlongAddressIsNoEnvelopeAddress) {
  const std::string fits = std::string(250, 'a') + "@b.c";  // 254
  const std::string over = "a" + fits;
  struct {
    std::string name, value;
    const char* to;
  } cases[] = {
      {"To:", fits, fits.c_str()},
      {"To:", over, nullptr},
      {"To: " + over, "v@w.x", "v@w.x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " / " + c.value);
    scoped_test_log log;
    test_envelope env;
    classify_header(c.name.c_str(), c.value.c_str(), false, &env);
    EXPECT_EQ(or_none(c.to), or_none(env.to_address));
  }
}

}  // namespace
}  // namespace tarvelo
