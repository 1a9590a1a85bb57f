#include "compose/field_rules.h"

#include <cstring>

#include "config/reply_rules.h"

namespace tarvelo {

namespace {

bool is_blank_char(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void add_problem(const char* name, const char* reason, field_problems* out) {
  for (int i = 0; i < out->count; ++i) {
    if (strcmp(out->items[i].name, name) == 0) return;
  }
  if (out->count >= kMaxFieldProblems) return;
  out->items[out->count].name = name;
  out->items[out->count].reason = reason;
  ++out->count;
}

// A pasted address often brings a blank or a line break along; the visitor
// meant the address.
bool is_address_value(const char* value) {
  const char* start = value;
  const char* end = value + strlen(value);
  while (start < end && is_blank_char(*start)) ++start;
  while (end > start && is_blank_char(end[-1])) --end;
  return is_one_address(start, static_cast<size_t>(end - start));
}

}  // namespace

bool is_blank_value(const char* value) {
  for (; *value != '\0'; ++value) {
    if (!is_blank_char(*value)) return false;
  }
  return true;
}

void check_fields(const mail_settings& settings, const form_table& form,
                  field_problems* out) {
  out->count = 0;
  for (int i = 0; i < settings.field_rule_count; ++i) {
    const field_rule& rule = settings.field_rules[i];
    const char* value = form_table_lookup(form, rule.name);
    if (rule.kind == FIELD_REQUIRED) {
      if (is_blank_value(value)) add_problem(rule.name, kFieldRequired, out);
    } else if (value[0] != '\0' && !is_address_value(value)) {
      add_problem(rule.name, kFieldNotAnAddress, out);
    }
  }
  if (settings.recipient_field == nullptr) return;
  const char* token = form_table_lookup(form, settings.recipient_field);
  if (is_blank_value(token)) {
    add_problem(settings.recipient_field, kFieldRequired, out);
  } else if (alias_address_for(settings, token) == nullptr) {
    add_problem(settings.recipient_field, kFieldUnknownChoice, out);
  }
}

std::string describe_problems(const field_problems& problems) {
  std::string out;
  for (int i = 0; i < problems.count; ++i) {
    if (i > 0) out += ", ";
    out += problems.items[i].name;
    out += ": ";
    out += problems.items[i].reason;
  }
  return out;
}

}  // namespace tarvelo
