#include "config/ini_reader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "config/attachment_rules.h"
#include "config/reply_rules.h"
#include "config/service_rules.h"
#include "support/alloc.h"
#include "support/decimal.h"
#include "support/http_url.h"
#include "support/log.h"

namespace tarvelo {

namespace {

char* copy_text(const char* text) {
  return copy_text_or_fail(text, kNoMemory);
}

// A setting given again takes a new copy; the old one has no other reader.
void replace_text(char** field, const char* value) {
  char* copy = copy_text(value);
  free(*field);
  *field = copy;
}

void add_list_entry(entry_list* list, const char* name, const char* value) {
  if (name == nullptr || value == nullptr) return;
  if (list->count >= kMaxListEntries) return;
  list->names[list->count] = copy_text(name);
  list->values[list->count] = copy_text(value);
  ++list->count;
}

// A whole number from 1 to limit, digits only; anything else is refused.
bool parse_positive(const char* text, long limit, int* out) {
  decimal_run run = read_decimal(text, static_cast<unsigned long long>(limit));
  if (run.digits == 0 || text[run.digits] != '\0') return false;
  if (run.over || run.value < 1) return false;
  *out = static_cast<int>(run.value);
  return true;
}

// Every line is tried against every keyword; the first byte turns most of
// them away without a call.
bool starts_with(const char* line, std::string_view prefix) {
  return line[0] == prefix[0] &&
         strncmp(line, prefix.data(), prefix.size()) == 0;
}

// What a keyword's row does with the rest of the line (its value).
enum ini_kind {
  INI_FLAG,       // switches a mail_settings flag on; takes no value
  INI_TEXT,       // a mail_settings text takes a copy of the value
  INI_NUMBER,     // a mail_settings number, checked by its action
  INI_LINE_LIST,  // the value is added to a list, by its action
  INI_SPECIAL,    // the action decides what the value means
  INI_CHECKED,    // stored only when its check passes, by its action
};

// The actions of the rows that are no plain flag or text.
enum ini_action {
  INI_NO_ACTION,
  INI_KOLVEX_LINK_OFF,
  INI_HELLO_METHOD,
  INI_LOGGING,
  INI_LINE_END,
  INI_HEADER_FIXED,
  INI_HEADER_SUBMITTED,
  INI_BODY_FIXED,
  INI_BODY_SUBMITTED,
  INI_SMTP_TIMEOUT,
  INI_SMTP_TLS,
  INI_CHARSET,
  INI_ALLOWED_RECIPIENT,
  INI_RATE_LIMIT,
  INI_ATTACHMENT_TYPES,
  INI_MAX_ATTACHMENT_BYTES,
  INI_CORS_ORIGIN,
  INI_REDIRECT,  // the row's text names which redirect
  INI_REQUIRED_FIELD,
  INI_EMAIL_FIELD,
  INI_RECIPIENT_FIELD,
  INI_RECIPIENT_ALIAS,
  INI_CAPTCHA_PROVIDER,
  INI_CAPTCHA_VERIFY_URL,
  INI_WEBHOOK_URL,
  INI_WEBHOOK_FORMAT,
};

struct ini_keyword {
  std::string_view prefix;  // compared byte for byte from the line's start
  ini_kind kind;
  bool mail_settings::*flag;   // INI_FLAG
  char* mail_settings::*text;  // INI_TEXT, and INI_REDIRECT's target
  ini_action action;           // the other kinds
};

constexpr ini_keyword flag_row(std::string_view prefix,
                               bool mail_settings::*flag) {
  return {prefix, INI_FLAG, flag, nullptr, INI_NO_ACTION};
}

constexpr ini_keyword text_row(std::string_view prefix,
                               char* mail_settings::*text) {
  return {prefix, INI_TEXT, nullptr, text, INI_NO_ACTION};
}

constexpr ini_keyword action_row(std::string_view prefix, ini_kind kind,
                                 ini_action action) {
  return {prefix, kind, nullptr, nullptr, action};
}

constexpr ini_keyword checked_row(std::string_view prefix, ini_action action) {
  return {prefix, INI_CHECKED, nullptr, nullptr, action};
}

constexpr ini_keyword redirect_row(std::string_view prefix,
                                   char* mail_settings::*text) {
  return {prefix, INI_CHECKED, nullptr, text, INI_REDIRECT};
}

// The keywords whose values never reach the log.
constexpr std::string_view kSmtpPasswordPrefix = "smtp_password ";
constexpr std::string_view kCaptchaSecretPrefix = "captcha_secret ";
constexpr std::string_view kWebhookSecretPrefix = "webhook_secret ";

// The keywords of the ini file. Each follows the ini rules: keyword, one
// blank, value (the blank is part of the prefix); a flag's prefix has no
// blank and matches whatever follows it. Every row whose prefix starts with
// the line's first byte is tried, in this order, and each that matches
// counts. No prefix begins
// another, so a line matches at most one row; a keyword added later that
// begins with an existing one, or is begun by one, would match both rows
// (no_prefix_begins_another below stops the build then).
constexpr ini_keyword kIniKeywords[] = {
    flag_row("no_padding", &mail_settings::no_padding),
    flag_row("add_headerline_colon", &mail_settings::add_headerline_colon),
    action_row("add_kolvex_link ", INI_SPECIAL, INI_KOLVEX_LINK_OFF),
    action_row("hello_method ", INI_SPECIAL, INI_HELLO_METHOD),
    // The keyword is remove_empty_variables, but only its first 21
    // characters are compared: ini files that write remove_empty_variable
    // switch it on too, and must go on doing so.
    flag_row("remove_empty_variable", &mail_settings::remove_empty_variables),
    text_row("smtp ", &mail_settings::smtp),
    action_row("logging ", INI_SPECIAL, INI_LOGGING),
    // "email_CR LFCR" or "email_CR CR": the ninth character is skipped
    // whatever it is, so the blank is not part of the prefix.
    action_row("email_CR", INI_SPECIAL, INI_LINE_END),
    text_row("sendall ", &mail_settings::sendall),
    text_row("success_html_page ", &mail_settings::success_html_page),
    text_row("failure_html_page ", &mail_settings::failure_html_page),
    action_row("headerline ", INI_LINE_LIST, INI_HEADER_FIXED),
    action_row("use_submitted_variable_for_headerline ", INI_LINE_LIST,
               INI_HEADER_SUBMITTED),
    action_row("bodycontent_line ", INI_LINE_LIST, INI_BODY_FIXED),
    action_row("use_submitted_variable_for_bodycontent ", INI_LINE_LIST,
               INI_BODY_SUBMITTED),
    action_row("smtp_timeout ", INI_NUMBER, INI_SMTP_TIMEOUT),
    action_row("smtp_tls ", INI_SPECIAL, INI_SMTP_TLS),
    text_row("smtp_tls_ca ", &mail_settings::smtp_tls_ca),
    text_row("smtp_user ", &mail_settings::smtp_user),
    text_row(kSmtpPasswordPrefix, &mail_settings::smtp_password),
    flag_row("add_standard_headers", &mail_settings::add_standard_headers),
    action_row("charset ", INI_SPECIAL, INI_CHARSET),
    text_row("spool_folder ", &mail_settings::spool_folder),
    text_row("queued_html_page ", &mail_settings::queued_html_page),
    action_row("allowed_recipient ", INI_LINE_LIST, INI_ALLOWED_RECIPIENT),
    text_row("reply_to_field ", &mail_settings::reply_to_field),
    text_row("honeypot_field ", &mail_settings::honeypot_field),
    action_row("rate_limit ", INI_NUMBER, INI_RATE_LIMIT),
    action_row("attachment_types ", INI_SPECIAL, INI_ATTACHMENT_TYPES),
    action_row("max_attachment_bytes ", INI_NUMBER, INI_MAX_ATTACHMENT_BYTES),
    flag_row("json_replies", &mail_settings::json_replies),
    checked_row("cors_origin ", INI_CORS_ORIGIN),
    redirect_row("success_redirect ", &mail_settings::success_redirect),
    redirect_row("failure_redirect ", &mail_settings::failure_redirect),
    redirect_row("queued_redirect ", &mail_settings::queued_redirect),
    redirect_row("invalid_redirect ", &mail_settings::invalid_redirect),
    text_row("invalid_html_page ", &mail_settings::invalid_html_page),
    checked_row("required_field ", INI_REQUIRED_FIELD),
    checked_row("email_field ", INI_EMAIL_FIELD),
    checked_row("recipient_field ", INI_RECIPIENT_FIELD),
    checked_row("recipient_alias ", INI_RECIPIENT_ALIAS),
    flag_row("client_ip_header", &mail_settings::client_ip_header),
    action_row("captcha_provider ", INI_SPECIAL, INI_CAPTCHA_PROVIDER),
    text_row(kCaptchaSecretPrefix, &mail_settings::captcha_secret),
    checked_row("captcha_verify_url ", INI_CAPTCHA_VERIFY_URL),
    text_row("captcha_tls_ca ", &mail_settings::captcha_tls_ca),
    checked_row("webhook_url ", INI_WEBHOOK_URL),
    action_row("webhook_format ", INI_SPECIAL, INI_WEBHOOK_FORMAT),
    text_row(kWebhookSecretPrefix, &mail_settings::webhook_secret),
    text_row("archive_file ", &mail_settings::archive_file),
};

constexpr int kIniKeywordCount =
    static_cast<int>(sizeof kIniKeywords / sizeof kIniKeywords[0]);

constexpr bool no_prefix_begins_another() {
  for (const ini_keyword& a : kIniKeywords) {
    for (const ini_keyword& b : kIniKeywords) {
      if (&a != &b && b.prefix.starts_with(a.prefix)) return false;
    }
  }
  return true;
}
static_assert(no_prefix_begins_another(),
              "a line would match two keyword rows");

// The rows by their first byte, in table order: every line meets only the
// few rows that can match it, not the whole table.
struct ini_row_chains {
  signed char first[256];
  signed char next[kIniKeywordCount];
};

constexpr ini_row_chains chain_rows() {
  ini_row_chains chains{};
  for (signed char& row : chains.first) row = -1;
  for (int i = kIniKeywordCount - 1; i >= 0; --i) {
    unsigned char byte = static_cast<unsigned char>(kIniKeywords[i].prefix[0]);
    chains.next[i] = chains.first[byte];
    chains.first[byte] = static_cast<signed char>(i);
  }
  return chains;
}

constexpr ini_row_chains kIniRowChains = chain_rows();
static_assert(kIniKeywordCount < 128);

// An unusable number keeps the setting as it is, with an error line.
// Returns the match count (0 or 1).
int apply_number(ini_action action, const char* value,
                 mail_settings* settings) {
  if (action == INI_SMTP_TIMEOUT) {
    if (parse_positive(value, 86400, &settings->smtp_timeout)) return 1;
    log_event(LOG_ERRORS,
              "smtp_timeout (%s) is not a positive number of seconds, "
              "keeping %d",
              value, settings->smtp_timeout);
    return 0;
  }
  if (action == INI_MAX_ATTACHMENT_BYTES) {
    if (parse_max_attachment_bytes(value, &settings->max_attachment_bytes)) {
      return 1;
    }
    log_event(LOG_ERRORS,
              "max_attachment_bytes (%s) is not a positive number up to "
              "%lld, keeping %lld",
              value, kMaxAttachmentBytesLimit, settings->max_attachment_bytes);
    return 0;
  }
  if (parse_positive(value, 1000000, &settings->rate_limit)) return 1;
  log_event(LOG_ERRORS,
            "rate_limit (%s) is not a positive number, keeping no limit",
            value);
  return 0;
}

// Returns the match count (always 1: a list line is used even when its list
// is full).
int apply_line_list(ini_action action, const char* value,
                    mail_settings* settings, entry_list* headers,
                    entry_list* body, form_table* form) {
  switch (action) {
    case INI_HEADER_FIXED:
      add_header_line(headers, value, "");
      break;
    case INI_HEADER_SUBMITTED:
      add_header_line(headers, value, form_value(form, value));
      break;
    case INI_BODY_FIXED:
      add_body_variable(body, value, "");
      break;
    case INI_BODY_SUBMITTED:
      add_body_variable(body, value, form_value(form, value));
      break;
    default:  // INI_ALLOWED_RECIPIENT
      if (settings->allowed_recipient_count < kMaxAllowedRecipients) {
        settings->allowed_recipients[settings->allowed_recipient_count++] =
            copy_text(value);
      }
      break;
  }
  return 1;
}

// Returns the match count: 0 when the value is one the keyword ignores or
// refuses.
int apply_special(ini_action action, const char* value,
                  mail_settings* settings) {
  switch (action) {
    case INI_KOLVEX_LINK_OFF:
      if (strcmp(value, "false") != 0) return 0;
      settings->add_kolvex_link = false;
      return 1;
    case INI_HELLO_METHOD:
      settings->hello_method =
          starts_with(value, "HELO") ? HELLO_HELO : HELLO_EHLO;
      return 1;
    case INI_LOGGING: {
      // The log may follow the old value: point it at the new one before
      // the old one goes.
      char* old_logging = settings->logging;
      settings->logging = copy_text(value);
      if (old_logging != nullptr && log_logging() == old_logging) {
        log_set_logging(settings->logging);
      }
      free(old_logging);
      return 1;
    }
    case INI_LINE_END: {
      // value starts at the character after "email_CR", which is skipped.
      const char* line_end = value[0] != '\0' ? value + 1 : value;
      if (starts_with(line_end, "LFCR")) {
        settings->line_end = "\r\n";
        return 1;
      }
      if (starts_with(line_end, "CR")) {
        settings->line_end = "\n";
        return 1;
      }
      return 0;
    }
    case INI_SMTP_TLS:
      if (strcmp(value, "starttls") == 0) {
        settings->smtp_tls = TLS_STARTTLS;
        return 1;
      }
      if (strcmp(value, "implicit") == 0) {
        settings->smtp_tls = TLS_IMPLICIT;
        return 1;
      }
      // Never fall back to plain text when the owner asked for TLS.
      settings->smtp_tls = TLS_INVALID;
      log_event(LOG_ERRORS,
                "smtp_tls (%s) is neither starttls nor implicit; no mail "
                "will be sent",
                value);
      return 0;
    case INI_CAPTCHA_PROVIDER: {
      captcha_kind kind = captcha_kind_named(value);
      if (kind != CAPTCHA_NONE) {
        settings->captcha_provider = kind;
        return 1;
      }
      log_event(LOG_ERRORS,
                "captcha_provider (%s) is not turnstile, hcaptcha or "
                "recaptcha: no CAPTCHA is checked",
                value);
      return 0;
    }
    case INI_WEBHOOK_FORMAT:
      if (strcmp(value, "json") == 0) {
        settings->webhook_format = WEBHOOK_JSON;
        return 1;
      }
      if (strcmp(value, "slack") == 0) {
        settings->webhook_format = WEBHOOK_SLACK;
        return 1;
      }
      log_event(LOG_ERRORS,
                "webhook_format (%s) is neither json nor slack, keeping %s",
                value, settings->webhook_format == WEBHOOK_SLACK ? "slack"
                                                                 : "json");
      return 0;
    case INI_ATTACHMENT_TYPES:
      if (add_attachment_types(value, settings) > 0) return 1;
      log_event(LOG_ERRORS,
                "attachment_types (%s) names no file-name extension", value);
      return 0;
    default:  // INI_CHARSET
      if (value[0] != '\0' && strpbrk(value, " \t\";?=") == nullptr) {
        // A charset given again frees the copy of the one before; the
        // default is no copy.
        char* copy = copy_text(value);
        if (settings->charset_set) free(const_cast<char*>(settings->charset));
        settings->charset = copy;
        settings->charset_set = true;
        return 1;
      }
      log_event(LOG_ERRORS, "charset (%s) is not a charset name, keeping %s",
                value, settings->charset);
      return 0;
  }
}

// The keyword as the log names it: its prefix without the blank.
int keyword_length(const ini_keyword& keyword) {
  std::string_view name = keyword.prefix;
  if (name.ends_with(' ')) name.remove_suffix(1);
  return static_cast<int>(name.size());
}

// A list that is full takes no more; the line is then not used.
bool list_has_room(const ini_keyword& keyword, int count, int limit) {
  if (count < limit) return true;
  log_event(LOG_ERRORS, "%.*s: more than %d entries, not used",
            keyword_length(keyword), keyword.prefix.data(), limit);
  return false;
}

// recipient_alias TOKEN ADDRESS: one blank between, neither part empty.
int add_recipient_alias(const ini_keyword& keyword, const char* value,
                        mail_settings* settings) {
  const char* blank = strchr(value, ' ');
  const char* address = blank != nullptr ? blank + 1 : "";
  if (blank == value || blank == nullptr ||
      !is_one_address(address, strlen(address))) {
    log_event(LOG_ERRORS,
              "recipient_alias (%s) is not a token and one e-mail address: "
              "not used",
              value);
    return 0;
  }
  if (!list_has_room(keyword, settings->recipient_alias_count,
                     kMaxRecipientAliases)) {
    return 0;
  }
  size_t token_length = static_cast<size_t>(blank - value);
  char* token = static_cast<char*>(malloc_or_fail(token_length + 1, kNoMemory));
  memcpy(token, value, token_length);
  token[token_length] = '\0';
  int at = settings->recipient_alias_count++;
  settings->alias_tokens[at] = token;
  settings->alias_addresses[at] = copy_text(address);
  return 1;
}

// The rows whose value is stored only after its check; a refused value
// leaves the settings as they were, with an error line. Returns the match
// count (0 when refused).
int apply_checked(const ini_keyword& keyword, const char* value,
                  mail_settings* settings) {
  const int name_length = keyword_length(keyword);
  const char* name = keyword.prefix.data();
  switch (keyword.action) {
    case INI_CORS_ORIGIN:
      if (!cors_origin_usable(value)) {
        log_event(LOG_ERRORS,
                  "cors_origin (%s) is not an origin such as "
                  "https://www.example.com: not used",
                  value);
        return 0;
      }
      if (!list_has_room(keyword, settings->cors_origin_count,
                         kMaxCorsOrigins)) {
        return 0;
      }
      settings->cors_origins[settings->cors_origin_count++] = copy_text(value);
      return 1;
    case INI_REDIRECT:
      if (!redirect_url_usable(value)) {
        log_event(LOG_ERRORS,
                  "%.*s (%s) is not an http or https URL or a path on this "
                  "site: the page is used",
                  name_length, name, value);
        return 0;
      }
      replace_text(&(settings->*keyword.text), value);
      return 1;
    case INI_RECIPIENT_ALIAS:
      return add_recipient_alias(keyword, value, settings);
    case INI_CAPTCHA_VERIFY_URL:
      if (!service_url_usable(value)) {
        log_event(LOG_ERRORS,
                  "captcha_verify_url (%s) is not an http or https URL: the "
                  "provider's URL is used",
                  value);
        return 0;
      }
      replace_text(&settings->captcha_verify_url, value);
      return 1;
    case INI_WEBHOOK_URL:
      if (!webhook_url_usable(value)) {
        log_event(LOG_ERRORS,
                  "webhook_url (%s) is not an https URL (or http to "
                  "127.0.0.1): no webhook is sent",
                  value);
        return 0;
      }
      replace_text(&settings->webhook_url, value);
      return 1;
    default:  // the field names: required_field, email_field, recipient_field
      break;
  }
  if (value[0] == '\0') {
    log_event(LOG_ERRORS, "%.*s needs a field name: not used", name_length,
              name);
    return 0;
  }
  if (keyword.action == INI_RECIPIENT_FIELD) {
    replace_text(&settings->recipient_field, value);
    return 1;
  }
  if (!list_has_room(keyword, settings->field_rule_count, kMaxFieldRules)) {
    return 0;
  }
  field_rule& rule = settings->field_rules[settings->field_rule_count++];
  rule.kind = keyword.action == INI_EMAIL_FIELD ? FIELD_EMAIL : FIELD_REQUIRED;
  rule.name = copy_text(value);
  return 1;
}

int apply_keyword(const ini_keyword& keyword, const char* value,
                  mail_settings* settings, entry_list* headers,
                  entry_list* body, form_table* form) {
  switch (keyword.kind) {
    case INI_FLAG:
      settings->*keyword.flag = true;
      return 1;
    case INI_TEXT:
      replace_text(&(settings->*keyword.text), value);
      return 1;
    case INI_NUMBER:
      return apply_number(keyword.action, value, settings);
    case INI_LINE_LIST:
      return apply_line_list(keyword.action, value, settings, headers, body,
                             form);
    case INI_SPECIAL:
      return apply_special(keyword.action, value, settings);
    case INI_CHECKED:
      return apply_checked(keyword, value, settings);
  }
  return 0;
}

}  // namespace

void cut_line_end(char* line) {
  char* cr = strchr(line, '\r');
  if (cr != nullptr) *cr = '\0';
  char* lf = strchr(line, '\n');
  if (lf != nullptr) *lf = '\0';
}

int apply_ini_line(const char* line, mail_settings* settings,
                   entry_list* headers, entry_list* body, form_table* form) {
  // A keyword is matched by its prefix, byte for byte, and its value is the
  // rest of the line, untrimmed.
  int matches = 0;
  for (int row = kIniRowChains.first[static_cast<unsigned char>(line[0])];
       row >= 0; row = kIniRowChains.next[row]) {
    const ini_keyword& keyword = kIniKeywords[row];
    if (!starts_with(line, keyword.prefix)) continue;
    matches += apply_keyword(keyword, line + keyword.prefix.size(), settings,
                             headers, body, form);
  }
  return matches;
}

long ini_piece_length(const char* text, long size, long at) {
  long limit = size - at < kIniLineMax ? size - at : kIniLineMax;
  const void* line_feed = memchr(text + at, '\n', static_cast<size_t>(limit));
  return line_feed == nullptr
             ? limit
             : static_cast<const char*>(line_feed) - (text + at) + 1;
}

void parse_ini_text(const char* text, long size, mail_settings* settings,
                    entry_list* headers, entry_list* body, form_table* form) {
  static char line[kIniLineMax + 3];
  long at = 0;
  while (at < size) {
    long length = ini_piece_length(text, size, at);
    memcpy(line, text + at, length);
    line[length] = '\0';
    at += length;
    cut_line_end(line);
    const char* logging_before = settings->logging;
    int matches = apply_ini_line(line, settings, headers, body, form);
    // The logging line governs its own "line used" line already.
    if (settings->logging != logging_before) log_set_logging(settings->logging);
    if (matches > 0) {
      // Passwords and secrets never reach the log.
      std::string_view keyword = ini_keyword_of_line(line);
      if (ini_keyword_is_secret(keyword)) {
        log_event(LOG_DEBUG, "line used from ini file {%.*s %s}",
                  static_cast<int>(keyword.size()), keyword.data(),
                  kPasswordMask);
      } else if (keyword == "webhook_url") {
        log_event(LOG_DEBUG, "line used from ini file {webhook_url %s}",
                  url_for_log(settings->webhook_url).c_str());
      } else {
        log_event(LOG_DEBUG, "line used from ini file {%s}", line);
      }
    }
  }
  if (settings->recipient_field != nullptr) {
    log_event(LOG_DEBUG,
              "recipient_field (%s) is set: To comes from recipient_alias, "
              "other To entries are not used",
              settings->recipient_field);
  }
}

void add_header_line(entry_list* list, const char* name, const char* value) {
  log_event(LOG_DEBUG_DATA, "add_header_line(%s,%s)", name, value);
  add_list_entry(list, name, value);
}

void add_body_variable(entry_list* list, const char* name, const char* value) {
  log_event(LOG_DEBUG_DATA, "add_body_variable(%s,%s}", name, value);
  add_list_entry(list, name, value);
}

void load_ini(const char* path, mail_settings* settings, entry_list* headers,
              entry_list* body, form_table* form) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) fail_with_page("The ini file could not be opened.");
  // The file is read in large blocks straight into the text, so the stream
  // needs no buffer of its own (one allocation and one page less).
  setvbuf(file, nullptr, _IONBF, 0);
  // Most ini files are a few hundred bytes; a larger one doubles the block.
  size_t capacity = 4096;
  size_t size = 0;
  char* text = static_cast<char*>(malloc_or_fail(capacity, kNoMemory));
  for (;;) {
    size += fread(text + size, 1, capacity - size, file);
    // fread returns less than asked for only at the end of the file or on a
    // read error; either way there is no more to read.
    if (size < capacity) break;
    capacity *= 2;
    text = static_cast<char*>(realloc_or_fail(text, capacity, kNoMemory));
  }
  fclose(file);
  parse_ini_text(text, static_cast<long>(size), settings, headers, body, form);
  free(text);
}

std::vector<std::string_view> ini_keyword_names() {
  std::vector<std::string_view> names;
  names.reserve(kIniKeywordCount);
  for (const ini_keyword& keyword : kIniKeywords) {
    names.push_back(keyword.prefix.substr(0, keyword_length(keyword)));
  }
  return names;
}

bool ini_keyword_is_secret(std::string_view keyword) {
  for (std::string_view prefix :
       {kSmtpPasswordPrefix, kCaptchaSecretPrefix, kWebhookSecretPrefix}) {
    if (prefix.substr(0, prefix.size() - 1) == keyword) return true;
  }
  return false;
}

std::string_view ini_keyword_of_line(const char* line) {
  for (int row = kIniRowChains.first[static_cast<unsigned char>(line[0])];
       row >= 0; row = kIniRowChains.next[row]) {
    const ini_keyword& keyword = kIniKeywords[row];
    if (starts_with(line, keyword.prefix)) {
      return keyword.prefix.substr(0, keyword_length(keyword));
    }
  }
  return {};
}

}  // namespace tarvelo
