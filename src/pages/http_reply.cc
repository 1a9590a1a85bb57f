#include "pages/http_reply.h"

#include <cstring>
#include <string>

#include "config/reply_rules.h"
#include "pages/reply_page.h"
#include "support/json_text.h"

namespace tarvelo {
namespace {

// ---- Accept (RFC 9110 12.5.1) ----

// RFC 9110 5.6.2: tchar.
bool is_token_char(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
      (c >= 'A' && c <= 'Z')) {
    return true;
  }
  return c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Whether the n bytes at text are word (lower case) in any ASCII case.
bool is_word(const char* text, size_t n, const char* word) {
  if (strlen(word) != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != word[i]) return false;
  }
  return true;
}

size_t token_length(const char* text) {
  size_t n = 0;
  while (is_token_char(static_cast<unsigned char>(text[n]))) ++n;
  return n;
}

// RFC 9110 12.4.2: qvalue = ("0" ["." 0*3DIGIT]) / ("1" ["." 0*3("0")]),
// in thousandths; -1 when the n bytes at text are none.
int qvalue_of(const char* text, size_t n) {
  if (n == 0 || (text[0] != '0' && text[0] != '1')) return -1;
  if (n > 1 && (text[1] != '.' || n > 5)) return -1;
  int value = text[0] == '1' ? 1000 : 0;
  int scale = 100;
  for (size_t i = 2; i < n; ++i, scale /= 10) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value += (text[i] - '0') * scale;
  }
  return value > 1000 ? -1 : value;
}

// Steps over a quoted-string whose opening quote is at *at: to just after
// the closing quote. Returns false at the end of the text without one.
bool skip_quoted(const char** at) {
  const char* p = *at + 1;
  while (*p != '\0' && *p != '"') {
    p += p[0] == '\\' && p[1] != '\0' ? 2 : 1;
  }
  if (*p != '"') {
    *at = p;
    return false;
  }
  *at = p + 1;
  return true;
}

// Reads the parameters after a media range up to the "," or the end that
// closes it. Returns the range's q in thousandths (1000 without one), or -1
// when a parameter is malformed; *at is then left inside the element.
int read_parameters(const char** at) {
  const char* p = *at;
  int q = 1000;
  for (;;) {
    while (is_blank(*p)) ++p;
    if (*p == '\0' || *p == ',') break;
    if (*p != ';') {
      *at = p;
      return -1;
    }
    ++p;
    while (is_blank(*p)) ++p;
    if (*p == ';' || *p == ',' || *p == '\0') continue;  // an empty one
    size_t name_length = token_length(p);
    const char* name = p;
    p += name_length;
    if (name_length == 0 || *p != '=') {
      *at = p;
      return -1;
    }
    ++p;
    const char* value = p;
    bool quoted = *p == '"';
    if (quoted) {
      if (!skip_quoted(&p)) {
        *at = p;
        return -1;
      }
    } else {
      p += token_length(p);
      if (p == value) {
        *at = p;
        return -1;
      }
    }
    if (is_word(name, name_length, "q")) {
      // The weight is never quoted.
      q = quoted ? -1 : qvalue_of(value, static_cast<size_t>(p - value));
      if (q < 0) {
        *at = p;
        return -1;
      }
    }
  }
  *at = p;
  return q;
}

// The q a type takes from the most specific range that matches it; among
// ranges equally specific the highest counts.
struct type_weight {
  int rank = 0;  // 0 no range, 1 "*/*", 2 "type/*", 3 by name
  int q = 0;     // thousandths
};

void weigh(type_weight* weight, int rank, int q) {
  if (rank == 0) return;  // the range does not match the type
  if (rank > weight->rank) {
    weight->rank = rank;
    weight->q = q;
  } else if (rank == weight->rank && q > weight->q) {
    weight->q = q;
  }
}

int rank_of(const char* type, size_t type_length, const char* subtype,
            size_t subtype_length, const char* want_type,
            const char* want_subtype) {
  bool any_subtype = is_word(subtype, subtype_length, "*");
  if (is_word(type, type_length, "*")) return any_subtype ? 1 : 0;
  if (!is_word(type, type_length, want_type)) return 0;
  if (any_subtype) return 2;
  return is_word(subtype, subtype_length, want_subtype) ? 3 : 0;
}

// ---- JSON (RFC 8259) ----

struct outcome_row {
  int status;
  const char* reason;  // RFC 9110 15
  const char* outcome;
  const char* error;  // null for the outcomes that are no failure
};

