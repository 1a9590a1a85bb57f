#include "tools/check.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/log.h"
#include "testing/test_support.h"

namespace tarvelo {
namespace {

TEST(EditDistance, CountsTheFewestEdits) {
  const struct {
    const char* a;
    const char* b;
    int distance;
  } cases[] = {
      {"smtp", "smtp", 0},   {"smpt", "smtp", 2},       {"loging", "logging", 1},
      {"", "abc", 3},        {"kitten", "sitting", 3},  {"smtp_tl", "smtp", 3},
      {"abc", "", 3},        {"charst", "charset", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    EXPECT_EQ(edit_distance(c.a, c.b), c.distance);
    EXPECT_EQ(edit_distance(c.b, c.a), c.distance);
  }
}

TEST(KeywordMeant, NearestKeywordWithinTwo) {
  const struct {
    const char* word;
    const char* meant;
  } cases[] = {
      {"smpt", "smtp"},          {"SMTP", "smtp"},
      {"loging", "logging"},     {"json_replys", "json_replies"},
      {"headerlines", "headerline"}, {"smtp_timout", "smtp_timeout"},
      {"#", ""},                 {"Thanks", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    EXPECT_EQ(keyword_meant(c.word, ini_keyword_names()), c.meant);
  }
}

// Every case reads its ini into a fresh checked_ini with the log held; the
// log file must stay empty.
class CheckIni : public ::testing::Test {
 protected:
  void SetUp() override { log_hold_lines(); }
  void TearDown() override {
    std::string held;
    log_take_held_lines(&held);
    log_release_lines();
    EXPECT_EQ(read_file(log.path()), "");
  }

  finding_list read(const std::string& text, checked_ini* ini) {
    finding_list found;
    check_ini_lines(text.data(), static_cast<long>(text.size()), ini, &found);
    return found;
  }

 public:
  static std::string shown(const finding_list& found) {
    std::string out;
    for (const finding& f : found) {
      out += f.kind == FINDING_OK        ? "ok: "
             : f.kind == FINDING_WARNING ? "warning: "
                                         : "problem: ";
      out += f.text + "\n";
    }
    return out;
  }

  scoped_test_log log;
};

TEST_F(CheckIni, LineFindings) {
  const struct {
    const char* ini;
    const char* findings;
  } cases[] = {
      {"smtp 127.0.0.1\nlogging errors\n\n   \n", ""},
      {"a\nb\nc\nd\ne\nf\nsmpt 127.0.0.1\n",
       "warning: line 1 ignored (not a keyword)\n"
       "warning: line 2 ignored (not a keyword)\n"
       "warning: line 3 ignored (not a keyword)\n"
       "warning: line 4 ignored (not a keyword)\n"
       "warning: line 5 ignored (not a keyword)\n"
       "warning: line 6 ignored (not a keyword)\n"
       "problem: line 7: \"smpt 127.0.0.1\" is not a keyword; did you mean "
       "\"smtp\"?\n"},
      {"smtp x\r\n# a note\r\nhederline To: a@b.c\r\n",
       "warning: line 2 ignored (not a keyword)\n"
       "problem: line 3: \"hederline To: a@b.c\" is not a keyword; did you "
       "mean \"headerline\"?\n"},
      {" smtp x\nsmtp_pasword Secret-1\n",
       "problem: line 1: \" smtp x\" is not a keyword; did you mean "
       "\"smtp\"?\n"
       "problem: line 2: \"smtp_pasword ********\" is not a keyword; did you "
       "mean \"smtp_password\"?\n"},
      {"smtp_timeout 0\n",
       "problem: line 1: \"smtp_timeout 0\" is not used: smtp_timeout (0) is "
       "not a positive number of seconds, keeping 30\n"},
      {"cors_origin *\n",
       "problem: line 1: \"cors_origin *\" is not used: cors_origin (*) is not "
       "an origin such as https://www.example.com: not used\n"},
      {"add_kolvex_link true\n",
       "problem: line 1: \"add_kolvex_link true\" is not used: a run ignores "
       "this value\n"},
      {"smtp_password secret\nsmtp_tls plain\n",
       "problem: line 2: \"smtp_tls plain\" is not used: smtp_tls (plain) is "
       "neither starttls nor implicit; no mail will be sent\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini);
    std::unique_ptr<checked_ini> ini(new checked_ini);
    EXPECT_EQ(shown(read(c.ini, ini.get())), c.findings);
  }
}

TEST_F(CheckIni, MessageSettings) {
  const char* const kWhole =
      "headerline From: a@example.com\nheaderline To: b@example.com\n"
      "headerline Subject: Hi\nlogging errors\nsmtp 127.0.0.1\n";
  const struct {
    std::string ini;
    const char* findings;
  } cases[] = {
      {kWhole, ""},
      {"headerline To: b@example.com\nlogging errors\n",
       "problem: no From entry (headerline or "
       "use_submitted_variable_for_headerline \"From:\"): a run sends no mail\n"
       "problem: no Subject entry (headerline or "
       "use_submitted_variable_for_headerline \"Subject:\"): a run sends no "
       "mail\n"
       "problem: no smtp line: a run has no mail server\n"},
      {"headerline From: a@example.com\nheaderline Subject: Hi\n"
       "recipient_field Dept\nrecipient_alias sales s@example.com\n"
       "logging errors\nsmtp 127.0.0.1\n",
       ""},
      {std::string(kWhole) + "use_submitted_variable_for_headerline From:\n",
       "warning: the From is taken from the form (From:): mail providers' "
       "DMARC checks refuse mail whose From is not of the sending site; give "
       "a fixed From and let reply_to_field carry the visitor's address\n"},
      {std::string(kWhole) + "allowed_recipient @example.com\n", ""},
      {std::string(kWhole) +
           "allowed_recipient @example.org\nheaderline CC: c@example.org\n",
       "problem: the recipient b@example.com matches no allowed_recipient "
       "line: a run sends it nothing\n"},
      {std::string(kWhole) + "logging debug\n",
       "warning: logging debug: the log stores all that visitors type; write "
       "\"logging errors\" once the form works\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini);
    std::unique_ptr<checked_ini> ini(new checked_ini);
    ASSERT_EQ(shown(read(c.ini, ini.get())), "");
    finding_list found;
    check_message_settings(*ini, &found);
    EXPECT_EQ(shown(found), c.findings);
  }
}

TEST_F(CheckIni, ProbeRecipients) {
  const struct {
    const char* ini;
    const char* from;
    std::vector<std::string> recipients;
  } cases[] = {
      {"headerline From: <me@example.com>\nheaderline To: a@example.com\n"
       "headerline CC: c@example.com\nheaderline BCC: a@example.com\n",
       "me@example.com", {"a@example.com", "c@example.com"}},
      {"use_submitted_variable_for_headerline From:\n"
       "headerline To: a@example.com\nrecipient_field Dept\n"
       "recipient_alias x d@example.com\nrecipient_alias y e@example.com\n",
       "", {"d@example.com", "e@example.com"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini);
    std::unique_ptr<checked_ini> ini(new checked_ini);
    read(c.ini, ini.get());
    std::string from = "unset";
    EXPECT_EQ(probe_recipients(*ini, &from), c.recipients);
    EXPECT_EQ(from, c.from);
  }
}

TEST(PageTokens, UnexplainedTokensWarn) {
  const std::string page =
      "<p>||Name:|| a || b ||Email:|| ||_invalid_fields|| ||Name:|| "
      "||Dept|| ||Shoe size|| ||</p>";
  EXPECT_EQ(page_tokens(page),
            (std::vector<std::string>{"Name:", "Email:", "_invalid_fields",
                                      "Dept", "Shoe size"}));
  finding_list found;
  check_page_tokens(page, "success_html_page", {"Name:", "Dept"}, &found);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].kind, FINDING_WARNING);
  EXPECT_NE(found[0].text.find("||Email:||"), std::string::npos);
  EXPECT_NE(found[1].text.find("||Shoe size||"), std::string::npos);
}

TEST(UserMay, ModesOwnerAndGroups) {
  os_user_ids web;
  web.uid = 33;
  web.groups = {33, 100};
  os_user_ids root;
  root.uid = 0;
  root.groups = {0};
  auto file = [](unsigned mode, unsigned uid, unsigned gid, bool folder) {
    os_file_facts f;
    f.exists = true;
    f.is_folder = folder;
    f.is_regular = !folder;
    f.mode = mode;
    f.uid = uid;
    f.gid = gid;
    return f;
  };
  os_file_facts missing;
  const struct {
    const char* name;
    os_file_facts file;
    const os_user_ids* user;
    unsigned want;
    bool may;
  } cases[] = {
      {"owner may write", file(0600, 33, 0, false), &web, 2, true},
      {"owner without w", file(0460, 33, 100, false), &web, 2, false},
      {"owner bits decide, not group", file(0460, 33, 100, false), &web, 4,
       true},
      {"supplementary group", file(0660, 0, 100, false), &web, 2, true},
      {"group bits decide, not other", file(0606, 0, 100, false), &web, 2,
       false},
      {"other", file(0602, 0, 0, false), &web, 2, true},
      {"folder w without x", file(0772, 0, 0, true), &web, 3, false},
      {"folder w and x", file(0773, 0, 0, true), &web, 3, true},
      {"root writes anything", file(0400, 33, 33, false), &root, 2, true},
      {"root runs only with an x", file(0600, 0, 0, false), &root, 1, false},
      {"missing", missing, &web, 4, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(user_may(c.file, *c.user, c.want), c.may);
  }
  // A missing file is judged by its folder; a folder where a file belongs
  // cannot be written as one.
  EXPECT_TRUE(user_can_write(missing, file(0775, 0, 100, true), web));
  EXPECT_FALSE(user_can_write(missing, file(0755, 0, 100, true), web));
  EXPECT_FALSE(user_can_write(file(0777, 33, 33, true), file(0777, 0, 0, true),
                              web));
  EXPECT_FALSE(user_can_write(file(0640, 0, 33, false),
                              file(0777, 0, 0, true), web));
}

TEST(ServedFolder, WebRootsButNotCgiBin) {
  const struct {
    const char* path;
    const char* document_root;
    const char* served;
  } cases[] = {
      {"/var/www/html/mailer.ini", "", "/var/www"},
      {"/var/www/cgi-bin/mailer.ini", "", ""},
      {"/srv/site/mailer.log", "", "/srv"},
      {"/home/ann/public_html/form/mailer.ini", "",
       "/home/ann/public_html"},
      {"/home/ann/public_html/cgi-bin/mailer.ini", "", ""},
      {"C:\\inetpub\\wwwroot\\mailer.ini", "", "C:\\inetpub\\wwwroot"},
      {"/opt/site/docs/mailer.rate", "/opt/site/docs/", "/opt/site/docs"},
      {"/opt/site/docs2/mailer.rate", "/opt/site/docs", ""},
      {"/usr/lib/cgi-bin/mailer.ini", "", ""},
      {"/var/wwwdata/mailer.ini", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(served_folder_of(c.path, c.document_root), c.served);
  }
}

// A stand-in for the services' probe: records each call and answers from
// a table keyed by host.
struct service_call {
  std::string host;
  int port;
  bool tls;
  std::string ca;
  int timeout;
};
std::vector<service_call> service_calls;
bool scripted_service_probe(const http_url& url, const char* ca_file,
                            int timeout_seconds, http_response* response) {
  service_calls.push_back({url.host, url.port, url.tls,
                           ca_file != nullptr ? ca_file : "(system)",
                           timeout_seconds});
  if (url.host == "down.example") {
    response->failure = HTTP_NO_CONNECTION;
    response->detail = "Connection Refused";
    return false;
  }
  if (url.host == "bad-cert.example") {
    response->failure = HTTP_TLS_FAILED;
    response->detail = "TLS certificate not trusted: self-signed";
    return false;
  }
  return true;
}

TEST_F(CheckIni, ServiceFindings) {
  const struct {
    const char* ini;
    const char* findings;
    std::vector<std::string> calls;  // host:port tls ca timeout
  } cases[] = {
      {"smtp 127.0.0.1\n", "", {}},
      {"captcha_provider turnstile\ncaptcha_secret s3cret\nsmtp_timeout 9\n",
       "ok: CAPTCHA verify URL https://challenges.cloudflare.com/turnstile/v0/"
       "siteverify: reachable, certificate accepted\n",
       {"challenges.cloudflare.com:443 tls (system) 9"}},
      {"captcha_provider hcaptcha\n",
       "problem: captcha_provider is set without captcha_secret: no token can "
       "be verified, so no post would be mailed\n"
       "ok: CAPTCHA verify URL https://api.hcaptcha.com/siteverify: "
       "reachable, certificate accepted\n",
       {"api.hcaptcha.com:443 tls (system) 30"}},
      {"captcha_provider recaptcha\ncaptcha_secret s\n"
       "captcha_verify_url https://bad-cert.example:8443/v\n"
       "captcha_tls_ca certs/ca.pem\n"
       "webhook_url http://127.0.0.1:9/hook\n",
       "problem: CAPTCHA verify URL https://bad-cert.example:8443/v: TLS "
       "failed (TLS certificate not trusted: self-signed)\n"
       "ok: webhook URL http://127.0.0.1:9/hook: reachable\n",
       {"bad-cert.example:8443 tls /site/certs/ca.pem 30",
        "127.0.0.1:9 plain (system) 30"}},
      {"captcha_verify_url https://v.example/\n"
       "webhook_url https://down.example/hook\n",
       "problem: webhook URL https://down.example/hook: no connection "
       "(Connection Refused)\n",
       {"down.example:443 tls (system) 30"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini);
    std::unique_ptr<checked_ini> ini(new checked_ini);
    ASSERT_EQ(shown(read(c.ini, ini.get())), "");
    service_calls.clear();
    finding_list found;
    check_service_settings(ini->settings, &found);
    probe_services(ini->settings, "/site", scripted_service_probe, &found);
    EXPECT_EQ(shown(found), c.findings);
    std::vector<std::string> calls;
    for (const service_call& call : service_calls) {
      calls.push_back(call.host + ":" + std::to_string(call.port) +
                      (call.tls ? " tls " : " plain ") + call.ca + " " +
                      std::to_string(call.timeout));
    }
    EXPECT_EQ(calls, c.calls);
  }
}

TEST(ArchivePlace, ProblemsAndWarnings) {
  os_user_ids web;
  web.name = "www-data";
  web.uid = 33;
  web.groups = {33};
  auto facts = [](unsigned mode, unsigned uid, bool folder) {
    os_file_facts f;
    f.exists = true;
    f.is_folder = folder;
    f.is_regular = !folder;
    f.mode = mode;
    f.uid = uid;
    return f;
  };
  const os_file_facts none;
  const os_file_facts web_folder = facts(0755, 33, true);
  const struct {
    const char* name;
    const char* path;
    os_entry_kind entry;
    os_file_facts file, folder;
    bool judged;
    const char* findings;
  } cases[] = {
      {"new file in a folder the user owns", "/srv-data/posts.jsonl",
       OS_ENTRY_MISSING, none, web_folder, true,
       "ok: the user www-data can append to the archive "
       "/srv-data/posts.jsonl\n"},
      {"folder missing", "/gone/posts.jsonl", OS_ENTRY_MISSING, none, none,
       true,
       "problem: archive_file /gone/posts.jsonl: the folder /gone does not "
       "exist: no post would be kept\n"},
      {"folder of root", "/data/posts.jsonl", OS_ENTRY_MISSING, none,
       facts(0755, 0, true), true,
       "problem: the user www-data cannot create the archive "
       "/data/posts.jsonl: no post would be kept\n"},
      {"file of root, others read", "/data/posts.jsonl", OS_ENTRY_REGULAR,
       facts(0644, 0, false), web_folder, true,
       "problem: the user www-data cannot append to the archive "
       "/data/posts.jsonl: no post would be kept\n"
       "warning: archive_file /data/posts.jsonl lets every user read the "
       "submissions (mode 0644): take the others' read permission away "
       "(chmod o-r)\n"},
      {"link to a good file", "/data/posts.jsonl", OS_ENTRY_LINK,
       facts(0600, 33, false), web_folder, true,
       "problem: archive_file /data/posts.jsonl is a symbolic link, which a "
       "run never writes through: no post would be kept\n"},
      {"a folder where the file belongs", "/data/posts", OS_ENTRY_OTHER,
       facts(0777, 33, true), web_folder, true,
       "problem: archive_file /data/posts is not a regular file: no post "
       "would be kept\n"},
      {"served, rights not judged", "/var/www/html/posts.jsonl",
       OS_ENTRY_REGULAR, facts(0600, 0, false), web_folder, false,
       "warning: archive_file /var/www/html/posts.jsonl lies inside /var/www, "
       "which a web server may serve as files: anyone could download every "
       "submission; keep the archive outside it\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    archive_place place;
    place.path = c.path;
    place.entry = c.entry;
    place.file = c.file;
    place.folder = c.folder;
    finding_list found;
    check_archive_place(place, c.judged ? &web : nullptr, "", &found);
    EXPECT_EQ(CheckIni::shown(found), c.findings);
  }
}

TEST(PrintFindings, ExitStatusFollowsProblems) {
  const struct {
    finding_list found;
    int status;
    const char* last_line;
  } cases[] = {
      {{}, 0, "check: 0 problem(s), 0 warning(s)\n"},
      {{{FINDING_OK, "a"}, {FINDING_WARNING, "b"}},
       0,
       "check: 0 problem(s), 1 warning(s)\n"},
      {{{FINDING_PROBLEM, "c"}, {FINDING_WARNING, "b"}},
       1,
       "check: 1 problem(s), 1 warning(s)\n"},
  };
  for (const auto& c : cases) {
    char* data = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    EXPECT_EQ(print_findings(c.found, out), c.status);
    fclose(out);
    std::string text(data, size);
    free(data);
    EXPECT_TRUE(text.ends_with(c.last_line)) << text;
  }
}

}  // namespace
}  // namespace tarvelo
