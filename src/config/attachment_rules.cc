#include "config/attachment_rules.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "support/alloc.h"
#include "support/decimal.h"
#include "support/log.h"

namespace tarvelo {

namespace {

constexpr std::string_view kMaxBytesPrefix = "max_attachment_bytes ";

// The extension of a file name, lower case, without its dot; "" when the
// name has no dot.
std::string extension_of(const char* file_name) {
  const char* dot = strrchr(file_name, '.');
  std::string out = dot != nullptr ? dot + 1 : "";
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return out;
}

bool type_listed(const mail_settings& settings, const std::string& extension) {
  for (int i = 0; i < settings.attachment_type_count; ++i) {
    if (extension == settings.attachment_types[i]) return true;
  }
  return false;
}

void log_refusal(const form_table& form, const form_file& file,
                 const char* reason) {
  const char* field = file.pair >= 0 && file.pair < form.form_count
                          ? form.names[file.pair]
                          : "";
  log_event(LOG_ERRORS, "file (%s) in field (%s) refused: %s", file.file_name,
            field, reason);
}

}  // namespace

bool parse_max_attachment_bytes(const char* text, long long* out) {
  decimal_run run = read_decimal(
      text, static_cast<unsigned long long>(kMaxAttachmentBytesLimit));
  if (run.digits == 0 || text[run.digits] != '\0') return false;
  if (run.over || run.value < 1) return false;
  *out = static_cast<long long>(run.value);
  return true;
}

int add_attachment_types(const char* value, mail_settings* settings) {
  int added = 0;
  const char* at = value;
  while (*at != '\0') {
    size_t skip = strspn(at, " \t,.");
    at += skip;
    size_t length = strcspn(at, " \t,");
    if (length == 0) continue;
    if (settings->attachment_type_count < kMaxAttachmentTypes) {
      char* type = copy_or_fail(at, length, kNoMemory);
      for (char* c = type; *c != '\0'; ++c) {
        if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c + ('a' - 'A'));
      }
      settings->attachment_types[settings->attachment_type_count++] = type;
      ++added;
    }
    at += length;
  }
  return added;
}

long long max_attachment_bytes_in_ini_text(const char* text, long size) {
  long long result = kDefaultMaxAttachmentBytes;
  std::string_view rest(text, static_cast<size_t>(size));
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    // The ini reader cuts a line at its first carriage return too.
    line = line.substr(0, line.find('\r'));
    if (line.substr(0, kMaxBytesPrefix.size()) != kMaxBytesPrefix) continue;
    std::string value(line.substr(kMaxBytesPrefix.size()));
    parse_max_attachment_bytes(value.c_str(), &result);
  }
  return result;
}

long long max_attachment_bytes_in_ini(const char* path) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return kDefaultMaxAttachmentBytes;
  std::string text;
  char piece[16384];
  size_t n;
  while ((n = fread(piece, 1, sizeof piece, file)) > 0) text.append(piece, n);
  fclose(file);
  return max_attachment_bytes_in_ini_text(text.data(),
                                          static_cast<long>(text.size()));
}

bool attachments_allowed(const mail_settings& settings,
                         const form_table& form) {
  int refused_file = -1;
  return attachments_allowed(settings, form, &refused_file);
}

bool attachments_allowed(const mail_settings& settings, const form_table& form,
                         int* refused_file) {
  long long total = 0;
  for (int i = 0; i < form.file_count; ++i) {
    const form_file& file = form.files[i];
    const char* reason = nullptr;
    char over[128];
    if (settings.attachment_type_count == 0) {
      if (file.size == 0) continue;
      reason = "files are not accepted (no attachment_types)";
    } else if (!type_listed(settings, extension_of(file.file_name))) {
      reason = "its type is not in attachment_types";
    } else {
      total += file.size;
      if (total > settings.max_attachment_bytes) {
        snprintf(over, sizeof over,
                 "all files together are over max_attachment_bytes (%lld)",
                 settings.max_attachment_bytes);
        reason = over;
      }
    }
    if (reason != nullptr) {
      log_refusal(form, file, reason);
      *refused_file = i;
      return false;
    }
  }
  return true;
}

}  // namespace tarvelo
