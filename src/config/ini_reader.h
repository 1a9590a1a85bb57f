// The ini file beside the executable: settings, and the ordered header and
// body lists of the message.
//
// State owned here: none; the run keeps the settings and lists of the
// process and has load_ini fill them.
#pragma once

#include <string_view>
#include <vector>

#include "form/form_reader.h"
#include "support/smtp_options.h"

namespace tarvelo {

constexpr int kMaxListEntries = 1000;
constexpr int kIniLineMax = 63997;  // characters read per piece
constexpr int kMaxAllowedRecipients = 1000;
constexpr int kMaxAttachmentTypes = 100;
constexpr int kMaxCorsOrigins = 100;
constexpr int kMaxFieldRules = 200;
constexpr int kMaxRecipientAliases = 100;

// What a field_rule asks of its field.
enum field_rule_kind : unsigned char {
  FIELD_REQUIRED,  // required_field: present and not blank
  FIELD_EMAIL,     // email_field: when not empty, exactly one address
};

// Which CAPTCHA service captcha_provider names; each has its own verify URL
// and form field (service_rules.h).
enum captcha_kind : unsigned char {
  CAPTCHA_NONE,
  CAPTCHA_TURNSTILE,  // Cloudflare Turnstile
  CAPTCHA_HCAPTCHA,
  CAPTCHA_RECAPTCHA,  // Google reCAPTCHA
};

// The body webhook_format asks for.
enum webhook_kind : unsigned char {
  WEBHOOK_JSON,   // the submission record (submission_record.h)
  WEBHOOK_SLACK,  // {"text": ...}, one line per field
};

// One required_field or email_field line, in ini order.
struct field_rule {
  field_rule_kind kind = FIELD_REQUIRED;
  char* name = nullptr;  // heap copy of the field name
};

struct mail_settings {
  char* smtp = nullptr;
  char* logging = nullptr;
  const char* line_end = "\r\n";
  hello_kind hello_method = HELLO_HELO;
  char* sendall = nullptr;
  char* success_html_page = nullptr;
  char* failure_html_page = nullptr;
  bool no_padding = false;
  bool add_headerline_colon = false;
  bool remove_empty_variables = false;
  bool add_kolvex_link = true;
  // Seconds for the whole delivery, connect to the reply to QUIT.
  int smtp_timeout = kDefaultSmtpTimeout;

  // Transport security and authentication (absent: plain SMTP).
  tls_mode smtp_tls = TLS_NONE;
  char* smtp_tls_ca = nullptr;
  char* smtp_user = nullptr;
  char* smtp_password = nullptr;

  // Standards-complete messages: Date, Message-ID, MIME headers, encoded
  // words and quoted-printable bodies.
  bool add_standard_headers = false;
  const char* charset = "UTF-8";
  bool charset_set = false;  // an ini line named it; the page header says so

  // Keep each message in this folder until a server accepted it.
  char* spool_folder = nullptr;
  char* queued_html_page = nullptr;

  // Abuse controls.
  char* reply_to_field = nullptr;
  char* honeypot_field = nullptr;
  int rate_limit = 0;  // per hour and client address; 0: no limit
  int allowed_recipient_count = 0;
  char* allowed_recipients[kMaxAllowedRecipients] = {};

  // Files a post may carry: their extensions, lower case, without dots
  // (attachment_types; none: no file may come), and their size together.
  int attachment_type_count = 0;
  char* attachment_types[kMaxAttachmentTypes] = {};
  long long max_attachment_bytes = kDefaultMaxAttachmentBytes;

  // Replies for pages that post with fetch() and for sites on another
  // origin. Every text here was checked when the ini was read; one that
  // could not be used is not stored.
  bool json_replies = false;
  int cors_origin_count = 0;
  char* cors_origins[kMaxCorsOrigins] = {};
  char* success_redirect = nullptr;
  char* failure_redirect = nullptr;
  char* queued_redirect = nullptr;
  char* invalid_redirect = nullptr;
  char* invalid_html_page = nullptr;

  // Field validation, in ini order.
  int field_rule_count = 0;
  field_rule field_rules[kMaxFieldRules] = {};