const outcome_row& row_of(reply_outcome outcome) {
  static const outcome_row rows[] = {
      {200, "OK", "sent", nullptr},
      {202, "Accepted", "queued", nullptr},
      {422, "Unprocessable Content", "invalid",
       "Some fields are missing or not filled in as asked."},
      {405, "Method Not Allowed", "method",
       "This address only takes forms that are posted."},
      {415, "Unsupported Media Type", "unsupported",
       "The form was sent in a format this address does not read."},
      {413, "Content Too Large", "too_large",
       "The form is larger than this address takes."},
      {400, "Bad Request", "malformed", "The form could not be read."},
      {429, "Too Many Requests", "rate_limited",
       "Too many forms came from your address; please try again in an "
       "hour."},
      {502, "Bad Gateway", "failed",
       "The message could not be sent; please try again later."},
      {503, "Service Unavailable", "failed",
       "The form cannot be taken just now; please try again later."},
  };
  static_assert(sizeof rows / sizeof rows[0] == REPLY_UNAVAILABLE + 1);
  return rows[outcome];
}

// The head lines every kind of reply shares: caching, Vary and CORS.
std::string shared_head_lines(const mail_settings& settings,
                              const char* listed_origin) {
  std::string lines;
  // A cache must not hand one visitor's reply to another, nor a JSON reply
  // to a page that asked for HTML (RFC 9111 5.2.2.5, RFC 9110 12.5.5).
  if (settings.json_replies) lines += "Cache-Control: no-store\n";
  if (settings.json_replies && listed_origin != nullptr) {
    lines += "Vary: Accept, Origin\n";
  } else if (settings.json_replies) {
    lines += "Vary: Accept\n";
  } else if (listed_origin != nullptr) {
    lines += "Vary: Origin\n";
  }
  if (listed_origin != nullptr) {
    lines += "Access-Control-Allow-Origin: ";
    lines += listed_origin;
    lines += '\n';
  }
  return lines;
}

// The request's Origin when it is one of cors_origins, else null.
const char* listed_origin_of(const reply_request& request,
                             const mail_settings& settings) {
  if (request.origin == nullptr || *request.origin == '\0') return nullptr;
  return cors_origin_index(settings, request.origin) >= 0 ? request.origin
                                                          : nullptr;
}

void send_json(reply_outcome outcome, const mail_settings& settings,
               const char* listed_origin, const field_problems& problems,
               FILE* out) {
  const outcome_row& row = row_of(outcome);
  std::string text = "Status: " + std::to_string(row.status) + " " +
                     row.reason +
                     "\nContent-Type: application/json; charset=utf-8\n";
  text += shared_head_lines(settings, listed_origin);
  if (outcome == REPLY_METHOD) text += "Allow: POST\n";  // RFC 9110 15.5.6
  if (outcome == REPLY_RATE_LIMITED) text += "Retry-After: 3600\n";
  text += "\n{\"ok\":";
  text += row.error == nullptr ? "true" : "false";
  text += ",\"outcome\":\"";
  text += row.outcome;
  text += '"';
  if (row.error != nullptr) {
    text += ",\"error\":\"";
    text += row.error;
    text += '"';
  }
  if (outcome == REPLY_INVALID) {
    text += ",\"fields\":{";
    for (int i = 0; i < problems.count; ++i) {
      const field_problem& p = problems.items[i];
      if (i > 0) text += ',';
      text += '"';
      json_escape_append(&text, p.name == nullptr ? "" : p.name);
      text += "\":\"";
      json_escape_append(&text, p.reason == nullptr ? "" : p.reason);
      text += '"';
    }
    text += '}';
  }
  text += "}\n";
  fwrite(text.data(), 1, text.size(), out);
}

// The redirect target for outcome, or null when a page answers.
const char* redirect_of(reply_outcome outcome, const mail_settings& s) {
  switch (outcome) {
    case REPLY_SENT:
      return s.success_redirect;
    case REPLY_QUEUED:
      if (s.queued_redirect != nullptr) return s.queued_redirect;
      if (s.queued_html_page != nullptr) return nullptr;
      break;
    case REPLY_INVALID:
      if (s.invalid_redirect != nullptr) return s.invalid_redirect;
      if (s.invalid_html_page != nullptr) return nullptr;
      break;
    default:
      break;
  }
  return s.failure_redirect;
}

page_kind page_of(reply_outcome outcome) {
  switch (outcome) {
    case REPLY_SENT:
      return PAGE_SUCCESS;
    case REPLY_QUEUED:
      return PAGE_QUEUED;
    case REPLY_INVALID:
      return PAGE_INVALID;
    default:
      return PAGE_FAILURE;
  }
}

