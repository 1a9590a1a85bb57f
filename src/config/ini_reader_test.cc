#include "config/ini_reader.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <memory>
#include <string>

#include "support/log.h"
#include "testing/test_support.h"

namespace tarvelo {
namespace {

struct loaded {
  mail_settings settings;
  entry_list headers;
  entry_list body;
};

form_table* sample_form() {
  static form_table table;
  static bool filled = false;
  if (!filled) {
    // Parsed with the log off, so no test sees its lines.
    const char* path = log_path();
    log_set_path(nullptr);
    static char body[] = "Subject:=Hello&Name:=Joe";
    parse_form_body(body, &table);
    log_set_path(path);
    filled = true;
  }
  return &table;
}

loaded* parse(const std::string& text) {
  static loaded* result;
  result = new loaded();
  parse_ini_text(text.data(), static_cast<long>(text.size()),
                 &result->settings, &result->headers, &result->body,
                 sample_form());
  return result;
}

TEST(IniReaderTest, EmptyFileKeepsInitialValues) {
  scoped_test_log log;
  loaded* l = parse("");
  EXPECT_EQ(nullptr, l->settings.smtp);
  EXPECT_EQ(nullptr, l->settings.logging);
  EXPECT_STREQ("\r\n", l->settings.line_end);
  EXPECT_EQ(HELLO_HELO, l->settings.hello_method);
  EXPECT_TRUE(l->settings.add_kolvex_link);
  EXPECT_FALSE(l->settings.no_padding);
  EXPECT_EQ(30, l->settings.smtp_timeout);
  EXPECT_EQ(0, l->headers.count);
  EXPECT_EQ(0, l->body.count);
  EXPECT_EQ("", log.messages());
}

TEST(IniReaderTest, KeywordTableAndPrefixRules) {
  scoped_test_log log;
  struct {
    const char* line;
    bool used;
    std::string (*probe)(const loaded&);
    const char* expected;
  } cases[] = {
      {"smtp mail.example.com ", true,
       [](const loaded& l) { return std::string(l.settings.smtp); },
       "mail.example.com "},
      {"smtp", false,
       [](const loaded& l) { return std::string(l.settings.smtp ? "set" : "absent"); },
       "absent"},
      {" smtp x", false,
       [](const loaded& l) { return std::string(l.settings.smtp ? "set" : "absent"); },
       "absent"},
      {"SMTP x", false,
       [](const loaded& l) { return std::string(l.settings.smtp ? "set" : "absent"); },
       "absent"},
      {"hello_method HELO", true,
       [](const loaded& l) { return std::string(l.settings.hello_method == HELLO_HELO ? "HELO" : "EHLO"); },
       "HELO"},
      {"hello_method HELOX", true,
       [](const loaded& l) { return std::string(l.settings.hello_method == HELLO_HELO ? "HELO" : "EHLO"); },
       "HELO"},
      {"hello_method EHLO", true,
       [](const loaded& l) { return std::string(l.settings.hello_method == HELLO_HELO ? "HELO" : "EHLO"); },
       "EHLO"},
      {"hello_method helo", true,
       [](const loaded& l) { return std::string(l.settings.hello_method == HELLO_HELO ? "HELO" : "EHLO"); },
       "EHLO"},
      {"hello_method ", true,
       [](const loaded& l) { return std::string(l.settings.hello_method == HELLO_HELO ? "HELO" : "EHLO"); },
       "EHLO"},
      {"email_CR LFCR", true,
       [](const loaded& l) { return std::string(l.settings.line_end); }, "\r\n"},
      {"email_CR CR", true,
       [](const loaded& l) { return std::string(l.settings.line_end); }, "\n"},
      {"email_CR CRLF", true,
       [](const loaded& l) { return std::string(l.settings.line_end); }, "\n"},
      {"email_CR_CR", true,
       [](const loaded& l) { return std::string(l.settings.line_end); }, "\n"},
      {"email_CR lfcr", false,
       [](const loaded& l) { return std::string(l.settings.line_end); }, "\r\n"},
      {"email_CR ", false,
       [](const loaded& l) { return std::string(l.settings.line_end); }, "\r\n"},
      {"no_padding false", true,
       [](const loaded& l) { return std::string(l.settings.no_padding ? "on" : "off"); },
       "on"},
      {"remove_empty_variable", true,
       [](const loaded& l) { return std::string(l.settings.remove_empty_variables ? "on" : "off"); },
       "on"},
      {"add_headerline_colonX", true,
       [](const loaded& l) { return std::string(l.settings.add_headerline_colon ? "on" : "off"); },
       "on"},
      {"add_kolvex_link false", true,
       [](const loaded& l) { return std::string(l.settings.add_kolvex_link ? "on" : "off"); },
       "off"},
      {"add_kolvex_link true", false,
       [](const loaded& l) { return std::string(l.settings.add_kolvex_link ? "on" : "off"); },
       "on"},
      {"add_kolvex_link False", false,
       [](const loaded& l) { return std::string(l.settings.add_kolvex_link ? "on" : "off"); },
       "on"},
      {"add_kolvex_link false ", false,
       [](const loaded& l) { return std::string(l.settings.add_kolvex_link ? "on" : "off"); },
       "on"},
      {"sendall true", true,
       [](const loaded& l) { return std::string(l.settings.sendall); }, "true"},
      {"success_html_page /p/ok.html", true,
       [](const loaded& l) { return std::string(l.settings.success_html_page); },
       "/p/ok.html"},
      {"failure_html_page ", true,
       [](const loaded& l) { return std::string(l.settings.failure_html_page); },
       ""},
      {"logging errors", true,
       [](const loaded& l) { return std::string(l.settings.logging); }, "errors"},
      {"smtp_timeout 2", true,
       [](const loaded& l) { return std::to_string(l.settings.smtp_timeout); }, "2"},
      {"smtp_timeout 0", false,
       [](const loaded& l) { return std::to_string(l.settings.smtp_timeout); }, "30"},
      {"smtp_timeout -4", false,
       [](const loaded& l) { return std::to_string(l.settings.smtp_timeout); }, "30"},
      {"smtp_timeout 5s", false,
       [](const loaded& l) { return std::to_string(l.settings.smtp_timeout); }, "30"},
      {"smtp_timeout ", false,
       [](const loaded& l) { return std::to_string(l.settings.smtp_timeout); }, "30"},
      {"smtp_timeout 86400", true,
       [](const loaded& l) { return std::to_string(l.settings.smtp_timeout); }, "86400"},
      {"smtp_timeout 86401", false,
       [](const loaded& l) { return std::to_string(l.settings.smtp_timeout); }, "30"},
      {"smtp_timeout 0000000000000000000007", true,
       [](const loaded& l) { return std::to_string(l.settings.smtp_timeout); }, "7"},
      // 2^64 + 7: wrapping arithmetic must not make it 7.
      {"smtp_timeout 18446744073709551623", false,
       [](const loaded& l) { return std::to_string(l.settings.smtp_timeout); }, "30"},
      {"rate_limit 1000000", true,
       [](const loaded& l) { return std::to_string(l.settings.rate_limit); }, "1000000"},
      {"rate_limit 1000001", false,
       [](const loaded& l) { return std::to_string(l.settings.rate_limit); }, "0"},
      {"remove_empty_variables", true,
       [](const loaded& l) { return std::string(l.settings.remove_empty_variables ? "on" : "off"); },
       "on"},
      {"remove_empty_variabl", false,
       [](const loaded& l) { return std::string(l.settings.remove_empty_variables ? "on" : "off"); },
       "off"},
      {"add_standard_headers", true,
       [](const loaded& l) { return std::string(l.settings.add_standard_headers ? "on" : "off"); },
       "on"},
      {"email_CR", false,
       [](const loaded& l) { return std::string(l.settings.line_end); }, "\r\n"},
      {"email_CRLFCR", false,
       [](const loaded& l) { return std::string(l.settings.line_end); }, "\r\n"},
      {"email_CRXCR", true,
       [](const loaded& l) { return std::string(l.settings.line_end); }, "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    log_set_logging(nullptr);
    write_file(log.path(), "");
    loaded* l = parse(std::string(c.line) + "\n");
    EXPECT_EQ(c.expected, c.probe(*l));
    bool logged_used =
        log.messages().find("line used from ini file {" + std::string(c.line) +
                            "}") != std::string::npos;
    // A logging line that turns debug off also hides its own "line used".
    if (std::string(c.line) != "logging errors") {
      EXPECT_EQ(c.used, logged_used);
    }
  }
  log_set_logging(nullptr);
}

TEST(IniReaderTest, TlsAuthSpoolAndAbuseKeywords) {
  scoped_test_log log;
  loaded* l = parse(
      "smtp_tls starttls\nsmtp_tls_ca /etc/relay.pem\nsmtp_user joe\n"
      "smtp_password s3cret pass\nadd_standard_headers on\n"
      "charset ISO-8859-1\nspool_folder /var/spool/forms\n"
      "queued_html_page /p/queued.html\nallowed_recipient a@example.com\n"
      "allowed_recipient @example.org\nreply_to_field Email:\n"
      "honeypot_field website\nrate_limit 5\n");
  const mail_settings& s = l->settings;
  EXPECT_EQ(TLS_STARTTLS, s.smtp_tls);
  EXPECT_STREQ("/etc/relay.pem", s.smtp_tls_ca);
  EXPECT_STREQ("joe", s.smtp_user);
  EXPECT_STREQ("s3cret pass", s.smtp_password);
  EXPECT_TRUE(s.add_standard_headers);
  EXPECT_STREQ("ISO-8859-1", s.charset);
  EXPECT_STREQ("/var/spool/forms", s.spool_folder);
  EXPECT_STREQ("/p/queued.html", s.queued_html_page);
  ASSERT_EQ(2, s.allowed_recipient_count);
  EXPECT_STREQ("@example.org", s.allowed_recipients[1]);
  EXPECT_STREQ("Email:", s.reply_to_field);
  EXPECT_STREQ("website", s.honeypot_field);
  EXPECT_EQ(5, s.rate_limit);
  std::string messages = log.messages();
  EXPECT_EQ(13u, static_cast<size_t>(std::count(messages.begin(),
                                                messages.end(), '\n')));
  EXPECT_NE(std::string::npos,
            messages.find("line used from ini file {smtp_password ********}"));
  EXPECT_EQ(std::string::npos, messages.find("s3cret"));

  EXPECT_EQ(TLS_IMPLICIT, parse("smtp_tls implicit\n")->settings.smtp_tls);
  EXPECT_STREQ("UTF-8", parse("")->settings.charset);
}

TEST(IniReaderTest, UnusableValuesKeepDefaultsWithErrorLine) {
  scoped_test_log log;
  log_set_logging("errors");
  struct {
    const char* line;
    const char* error;
  } cases[] = {
      {"smtp_tls STARTTLS",
       "smtp_tls (STARTTLS) is neither starttls nor implicit; no mail will be "
       "sent\n"},
      {"rate_limit 0", "rate_limit (0) is not a positive number, keeping no "
                       "limit\n"},
      {"rate_limit ten", "rate_limit (ten) is not a positive number, keeping "
                         "no limit\n"},
      {"charset ", "charset () is not a charset name, keeping UTF-8\n"},
      {"charset utf-8?x", "charset (utf-8?x) is not a charset name, keeping "
                          "UTF-8\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    write_file(log.path(), "");
    loaded* l = parse(std::string(c.line) + "\n");
    EXPECT_EQ(c.error, log.messages());
    EXPECT_EQ(0, l->settings.rate_limit);
    EXPECT_STREQ("UTF-8", l->settings.charset);
  }
  // An unknown TLS mode must not quietly mean plain text.
  EXPECT_EQ(TLS_INVALID, parse("smtp_tls yes\n")->settings.smtp_tls);
}

TEST(IniReaderTest, UnusableTimeoutIsAnErrorLine) {
  scoped_test_log log;
  log_set_logging("errors");
  parse("smtp_timeout soon\n");
  EXPECT_EQ("smtp_timeout (soon) is not a positive number of seconds, "
            "keeping 30\n",
            log.messages());
}

TEST(IniReaderTest, ListsTakeSubmittedValuesAtLoadTime) {
  scoped_test_log log;
  loaded* l = parse(
      "headerline To: \"Me\" <me@example.com>\n"
      "use_submitted_variable_for_headerline Subject:\n"
      "use_submitted_variable_for_headerline Status:\n"
      "bodycontent_line Details:\n"
      "use_submitted_variable_for_bodycontent Name:\n"
      "use_submitted_variable_for_bodycontent Name: \n");
  ASSERT_EQ(3, l->headers.count);
  EXPECT_STREQ("To: \"Me\" <me@example.com>", l->headers.names[0]);
  EXPECT_STREQ("", l->headers.values[0]);
  EXPECT_STREQ("Subject:", l->headers.names[1]);
  EXPECT_STREQ("Hello", l->headers.values[1]);
  EXPECT_STREQ("Status:", l->headers.names[2]);
  EXPECT_STREQ("", l->headers.values[2]);
  ASSERT_EQ(3, l->body.count);
  EXPECT_STREQ("Details:", l->body.names[0]);
  EXPECT_STREQ("Joe", l->body.values[1]);
  // Trailing characters belong to the field name.
  EXPECT_STREQ("Name: ", l->body.names[2]);
  EXPECT_STREQ("", l->body.values[2]);
  std::string messages = log.messages();
  EXPECT_NE(std::string::npos,
            messages.find("add_header_line(Subject:,Hello)\n"));
  EXPECT_NE(std::string::npos, messages.find("add_body_variable(Name:,Joe}\n"));
}

TEST(IniReaderTest, LoggingErrorsAsThirdLineHidesLaterDebugLines) {
  scoped_test_log log;
  parse("smtp 127.0.0.1\nsendall false\nlogging errors\nno_padding\n");
  EXPECT_EQ(
      "line used from ini file {smtp 127.0.0.1}\n"
      "line used from ini file {sendall false}\n",
      log.messages());
}

TEST(IniReaderTest, LoggingGivenAgainFreesTheOldValue) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator does not report to mallinfo2";
#else
  static loaded l;
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "logging errors\n";
  form_table* form = sample_form();
  const char* path = log_path();
  log_set_path(nullptr);
  size_t before = mallinfo2().uordblks;
  parse_ini_text(text.data(), static_cast<long>(text.size()), &l.settings,
                 &l.headers, &l.body, form);
  size_t grown = mallinfo2().uordblks - before;
  // The log follows the last copy, the only one left.
  EXPECT_EQ(l.settings.logging, log_logging());
  EXPECT_STREQ("errors", l.settings.logging);
  EXPECT_LT(grown, 1000u);
  log_set_logging(nullptr);
  log_set_path(path);
#endif
}

TEST(IniReaderTest, LastSettingWinsAndCarriageReturnOnlyFileIsOneLine) {
  scoped_test_log log;
  loaded* l = parse("smtp a\r\nsmtp b\r\n");
  EXPECT_STREQ("b", l->settings.smtp);
  l = parse("smtp a\rlogging errors\rsendall true\r");
  EXPECT_STREQ("a", l->settings.smtp);
  EXPECT_EQ(nullptr, l->settings.logging);
  EXPECT_EQ(nullptr, l->settings.sendall);
}

TEST(IniReaderTest, LongLinesArriveInPieces) {
  scoped_test_log log;
  log_set_logging("errors");
  std::string name(63997 - 17, 'n');
  loaded* l = parse("bodycontent_line " + name + "smtp tail\n");
  ASSERT_EQ(1, l->body.count);
  EXPECT_EQ(name, l->body.names[0]);
  ASSERT_NE(nullptr, l->settings.smtp);
  EXPECT_STREQ("tail", l->settings.smtp);
}

TEST(IniReaderTest, ThousandEntriesPerList) {
  scoped_test_log log;
  std::string text;
  for (int i = 0; i < 1001; ++i)
    text += "bodycontent_line line" + std::to_string(i) + "\n";
  loaded* l = parse(text);
  EXPECT_EQ(1000, l->body.count);
  EXPECT_STREQ("line999", l->body.names[999]);
  EXPECT_NE(std::string::npos,
            log.messages().find("add_body_variable(line1000,}\n"
                                "line used from ini file {bodycontent_line "
                                "line1000}\n"));
}

// The reply, validation and alias settings that differ from their
// defaults, in a fixed order, "; " between.
std::string reply_settings(const mail_settings& s) {
  std::string out;
  auto add = [&out](const std::string& item) {
    out += (out.empty() ? "" : "; ") + item;
  };
  if (s.json_replies) add("json_replies");
  for (int i = 0; i < s.cors_origin_count; ++i)
    add(std::string("cors=") + s.cors_origins[i]);
  const char* texts[] = {s.success_redirect,  s.failure_redirect,
                         s.queued_redirect,   s.invalid_redirect,
                         s.invalid_html_page, s.recipient_field};
  const char* names[] = {"success", "failure", "queued",
                         "invalid", "page",    "recipient_field"};
  for (int i = 0; i < 6; ++i)
    if (texts[i] != nullptr) add(std::string(names[i]) + "=" + texts[i]);
  for (int i = 0; i < s.field_rule_count; ++i)
    add((s.field_rules[i].kind == FIELD_EMAIL ? "email:" : "required:") +
        std::string(s.field_rules[i].name));
  for (int i = 0; i < s.recipient_alias_count; ++i)
    add(std::string("alias:") + s.alias_tokens[i] + "=" + s.alias_addresses[i]);
  if (s.client_ip_header) add("client_ip_header");
  return out;
}

TEST(IniReaderTest, ReplyAndValidationKeywords) {
  scoped_test_log log;
  const std::string url = " is not an http or https URL or a path on this "
                          "site: the page is used\n";
  const std::string origin = " is not an origin such as "
                             "https://www.example.com: not used\n";
  const std::string alias = " is not a token and one e-mail address: not "
                            "used\n";
  struct {
    const char* line;
    std::string settings;  // reply_settings afterwards
    std::string error;     // "" when the line is used
  } cases[] = {
      {"json_replies off", "json_replies", ""},
      {"client_ip_header", "client_ip_header", ""},
      {"cors_origin HTTP://Shop.Example:8080", "cors=HTTP://Shop.Example:8080",
       ""},
      {"cors_origin *", "", "cors_origin (*)" + origin},
      {"cors_origin null", "", "cors_origin (null)" + origin},
      {"success_redirect /thanks.html", "success=/thanks.html", ""},
      {"failure_redirect https://a.example/x", "failure=https://a.example/x",
       ""},
      {"queued_redirect /later", "queued=/later", ""},
      {"invalid_redirect /check", "invalid=/check", ""},
      {"success_redirect //evil.example", "",
       "success_redirect (//evil.example)" + url},
      {"invalid_redirect ", "", "invalid_redirect ()" + url},
      {"invalid_html_page /p/inv.html", "page=/p/inv.html", ""},
      {"required_field Name", "required:Name", ""},
      {"email_field Email:", "email:Email:", ""},
      {"required_field ", "", "required_field needs a field name: not used\n"},
      {"email_field ", "", "email_field needs a field name: not used\n"},
      {"recipient_field ", "",
       "recipient_field needs a field name: not used\n"},
      {"recipient_alias sales s@example.com", "alias:sales=s@example.com", ""},
      {"recipient_alias sales", "", "recipient_alias (sales)" + alias},
      {"recipient_alias  s@example.com", "",
       "recipient_alias ( s@example.com)" + alias},
      {"recipient_alias sales  s@example.com", "",
       "recipient_alias (sales  s@example.com)" + alias},
      {"recipient_alias sales a@b.c, d@e.f", "",
       "recipient_alias (sales a@b.c, d@e.f)" + alias},
      {"cors_origins https://a.example", "", "-"},  // no keyword: no line
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    write_file(log.path(), "");
    loaded* l = parse(std::string(c.line) + "\n");
    EXPECT_EQ(c.settings, reply_settings(l->settings));
    std::string used = "line used from ini file {" + std::string(c.line) + "}\n";
    EXPECT_EQ(c.error.empty() ? used : c.error == "-" ? "" : c.error,
              log.messages());
  }
  // The recipient_field line is noted once, after the whole ini.
  write_file(log.path(), "");
  parse("recipient_field Dept\nsmtp x\n");
  EXPECT_EQ("line used from ini file {recipient_field Dept}\n"
            "line used from ini file {smtp x}\n"
            "recipient_field (Dept) is set: To comes from recipient_alias, "
            "other To entries are not used\n",
            log.messages());
}

TEST(IniReaderTest, RepeatedReplyKeywords) {
  scoped_test_log log;
  log_set_logging("errors");
  struct {
    const char* ini;
    const char* settings;
  } cases[] = {
      // Texts: the later usable value wins; a refused one keeps the earlier.
      {"success_redirect /a\nsuccess_redirect /b\n", "success=/b"},
      {"success_redirect /a\nsuccess_redirect //b\n", "success=/a"},
      {"recipient_field A\nrecipient_field B\nrecipient_field \n",
       "recipient_field=B"},
      // Lists keep ini order, both kinds of field rule in one list.
      {"email_field E\nrequired_field N\nrequired_field E\n",
       "email:E; required:N; required:E"},
      {"cors_origin http://a.x\ncors_origin *\ncors_origin http://b.x\n",
       "cors=http://a.x; cors=http://b.x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini);
    EXPECT_EQ(c.settings, reply_settings(parse(c.ini)->settings));
  }
  log_set_logging(nullptr);
}

TEST(IniReaderTest, ReplyListsStopAtTheirLimits) {
  scoped_test_log log;
  log_set_logging("errors");
  struct {
    std::string line;  // repeated, then last_line once
    std::string last_line;
    int limit;
    int (*count)(const mail_settings&);
    const char* error;
  } cases[] = {
      {"cors_origin https://a.example", "cors_origin https://b.example", 100,
       [](const mail_settings& s) { return s.cors_origin_count; },
       "cors_origin: more than 100 entries, not used\n"},
      {"required_field f", "email_field e", 200,
       [](const mail_settings& s) { return s.field_rule_count; },
       "email_field: more than 200 entries, not used\n"},
      {"recipient_alias t a@b.c", "recipient_alias u a@b.c", 100,
       [](const mail_settings& s) { return s.recipient_alias_count; },
       "recipient_alias: more than 100 entries, not used\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    write_file(log.path(), "");
    std::string text;
    for (int i = 0; i < c.limit; ++i) text += c.line + "\n";
    EXPECT_EQ(c.limit, c.count(parse(text + c.last_line + "\n")->settings));
    EXPECT_EQ(c.error, log.messages());
  }
  log_set_logging(nullptr);
}

// Every old keyword, none of the new ones: nothing new is set, nothing new
// is logged.
TEST(IniReaderTest, OldKeywordsLeaveReplySettingsAtDefaults) {
  scoped_test_log log;
  loaded* l = parse(
      "smtp 127.0.0.1\nhello_method EHLO\nemail_CR LFCR\nsendall true\n"
      "success_html_page /ok.html\nfailure_html_page /no.html\nno_padding\n"
      "add_headerline_colon\nremove_empty_variables\nadd_kolvex_link false\n"
      "headerline To: a@b.c\nuse_submitted_variable_for_bodycontent Name:\n"
      "smtp_timeout 5\nsmtp_tls starttls\ncharset UTF-8\nspool_folder /s\n"
      "queued_html_page /q.html\nallowed_recipient a@b.c\n"
      "reply_to_field Email\nhoneypot_field hp\nrate_limit 3\n"
      "attachment_types pdf\nmax_attachment_bytes 100\n"
      "add_standard_headers\n");
  EXPECT_EQ("", reply_settings(l->settings));
  EXPECT_EQ(std::string::npos, log.messages().find("recipient_field"));
}

TEST(IniReaderTest, ServiceKeywordsStoreTheirValuesAndHideSecrets) {
  scoped_test_log log;
  log_set_logging("debug");
  loaded* l = parse(
      "captcha_provider hcaptcha\ncaptcha_secret 0xS3cr3t\n"
      "captcha_verify_url https://127.0.0.1:8443/verify\n"
      "captcha_tls_ca ca.pem\nwebhook_url http://127.0.0.1:9/hook\n"
      "webhook_format slack\nwebhook_secret hook-key\n"
      "archive_file /var/tarvelo/archive.jsonl\n");
  const mail_settings& s = l->settings;
  EXPECT_EQ(CAPTCHA_HCAPTCHA, s.captcha_provider);
  EXPECT_STREQ("0xS3cr3t", s.captcha_secret);
  EXPECT_STREQ("https://127.0.0.1:8443/verify", s.captcha_verify_url);
  EXPECT_STREQ("ca.pem", s.captcha_tls_ca);
  EXPECT_STREQ("http://127.0.0.1:9/hook", s.webhook_url);
  EXPECT_EQ(WEBHOOK_SLACK, s.webhook_format);
  EXPECT_STREQ("hook-key", s.webhook_secret);
  EXPECT_STREQ("/var/tarvelo/archive.jsonl", s.archive_file);
  std::string lines = log.messages();
  EXPECT_EQ(std::string::npos, lines.find("0xS3cr3t"));
  EXPECT_EQ(std::string::npos, lines.find("hook-key"));
  EXPECT_NE(std::string::npos,
            lines.find("line used from ini file {captcha_secret ********}"));
  EXPECT_NE(std::string::npos,
            lines.find("line used from ini file {webhook_secret ********}"));
  EXPECT_NE(std::string::npos,
            lines.find("line used from ini file {archive_file "));
  // A webhook URL's path is often its key.
  EXPECT_NE(std::string::npos,
            lines.find("{webhook_url http://127.0.0.1:9/********}"));
  EXPECT_EQ(std::string::npos, lines.find("/hook"));
}

TEST(IniReaderTest, UnusableServiceValuesAreNotStored) {
  scoped_test_log log;
  log_set_logging("debug");
  struct {
    const char* line;
    const char* error;
  } cases[] = {
      {"captcha_provider Turnstile",
       "captcha_provider (Turnstile) is not turnstile, hcaptcha or recaptcha: "
       "no CAPTCHA is checked\n"},
      {"captcha_verify_url ftp://x/",
       "captcha_verify_url (ftp://x/) is not an http or https URL: the "
       "provider's URL is used\n"},
      // In clear text only to this machine.
      {"webhook_url http://hooks.example/x",
       "webhook_url (http://hooks.example/x) is not an https URL (or http to "
       "127.0.0.1): no webhook is sent\n"},
      {"webhook_url https://user@hooks.example/x",
       "webhook_url (https://user@hooks.example/x) is not an https URL (or "
       "http to 127.0.0.1): no webhook is sent\n"},
      {"webhook_format xml",
       "webhook_format (xml) is neither json nor slack, keeping json\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    write_file(log.path(), "");
    loaded* l = parse(std::string(c.line) + "\n");
    std::string lines = log.messages();
    EXPECT_NE(std::string::npos, lines.find(c.error)) << lines;
    EXPECT_EQ(std::string::npos, lines.find("line used")) << lines;
    EXPECT_EQ(CAPTCHA_NONE, l->settings.captcha_provider);
    EXPECT_EQ(nullptr, l->settings.captcha_verify_url);
    EXPECT_EQ(nullptr, l->settings.webhook_url);
    EXPECT_EQ(WEBHOOK_JSON, l->settings.webhook_format);
  }
}

TEST(IniReaderTest, CutLineEnd) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {{"abc\n", "abc"}, {"abc\r\n", "abc"}, {"a\rb\nc", "a"},
               {"a\nb\rc", "a"}, {"", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::string line = c.in;
    cut_line_end(line.data());
    EXPECT_STREQ(c.out, line.c_str());
  }
}

// load_ini reads into a block that doubles from 4096 bytes; sizes around
// each doubling must arrive whole, the last line included, into the tables
// it is given (the first line takes a value from the form).
TEST(IniReaderTest, LoadIniReadsFilesOfEverySizeWhole) {
  std::string dir = fresh_temp_dir();
  form_table form;
  form.names[0] = const_cast<char*>("Name:");
  form.values[0] = const_cast<char*>("Joe");
  form.form_count = 1;
  for (size_t size : {4095u, 4096u, 4097u, 8192u, 30000u}) {
    SCOPED_TRACE(size);
    scoped_test_log log;
    std::string first = "use_submitted_variable_for_bodycontent Name:\n";
    std::string last = "smtp host" + std::to_string(size);
    std::string text(size - first.size() - last.size() - 1, 'x');
    for (size_t i = 79; i < text.size(); i += 80) text[i] = '\n';
    text = first + text + "\n" + last;
    ASSERT_EQ(size, text.size());
    std::string path = dir + "/big" + std::to_string(size) + ".ini";
    write_file(path, text);
    auto settings = std::make_unique<mail_settings>();
    auto headers = std::make_unique<entry_list>();
    auto body = std::make_unique<entry_list>();
    load_ini(path.c_str(), settings.get(), headers.get(), body.get(), &form);
    ASSERT_NE(nullptr, settings->smtp);
    EXPECT_EQ(last.substr(5), settings->smtp);
    EXPECT_EQ(0, headers->count);
    ASSERT_EQ(1, body->count);
    EXPECT_STREQ("Joe", body->values[0]);
  }
}

}  // namespace
}  // namespace tarvelo
