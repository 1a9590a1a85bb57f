#include "config/ini_reader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/log.h"

namespace tarvelo {

namespace {

char* copy_text(const char* text) {
  char* copy = strdup(text);
  if (copy == nullptr) fail_with_page("Unable to malloc memory");
  return copy;
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

// A whole number from 1 to limit; anything else is refused.
bool parse_positive(const char* text, long limit, int* out) {
  if (*text == '\0') return false;
  long value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > limit) return false;
  }
  if (value < 1) return false;
  *out = static_cast<int>(value);
  return true;
}

// Every line is tried against every keyword; the first byte turns most of
// them away without a call.
bool starts_with(const char* line, const char* prefix, size_t length) {
  return line[0] == prefix[0] && strncmp(line, prefix, length) == 0;
}

// The keywords added after the original set. Each follows the ini rules:
// keyword, one blank, value; flags match by prefix alone.
int apply_newer_keywords(const char* line, mail_settings* settings) {
  int matches = 0;
  if (starts_with(line, "smtp_timeout ", 13)) {
    if (parse_positive(line + 13, 86400, &settings->smtp_timeout)) {
      ++matches;
    } else {
      log_event(LOG_ERRORS,
                "smtp_timeout (%s) is not a positive number of seconds, "
                "keeping %d",
                line + 13, settings->smtp_timeout);
    }
  }
  if (starts_with(line, "smtp_tls ", 9)) {
    const char* value = line + 9;
    if (strcmp(value, "starttls") == 0) {
      settings->smtp_tls = TLS_STARTTLS;
      ++matches;
    } else if (strcmp(value, "implicit") == 0) {
      settings->smtp_tls = TLS_IMPLICIT;
      ++matches;
    } else {
      // Never fall back to plain text when the owner asked for TLS.
      settings->smtp_tls = TLS_INVALID;
      log_event(LOG_ERRORS,
                "smtp_tls (%s) is neither starttls nor implicit; no mail "
                "will be sent",
                value);
    }
  }
  if (starts_with(line, "smtp_tls_ca ", 12)) {
    replace_text(&settings->smtp_tls_ca, line + 12);
    ++matches;
  }
  if (starts_with(line, "smtp_user ", 10)) {
    replace_text(&settings->smtp_user, line + 10);
    ++matches;
  }
  if (starts_with(line, "smtp_password ", 14)) {
    replace_text(&settings->smtp_password, line + 14);
    ++matches;
  }
  if (starts_with(line, "add_standard_headers", 20)) {
    settings->add_standard_headers = true;
    ++matches;
  }
  if (starts_with(line, "charset ", 8)) {
    if (line[8] != '\0' && strpbrk(line + 8, " \t\";?=") == nullptr) {
      // A charset given again frees the copy of the one before; the default
      // is no copy.
      char* copy = copy_text(line + 8);
      if (settings->charset_set) free(const_cast<char*>(settings->charset));
      settings->charset = copy;
      settings->charset_set = true;
      ++matches;
    } else {
      log_event(LOG_ERRORS, "charset (%s) is not a charset name, keeping %s",
                line + 8, settings->charset);
    }
  }
  if (starts_with(line, "spool_folder ", 13)) {
    replace_text(&settings->spool_folder, line + 13);
    ++matches;
  }
  if (starts_with(line, "queued_html_page ", 17)) {
    replace_text(&settings->queued_html_page, line + 17);
    ++matches;
  }
  if (starts_with(line, "allowed_recipient ", 18)) {
    if (settings->allowed_recipient_count < kMaxAllowedRecipients) {
      settings->allowed_recipients[settings->allowed_recipient_count++] =
          copy_text(line + 18);
    }
    ++matches;
  }
  if (starts_with(line, "reply_to_field ", 15)) {
    replace_text(&settings->reply_to_field, line + 15);
    ++matches;
  }
  if (starts_with(line, "honeypot_field ", 15)) {
    replace_text(&settings->honeypot_field, line + 15);
    ++matches;
  }
  if (starts_with(line, "rate_limit ", 11)) {
    if (parse_positive(line + 11, 1000000, &settings->rate_limit)) {
      ++matches;
    } else {
      log_event(LOG_ERRORS,
                "rate_limit (%s) is not a positive number, keeping no limit",
                line + 11);
    }
  }
  return matches;
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
  // Every test runs on every line; a keyword is matched by its prefix,
  // byte for byte, and its value is the rest of the line, untrimmed.
  int matches = 0;
  if (starts_with(line, "no_padding", 10)) {
    settings->no_padding = true;
    ++matches;
  }
  if (starts_with(line, "add_headerline_colon", 20)) {
    settings->add_headerline_colon = true;
    ++matches;
  }
  if (starts_with(line, "add_kolvex_link ", 16) &&
      strcmp(line + 16, "false") == 0) {
    settings->add_kolvex_link = false;
    ++matches;
  }
  if (starts_with(line, "hello_method ", 13)) {
    settings->hello_method =
        starts_with(line + 13, "HELO", 4) ? HELLO_HELO : HELLO_EHLO;
    ++matches;
  }
  if (starts_with(line, "remove_empty_variables", 21)) {
    settings->remove_empty_variables = true;
    ++matches;
  }
  if (starts_with(line, "smtp ", 5)) {
    replace_text(&settings->smtp, line + 5);
    ++matches;
  }
  if (starts_with(line, "logging ", 8)) {
    // The log may follow the old value: point it at the new one before the
    // old one goes.
    char* old_logging = settings->logging;
    settings->logging = copy_text(line + 8);
    if (old_logging != nullptr && log_logging() == old_logging) {
      log_set_logging(settings->logging);
    }
    free(old_logging);
    ++matches;
  }
  if (starts_with(line, "email_CR", 8)) {
    // The ninth character (normally the blank) is skipped whatever it is.
    const char* value = strlen(line) > 9 ? line + 9 : "";
    if (starts_with(value, "LFCR", 4)) {
      settings->line_end = "\r\n";
      ++matches;
    } else if (starts_with(value, "CR", 2)) {
      settings->line_end = "\n";
      ++matches;
    }
  }
  if (starts_with(line, "sendall ", 8)) {
    replace_text(&settings->sendall, line + 8);
    ++matches;
  }
  if (starts_with(line, "success_html_page ", 18)) {
    replace_text(&settings->success_html_page, line + 18);
    ++matches;
  }
  if (starts_with(line, "failure_html_page ", 18)) {
    replace_text(&settings->failure_html_page, line + 18);
    ++matches;
  }
  if (starts_with(line, "headerline ", 11)) {
    add_header_line(headers, line + 11, "");
    ++matches;
  }
  if (starts_with(line, "use_submitted_variable_for_headerline ", 38)) {
    add_header_line(headers, line + 38, form_value(form, line + 38));
    ++matches;
  }
  if (starts_with(line, "bodycontent_line ", 17)) {
    add_body_variable(body, line + 17, "");
    ++matches;
  }
  if (starts_with(line, "use_submitted_variable_for_bodycontent ", 39)) {
    add_body_variable(body, line + 39, form_value(form, line + 39));
    ++matches;
  }
  matches += apply_newer_keywords(line, settings);
  return matches;
}

void parse_ini_text(const char* text, long size, mail_settings* settings,
                    entry_list* headers, entry_list* body, form_table* form) {
  static char line[kIniLineMax + 3];
  long at = 0;
  while (at < size) {
    // A line is read up to and including its line feed, at most 63997
    // characters at a time; a longer line arrives as several pieces.
    long limit = size - at < kIniLineMax ? size - at : kIniLineMax;
    const void* line_feed = memchr(text + at, '\n', static_cast<size_t>(limit));
    long length =
        line_feed == nullptr
            ? limit
            : static_cast<const char*>(line_feed) - (text + at) + 1;
    memcpy(line, text + at, length);
    line[length] = '\0';
    at += length;
    cut_line_end(line);
    const char* logging_before = settings->logging;
    int matches = apply_ini_line(line, settings, headers, body, form);
    // The logging line governs its own "line used" line already.
    if (settings->logging != logging_before) log_set_logging(settings->logging);
    if (matches > 0) {
      // The password never reaches the log.
      if (starts_with(line, "smtp_password ", 14)) {
        log_event(LOG_DEBUG, "line used from ini file {smtp_password %s}",
                  kPasswordMask);
      } else {
        log_event(LOG_DEBUG, "line used from ini file {%s}", line);
      }
    }
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
  char* text = static_cast<char*>(malloc(capacity));
  if (text == nullptr) fail_with_page("Unable to malloc memory");
  for (;;) {
    size += fread(text + size, 1, capacity - size, file);
    // fread returns less than asked for only at the end of the file or on a
    // read error; either way there is no more to read.
    if (size < capacity) break;
    capacity *= 2;
    char* grown = static_cast<char*>(realloc(text, capacity));
    if (grown == nullptr) fail_with_page("Unable to malloc memory");
    text = grown;
  }
  fclose(file);
  parse_ini_text(text, static_cast<long>(size), settings, headers, body, form);
  free(text);
}

}  // namespace tarvelo
