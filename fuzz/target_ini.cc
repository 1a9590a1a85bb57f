// The ini reader: the input is a form body and an ini text, split at the
// first "\xff\xff"; the form is read first, as in a real run.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/ini_reader.h"
#include "config/reply_rules.h"
#include "form/form_reader.h"
#include "fuzz_check.h"
#include "support/log.h"

using namespace tarvelo;

// A run keeps every setting until it exits, so a keyword given twice leaves
// the first copy behind; that is no leak of the reader. The leak checker (when
// the build has one) ignores what is allocated while the ini is read.
extern "C" void __lsan_disable() __attribute__((weak));
extern "C" void __lsan_enable() __attribute__((weak));

namespace {

void free_list(entry_list* list) {
  for (int i = 0; i < list->count; ++i) {
    free(list->names[i]);
    free(list->values[i]);
  }
}

void free_settings(mail_settings* s) {
  for (char* text : {s->smtp, s->logging, s->sendall, s->success_html_page,
                     s->failure_html_page, s->smtp_tls_ca, s->smtp_user,
                     s->smtp_password, s->spool_folder, s->queued_html_page,
                     s->reply_to_field, s->honeypot_field,
                     s->success_redirect, s->failure_redirect,
                     s->queued_redirect, s->invalid_redirect,
                     s->invalid_html_page, s->recipient_field}) {
    free(text);
  }
  for (int i = 0; i < s->allowed_recipient_count; ++i)
    free(s->allowed_recipients[i]);
  for (int i = 0; i < s->cors_origin_count; ++i) free(s->cors_origins[i]);
  for (int i = 0; i < s->field_rule_count; ++i) free(s->field_rules[i].name);
  for (int i = 0; i < s->recipient_alias_count; ++i) {
    free(s->alias_tokens[i]);
    free(s->alias_addresses[i]);
  }
  // The default is a literal; a "charset UTF-8" line gives a copy.
  if (s->charset != mail_settings().charset) {
    free(const_cast<char*>(s->charset));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  log_set_path(nullptr);
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t cut = input.find("\xff\xff");
  std::string body = input.substr(0, cut).c_str();
  std::string ini = cut == std::string::npos ? "" : input.substr(cut + 2);

  static form_table form;
  form = form_table();
  parse_form_body(body.data(), &form);
  static mail_settings settings;
  static entry_list headers;
  static entry_list lines;
  settings = mail_settings();
  headers = entry_list();
  lines = entry_list();
  if (__lsan_disable) __lsan_disable();
  parse_ini_text(ini.data(), static_cast<long>(ini.size()), &settings,
                 &headers, &lines, &form);
  if (__lsan_enable) __lsan_enable();
  log_set_logging(nullptr);

  FUZZ_CHECK(headers.count >= 0 && headers.count <= kMaxListEntries);
  FUZZ_CHECK(lines.count >= 0 && lines.count <= kMaxListEntries);
  FUZZ_CHECK(strcmp(settings.line_end, "\r\n") == 0 ||
             strcmp(settings.line_end, "\n") == 0);
  FUZZ_CHECK(settings.smtp_timeout >= 1 && settings.smtp_timeout <= 86400);
  for (int i = 0; i < headers.count; ++i) {
    FUZZ_CHECK(headers.names[i] != nullptr && headers.values[i] != nullptr);
    // Names are cut at the line end: no CR or LF survives into a list.
    FUZZ_CHECK(strpbrk(headers.names[i], "\r\n") == nullptr);
  }
  // What the reply reads was checked when it was stored.
  FUZZ_CHECK(settings.cors_origin_count <= kMaxCorsOrigins);
  for (int i = 0; i < settings.cors_origin_count; ++i)
    FUZZ_CHECK(cors_origin_usable(settings.cors_origins[i]));
  for (const char* url : {settings.success_redirect, settings.failure_redirect,
                          settings.queued_redirect, settings.invalid_redirect}) {
    FUZZ_CHECK(url == nullptr || redirect_url_usable(url));
  }
  FUZZ_CHECK(settings.field_rule_count <= kMaxFieldRules);
  for (int i = 0; i < settings.field_rule_count; ++i)
    FUZZ_CHECK(settings.field_rules[i].name[0] != '\0');
  FUZZ_CHECK(settings.recipient_alias_count <= kMaxRecipientAliases);
  for (int i = 0; i < settings.recipient_alias_count; ++i) {
    const char* address = settings.alias_addresses[i];
    FUZZ_CHECK(settings.alias_tokens[i][0] != '\0');
    FUZZ_CHECK(strchr(settings.alias_tokens[i], ' ') == nullptr);
    FUZZ_CHECK(is_one_address(address, strlen(address)));
  }
  free_list(&headers);
  free_list(&lines);
  free_settings(&settings);
  for (int i = 0; i < form.form_count; ++i) {
    free(form.names[i]);
    free(form.values[i]);
  }
  return 0;
}
