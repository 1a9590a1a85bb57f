#include "tools/faq.h"

#include <cstring>

#include "support/dyn_text.h"

namespace tarvelo {

// Process-wide counters: each table numbers its own matches, so both passes
// count the questions 1, 2, 3 ... and every contents link #Qn finds the
// anchor Qn of the body.
faq_rule toc_rules[kFaqRuleEntries] = {
    {"[q]", "<li><A HREF=\"#Q%d\">Q %d </A>", 0, 3, 0},
    {"[a]", "</li>\n", 0, 1, 0},
    {"[pre]", "", 0, 2, 0},
    {"[/pre]", "", 0, 2, 0},
    {nullptr, nullptr, 0, 0, 0},
};

faq_rule body_rules[kFaqRuleEntries] = {
    {"[q]", "<BR><H3><a name=\"Q%d\">Q %d </a>", 0, 0, 0},
    {"[a]", "</H3><B>A %d - </B>", 0, 0, 2},
    {"[pre]", "<pre>", 0, 0, 0},
    {"[/pre]", "</pre>", 0, 0, 2},
    {nullptr, nullptr, 0, 0, 0},
};

namespace {

// Copies text into line (kFaqLineStorage bytes), cut to kFaqLineMax.
void copy_cut(char* line, const char* text) {
  size_t length = strnlen(text, kFaqLineMax);
  memcpy(line, text, length);
  line[length] = '\0';
}

// The replacements are the fixed formats of the tables above, never input,
// and each takes only the count; five copies cover every conversion a
// replacement may hold.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void format_replacement(char* out, const char* replacement, int count) {
  snprintf(out, kFaqLineMax + 1, replacement, count, count, count, count,
           count);
}

void print_through(FILE* out, const char* format, const char* text) {
  fprintf(out, format, text);
}
#pragma GCC diagnostic pop

struct entity {
  char character;
  const char* text;
};

constexpr entity kEntities[] = {
    {'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}};

const char* entity_for(char c) {
  for (const entity& e : kEntities) {
    if (e.character == c) return e.text;
  }
  return nullptr;
}

}  // namespace

void html_escape_print(FILE* out, const char* format, const char* text) {
  char escaped[kFaqLineMax + 1];
  int length = 0;
  for (const char* p = text; *p != '\0' && length < kFaqLineMax; ++p) {
    const char* replacement = entity_for(*p);
    if (replacement == nullptr) {
      escaped[length++] = *p;
      continue;
    }
    int n = static_cast<int>(strlen(replacement));
    // Half an entity would print as text; stop before it instead.
    if (length + n > kFaqLineMax) break;
    memcpy(escaped + length, replacement, n);
    length += n;
  }
  escaped[length] = '\0';
  print_through(out, format, escaped);
}

void print_faq_section(const char* const* lines, faq_rule* rules, FILE* out) {
  dyn_text* built = dyn_text_new("");
  bool showing = true;
  bool escaping = false;
  char line[kFaqLineStorage];
  char replacement[kFaqLineStorage];
  for (const char* const* entry = lines; *entry != nullptr; ++entry) {
    copy_cut(line, *entry);
    const faq_rule* matched = nullptr;
    for (faq_rule* rule = rules; rule->marker != nullptr; ++rule) {
      char* hit = strstr(line, rule->marker);
      if (hit == nullptr) continue;
      ++rule->count;
      format_replacement(replacement, rule->replacement, rule->count);
      dyn_text_assign(built, "%.*s", static_cast<int>(hit - line), line);
      dyn_text_append_bytes(built, replacement,
                            static_cast<int>(strlen(replacement)));
      const char* after = hit + strlen(rule->marker);
      dyn_text_append_bytes(built, after, static_cast<int>(strlen(after)));
      copy_cut(line, built->data);
      matched = rule;
    }
    if (matched != nullptr) {
      if (matched->escape_mode == 0) escaping = false;
      if (matched->escape_mode == 1) escaping = true;
      if (matched->show_mode == 3) showing = true;
    }
    if (showing) {
      if (escaping) {
        html_escape_print(out, "%s\n", line);
      } else {
        fprintf(out, "%s\n", line);
      }
    }
    if (matched != nullptr) {
      if (matched->show_mode == 0) showing = true;
      if (matched->show_mode == 1) showing = false;
      if (matched->escape_mode == 2) escaping = true;
      if (matched->escape_mode == 3) escaping = false;
    }
  }
  dyn_text_free(built);
}

void print_faq_page_to(const char* const* lines, faq_rule* toc, faq_rule* body,
                       FILE* out) {
  fputs("<HTML>\n<HEAD></HEAD>\n<BODY>\n<H2>TARVELO FAQ</H2><BR><UL>", out);
  print_faq_section(lines, toc, out);
  fputs("</UL><BR>", out);
  print_faq_section(lines, body, out);
  fputs("</BODY>\n</HTML>\n", out);
}

void print_faq_page() {
  print_faq_page_to(faq_lines, toc_rules, body_rules, stdout);
}

}  // namespace tarvelo
