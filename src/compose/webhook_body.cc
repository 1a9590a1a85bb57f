#include "compose/webhook_body.h"

#include <cstring>

#include "support/hmac_sha256.h"
#include "support/json_text.h"

namespace tarvelo {

namespace {

// Slack's message markup (and Mattermost's, Rocket.Chat's) reads "<...>"
// as a mention or a link, and "&" as the start of those escapes; these
// three are all it asks a sender to escape.
void append_markup_escaped(std::string* out, const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    switch (*p) {
      case '&':
        *out += "&amp;";
        break;
      case '<':
        *out += "&lt;";
        break;
      case '>':
        *out += "&gt;";
        break;
      default:
        *out += *p;
    }
  }
}

std::string slack_text(const submission_head& head, const form_table& form) {
  std::string text = "New post to ";
  append_markup_escaped(&text, head.form.c_str());
  text += " (";
  text += head.outcome;
  text += ')';
  for (int pair = 0; pair < form.form_count; ++pair) {
    if (head.hidden_field != nullptr &&
        strcmp(form.names[pair], head.hidden_field) == 0) {
      continue;
    }
    text += '\n';
    append_markup_escaped(&text, form.names[pair]);
    text += ": ";
    const form_file* file = file_of_pair(form, pair);
    if (file != nullptr) {
      append_markup_escaped(&text, file->file_name ? file->file_name : "");
      text += " (" + std::to_string(file->size) + " bytes)";
    } else {
      append_markup_escaped(&text,
                            form.values[pair] ? form.values[pair] : "");
    }
  }
  return text;
}

}  // namespace

std::string webhook_body(webhook_kind kind, const submission_head& head,
                         const form_table& form) {
  if (kind == WEBHOOK_JSON) return submission_json(head, form);
  std::string body = "{\"text\":\"";
  json_escape_append(&body, slack_text(head, form).c_str());
  body += "\"}";
  return body;
}

std::string webhook_signature(const char* secret, const std::string& body) {
  std::string hex = hmac_sha256_hex(secret, body);
  return hex.empty() ? "" : "sha256=" + hex;
}

}  // namespace tarvelo
