#include "compose/submission_record.h"

#include <cstdio>
#include <cstring>

#include "support/calendar.h"
#include "support/json_text.h"

namespace tarvelo {

std::string rfc3339_utc(long long unix_seconds) {
  long long days = unix_seconds / 86400;
  long long seconds = unix_seconds % 86400;
  if (seconds < 0) {
    seconds += 86400;
    --days;
  }
  int year = 0;
  int month = 0;
  int day = 0;
  civil_from_days(days, &year, &month, &day);
  char text[40];
  snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", year, month,
           day, static_cast<int>(seconds / 3600),
           static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  return text;
}

const form_file* file_of_pair(const form_table& form, int pair) {
  for (int i = 0; i < form.file_count; ++i) {
    if (form.files[i].pair == pair) return &form.files[i];
  }
  return nullptr;
}

std::string form_name_of(const char* argv0) {
  const char* name = argv0;
  for (const char* p = argv0; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  return name;
}

namespace {

void append_string(std::string* out, const char* text) {
  *out += '"';
  json_escape_append(out, text == nullptr ? "" : text);
  *out += '"';
}

}  // namespace

std::string submission_json(const submission_head& head,
                            const form_table& form) {
  std::string out = "{\"form\":";
  append_string(&out, head.form.c_str());
  out += ",\"outcome\":";
  append_string(&out, head.outcome);
  out += ",\"time\":";
  append_string(&out, rfc3339_utc(head.unix_seconds).c_str());
  if (!head.client.empty()) {
    out += ",\"client\":";
    append_string(&out, head.client.c_str());
  }
  out += ",\"fields\":[";
  bool first = true;
  for (int pair = 0; pair < form.form_count; ++pair) {
    if (head.hidden_field != nullptr &&
        strcmp(form.names[pair], head.hidden_field) == 0) {
      continue;
    }
    if (!first) out += ',';
    first = false;
    out += '[';
    append_string(&out, form.names[pair]);
    out += ',';
    const form_file* file = file_of_pair(form, pair);
    if (file != nullptr) {
      out += "{\"file\":";
      append_string(&out, file->file_name);
      out += ",\"size\":";
      out += std::to_string(file->size);
      out += '}';
    } else {
      append_string(&out, form.values[pair]);
    }
    out += ']';
  }
  out += "]}";
  return out;
}

}  // namespace tarvelo