  // A menu field whose token picks the one recipient (recipient_alias
  // TOKEN ADDRESS lines); the addresses were checked as single addresses.
  char* recipient_field = nullptr;
  int recipient_alias_count = 0;
  char* alias_tokens[kMaxRecipientAliases] = {};
  char* alias_addresses[kMaxRecipientAliases] = {};

  // Adds X-Originating-IP with the client's address to the message.
  bool client_ip_header = false;

  // CAPTCHA verification: the provider gives the verify URL and the form
  // field; captcha_verify_url (checked as an http or https URL) overrides
  // the URL, captcha_tls_ca trusts only the CAs of that PEM file for it.
  // The secret never reaches the log.
  captcha_kind captcha_provider = CAPTCHA_NONE;
  char* captcha_secret = nullptr;
  char* captcha_verify_url = nullptr;
  char* captcha_tls_ca = nullptr;

  // A post sent or queued is announced to webhook_url (checked: https, or
  // http to 127.0.0.1 only), signed with webhook_secret when set (never
  // logged).
  char* webhook_url = nullptr;
  webhook_kind webhook_format = WEBHOOK_JSON;
  char* webhook_secret = nullptr;

  // A post sent or queued is appended to this file as one JSON line.
  char* archive_file = nullptr;
};

// An ordered list of name/value pairs: the first count entries are set,
// each a heap copy.
struct entry_list {
  int count = 0;
  char* names[kMaxListEntries] = {};
  char* values[kMaxListEntries] = {};
};

// Ends the line at its first carriage return, then at its first line feed.
void cut_line_end(char* line);

// Applies one ini line (already cut) to the settings and lists, looking
// submitted values up in form. Returns the match count: above 0 means the
// line was used. Logs add_header_line / add_body_variable debug lines, and an
// error line for a number, TLS mode or charset that cannot be used (the
// setting keeps its default), and for a cors_origin, redirect URL, field
// name or recipient_alias that reply_rules.h refuses or that would overfill
// its list (the setting stays as it was; the line counts as not used).
int apply_ini_line(const char* line, mail_settings* settings,
                   entry_list* headers, entry_list* body, form_table* form);

// The length of the piece of text that starts at at (at < size): up to and
// including its line feed, at most kIniLineMax characters; a longer line
// arrives as several pieces.
long ini_piece_length(const char* text, long size, long at);

// Parses a whole ini text (as read from the file) line by line, in pieces of
// at most 63997 characters, logging "line used from ini file {%s}" for each
// used line (the lines of the secret keywords, ini_keyword_is_secret, show
// kPasswordMask instead of their values). Also points the log's verbosity at settings->logging as soon as a
// logging line is read. At the end, when recipient_field is set, logs once
// (LOG_DEBUG) that the other To entries are not used.
void parse_ini_text(const char* text, long size, mail_settings* settings,
                    entry_list* headers, entry_list* body, form_table* form);

// Reads the ini file at path and applies it with parse_ini_text to settings,
// headers and body, looking submitted values up in form. When it cannot be
// opened: fail_with_page("The ini file could not be opened."). Allocation
// failures end the process the same way.
void load_ini(const char* path, mail_settings* settings, entry_list* headers,
              entry_list* body, form_table* form);

// Append a copy of the pair to list, after the debug line
// "add_header_line(%s,%s)" or "add_body_variable(%s,%s}" (LOG_DEBUG_DATA);
// nothing is stored beyond 1000 entries, nor a null name or value.
void add_header_line(entry_list* list, const char* name, const char* value);
void add_body_variable(entry_list* list, const char* name, const char* value);

// The ini's keywords as an owner writes them (without the blank that ends
// most of them), in the order the reader tries them.
std::vector<std::string_view> ini_keyword_names();

// The keyword that apply_ini_line would try on line (already cut), by the
// same byte-for-byte prefix match; "" when the line names none. A line
// whose keyword refuses its value still names it.
std::string_view ini_keyword_of_line(const char* line);

// Whether keyword (as ini_keyword_names gives it) holds a password or secret
// that no log line and no finding may show: smtp_password, captcha_secret,
// webhook_secret.
bool ini_keyword_is_secret(std::string_view keyword);

}  // namespace tarvelo