// Whether the ini set any keyword of the reply or the field rules: only
// then is ||_invalid_fields|| the program's, so a site without them keeps
// its pages as they were.
bool uses_reply_keywords(const mail_settings& s) {
  return s.json_replies || s.cors_origin_count > 0 ||
         s.success_redirect != nullptr || s.failure_redirect != nullptr ||
         s.queued_redirect != nullptr || s.invalid_redirect != nullptr ||
         s.invalid_html_page != nullptr || s.field_rule_count > 0 ||
         s.recipient_field != nullptr;
}

}  // namespace

bool prefers_json(const char* accept) {
  type_weight json;
  type_weight html;
  const char* p = accept;
  for (;;) {
    // RFC 9110 5.6.1: empty list elements are allowed and mean nothing.
    while (is_blank(*p) || *p == ',') ++p;
    if (*p == '\0') break;
    const char* type = p;
    size_t type_length = token_length(p);
    p += type_length;
    const char* subtype = p + 1;
    size_t subtype_length = *p == '/' ? token_length(subtype) : 0;
    int q = -1;
    if (type_length > 0 && subtype_length > 0) {
      p = subtype + subtype_length;
      q = read_parameters(&p);
    }
    if (q < 0) {
      // A malformed range counts for nothing; skip to the next element.
      while (*p != '\0' && *p != ',') {
        if (*p == '"') {
          skip_quoted(&p);
        } else {
          ++p;
        }
      }
      continue;
    }
    weigh(&json,
          rank_of(type, type_length, subtype, subtype_length, "application",
                  "json"),
          q);
    weigh(&html,
          rank_of(type, type_length, subtype, subtype_length, "text", "html"),
          q);
  }
  if (json.rank == 0 || json.q == 0) return false;
  // A script that names JSON while HTML comes only under "*/*" asks for
  // JSON even at equal weight.
  return json.q > html.q || (json.rank == 3 && html.rank < 2);
}

void send_reply(reply_outcome outcome, const reply_request& request,
                const mail_settings& settings, form_table* form,
                const field_problems& problems, FILE* out) {
  const char* listed_origin = listed_origin_of(request, settings);
  if (settings.json_replies &&
      prefers_json(request.accept == nullptr ? "" : request.accept)) {
    send_json(outcome, settings, listed_origin, problems, out);
    fflush(out);
    return;
  }
  std::string head_lines = shared_head_lines(settings, listed_origin);
  const char* target = redirect_of(outcome, settings);
  if (target != nullptr) {
    // RFC 3875 6.2.2: a Location holding a path alone is a redirect inside
    // the server, and the browser would stay on this URL; with a Status the
    // server passes it on to the browser (RFC 3875 6.2.3). 303 makes the
    // browser fetch the page with GET, so a reload posts nothing again.
    fprintf(out, "Status: 303 See Other\nLocation: %s\n%s\n", target,
            head_lines.c_str());
    fflush(out);
    return;
  }
  std::string invalid_fields;
  page_additions additions;
  additions.head_lines = head_lines.c_str();
  if (outcome == REPLY_INVALID) {
    additions.status_line = "Status: 422 Unprocessable Content\n";
  }
  if (outcome == REPLY_INVALID || uses_reply_keywords(settings)) {
    for (int i = 0; i < problems.count; ++i) {
      if (problems.items[i].name == nullptr) continue;
      if (!invalid_fields.empty()) invalid_fields += ", ";
      invalid_fields += problems.items[i].name;
    }
    additions.invalid_fields = invalid_fields.c_str();
  }
  send_reply_page(page_of(outcome), settings, form, additions, out);
}

void send_preflight(const reply_request& request, const mail_settings& settings,
                    FILE* out) {
  const char* origin = listed_origin_of(request, settings);
  fputs("Status: 204 No Content\n", out);
  if (origin != nullptr) {
    // RFC 9110 has no body on 204; the browser caches this answer for a day
    // (the Fetch standard's CORS-preflight cache).
    fprintf(out,
            "Access-Control-Allow-Origin: %s\n"
            "Access-Control-Allow-Methods: POST\n"
            "Access-Control-Allow-Headers: Content-Type\n"
            "Access-Control-Max-Age: 86400\n"
            "Vary: Origin\n",
            origin);
  }
  fputs("\n", out);
  fflush(out);
}

}  // namespace tarvelo
